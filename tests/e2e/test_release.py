"""The release archives of scripts/release.sh, unpacked into a clean folder and
run from there: host.exe under Wine, host and the agent natively; the install
rules, which leave the name host on the PATH alone; and the Debian packages,
their contents and fields, and the amd64 one installed on this machine, its
service checked and run as its own user, and removed."""

import glob
import grp
import gzip
import hashlib
import io
import json
import os
import pwd
import re
import shlex
import shutil
import signal
import stat
import subprocess
import tarfile
import tempfile
import time
import unittest
import urllib.request
import zipfile

from machine import Machine
from harness import (BANNER, RUN_TIMEOUT, Agent, NativeRunner, Workspace, WineRunner, sample,
                     success_output)

DIST = os.environ.get("DIST", "")
VERSION = os.environ.get("HOST_VERSION", "")
BUILD_DIR = os.environ.get("BUILD_DIR", "")
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
README = os.path.join(ROOT, "README.md")
# The calls that print a message, or pass one on to be printed, and the
# configuration's messages, defined with the layout.
PRINTING = re.compile(r"\b(printf|say|report_error|report_job)\(|_ENTRY = \{|"
                      r"(_MISSING|_INVALID|_UNREADABLE) = ")


def printed_messages():
    """Every message host prints, taken from the product's sources: the texts
    in the calls that print them, cut at their formats (%d and the like) and
    stripped of line ends. The banner and the help text are no messages."""
    messages = set()
    for folder in ("driver", "link", "protocol", "jobs"):
        for path in glob.glob(os.path.join(ROOT, folder, "**", "*.[ch]*"), recursive=True):
            with open(path) as f:
                source = f.read()
            source = re.sub(r"void print_(banner|help)\(\) \{.*?\n\}", "", source, flags=re.S)
            for call in PRINTING.finditer(source):
                arguments = source[call.end():source.index(";", call.end())]
                for text in re.findall(r'"((?:[^"\\]|\\.)*)"', arguments):
                    text = text.replace("\\n", "\n")
                    if text.endswith(":") and " " not in text:
                        continue  # a key of the configuration file
                    for piece in re.split(r"%[a-z]+", text):
                        piece = piece.strip(" \n")
                        if len(piece) > 1:
                            messages.add(piece)
    return messages


def checked(pattern):
    """The one file of dist/ that matches, checked against the SHA-256 sum
    beside it."""
    pattern = os.path.join(DIST, pattern)
    found = [p for p in glob.glob(pattern) if not p.endswith(".sha256")]
    if not found:
        raise unittest.SkipTest("no %s: scripts/release.sh makes it" % pattern)
    if len(found) != 1:
        raise AssertionError("more than one %s" % pattern)
    with open(found[0] + ".sha256") as f:
        expected = f.read().split()[0]
    with open(found[0], "rb") as f:
        if hashlib.sha256(f.read()).hexdigest() != expected:
            raise AssertionError("%s does not match its SHA-256 sum" % found[0])
    return found[0]


def archive(platform):
    return checked("host-%s-%s.*" % (VERSION, platform))


def package(name, arch):
    return checked("%s_%s_%s.deb" % (name, VERSION, arch))


def package_files(path):
    """{path in the package: (mode, bytes or None for a folder)}"""
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", path], check=True,
                          capture_output=True).stdout
    files = {}
    with tarfile.open(fileobj=io.BytesIO(data)) as t:
        for member in t.getmembers():
            name = member.name.lstrip(".")
            if name and name != "/":
                content = t.extractfile(member).read() if member.isfile() else None
                files[name.rstrip("/")] = (member.mode, content, member.uname, member.gname)
    return files


def field(path, name):
    return subprocess.run(["dpkg-deb", "-f", path, name], check=True, capture_output=True,
                          text=True).stdout.strip()


