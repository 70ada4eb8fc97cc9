"""Runs the built host against the simulated agent and describes what a run
should print and put on the line."""

import binascii
import os
import select
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest

HOST = os.environ.get("HOST", "")
AGENT = os.environ.get("AGENT", "")
# What runs HOST, when it is built for another machine: qemu-user with the
# target's libraries ("qemu-aarch64-static -L /usr/aarch64-linux-gnu").
HOST_RUNNER = shlex.split(os.environ.get("HOST_RUNNER", ""))


def host_command(*args):
    """The command line that runs the host under test with `args`."""
    return [*HOST_RUNNER, HOST, *args]

BANNER = (
    "###################################################\n"
    "###                                        ########\n"
    "###                                        ########\n"
    "###        NEB TIV PROGRAMMER UTILITY      ########\n"
    "###                                        ########\n"
    "###################################################\n"
    "###################################################\n"
    "\n\n"
)
PROMPT = "Please enter Serial port COM<x> :  "
CHUNK = 1024
FRAME_SIZE = 1038
RESPONSE_SIZE = 6
CMD_BOARD_DATA, CMD_OTP_DATA, CMD_OTP_EXECUTE, CMD_FIRMWARE_DATA = 0, 2, 3, 5
FRAME_MARKER = 0x1234
OTP_CHUNK_ADDRESS = 0x945D00
# Generous for a loaded 2-core machine; a healthy run takes a fraction of it.
RUN_TIMEOUT = 60


def sample(size, seed):
    """Deterministic image bytes that differ from image to image."""
    return bytes((i * 7 + seed * 13 + (i >> 8)) & 0xFF for i in range(size))


class Workspace:
    """A scratch folder with images and a tivConfig.txt."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="host_e2e_")
        self.written = {}

    def file(self, name, data):
        full = os.path.join(self.path, name)
        with open(full, "wb") as f:
            f.write(data)
        self.written[full] = (data, os.stat(full).st_mtime_ns)
        return full

    def remember(self):
        """Takes the files as they are now as their state to keep."""
        for path, (data, _) in self.written.items():
            self.written[path] = (data, os.stat(path).st_mtime_ns)

    def changed_files(self):
        """The files this workspace wrote whose content or modification time
        is no longer what it was."""
        changed = []
        for path, (data, mtime) in self.written.items():
            if not os.path.exists(path):
                continue
            with open(path, "rb") as f:
                if f.read() != data or os.stat(path).st_mtime_ns != mtime:
                    changed.append(path)
        return changed

    def config(self, text, line_end="\n"):
        self.file("tivConfig.txt", text.replace("\n", line_end).encode("latin-1"))

    def images(self, board, otp, firmware, otp_address="1A000"):
        self.file("board.bin", board)
        self.file("otp.bin", otp)
        self.file("fw.bin", firmware)
        self.config("Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: %s\nFirmware: fw.bin\n"
                    % otp_address)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Agent:
    """The simulated flash agent on a new pseudo-terminal."""

    def __init__(self, *options, workspace, log_pipe=False, program=None):
        """With `log_pipe` the frame log comes on the agent's standard error,
        to be followed as frames arrive; `program`: an agent other than the
        one under test."""
        self.out = os.path.join(workspace.path, "agent_out")
        self.log = "-" if log_pipe else os.path.join(workspace.path, "agent.log")
        self.process = subprocess.Popen(
            [program or AGENT, "--out", self.out, "--log", self.log, *options],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
            stderr=subprocess.PIPE if log_pipe else None)
        line = self.process.stdout.readline().decode()
        if not line.startswith("PORT "):
            raise RuntimeError("agent did not start: %r" % line)
        self.port = line[5:].strip()

    def stop(self):
        """Ends the agent (it ends by itself once host has closed the line) and
        keeps what it printed after its port, in `printed`."""
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            self.process.wait(timeout=10)
        if not self.process.stdout.closed:
            self.printed = self.process.stdout.read().decode()
        self.process.stdout.close()
        if self.process.stderr:
            self.process.stderr.close()

    def received(self, name):
        with open(os.path.join(self.out, name), "rb") as f:
            return f.read()

    def frames(self):
        data = self.received("frames.bin")
        return [data[i:i + FRAME_SIZE] for i in range(0, len(data), FRAME_SIZE)]

    def otp_address(self):
        path = os.path.join(self.out, "otp_address.txt")
        if not os.path.exists(path):
            return None
        with open(path) as f:
            return int(f.read(), 16)


def run_host(args, cwd, stdin=b"", timeout=RUN_TIMEOUT, program=None, env=None, preexec=None,
             command=None):
    """Runs host to its end; returns (stdout, stderr, exit status) as text.
    `command`, when given, is the whole command line. Output goes through
    files, not pipes, so that a helper process the program leaves behind
    (Wine's server) cannot hold the run open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        if command is None:
            command = [program, *args] if program else host_command(*args)
        process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE,
                                   stdout=out, stderr=err, env=env, preexec_fn=preexec)
        try:
            process.communicate(stdin, timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise
        out.seek(0)
        err.seek(0)
        return (out.read().decode("latin-1"), err.read().decode("latin-1"),
                process.returncode)


def start_host(args, cwd, program=None, env=None, command=None):
    """Starts host with its standard input open and empty."""
    if command is None:
        command = [program, *args] if program else host_command(*args)
    return subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)


