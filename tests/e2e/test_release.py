"""The release archives of scripts/release.sh, unpacked into a clean folder and
run from there: host.exe under Wine, host and the agent natively; and the
install rules, which leave the name host on the PATH alone."""

import glob
import hashlib
import os
import shutil
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

from harness import BANNER, Agent, NativeRunner, Workspace, WineRunner, sample, success_output

DIST = os.environ.get("DIST", "")
VERSION = os.environ.get("HOST_VERSION", "")
BUILD_DIR = os.environ.get("BUILD_DIR", "")
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
# Every message host prints, on either stream; each must be explained to operators.
MESSAGES = [
    "Please enter Serial port COM<x> :", "Invalid option, please use -h for help menu",
    "serial port does not exist", "Unable to Open serial port", "Init failed", "error <",
    "Set timeout error", "Could not open tivConfig.txt", "Could not find board data file",
    "Could not find OTP file", "Could not find OTP address", "Could not find Firmware file",
    "Invalid OTP address", "Opening <path>", "File size <n> bytes", "File error",
    "Image too large", "Memory error", "Reading error", "Program command failed", "CRC Error",
    "Unknown cmd", "Version matches",
    "Version of Kestrovia Flash Agent does not match Host application", "Invalid response received",
    "Execute result 0x", "Programming board data successful", "Programming OTP successful",
    "Programming TIV successful", "Programming board data failed", "Programming OTP failed",
    "Programming TIV failed",
]


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
        for message in MESSAGES:
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
                                 ["README.txt", "agent", "host", "tivConfig.txt"])
                self.check_texts(unpacked, "\n")
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
                                     "libexec/host-programmer/host"])

    def test_readme_troubleshooting_names_every_message(self):
        with open(README) as f:
            text = f.read()
        section = text[text.index("## Troubleshooting"):]
        for message in MESSAGES:
            self.assertIn(message, section)


if __name__ == "__main__":
    unittest.main()
