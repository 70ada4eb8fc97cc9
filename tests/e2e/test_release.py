"""The release archives of scripts/release.sh, unpacked into a clean folder and
run from there: host.exe under Wine, host and the agent natively; and the
install rules, which leave the name host on the PATH alone."""

import glob
import hashlib
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

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


def archive(platform):
    """The archive for a platform, checked against the SHA-256 sum beside it."""
    pattern = os.path.join(DIST, "host-%s-%s.*" % (VERSION, platform))
    found = [p for p in glob.glob(pattern) if not p.endswith(".sha256")]
    if not found:
        raise unittest.SkipTest("no archive %s: scripts/release.sh makes them" % pattern)
    if len(found) != 1:
        raise AssertionError("more than one archive %s" % pattern)
    with open(found[0] + ".sha256") as f:
        expected = f.read().split()[0]
    with open(found[0], "rb") as f:
        if hashlib.sha256(f.read()).hexdigest() != expected:
            raise AssertionError("%s does not match its SHA-256 sum" % found[0])
    return found[0]


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
                                 sorted(["README.txt", "agent", "host", "station", "tivConfig.txt"]))
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
        self.assertEqual(installed, ["libexec/host-programmer/agent",
                                     "libexec/host-programmer/host",
                                     "libexec/host-programmer/station",
                                     "share/doc/host-programmer/README.txt",
                                     "share/doc/host-programmer/tivConfig.txt"])
        for program in ("agent", "host", "station"):
            sections = subprocess.run(
                ["readelf", "-S", os.path.join(prefix, "libexec/host-programmer", program)],
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


if __name__ == "__main__":
    unittest.main()