def depends(path):
    """The names of the packages a package depends on, each with its version."""
    names = {}
    for item in field(path, "Depends").split(","):
        match = re.fullmatch(r"\s*([a-z0-9.+-]+)(?: \((>=|=) ([^)]+)\))?\s*", item)
        if not match:
            raise AssertionError("an odd dependency: %r" % item)
        names[match.group(1)] = match.group(3)
    return names


def elf_machine(program):
    """e_machine of an ELF header (little endian)."""
    assert program[:4] == b"\x7fELF", "not an ELF file"
    return int.from_bytes(program[18:20], "little")


# (Debian's architecture, its ELF machine, whether the C++ library is shared)
DEBIAN_ARCHITECTURES = [("amd64", 62, True), ("arm64", 183, False), ("armhf", 40, False)]
UNIT = "/lib/systemd/system/station-serve@.service"
PROGRAMMER_FILES = {
    "/etc": None, "/etc/station": None, "/lib": None, "/lib/systemd": None,
    "/lib/systemd/system": None, UNIT: 0o644,
    "/usr": None, "/usr/bin": None, "/usr/bin/station": 0o755,
    "/usr/libexec": None, "/usr/libexec/host-programmer": None,
    "/usr/libexec/host-programmer/host": 0o755,
    "/usr/share": None, "/usr/share/doc": None, "/usr/share/doc/host-programmer": None,
    "/usr/share/doc/host-programmer/README.md": 0o644,
    "/usr/share/doc/host-programmer/README.txt": 0o644,
    "/usr/share/doc/host-programmer/changelog.gz": 0o644,
    "/usr/share/doc/host-programmer/copyright": 0o644,
    "/usr/share/doc/host-programmer/examples": None,
    "/usr/share/doc/host-programmer/examples/station.toml": 0o644,
    "/usr/share/doc/host-programmer/tivConfig.txt": 0o644,
    "/usr/share/man": None, "/usr/share/man/man1": None,
    "/usr/share/man/man1/station.1.gz": 0o644,
}
AGENT_FILES = {
    "/usr": None, "/usr/libexec": None, "/usr/libexec/host-programmer": None,
    "/usr/libexec/host-programmer/agent": 0o755,
    "/usr/share": None, "/usr/share/doc": None, "/usr/share/doc/host-programmer-agent": None,
    "/usr/share/doc/host-programmer-agent/changelog.gz": 0o644,
    "/usr/share/doc/host-programmer-agent/copyright": 0o644,
}


