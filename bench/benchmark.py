"""Measures host against the simulated agent on a pseudo-terminal and prints
one table: line efficiency, host cost per frame, waiting, memory and start."""

import os
import pty
import select
import statistics
import subprocess
import sys
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402
from harness import Agent, Workspace, cpu_seconds, frame_count, sample  # noqa: E402

BAUD = 115200
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit
FRAME, RESPONSE = 1038, 6
SYNC_PAUSE = 0.100
KiB, MiB = 1024, 1024 * 1024
FRAME_LINE_TIME = (FRAME + RESPONSE) * BITS_PER_BYTE / BAUD


def frames_for(board, otp, firmware):
    """Frames of a whole run: the data frames and the OTP execute frame."""
    return frame_count(board) + frame_count(otp) + 1 + frame_count(firmware)


def line_minimum(frames):
    """Seconds the line itself needs: sync byte, frames and answers, and the pause."""
    return (1 + frames * (FRAME + RESPONSE)) * BITS_PER_BYTE / BAUD + SYNC_PAUSE


def run_measured(args, cwd):
    """Runs host to its end: (wall seconds, CPU seconds)."""
    with open(os.path.join(cwd, "host.out"), "wb") as out:
        start = time.monotonic()
        process = subprocess.Popen([harness.HOST, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.monotonic() - start
        process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        with open(os.path.join(cwd, "host.out"), "rb") as f:
            raise RuntimeError("host failed: %r" % f.read()[-300:])
    return wall, usage.ru_utime + usage.ru_stime


def programming_run(sizes, *agent_options):
    ws = Workspace()
    try:
        board, otp, firmware = (sample(size, i + 1) for i, size in enumerate(sizes))
        ws.images(board, otp, firmware)
        agent = Agent(*agent_options, workspace=ws)
        result = run_measured([agent.port, "001122334455"], ws.path)
        agent.stop()
        if agent.received("firmware.bin") != firmware:
            raise RuntimeError("the firmware image did not arrive intact")
        return result
    finally:
        ws.remove()


def peak_memory(image_size):
    """Peak resident memory of host after programming an image of this size.
    Read from the process itself (VmHWM) while it waits at its end: the peak
    that wait4 reports would include the benchmark's own pages from before
    the exec."""
    ws = Workspace()
    try:
        with open(os.path.join(ws.path, "board.bin"), "wb") as f:
            f.write(sample(MiB, 1) * (image_size // MiB))
        # No OTP entry: after the board data job host waits for a key.
        ws.config("Boarddata: board.bin\n")
        agent = Agent(workspace=ws)
        host = subprocess.Popen([harness.HOST, agent.port, "001122334455"], cwd=ws.path,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        harness.read_until(host.stdout, "Programming OTP failed\n", timeout=600)
        with open("/proc/%d/status" % host.pid) as f:
            peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
        host.stdin.close()
        host.wait()
        host.stdout.close()
        agent.stop()
        return peak
    finally:
        ws.remove()


def waiting_share(seconds, *agent_options):
    ws = Workspace()
    try:
        ws.images(sample(3000, 1), b"", b"")
        agent = Agent(*agent_options, workspace=ws)
        host = subprocess.Popen([harness.HOST, agent.port, "001122334455"], cwd=ws.path,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        harness.read_until(host.stdout, "Programming..")
        before, start = cpu_seconds(host.pid), time.monotonic()
        time.sleep(seconds)  # the measurement window itself
        share = (cpu_seconds(host.pid) - before) / (time.monotonic() - start)
        host.kill()
        host.wait()
        host.stdin.close()
        host.stdout.close()
        agent.stop()
        return share
    finally:
        ws.remove()


def start_to_sync():
    """Seconds from the start of the process to the sync byte on the line."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    ws = Workspace()
    try:
        start = time.monotonic()
        host = subprocess.Popen([harness.HOST, os.ttyname(slave), "001122334455"], cwd=ws.path,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        if not select.select([master], [], [], 10)[0] or os.read(master, 1) != b"\xdd":
            raise RuntimeError("no sync byte")
        took = time.monotonic() - start
        host.wait()
        return took
    finally:
        os.close(master)
        os.close(slave)
        ws.remove()


def main():
    rows = []

    def row(name, measured, goal, ratio, note=""):
        rows.append((name, measured, goal, ratio, note))

    sizes = (100, 100, 64 * KiB)
    frames = frames_for(*sizes)
    walls = [programming_run(sizes, "--baud", str(BAUD))[0] for _ in range(3)]
    wall = statistics.median(walls)
    minimum = line_minimum(frames)
    row("1. line efficiency, 64 KiB at 115200", "%.3f s" % wall,
        ">= 99% of line", "%.2f%%" % (100 * minimum / wall),
        "line minimum %.3f s for %d frames (median of 3)" % (minimum, frames))

    sizes = (100, 100, 16 * MiB)
    frames = frames_for(*sizes)
    runs = [programming_run(sizes) for _ in range(3)]
    cpu = statistics.median(r[1] for r in runs)
    wall = statistics.median(r[0] for r in runs)
    per_frame = cpu / frames
    row("2. host CPU per frame, unpaced", "%.1f us" % (per_frame * 1e6), "< 50 us",
        "%.2f" % (per_frame * 1e6 / 50), "%d frames, %.0f frames/s, median of 3" % (
            frames, frames / wall))
    row("   as a share of a frame's line time", "%.4f%%" % (100 * per_frame / FRAME_LINE_TIME),
        "< 0.06%", "%.2f" % (per_frame / FRAME_LINE_TIME / 0.0006),
        "a frame and its answer: %.1f ms at 115200" % (FRAME_LINE_TIME * 1000))

    share = waiting_share(5, "--silent-from", "2")
    row("3. CPU while the agent is silent", "%.3f%%" % (100 * share), "< 1%",
        "%.3f" % (share / 0.01), "over 5 s")
    share = waiting_share(5, "--hangup-at", "2")
    row("   CPU after a hang-up", "%.3f%%" % (100 * share), "< 1%", "%.3f" % (share / 0.01),
        "over 5 s")

    image = 64 * MiB
    rss = peak_memory(image)
    row("4. peak memory, 64 MiB image", "%.1f MiB" % (rss / MiB), "<= image + 4 MiB",
        "%.3f" % (rss / (image + 4 * MiB)), "image + %.1f MiB" % ((rss - image) / MiB))

    starts = [start_to_sync() for _ in range(10)]
    took = statistics.median(starts)
    row("5. start to sync byte", "%.1f ms" % (took * 1000), "< 50 ms", "%.2f" % (took / 0.05),
        "median of 10, process start included")

    print("host benchmark: %d cores, %s" % (os.cpu_count(), os.uname().machine))
    widths = [max(len(str(r[i])) for r in rows + [("figure", "measured", "goal", "ratio", "")])
              for i in range(5)]
    header = ("figure", "measured", "goal", "ratio", "")
    for r in [header] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
    print("ratio: measured against the goal (under 1 meets it), or, for line efficiency,"
          " the share of the line's own minimum time")


if __name__ == "__main__":
    main()
