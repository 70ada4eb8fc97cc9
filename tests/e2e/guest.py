"""A small Linux guest under QEMU (software emulation) with host inside, on the
guest kernel's own serial drivers: the 8250 UART (/dev/ttyS1) or an FTDI
USB-serial adapter on an xHCI controller (/dev/ttyUSB0). The guest's port is
wired to a pseudo-terminal of this machine, where the simulated agent holds
the other end. The guest's init (tests/guest/init) runs the case named on the
kernel command line and reports in console lines tagged "@@"."""

import base64
import os
import select
import shutil
import socket
import stat
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
INIT = os.path.join(HERE, "..", "guest", "init")
KERNEL_DIR = os.environ.get("GUEST_KERNEL_DIR", "")
PROBE = os.environ.get("PROBE", "")
USB_MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
# Booting takes 5 to 6 s under TCG; a paced 64 KiB run about 7 s more.
# Generous for a loaded 2-core machine.
TAG_TIMEOUT = 180


class CpioWriter:
    """An initramfs in the "newc" cpio format, written directly, so that device
    nodes need no privileges."""

    def __init__(self, path):
        self.file = open(path, "wb")
        self.inode = 1

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name_bytes = name.encode() + b"\0"
        fields = [self.inode, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1],
                  len(name_bytes), 0]
        self.inode += 1
        header = b"070701" + b"".join(b"%08X" % f for f in fields)
        self.file.write(header + name_bytes)
        self.file.write(b"\0" * (-(len(header) + len(name_bytes)) % 4))
        self.file.write(data)
        self.file.write(b"\0" * (-len(data) % 4))

    def directory(self, name):
        self._entry(name, stat.S_IFDIR | 0o755)

    def file_from(self, name, source, mode=0o755):
        with open(source, "rb") as f:
            self._entry(name, stat.S_IFREG | mode, f.read())

    def data(self, name, data, mode=0o644):
        self._entry(name, stat.S_IFREG | mode, data)

    def symlink(self, name, target):
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def char_device(self, name, major, minor):
        self._entry(name, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def close(self):
        self._entry("TRAILER!!!", 0)
        self.file.close()


def shared_libraries(program):
    """The files that `ldd` names for a program, the loader included."""
    out = subprocess.run(["ldd", program], capture_output=True, text=True, check=True).stdout
    libraries = []
    for line in out.splitlines():
        parts = line.split()
        for part in parts:
            if part.startswith("/"):
                libraries.append(part)
                break
    return libraries


def kernel_files():
    """The guest kernel and its modules folder, from the cache folder that
    scripts/fetch-guest-kernel.sh fills."""
    if not KERNEL_DIR or not os.path.isdir(KERNEL_DIR):
        raise RuntimeError("no guest kernel in %r: run scripts/fetch-guest-kernel.sh" % KERNEL_DIR)
    boot = os.path.join(KERNEL_DIR, "boot")
    kernel = [f for f in os.listdir(boot) if f.startswith("vmlinuz-")][0]
    modules = os.path.join(KERNEL_DIR, "lib", "modules", kernel[len("vmlinuz-"):])
    return os.path.join(boot, kernel), modules


def find_module(modules, name):
    for folder, _, files in os.walk(modules):
        if name + ".ko" in files:
            return os.path.join(folder, name + ".ko")
    raise RuntimeError("module %s not in %s" % (name, modules))


def make_initramfs(path, host, images):
    """busybox, host with its libraries, the probe, the USB serial modules,
    the init script, and /work holding tivConfig.txt and the images."""
    _, modules = kernel_files()
    busybox = shutil.which("busybox") or "/bin/busybox"
    cpio = CpioWriter(path)
    for folder in ("bin", "dev", "proc", "sys", "tmp", "work", "modules", "lib", "lib64",
                   "usr", "usr/lib"):
        cpio.directory(folder)
    cpio.char_device("dev/console", 5, 1)
    cpio.file_from("init", INIT)
    cpio.file_from("bin/busybox", busybox)
    applets = subprocess.run([busybox, "--list"], capture_output=True, text=True,
                             check=True).stdout.split()
    for applet in applets:
        if applet != "busybox":
            cpio.symlink("bin/" + applet, "busybox")
    cpio.file_from("bin/host", host)
    cpio.file_from("bin/probe", PROBE)
    made = set()
    for library in shared_libraries(host):
        real = os.path.realpath(library)
        folder = os.path.dirname(library).lstrip("/")
        for part in range(1, folder.count("/") + 2):
            sub = "/".join(folder.split("/")[:part])
            if sub not in made:
                made.add(sub)
                cpio.directory(sub)
        cpio.file_from(library.lstrip("/"), real)
    for name in USB_MODULES:
        cpio.file_from("modules/%s.ko" % name, find_module(modules, name), 0o644)
    for name, data in images.items():
        cpio.data("work/" + name, data)
    cpio.close()


class Guest:
    """One boot of the guest for one case; the port is wired to `pty`."""

    def __init__(self, case, pty, initramfs, usb):
        kernel, _ = kernel_files()
        self.folder = tempfile.mkdtemp(prefix="host_guest_")
        self.monitor_path = os.path.join(self.folder, "monitor")
        if usb:
            port = ["-device", "qemu-xhci,id=xhci", "-device",
                    "usb-serial,chardev=s1,id=us1"]
        else:
            port = ["-device", "isa-serial,chardev=s1"]
        command = [
            "qemu-system-x86_64", "-accel", "tcg", "-nodefaults", "-no-user-config",
            "-machine", "pc", "-m", "256", "-display", "none", "-no-reboot",
            "-serial", "stdio",
            "-chardev", "serial,id=s1,path=" + pty, *port,
            "-monitor", "unix:%s,server,nowait" % self.monitor_path,
            "-kernel", kernel, "-initrd", initramfs,
            "-append", "console=ttyS0 loglevel=1 panic=-1 hostcase=" + case,
        ]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.pending = b""
        self.console = []
        self.values = {}
        self.files = {}

    def _line(self, deadline):
        fd = self.process.stdout.fileno()
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError("guest silent; console so far:\n" + self.transcript())
            chunk = os.read(fd, 65536)
            if not chunk:
                raise AssertionError("guest ended; console:\n%s\nqemu: %s" % (
                    self.transcript(), self.process.stderr.read().decode(errors="replace")))
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        text = line.decode("latin-1").rstrip("\r")
        self.console.append(text)
        return text

    def transcript(self):
        return "\n".join(self.console[-40:])

    def until(self, tag, timeout=TAG_TIMEOUT):
        """Reads the console up to the line tagged `tag` ("PAUSE name" or
        "END"), taking in the values and files reported before it."""
        deadline = time.monotonic() + timeout
        while True:
            line = self._line(deadline)
            at = line.find("@@")
            if at < 0:
                continue
            words = line[at + 2:].split(" ", 2)
            if words[0] == "VALUE":
                self.values[words[1]] = words[2] if len(words) > 2 else ""
            elif words[0] == "FILE":
                self.files[words[1]] = base64.b64decode(words[2] if len(words) > 2 else "")
            if line[at + 2:] == tag:
                return

    def go_on(self):
        """Answers a pause."""
        self.process.stdin.write(b"go\n")
        self.process.stdin.flush()

    def monitor(self, command):
        """One command on QEMU's monitor; returns what it answered, and fails
        when that is an error."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(60)
            s.connect(self.monitor_path)
            held = b""
            while not held.endswith(b"(qemu) "):
                held += s.recv(4096)
            s.sendall(command.encode() + b"\n")
            held = b""
            while not held.endswith(b"(qemu) "):
                held += s.recv(4096)
        answer = held.decode(errors="replace")
        if "rror" in answer:
            raise AssertionError("monitor refused %r: %s" % (command, answer))
        return answer

    def finish(self, timeout=TAG_TIMEOUT):
        """Waits for the case's end and the guest's power-off."""
        self.until("END", timeout)
        self.process.stdin.close()
        self.process.wait(timeout=60)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def line_states(log):
    """The probe's log as (states, events): each state a dict of its fields."""
    states, events = [], {}
    for line in log.decode().splitlines():
        words = line.split()
        if words[0] == "state":
            states.append(dict(w.split("=") for w in words[1:]))
        else:
            events[words[0]] = words[1]
    return states, events