class Release(unittest.TestCase):
    def unpack(self, path):
        folder = tempfile.mkdtemp(prefix="host_release_")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        if path.endswith(".zip"):
            with zipfile.ZipFile(path) as z:
                z.extractall(folder)
        else:
            with tarfile.open(path) as t:
                t.extractall(folder)
        (top,) = os.listdir(folder)
        return os.path.join(folder, top)

    def check_texts(self, unpacked, line_end):
        with open(os.path.join(unpacked, "README.txt"), "rb") as f:
            text = f.read().decode()
        self.assertEqual(text.count("\n"), text.count(line_end))
        for line in text.split(line_end):
            self.assertLessEqual(len(line), 80, line)
        for message in printed_messages():
            self.assertIn(message, text)
        with open(os.path.join(unpacked, "tivConfig.txt"), "rb") as f:
            self.assertTrue(f.read().startswith(b"Boarddata: images"))

    def full_run(self, unpacked, runner, agent_program=None):
        """A full run from the unpacked folder, with images and a configuration
        of the test's beside the programs."""
        board, otp, firmware = sample(3000, 1), sample(1500, 2), sample(5000, 3)
        for name, data in (("board.bin", board), ("otp.bin", otp), ("fw.bin", firmware)):
            with open(os.path.join(unpacked, name), "wb") as f:
                f.write(data)
        with open(os.path.join(unpacked, "tivConfig.txt"), "w") as f:
            f.write("Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: 1A000\nFirmware: fw.bin\n")
        ws = Workspace()
        self.addCleanup(ws.remove)
        agent = Agent(workspace=ws, program=agent_program)
        self.addCleanup(agent.stop)
        out, err, status = runner.run([runner.port(agent.port), "001122334455"], unpacked)
        agent.stop()
        self.assertEqual((runner.plain(out), err, status),
                         (success_output(board, otp, firmware), "", 0))
        self.assertEqual(agent.received("firmware.bin"), firmware)

    def test_windows_archive_runs_under_wine(self):
        unpacked = self.unpack(archive("windows-x64"))
        self.assertEqual(sorted(os.listdir(unpacked)), ["README.txt", "host.exe", "tivConfig.txt"])
        self.check_texts(unpacked, "\r\n")
        with open(os.path.join(unpacked, "host.exe"), "rb") as f:
            exe = f.read()
        # Explorer's Details tab: the version resource.
        self.assertIn("FileVersion\0".encode("utf-16-le"), exe)
        self.assertIn((VERSION + "\0").encode("utf-16-le"), exe)
        wine = WineRunner(os.path.join(unpacked, "host.exe"))
        wine.set_up()
        self.addCleanup(wine.tear_down)
        out, err, status = wine.run(["-v"], unpacked)
        self.assertEqual((wine.plain(out), err, status), (BANNER + "Current version = 2\n", "", 0))
        self.full_run(unpacked, wine)

    def test_linux_archives_run_natively_and_under_qemu_user(self):
        # (CPU in the name, what runs its programs here)
        targets = [(os.uname().machine, []),
                   ("aarch64", ["qemu-aarch64-static", "-L", "/usr/aarch64-linux-gnu"]),
                   ("armhf", ["qemu-arm-static", "-L", "/usr/arm-linux-gnueabihf"])]
        for cpu, runner in targets:
            with self.subTest(cpu=cpu):
                unpacked = self.unpack(archive("linux-" + cpu))
                self.assertEqual(sorted(os.listdir(unpacked)),
                                 sorted(["README.md", "README.txt", "agent", "host", "station",
                                         "tivConfig.txt"]))
                # The station finds the host beside it, built for its machine.
                version = subprocess.run(runner + [os.path.join(unpacked, "station"), "--version"],
                                         capture_output=True, text=True, timeout=RUN_TIMEOUT)
                self.assertEqual(version.stdout, "station release %s\nhost release %s (%s)\n" % (
                    VERSION, VERSION, os.path.join(unpacked, "host")), version.stderr)
                self.check_texts(unpacked, "\n")
                # The release version, for `strings` (-v prints the protocol's).
                for program in ("host", "agent"):
                    with open(os.path.join(unpacked, program), "rb") as f:
                        self.assertIn(("%s release %s" % (program, VERSION)).encode(), f.read())
                host = NativeRunner(os.path.join(unpacked, "host"), runner)
                out, _, status = host.run(["-v"], unpacked)
                self.assertEqual((out, status), (BANNER + "Current version = 2\n", 0))
                # The archive's own agent, where it runs here natively.
                self.full_run(unpacked, host,
                              None if runner else os.path.join(unpacked, "agent"))

    def test_install_leaves_the_dns_tool_its_name(self):
        prefix = tempfile.mkdtemp(prefix="host_install_")
        self.addCleanup(shutil.rmtree, prefix, ignore_errors=True)
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], check=True,
                       capture_output=True, timeout=120)
        installed = sorted(os.path.relpath(os.path.join(d, f), prefix)
                           for d, _, files in os.walk(prefix) for f in files)
        programs = ["bin/station", "libexec/host-programmer/agent",
                    "libexec/host-programmer/host"]
        self.assertEqual(installed, programs + ["share/doc/host-programmer/README.md",
                                                "share/doc/host-programmer/README.txt",
                                                "share/doc/host-programmer/tivConfig.txt"])
        for program in programs:
            sections = subprocess.run(["readelf", "-S", os.path.join(prefix, program)],
                                      check=True, capture_output=True, text=True).stdout
            self.assertNotIn(".symtab", sections, program + " is installed stripped")

    def test_readme_troubleshooting_names_every_message(self):
        with open(README) as f:
            text = f.read()
        section = text[text.index("## Troubleshooting"):]
        table = "\n".join(line for line in section.splitlines() if line.startswith("| `"))
        messages = printed_messages()
        self.assertGreater(len(messages), 30)
        for message in messages:
            self.assertIn(message, table)
        # The two errors without a line end are shown with what follows them.
        for error in ("Memory error", "Reading error"):
            self.assertIn(error + "Programming board data failed", table)