class NativeRunner:
    """Runs a native host, the one under test unless given `program` and the
    `emulator` that runs it; port names are device paths."""

    name = "native"

    def __init__(self, program=None, emulator=None):
        self.program = program or HOST
        self.emulator = HOST_RUNNER if emulator is None else emulator

    def port(self, path):
        return path

    def command(self, args):
        return [*self.emulator, self.program, *args]

    def run(self, args, cwd, stdin=b"", timeout=RUN_TIMEOUT):
        return run_host(args, cwd, stdin, timeout, command=self.command(args))

    def start(self, args, cwd):
        return start_host(args, cwd, command=self.command(args))

    def plain(self, text):
        """The output as the test tables write it."""
        return text


def find_program(*candidates):
    for candidate in candidates:
        path = shutil.which(candidate)
        if path:
            return path
    raise unittest.SkipTest("none of %s is installed" % (candidates,))


class WineRunner:
    """Runs host.exe under Wine, in a private prefix made for the test run, with
    the agent's pseudo-terminal mapped to a COM port."""

    name = "wine"
    COM = 20  # above the ports Wine maps from /dev/ttyS*

    def __init__(self, exe=None):
        """`exe`: the Windows program to run; host.exe ($HOST_EXE) by default."""
        self.exe = os.environ.get("HOST_EXE", "") if exe is None else exe
        self.prefix = None

    def set_up(self):
        if not self.exe:
            raise unittest.SkipTest("HOST_EXE is not set")
        self.wine = find_program("wine64", "/usr/lib/wine/wine64", "wine")
        self.server = find_program("wineserver", "/usr/lib/wine/wineserver")
        self.prefix = tempfile.mkdtemp(prefix="host_wine_")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        # One server for all cases keeps each run fast, and it must be the only
        # one. Wine finds a prefix's server through a file in the prefix that
        # the server writes when it is ready; a Wine program that looks before
        # then starts a server of its own, and the prefix has two: the first
        # is orphaned (it never ends) and the other ends with its last program,
        # under a run that is starting (which then dies without a word), while
        # the next run starts yet another that writes into that run's output.
        # `wineserver -p` forks, and its first process ends once the server is
        # ready: nothing runs before that. Its dumps (on a closed pty) go nowhere.
        subprocess.run([self.server, "-p"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120, check=True)
        subprocess.run([self.wine, "wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=600, check=True)
        self.link = os.path.join(self.prefix, "dosdevices", "com%d" % self.COM)

    def tear_down(self):
        if self.prefix:
            subprocess.run([self.server, "-k"], env=self.env, capture_output=True, timeout=60)
            # Gone, with every program of the prefix, before the prefix is.
            subprocess.run([self.server, "-w"], env=self.env, capture_output=True, timeout=60)
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.prefix = None

    def port(self, path):
        """Points the COM port at `path` (None: at nothing) and names it."""
        if os.path.lexists(self.link):
            os.unlink(self.link)
        if path:
            os.symlink(path, self.link)
        return "COM%d" % self.COM

    def run(self, args, cwd, stdin=b"", timeout=RUN_TIMEOUT):
        return run_host([self.exe, *args], cwd, stdin, timeout * 2, self.wine, self.env)

    def start(self, args, cwd):
        return start_host([self.exe, *args], cwd, self.wine, self.env)

    def plain(self, text):
        """The Windows C runtime writes CR LF for each line end in text mode:
        every line end must come so, and is compared as LF."""
        bare = text.replace("\r\n", "")
        if "\n" in bare:
            raise AssertionError("a line end without CR: %r" % text)
        return text.replace("\r\n", "\n")


def read_until(stream, text, timeout=RUN_TIMEOUT):
    """Reads a process's output until it holds `text`; returns all read."""
    held = b""
    deadline = time.monotonic() + timeout
    fd = stream.fileno()
    # CR LF from the Windows build counts as the line end it stands for.
    while text.encode("latin-1") not in held.replace(b"\r\n", b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError("no %r in %r" % (text, held))
        chunk = os.read(fd, 65536)
        if not chunk:
            raise AssertionError("output ended without %r: %r" % (text, held))
        held += chunk
    return held.replace(b"\r\n", b"\n").decode("latin-1")


def crc16(data):
    return binascii.crc_hqx(data, 0)


def expected_frames(board, otp, firmware, otp_address):
    """Every frame of a fully successful run, built from the rules of the wire:
    each job's frame starts zeroed and keeps its bytes from frame to frame."""
    frames = []
    jobs = [(CMD_BOARD_DATA, board), (CMD_OTP_DATA, otp), (CMD_FIRMWARE_DATA, firmware)]
    for command, image in jobs:
        data = bytearray(CHUNK)
        marker = 0 if command == CMD_BOARD_DATA else FRAME_MARKER
        address = 0
        for start in range(0, len(image), CHUNK):
            chunk = image[start:start + CHUNK]
            data[:len(chunk)] = chunk
            last = len(image) - start <= CHUNK
            if command == CMD_OTP_DATA:
                address = otp_address if last else OTP_CHUNK_ADDRESS
            frames.append(frame_bytes(command, data, marker, address, len(chunk)))
        if command == CMD_OTP_DATA:
            frames.append(frame_bytes(CMD_OTP_EXECUTE, data, FRAME_MARKER, otp_address, 0))
    return frames


def frame_bytes(command, data, marker, address, length):
    body = (command.to_bytes(2, "little") + bytes(data) + marker.to_bytes(4, "little")
            + address.to_bytes(4, "little") + length.to_bytes(2, "little"))
    return body + crc16(body).to_bytes(2, "little")


def frame_count(size):
    """Data frames for an image of `size` bytes."""
    return (size + CHUNK - 1) // CHUNK


def dots(size):
    return "." * frame_count(size)


def job_output(path, size, result_line, answers=None):
    """What a job prints: `answers` gives what the answer to a frame printed,
    by the frame's number within the job (from 1), for answers other than the
    plain acknowledgement that prints nothing."""
    answers = answers or {}
    frames = "".join("." + answers.get(n, "") for n in range(1, frame_count(size) + 1))
    return "Opening %s\nFile size %d bytes\n\nProgramming%s%s" % (path, size, frames, result_line)


BOARD_OK = "Programming board data successful\n"
OTP_OK = "\nExecute result 0x0\nProgramming OTP successful\n"
FIRMWARE_OK = "Programming TIV successful\n"


def success_output(board, otp, firmware, prompt="", board_answers=None):
    """A fully successful run; `prompt` is what the port prompt printed."""
    return (BANNER + prompt
            + job_output("board.bin", len(board), BOARD_OK, board_answers)
            + job_output("otp.bin", len(otp), OTP_OK)
            + job_output("fw.bin", len(firmware), FIRMWARE_OK))


def cpu_seconds(pid):
    """CPU time of a running process so far, to the nanosecond (its scheduler
    statistics; /proc/<pid>/stat counts only whole clock ticks)."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0]) / 1e9
