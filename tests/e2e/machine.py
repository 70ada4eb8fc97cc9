"""This machine's own Debian booted a second time, with systemd as its init,
in a container (systemd-nspawn) on an overlay of its root file system: what
is installed, enabled, added or written there goes to a folder of the
test's and is gone with it. A network of its own (loopback only), so that
what it serves takes no port of this machine's."""

import os
import shutil
import subprocess
import tempfile
import time

BOOT_TIMEOUT = 180  # generous for a loaded 2-core machine
COMMAND_TIMEOUT = 300
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


class Machine:
    def __init__(self, name):
        if os.geteuid() != 0 or not shutil.which("systemd-nspawn"):
            raise RuntimeError("booting a machine needs root and systemd-nspawn")
        self.folder = tempfile.mkdtemp(prefix="machine-")
        self.root = os.path.join(self.folder, "root")
        for part in ("root", "upper", "work"):
            os.mkdir(os.path.join(self.folder, part))
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                        "lowerdir=/,upperdir=%s/upper,workdir=%s/work" % (self.folder,
                                                                          self.folder),
                        self.root], check=True, timeout=COMMAND_TIMEOUT)
        self.pid1 = None
        self.nspawn = None
        try:
            self._boot(name)
        except BaseException:
            self.close()
            raise

    def _boot(self, name):
        # A machine of its own: journald refuses to share this one's id.
        with open("/proc/sys/kernel/random/uuid") as f:
            machine_id = f.read().strip().replace("-", "")
        with open(os.path.join(self.root, "etc", "machine-id"), "w") as f:
            f.write(machine_id + "\n")
        self.nspawn = subprocess.Popen(
            ["systemd-nspawn", "--quiet", "--directory", self.root, "--boot",
             "--machine", name, "--register=no", "--keep-unit", "--private-network",
             "--console=passive"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            start_new_session=True)
        deadline = time.monotonic() + BOOT_TIMEOUT
        while self.pid1 is None:
            if self.nspawn.poll() is not None:
                raise RuntimeError("systemd-nspawn ended: " + self.nspawn.stderr.read().decode())
            if time.monotonic() > deadline:
                raise RuntimeError("the machine's init did not start")
            self.pid1 = self._init_under(self.nspawn.pid)
            if self.pid1 is None:
                time.sleep(0.05)  # polls /proc for the init that nspawn starts
        # systemd answers once its socket is there.
        while self.run("test -S /run/systemd/private", check=False).returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError("the machine's systemd did not answer")
            time.sleep(0.1)  # polls for the socket, which has no event to wait on
        state = self.run("systemctl is-system-running --wait", check=False,
                         timeout=BOOT_TIMEOUT).stdout.strip()
        if state not in ("running", "degraded"):
            raise RuntimeError("the machine did not boot: " + state)

    @staticmethod
    def _init_under(pid):
        """The process under `pid` that is the first of a PID namespace of
        its own (nspawn's children before it are not the machine yet)."""
        waiting = [pid]
        while waiting:
            pid = waiting.pop()
            try:
                with open("/proc/%d/status" % pid) as f:
                    ids = next(l for l in f if l.startswith("NSpid:")).split()[1:]
                if len(ids) == 2 and ids[1] == "1":
                    # Once it is systemd: before, nspawn still sets it up.
                    with open("/proc/%d/comm" % pid) as f:
                        return pid if f.read() == "systemd\n" else None
                for task in os.listdir("/proc/%d/task" % pid):
                    with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                        waiting += [int(p) for p in f.read().split()]
            except OSError:
                pass  # gone meanwhile
        return None

    def path(self, inside):
        """A path of the machine, as this one reaches it."""
        return os.path.join(self.root, inside.lstrip("/"))

    def run(self, script, user=None, check=True, timeout=COMMAND_TIMEOUT, env=None):
        """`script` by bash in the machine: as root, or through a login of
        `user` (its groups as they are now, as after logging in again)."""
        if user is None:
            command = ["env", "-i", "PATH=" + PATH, "HOME=/root", "LANG=C.UTF-8"]
            command += ["%s=%s" % item for item in (env or {}).items()]
            command += ["bash", "-c", script]
        else:
            command = ["su", "-", user, "-c", script]
        result = subprocess.run(["nsenter", "--target", str(self.pid1), "--all", "--"] + command,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=timeout, cwd="/")
        if check and result.returncode != 0:
            raise AssertionError("%r ended %d:\n%s%s" % (script, result.returncode,
                                                          result.stdout, result.stderr))
        return result

    def close(self):
        if self.nspawn is not None and self.nspawn.poll() is None:
            if self.pid1 is not None:
                self.run("systemctl poweroff --no-block", check=False, timeout=60)
            try:
                self.nspawn.wait(timeout=BOOT_TIMEOUT)
            except subprocess.TimeoutExpired:
                if self.pid1 is not None:
                    os.kill(self.pid1, 9)  # its whole PID namespace with it
                self.nspawn.kill()
                self.nspawn.wait()
        if self.nspawn is not None:
            self.nspawn.stderr.close()
        subprocess.run(["umount", "--lazy", self.root], timeout=COMMAND_TIMEOUT)
        shutil.rmtree(self.folder, ignore_errors=True)