class DebianPackages(unittest.TestCase):
    def test_each_architecture_has_its_files_fields_and_libraries(self):
        with open(os.path.join(ROOT, "packaging", "station-serve@.service"), "rb") as f:
            unit = f.read()
        with open(os.path.join(ROOT, "packaging", "station.toml"), "rb") as f:
            sample_file = f.read()
        libraries = {"libc6", "libsqlite3-0", "libpq5", "libssl3", "libtomlplusplus3",
                     "libmicrohttpd12", "libcups2"}
        for arch, machine, shared_cxx in DEBIAN_ARCHITECTURES:
            with self.subTest(arch=arch):
                programmer = package("host-programmer", arch)
                agent = package("host-programmer-agent", arch)
                for path, name in ((programmer, "host-programmer"),
                                   (agent, "host-programmer-agent")):
                    self.assertEqual(
                        [field(path, f) for f in ("Package", "Version", "Architecture",
                                                  "Section", "Source")],
                        [name, VERSION, arch, "electronics", "host-programmer"])
                cxx = {"libstdc++6", "libgcc-s1"} if shared_cxx else set()
                # Found by dpkg-shlibdeps in the architecture's own libraries
                # (never a cross toolchain's), each with its least version.
                found = depends(programmer)
                # The built-in label's barcodes where it is built (not on ARM).
                zint = {"libzint2.11"} if arch == "amd64" else set()
                self.assertEqual(set(found), libraries | cxx | zint | {"adduser"})
                self.assertTrue(all(found[n] for n in found if n != "adduser"), found)
                self.assertEqual(set(depends(agent)), {"libc6"} | cxx)
                for path, expected in ((programmer, PROGRAMMER_FILES), (agent, AGENT_FILES)):
                    files = package_files(path)
                    self.assertEqual({p: None if f[1] is None else f[0]
                                      for p, f in files.items()}, expected)
                    self.assertEqual({(f[2], f[3]) for f in files.values()}, {("root", "root")})
                    for name, (_, content, _, _) in files.items():
                        if name.startswith(("/usr/bin/", "/usr/libexec/host-programmer/")):
                            self.assertEqual(elf_machine(content), machine, name)
                files = package_files(programmer)
                self.assertEqual(files[UNIT][1], unit)
                self.assertEqual(
                    files["/usr/share/doc/host-programmer/examples/station.toml"][1], sample_file)
                self.assertIn(("host release %s" % VERSION).encode(),
                              files["/usr/libexec/host-programmer/host"][1])

    def test_the_amd64_package_installs_serves_as_its_own_user_and_removes(self):
        if os.geteuid() != 0:
            self.skipTest("installs a package: needs root")
        status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "host-programmer"],
                                capture_output=True, text=True).stdout
        if status == "install ok installed":
            self.skipTest("host-programmer is installed on this machine: left alone")
        programmer = package("host-programmer", "amd64")
        agent = package("host-programmer-agent", "amd64")
        name = "release-test-%d" % os.getpid()
        leftovers = Leftovers(name)
        self.addCleanup(leftovers.remove)
        subprocess.run(["dpkg", "-i", programmer, agent], check=True, capture_output=True,
                       timeout=300)
        on_path = dict(os.environ, PATH="/usr/bin:/bin")
        version = subprocess.run(["station", "--version"], env=on_path, cwd="/",
                                 capture_output=True, text=True, timeout=RUN_TIMEOUT)
        self.assertEqual(version.stdout, "station release %s\nhost release %s "
                         "(/usr/libexec/host-programmer/host)\n" % (VERSION, VERSION),
                         version.stderr)
        # Every command of its help in its manual page.
        usage = subprocess.run(["station", "--help"], env=on_path, capture_output=True,
                               text=True, timeout=RUN_TIMEOUT).stdout
        commands = re.findall(r"^  ([a-z]+) ", usage.split("Subcommands:")[1], re.M)
        self.assertGreater(len(commands), 10)
        with gzip.open("/usr/share/man/man1/station.1.gz", "rt") as f:
            manual = f.read()
        for command in commands:
            self.assertRegex(manual, r"\n\.B %s\b" % command)
        host = NativeRunner("/usr/libexec/host-programmer/host")
        out, _, status = host.run(["-v"], "/")
        self.assertEqual((out, status), (BANNER + "Current version = 2\n", 0))
        # The service's own user, and the stores' folder of its group.
        user = pwd.getpwnam("station-serve")
        self.assertLess(user.pw_uid, 1000)
        self.assertEqual(user.pw_shell, "/usr/sbin/nologin")
        if not leftovers.had_folder:
            about = os.stat("/var/lib/station")
            self.assertEqual((stat.S_IMODE(about.st_mode), about.st_gid),
                             (0o2775, grp.getgrnam("station-serve").gr_gid))
        verify = subprocess.run(["systemd-analyze", "verify", "station-serve@%s.service" % name],
                                capture_output=True, text=True, timeout=RUN_TIMEOUT)
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))
        # systemd's own score of the unit's hardening: 2.0 or less of 10.
        security = subprocess.run(["systemd-analyze", "security", "--offline=true",
                                   "--threshold=20", UNIT], capture_output=True, text=True,
                                  timeout=RUN_TIMEOUT)
        self.assertEqual(security.returncode, 0, security.stdout)
        self.serve_as_the_unit_does(name)
        removed = subprocess.run(["dpkg", "-r", "host-programmer-agent", "host-programmer"],
                                 capture_output=True, text=True, timeout=300)
        self.assertEqual(removed.returncode, 0, removed.stderr)
        for path in ("/usr/bin/station", "/usr/libexec/host-programmer", UNIT):
            self.assertFalse(os.path.exists(path), path)
        self.assertTrue(os.path.exists(leftovers.store), "the records stay")

    def serve_as_the_unit_does(self, name):
        """The unit's command as its user: the sample station file, set up as
        it says, served; then a store in a folder the user cannot write,
        refused with the station's own message."""
        with open(UNIT) as f:
            unit = f.read()
        command = re.search(r"^ExecStart=(.*)$", unit, re.M).group(1)
        command = command.replace("%i", name).replace("${LISTEN}", "127.0.0.1:0").split()
        with open("/usr/share/doc/host-programmer/examples/station.toml") as f:
            sample_file = f.read()
        station_file = "/etc/station/%s.toml" % name
        for store, made_by_root_in in (("/var/lib/station/%s.db" % name, None),
                                       (None, tempfile.mkdtemp(prefix="root-only-"))):
            if made_by_root_in:
                self.addCleanup(shutil.rmtree, made_by_root_in, ignore_errors=True)
                os.chmod(made_by_root_in, 0o755)
                store = os.path.join(made_by_root_in, "records.db")
            with open(station_file, "w") as f:
                f.write(re.sub(r'^store = ".*"$', 'store = "%s"' % store, sample_file,
                               flags=re.M))
            os.chown(station_file, 0, grp.getgrnam("station-serve").gr_gid)
            os.chmod(station_file, 0o640)
            made = subprocess.run(["station", "-f", station_file, "init"], capture_output=True,
                                  text=True, timeout=RUN_TIMEOUT)
            self.assertEqual(made.returncode, 0, made.stderr)
            serve = subprocess.Popen(command, user="station-serve", group="station-serve",
                                     extra_groups=[], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, cwd="/")
            self.addCleanup(serve.kill)
            if made_by_root_in:
                out, err = serve.communicate(timeout=RUN_TIMEOUT)
                self.assertEqual((serve.returncode, out), (2, ""))
                self.assertTrue(err.startswith(
                    "station: cannot open the store %s: this user (station-serve) cannot make "
                    "files in its folder %s" % (store, made_by_root_in)), err)
                continue
            said = serve.stdout.readline()
            port = re.fullmatch(r"station: serving the store %s at http://127.0.0.1:(\d+)/\n"
                                % re.escape(store), said)
            self.assertTrue(port, said + serve.stderr.read() if not said else said)
            with urllib.request.urlopen("http://127.0.0.1:%s/api/line" % port.group(1),
                                        timeout=RUN_TIMEOUT) as answer:
                self.assertEqual(json.load(answer)["stations"], [])
            serve.send_signal(signal.SIGTERM)
            self.assertEqual(serve.wait(timeout=RUN_TIMEOUT), 0)
            serve.stdout.close()
            serve.stderr.close()


