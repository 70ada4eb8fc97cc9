"""host on the kernel's own serial drivers: the 8250 UART and an FTDI USB-serial
adapter in a QEMU guest, against the simulated agent on this machine. What a
pseudo-terminal cannot show: the line settings and the DTR and RTS lines as a
real driver holds them, exclusive access on a real tty, an adapter pulled out
in the middle of a run."""

import os
import signal
import tempfile
import termios
import unittest

import guest
from harness import (BANNER, HOST, Agent, Workspace, expected_frames, read_until, sample,
                     success_output)

BOARD, OTP, FIRMWARE = sample(3000, 1), sample(1500, 2), sample(64 * 1024, 3)
CONFIG = b"Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: 1A000\nFirmware: fw.bin\n"
REFUSED = BANNER + "Unable to Open serial port\n\nInit failed\n"
LINE_AS_HOST_SETS_IT = {"speed": "115200", "csize": "8", "parenb": "0", "cstopb": "0",
                        "crtscts": "0", "ixon": "0", "ixoff": "0"}
INITRAMFS = None


def setUpModule():
    global INITRAMFS
    folder = tempfile.mkdtemp(prefix="host_initramfs_")
    INITRAMFS = os.path.join(folder, "initramfs.cpio")
    guest.make_initramfs(INITRAMFS, HOST, {"tivConfig.txt": CONFIG, "board.bin": BOARD,
                                           "otp.bin": OTP, "fw.bin": FIRMWARE})


def tearDownModule():
    if INITRAMFS:
        os.remove(INITRAMFS)
        os.rmdir(os.path.dirname(INITRAMFS))


def pty_speed(path):
    """The speed of this machine's end of the wire, as QEMU copied it from the
    guest's port."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)[5]
    finally:
        os.close(fd)


class GuestCase(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.remove)

    def agent(self, *options, log_pipe=False):
        agent = Agent(*options, workspace=self.ws, log_pipe=log_pipe)
        self.addCleanup(agent.stop)
        return agent

    def boot(self, case, agent, usb):
        g = guest.Guest(case, agent.port, INITRAMFS, usb)
        self.addCleanup(g.kill)
        return g


class FullRunOnRealDrivers(GuestCase):
    """A paced full run through each driver, with a probe beside host on the
    port and a second host started while the first holds it."""

    def run_case(self, case, usb):
        agent = self.agent("--baud", "115200")
        g = self.boot(case, agent, usb)
        g.until("PAUSE set-9600")
        # An unprivileged user's lock on the device's sysfs folder did not
        # keep host from the port.
        self.assertEqual(g.values["nobody_lock"], "lock locked exit 1")
        self.assertEqual(g.files["out0"].decode("latin-1"),
                         BANNER + "Could not open tivConfig.txt\nProgramming board data failed\n")
        self.assertEqual(pty_speed(agent.port), termios.B9600)
        g.go_on()
        g.until("PAUSE ran")
        # host has set 115200 on the guest's port, and QEMU copied it here.
        self.assertEqual(pty_speed(agent.port), termios.B115200)
        g.go_on()
        g.finish()
        agent.process.terminate()
        agent.stop()
        states, events = guest.line_states(g.files["lines"])
        self.assertEqual(g.files["out1"].decode("latin-1"), success_output(BOARD, OTP, FIRMWARE))
        self.assertEqual(g.files["err1"], b"")
        self.assertEqual(events["first-exit"], "0")
        self.assertEqual(agent.frames(), expected_frames(BOARD, OTP, FIRMWARE, 0x1A000))
        self.assertEqual((agent.received("board_data.bin"), agent.received("otp.bin"),
                          agent.received("firmware.bin")), (BOARD, OTP, FIRMWARE))
        # A second host and an unprivileged opener are refused while host
        # holds the port; once it has ended the port is free again.
        self.assertEqual(g.files["out2"].decode("latin-1"), REFUSED)
        self.assertEqual((g.files["err2"], events["second-exit"]), (b"", "1"))
        self.assertEqual(events["nobody-open-while-held"], "EBUSY")
        self.assertEqual(events["nobody-open-after"], "opened")
        # The probe opened the port at 9600 baud, raising DTR and RTS as Linux
        # does; host set the line and held both high, as host.exe does, through
        # the second host's and the unprivileged opener's refusals to its end.
        self.assertEqual(states[0]["speed"], "9600")
        self.assertGreater(len(states), 1, "host changed the line")
        for state in states:
            self.assertEqual((state["dtr"], state["rts"]), ("1", "1"), states)

    def test_8250_uart(self):
        self.run_case("uart", usb=False)

    def test_ftdi_usb_adapter(self):
        self.run_case("usb", usb=True)


class AdapterPulledOut(GuestCase):
    def test_unplugged_in_the_middle_of_a_run_then_plugged_back(self):
        board, otp, firmware = BOARD, OTP, FIRMWARE
        first = self.agent("--silent-from", "3", log_pipe=True)
        g = self.boot("unplug", first, usb=True)
        g.until("PAUSE running")
        # host has sent frame 3 and waits for its answer: pull the adapter.
        read_until(first.process.stderr, "frame 3 ", timeout=guest.TAG_TIMEOUT)
        g.monitor("device_del us1")
        g.go_on()
        g.until("PAUSE replugged")
        self.assertEqual(g.values["node"], "gone")
        self.assertEqual(g.values["waiting"], "yes", "host keeps waiting for the answer")
        self.assertLess(int(g.values["cpu_ns_over_5s"]), 0.01 * 5e9, "under 1% of a CPU")
        self.assertEqual(g.values["sigterm_status"], str(128 + signal.SIGTERM))
        self.assertLess(int(g.values["sigterm_cs"]), 100, "SIGTERM ends host at once")
        self.assertEqual(g.files["out1"].decode("latin-1"),
                         BANNER + "Opening board.bin\nFile size 3000 bytes\n\nProgramming...")
        self.assertEqual(g.files["err1"], b"")
        # Plugged back, wired to a fresh agent: a new run completes.
        second = self.agent()
        g.monitor("chardev-add serial,id=s2,path=" + second.port)
        g.monitor("device_add usb-serial,chardev=s2,id=us2")
        g.go_on()
        g.finish()
        second.process.terminate()
        second.stop()
        self.assertEqual(g.values["status2"], "0")
        self.assertEqual(g.files["out2"].decode("latin-1"),
                         success_output(board, otp, firmware))
        self.assertEqual(second.frames(), expected_frames(board, otp, firmware, 0x1A000))


if __name__ == "__main__":
    unittest.main()