class TheReadmesLineSteps(unittest.TestCase):
    """The README's steps for the web view as a service and a line shared by
    its operators, run as written on a machine of their own booted with
    systemd (this one's system in a container): the package installed, the
    service enabled before any store, two logins of the line's group taking
    turns in the station's folder, a third login refused, the page serving
    what they recorded."""

    def blocks(self, after):
        with open(README) as f:
            text = f.read().split(after)[1]
        return [l for l in text.split("```\n")[1].splitlines() if l.strip()]

    def journal_says(self, machine, text):
        """Waits until the service's journal holds `text` (its process
        writes it after systemd said it started)."""
        deadline = time.monotonic() + RUN_TIMEOUT
        while True:
            journal = machine.run("journalctl -u station-serve@line1").stdout
            if text in journal:
                return
            self.assertLess(time.monotonic(), deadline, journal)
            time.sleep(0.1)  # polls the journal, as an administrator would

    def test_the_service_and_a_shared_line_as_the_readme_says(self):
        if os.geteuid() != 0 or not shutil.which("systemd-nspawn"):
            self.skipTest("boots a machine of its own: needs root and systemd-nspawn")
        debs = [package("host-programmer", "amd64"), package("host-programmer-agent", "amd64")]
        machine = Machine("readme-%d" % os.getpid())
        self.addCleanup(machine.close)
        os.mkdir(machine.path("/root/debs"))
        for deb in debs:
            shutil.copy(deb, machine.path("/root/debs"))
        service = self.blocks("**The web view as a service.**")
        # `systemctl edit` with an editor that writes what the line's
        # comment says.
        edit = next(l for l in service if "systemctl edit" in l)
        override = edit.split("# ")[1].replace("] ", "]\n")
        with open(machine.path("/root/edit.sh"), "w") as f:
            f.write("#!/bin/sh\nsed -i '/^### Anything between here/a %s' \"$1\"\n"
                    % override.replace("\n", "\\n"))
        os.chmod(machine.path("/root/edit.sh"), 0o755)
        with open(machine.path("/etc/sudoers.d/editor"), "w") as f:
            f.write('Defaults env_keep += "SYSTEMD_EDITOR"\n')
        version = "_%s_amd64.deb" % VERSION
        for line in service:
            line = "cd /root/debs && " + line.replace("_1.1.0_amd64.deb", version)
            if "systemctl edit" in line:  # on a terminal, as it asks
                line = "script -qec %s /dev/null" % shlex.quote(line)
            said = machine.run(line, env={"SYSTEMD_EDITOR": "/root/edit.sh"})
        # The store is not made yet: the service waits for it, and runs,
        # at the address that `systemctl edit` gave it once restarted.
        store = "/var/lib/station/line1-s1.db"
        self.assertIn("station: the store %s is not made yet; serving" % store, said.stdout)
        self.assertNotIn("cannot open", said.stdout)
        self.journal_says(machine, "station: serving the store %s at http://0.0.0.0:8080/"
                          % store)
        self.assertEqual(machine.run("systemctl is-active station-serve@line1").stdout,
                         "active\n")
        # The board's fixture: an agent serving board after board on a
        # port of the group dialout, as a serial port is.
        agent = machine.run("setsid /usr/libexec/host-programmer/agent --boards >/root/a1 "
                            "2>&1 </dev/null & for i in $(seq 100); do test -s /root/a1 && "
                            "break; sleep 0.1; done; port=$(cut -d' ' -f2 /root/a1); "
                            "chgrp dialout $port && chmod 660 $port && echo $port")
        port = agent.stdout.split()[-1]
        # Three logins; op3 never joins the line's group.
        for login in ("op1", "op2", "op3"):
            machine.run("useradd --create-home %s && adduser %s dialout" % (login, login))
        for line in self.blocks("**A line shared by its operators.**"):
            machine.run(line)
        cd, copy, run = self.blocks("names its images and fixtures")
        # op1 names the images and fixtures in the file, as the comment asks.
        edit = ("mkdir images && head -c 3000 /dev/urandom >images/b.bin && head -c 1500 "
                "/dev/urandom >images/o.bin && head -c 5000 /dev/urandom >images/f.bin && "
                "printf 'Boarddata: b.bin\\nOTP: o.bin\\nOTPAddress: 1A000\\nFirmware: f.bin\\n' "
                ">images/tivConfig.txt && sed -i -e 's|^config = .*|config = \"images/"
                "tivConfig.txt\"|' -e 's|^port = .*|port = \"%s\"|' station.toml" % port)
        op1 = machine.run("\n".join([cd, copy, edit, run]), user="op1", check=False)
        self.assertEqual(op1.returncode, 0, op1.stdout + op1.stderr)
        for login, status in (("op2", 0), ("op3", 2)):
            shift = "\n".join([cd, run.replace("001122334401", "00112233440" + login[-1])])
            result = machine.run(shift, user=login, check=False)
            self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        self.assertIn("sudo adduser op3 station-serve", result.stderr)
        page = machine.run("python3 -c 'import urllib.request; print(urllib.request.urlopen("
                           "\"http://127.0.0.1:8080/api/line\", timeout=30).read().decode())'")
        line = json.loads(page.stdout)
        self.assertEqual([(s["station"], s["today"]["boards"], s["today"]["passed"])
                          for s in line["stations"]], [("line1-s1", 2, 2)])
        self.journal_says(machine, "station: the store %s is made; serving it" % store)
        operators = machine.run("station -f /srv/line1-s1/station.toml export --json",
                                user="op2").stdout
        self.assertEqual(sorted(r["operator"] for r in json.loads(operators)), ["op1", "op2"])


class Leftovers:
    """What the install test leaves: the package purged, its station file and
    store removed, and the user and folder the package made, when they were
    not there before."""

    def __init__(self, name):
        self.store = "/var/lib/station/%s.db" % name
        self.station_file = "/etc/station/%s.toml" % name
        self.had_folder = os.path.exists("/var/lib/station")
        try:
            pwd.getpwnam("station-serve")
            self.had_user = True
        except KeyError:
            self.had_user = False

    def remove(self):
        for path in [self.station_file] + glob.glob(self.store + "*"):
            if os.path.exists(path):
                os.unlink(path)
        subprocess.run(["dpkg", "--purge", "host-programmer-agent", "host-programmer"],
                       capture_output=True, timeout=300)
        if not self.had_folder:
            shutil.rmtree("/var/lib/station", ignore_errors=True)
        if not self.had_user:
            subprocess.run(["deluser", "--system", "--quiet", "station-serve"],
                           capture_output=True, timeout=RUN_TIMEOUT)
            subprocess.run(["delgroup", "--system", "--quiet", "station-serve"],
                           capture_output=True, timeout=RUN_TIMEOUT)


if __name__ == "__main__":
    unittest.main()
