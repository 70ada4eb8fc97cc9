"""Measures host against the simulated agent on a pseudo-terminal and prints
one table: line efficiency, host cost per frame, waiting, memory and start."""

import json
import os
import pty
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("GUEST_KERNEL_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                       "..", "build", "guest-kernel"))
import harness  # noqa: E402
import used_macs  # noqa: E402
from harness import (FRAME_SIZE, RESPONSE_SIZE, Agent, Workspace, cpu_seconds,  # noqa: E402
                     frame_count, sample)

BAUD = 115200
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit
FRAME, RESPONSE = FRAME_SIZE, RESPONSE_SIZE
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


def guest_runs(sizes):
    """The paced run inside the QEMU guest through the 8250 UART and the FTDI
    adapter: host's wall time as the guest measured it, per driver."""
    import guest  # noqa: E402  (only this figure needs QEMU and the guest kernel)
    images = dict(zip(("board.bin", "otp.bin", "fw.bin"),
                      (sample(size, i + 1) for i, size in enumerate(sizes))))
    images["tivConfig.txt"] = (b"Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: 1A000\n"
                               b"Firmware: fw.bin\n")
    ws = Workspace()
    try:
        initramfs = os.path.join(ws.path, "initramfs.cpio")
        guest.make_initramfs(initramfs, harness.HOST, images)
        walls = {}
        for driver in ("uart", "usb"):
            agent = Agent("--baud", str(BAUD), workspace=ws)
            g = guest.Guest("bench-" + driver, agent.port, initramfs, driver == "usb")
            try:
                g.finish()
            finally:
                g.kill()
            agent.process.terminate()
            agent.stop()
            _, events = guest.line_states(g.files["lines"])
            if events["first-exit"] != "0" or agent.received("firmware.bin") != images["fw.bin"]:
                raise RuntimeError("the run in the guest failed: %r" % g.files["out1"][-300:])
            walls[driver] = int(events["first-ms"]) / 1000
        return walls
    finally:
        ws.remove()


def production_line(boards, sizes):
    """`boards` paced runs at once, each host with its own agent on its own
    pseudo-terminal: (wall seconds of each run, host CPU seconds summed)."""
    spaces, agents, hosts = [], [], []
    images = [sample(size, i + 1) for i, size in enumerate(sizes)]
    try:
        for _ in range(boards):
            ws = Workspace()
            spaces.append(ws)
            ws.images(*images)
            agents.append(Agent("--baud", str(BAUD), workspace=ws))
        poller = select.poll()
        for ws, agent in zip(spaces, agents):
            out = open(os.path.join(ws.path, "host.out"), "wb")
            start = time.monotonic()
            process = subprocess.Popen([harness.HOST, agent.port, "001122334455"], cwd=ws.path,
                                       stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT)
            out.close()
            pid_fd = os.pidfd_open(process.pid)
            poller.register(pid_fd, select.POLLIN)
            hosts.append({"process": process, "start": start, "pid_fd": pid_fd})
        by_fd = {h["pid_fd"]: h for h in hosts}
        cpu, left = 0.0, len(hosts)
        while left:
            for fd, _ in poller.poll(600_000):
                h = by_fd[fd]
                h["wall"] = time.monotonic() - h["start"]
                _, status, usage = os.wait4(h["process"].pid, 0)
                h["process"].returncode = os.waitstatus_to_exitcode(status)
                cpu += usage.ru_utime + usage.ru_stime
                poller.unregister(fd)
                os.close(fd)
                left -= 1
        for h, agent in zip(hosts, agents):
            agent.stop()
            if h["process"].returncode != 0 or agent.received("firmware.bin") != images[2]:
                raise RuntimeError("a board of the production line failed")
        return [h["wall"] for h in hosts], cpu
    finally:
        for ws in spaces:
            ws.remove()


def record_times(records):
    """Each record's run time, from its start to its end, in seconds."""
    import datetime

    def at(text):
        return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()

    return [at(r["ended"]) - at(r["started"]) for r in records]


def station_images(ws, sizes):
    """Images of `sizes` and their tivConfig.txt in the folder images/ of a
    station's workspace; returns the images."""
    images = [sample(size, i + 1) for i, size in enumerate(sizes)]
    os.mkdir(os.path.join(ws.path, "images"))
    for name, data in zip(("board.bin", "otp.bin", "fw.bin"), images):
        with open(os.path.join(ws.path, "images", name), "wb") as f:
            f.write(data)
    with open(os.path.join(ws.path, "images", "tivConfig.txt"), "w") as f:
        f.write("Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: 1A000\nFirmware: fw.bin\n")
    return images


def station_round(station, folder, macs):
    """Locks the images of the station in `folder` and runs one round with
    `macs`: (its exit status, the station's own CPU seconds, wall seconds)."""
    subprocess.run([station, "lock"], cwd=folder, check=True, capture_output=True)
    start = time.monotonic()
    process = subprocess.Popen([station, "run", *macs], cwd=folder,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    pid_fd = os.pidfd_open(process.pid)
    own_cpu = 0.0
    # The station's own CPU (its children are not in its task's figures),
    # read until it ends.
    while not select.select([pid_fd], [], [], 0.05)[0]:
        own_cpu = cpu_seconds(process.pid)
    os.close(pid_fd)
    status = process.wait()
    return status, own_cpu, time.monotonic() - start


def paced_fixtures(ws, boards, agents, host=None):
    """A station file in `ws` with `boards` fixtures, each behind its own
    agent paced as a 115200-baud line (appended to `agents`), run by `host`
    (else the benchmark's); returns the round's --mac arguments."""
    text = 'station = "bench"\nconfig = "images/tivConfig.txt"\nhost = "%s"\n' % (
        host or harness.HOST)
    macs = []
    for n in range(boards):
        agent = Agent("--baud", str(BAUD), workspace=ws)
        agents.append(agent)
        text += '[[fixture]]\nname = "F%d"\nport = "%s"\n' % (n, agent.port)
        macs += ["--mac", "F%d=%012X" % (n, 0x1000 + n)]
    with open(os.path.join(ws.path, "station.toml"), "w") as f:
        f.write(text)
    return macs


def production_station(boards, sizes):
    """`boards` fixtures through one station, each with its own paced agent:
    (each board's run time from its record, the station's own CPU seconds,
    time to commit a record to SQLite: median and 99th percentile in ms)."""
    station, store_bench = os.environ["STATION"], os.environ["STORE_BENCH"]
    ws = Workspace()
    agents = []
    try:
        images = station_images(ws, sizes)
        macs = paced_fixtures(ws, boards, agents)
        status, own_cpu, _ = station_round(station, ws.path, macs)
        if status != 0:
            raise RuntimeError("a board of the station's round failed")
        out = subprocess.run([station, "export", "--json"], cwd=ws.path, check=True,
                             capture_output=True).stdout
        runs = record_times(json.loads(out))
        for agent in agents:
            agent.stop()
            if agent.received("firmware.bin") != images[2]:
                raise RuntimeError("a board of the station's round got other bytes")
        commit = subprocess.run([store_bench, os.path.join(ws.path, "bench.db"), "1000"],
                                check=True, capture_output=True, text=True).stdout.split()
        return runs, own_cpu, [float(x) for x in commit]
    finally:
        for agent in agents:
            agent.stop()
        ws.remove()


def station_with_viewers(boards, sizes, viewers, attacked=False):
    """Figure 8's round again with `station serve` open and `viewers`
    browsers' event streams reading it: (each board's run time from its
    record, each record's end to its sight on each stream in seconds, and
    the attack beside it when `attacked`)."""
    import serve_bench
    station = os.environ["STATION"]
    ws = Workspace()
    agents, server, streams, attack = [], None, None, None
    try:
        station_images(ws, sizes)
        macs = paced_fixtures(ws, boards, agents)
        subprocess.run([station, "lock"], cwd=ws.path, check=True, capture_output=True)
        server, port = serve_bench.start(ws.path)
        if attacked:
            attack = serve_bench.Attack(port, server.pid)
        streams = serve_bench.Streams(port, viewers)
        if attacked:
            # The slow clients' 10 s for a whole request ends during the
            # round: those closed are opened again meanwhile.
            streams.read(6)
        process = subprocess.Popen([station, "run", *macs], cwd=ws.path,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        while process.poll() is None:
            streams.read(0.2)
        streams.read(3)
        if process.returncode != 0:
            raise RuntimeError("a board of the station's round failed")
        records = json.loads(subprocess.run([station, "export", "--json"], cwd=ws.path,
                                            check=True, capture_output=True).stdout)
        if attack:
            attack.stop()
        return record_times(records), serve_bench.delays(streams, records), attack
    finally:
        if attack:
            attack.stop()
        if streams:
            streams.close()
        if server:
            serve_bench.stop(server)
        for agent in agents:
            agent.stop()
        ws.remove()


def emulated_station(boards, sizes):
    """Figure 14: the aarch64 station and its aarch64 host, both run by
    qemu-user (the kernel hands them to it through binfmt_misc), a round of
    `boards` paced fixtures and a round of one: (each board's run time from
    its record, the lone board's)."""
    station, host = os.environ["STATION_AARCH64"], os.environ["HOST_AARCH64"]
    runs = {}
    for count in (1, boards):
        ws = Workspace()
        agents = []
        try:
            images = station_images(ws, sizes)
            macs = paced_fixtures(ws, count, agents, host)
            status, _, _ = station_round(station, ws.path, macs)
            if status != 0:
                raise RuntimeError("a board of the emulated station's round failed")
            out = subprocess.run([station, "export", "--json"], cwd=ws.path, check=True,
                                 capture_output=True).stdout
            runs[count] = record_times(json.loads(out))
            for agent in agents:
                agent.stop()
                if agent.received("firmware.bin") != images[2]:
                    raise RuntimeError("a board of the emulated round got other bytes")
        finally:
            for agent in agents:
                agent.stop()
            ws.remove()
    return runs[boards], runs[1][0]


def judged_as_host_did(record, agent):
    """Whether a record's outcome, stage, message and frames agree with what
    its host did (exit status, transcript) and what its agent received."""
    t, received = record["transcript"], len(agent.frames())
    if record["exit_status"] == 0:
        return (record["outcome"] == "passed" and t.endswith("Programming TIV successful\n")
                and record["frames"] == received)
    if record["exit_status"] == 1:
        return (record["outcome"] == "failed" and record["message"] != ""
                and record["message"] + "\n" in t and record["frames"] == received - 1)
    return (record["outcome"] == "stalled" and record["exit_status"] is None
            and record["message"] == "no answer to frame %d" % received
            and record["frames"] == received - 1)


def station_with_faults(boards, sizes, stall):
    """`boards` fixtures through one station against unpaced agents, a tenth
    answering a frame with an error and a tenth going silent: (how many
    records agree with what their host did, the outcomes counted, the
    station's own CPU seconds, the round's wall seconds)."""
    station = os.environ["STATION"]
    ws = Workspace()
    agents = []
    try:
        station_images(ws, sizes)
        text = ('station = "faults"\nconfig = "images/tivConfig.txt"\nstall = %s\n'
                'host = "%s"\n' % (stall, harness.HOST))
        frames = frames_for(*sizes)
        macs = []
        for n in range(boards):
            options = []
            if n % 10 == 3:
                options = ["--answer", "%d=%s" % (2 + n % (frames - 1),
                                                  ("000600000000", "000100000000")[n % 2])]
            elif n % 10 == 7:
                options = ["--silent-from", str(2 + n % (frames - 1))]
            folder = os.path.join(ws.path, "agent%d" % n)
            os.mkdir(folder)
            agent = Agent(*options, workspace=types.SimpleNamespace(path=folder))
            agents.append(agent)
            text += '[[fixture]]\nname = "F%d"\nport = "%s"\n' % (n, agent.port)
            macs += ["--mac", "F%d=%012X" % (n, 0x3000 + n)]
        with open(os.path.join(ws.path, "station.toml"), "w") as f:
            f.write(text)
        _, own_cpu, wall = station_round(station, ws.path, macs)
        out = subprocess.run([station, "export", "--json"], cwd=ws.path, check=True,
                             capture_output=True).stdout
        records = {r["fixture"]: r for r in json.loads(out)}
        agreeing, outcomes = 0, {}
        for n, agent in enumerate(agents):
            agent.stop()
            r = records.get("F%d" % n)
            if r is None:
                continue
            outcomes[r["outcome"]] = outcomes.get(r["outcome"], 0) + 1
            agreeing += judged_as_host_did(r, agent)
        return agreeing, outcomes, own_cpu, wall
    finally:
        for agent in agents:
            agent.stop()
        ws.remove()


def stations_on_postgres(stations, fixtures, sizes):
    """`stations` stations of `fixtures` fixtures each, paced, all at once
    against one PostgreSQL server: (each board's run time from its record,
    commit time median and 99th percentile in ms)."""
    import postgres
    station, store_bench = os.environ["STATION"], os.environ["STORE_BENCH"]
    server = postgres.Server()
    ws = Workspace()
    agents = []
    try:
        server.sql("CREATE DATABASE bench")
        store = server.keywords("bench")
        images = station_images(ws, sizes)
        commands = []
        for s in range(stations):
            text = ('station = "s%d"\nstore = "%s"\nconfig = "images/tivConfig.txt"\n'
                    'host = "%s"\n' % (s, store, harness.HOST))
            macs = []
            for n in range(fixtures):
                agent = Agent("--baud", str(BAUD), workspace=ws)
                agents.append(agent)
                text += '[[fixture]]\nname = "F%d"\nport = "%s"\n' % (n, agent.port)
                macs += ["--mac", "F%d=%012X" % (n, 0x2000 + s * 100 + n)]
            path = os.path.join(ws.path, "s%d.toml" % s)
            with open(path, "w") as f:
                f.write(text)
            if s == 0:
                subprocess.run([station, "-f", path, "init"], cwd=ws.path, check=True,
                               capture_output=True)
            subprocess.run([station, "-f", path, "lock"], cwd=ws.path, check=True,
                           capture_output=True)
            commands.append([station, "-f", path, "run", *macs])
        runs = [subprocess.Popen(c, cwd=ws.path, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL) for c in commands]
        if any(p.wait() != 0 for p in runs):
            raise RuntimeError("a board of the stations' rounds failed")
        out = subprocess.run([station, "-f", os.path.join(ws.path, "s0.toml"), "export",
                              "--json"], cwd=ws.path, check=True, capture_output=True).stdout
        records = json.loads(out)
        if len(records) != stations * fixtures:
            raise RuntimeError("records missing: %d" % len(records))
        for agent in agents:
            agent.stop()
        commit = subprocess.run([store_bench, server.keywords("bench"), "1000"], check=True,
                                capture_output=True, text=True).stdout.split()
        handout = subprocess.run([store_bench, "--pool", server.keywords("bench"), "1000"],
                                 check=True, capture_output=True, text=True).stdout.split()
        # After the 1,000 just handed out.
        later = handout_after_a_million(server.keywords("bench"), "0200000003E8",
                                        shutil.which("psql") or postgres.binary("psql"))
        return (record_times(records), [float(x) for x in commit], [float(x) for x in handout],
                later)
    finally:
        for agent in agents:
            agent.stop()
        ws.remove()
        server.remove()


def handout_after_a_million(location, first_unused, psql=None):
    """Figure 11 again once 1,000,000 MACs of the pool are used and the pool's
    place is forgotten (a pool changed in the file): median and 99th
    percentile in ms."""
    used_macs.fill(location, first_unused, 1_000_000, psql=psql)
    out = subprocess.run([os.environ["STORE_BENCH"], "--pool", location, "1000"], check=True,
                         capture_output=True, text=True).stdout.split()
    return [float(x) for x in out]


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

    lone, paced_sizes, paced_frames = wall, sizes, frames

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

    for driver, guest_wall in guest_runs(paced_sizes).items():
        name = {"uart": "6. the same in a QEMU guest, 8250 UART",
                "usb": "   the same, FTDI USB adapter (xHCI)"}[driver]
        share = line_minimum(paced_frames) / guest_wall
        row(name, "%.3f s" % guest_wall, "none (emulated)", "%.2f%%" % (100 * share),
            "pty %.3f s; %+.1f ms a frame" % (lone, (guest_wall - lone) / paced_frames * 1000))

    boards = 64
    walls, cpu = production_line(boards, paced_sizes)
    mean = statistics.mean(walls)
    row("7. production line, %d boards at once" % boards, "%.3f s" % mean, "mean within 1%",
        "%.4f" % (mean / lone), "mean; lone run %.3f s; all images intact" % lone)
    row("   slowest of the %d" % boards, "%.3f s" % max(walls), "", "%.4f" % (max(walls) / lone),
        "host CPU summed over the %d runs: %.3f s" % (boards, cpu))

    if os.environ.get("STATION"):
        runs, station_cpu, commit = production_station(boards, paced_sizes)
        mean = statistics.mean(runs)
        row("8. %d fixtures through station" % boards, "%.3f s" % mean, "mean within 1%",
            "%.4f" % (mean / lone), "mean run from its record; lone host %.3f s" % lone)
        row("   slowest of the %d" % boards, "%.3f s" % max(runs), "",
            "%.4f" % (max(runs) / lone), "station CPU %.1f ms a board" % (
                station_cpu / boards * 1000))
        row("   commit a record, SQLite", "%.2f ms" % commit[0], "", "",
            "median of 1000; 99th percentile %.2f ms" % commit[1])
        viewers = 50
        runs, seen, _ = station_with_viewers(boards, paced_sizes, viewers)
        mean = statistics.mean(runs)
        row("13. figure 8 with %d event streams open" % viewers, "%.3f s" % mean,
            "mean within 1%", "%.4f" % (mean / lone), "mean run; lone host %.3f s" % lone)
        p99 = sorted(seen)[int(len(seen) * 0.99) - 1]
        row("    a record's end to every stream", "%.0f ms" % (p99 * 1000), "< 1 s (p99)",
            "%.3f" % p99, "99th percentile of %d; median %.0f ms, slowest %.0f ms" % (
                len(seen), statistics.median(seen) * 1000, max(seen) * 1000))
        # Again with 200 more streams open and 1,000 slow clients beside.
        runs, seen, attack = station_with_viewers(boards, paced_sizes, viewers + 200, True)
        mean = statistics.mean(runs)
        row("13. the same under attack", "%.3f s" % mean, "mean within 1%",
            "%.4f" % (mean / lone), "%d streams, 1,000 slow clients, 5,000 idle connections "
            "from 40 addresses (%d closed and opened again), 512 streams never read; lone host "
            "%.3f s" % (viewers + 200, attack.closed, lone))
        p99 = sorted(seen)[int(len(seen) * 0.99) - 1]
        row("    a record's end to every stream", "%.0f ms" % (p99 * 1000), "< 1 s (p99)",
            "%.3f" % p99, "99th percentile of %d; median %.0f ms, slowest %.0f ms" % (
                len(seen), statistics.median(seen) * 1000, max(seen) * 1000))
        page = attack.p99_page()
        row("    first byte of / meanwhile", "%.1f ms" % (page * 1000), "< 100 ms (p99)",
            "%.3f" % (page / 0.1), "99th percentile of %d; median %.1f ms" % (
                len(attack.page_times), statistics.median(attack.page_times) * 1000))
        row("    serve's resident memory, peak", "%.1f MB" % attack.peak_mb, "< 128 MB",
            "%.3f" % (attack.peak_mb / 128), "")
        grew = attack.kernel_peak - attack.kernel_before
        row("    the kernel's TCP memory, peak", "+%.1f MB" % grew, "< 64 MB", "%.3f" % (grew / 64),
            "/proc/net/sockstat, all TCP sockets, from %.1f MB before" % attack.kernel_before)
        row("    a request of 200 MB of headers", attack.header_answer[9:12] or "closed", "431",
            "", "after %d MB sent; memory %.1f MB before, %.1f MB after" % (
                attack.header_sent >> 20, attack.rss_before_header, attack.rss_after_header))

    emulated = os.path.exists("/proc/sys/fs/binfmt_misc/qemu-aarch64")
    if os.environ.get("STATION_AARCH64") and emulated:
        boards = 16
        runs, alone = emulated_station(boards, paced_sizes)
        mean = statistics.mean(runs)
        row("14. %d fixtures, aarch64 station emulated" % boards, "%.3f s" % mean,
            "none (emulated)", "%.4f" % (mean / alone),
            "mean against a lone board through it, %.3f s; slowest %.3f s; native lone host "
            "%.3f s" % (alone, max(runs), lone))

    if os.environ.get("STATION"):
        runs, commit, pg_handout, pg_later = stations_on_postgres(8, 8, paced_sizes)
        row("9. commit a record, PostgreSQL", "%.2f ms" % commit[0], "", "",
            "median of 1000; 99th percentile %.2f ms; Unix socket" % commit[1])
        mean = statistics.mean(runs)
        row("   8 stations x 8 fixtures, one server", "%.3f s" % mean, "mean within 1%",
            "%.4f" % (mean / lone), "mean; slowest %.3f s; lone host %.3f s" % (max(runs), lone))

    if os.environ.get("STATION"):
        with tempfile.TemporaryDirectory() as folder:
            pool = os.path.join(folder, "pool.db")
            handout = [float(x) for x in subprocess.run(
                [os.environ["STORE_BENCH"], "--pool", pool, "1000"], check=True,
                capture_output=True, text=True).stdout.split()]
            later = handout_after_a_million(pool, "0200000003E8")
        row("11. a MAC from the pool and its record", "%.2f ms" % handout[0], "", "",
            "SQLite, median of 1000; 99th percentile %.2f ms" % handout[1])
        row("    the same, 1,000,000 MACs used", "%.2f ms" % later[0], "within 20%",
            "%.3f" % (later[0] / handout[0]), "median of 1000; 99th percentile %.2f ms" % later[1])
        row("    the same, PostgreSQL", "%.2f ms" % pg_handout[0], "", "",
            "median of 1000; 99th percentile %.2f ms; Unix socket" % pg_handout[1])
        row("    PostgreSQL, 1,000,000 MACs used", "%.2f ms" % pg_later[0], "within 20%",
            "%.3f" % (pg_later[0] / pg_handout[0]),
            "median of 1000; 99th percentile %.2f ms" % pg_later[1])

    if os.environ.get("STATION"):
        boards = 1000
        agreeing, outcomes, station_cpu, wall = station_with_faults(boards, (3000, 1500, 5000), 3)
        row("10. %d fixtures, a fifth at fault" % boards, "%d of %d" % (agreeing, boards),
            "every record as host did", "%.3f" % (agreeing / boards),
            "records agreeing with their host; %s; round %.1f s" % (
                ", ".join("%d %s" % (c, o) for o, c in sorted(outcomes.items())), wall))
        row("   station CPU a board", "%.2f ms" % (station_cpu / boards * 1000), "", "",
            "unpaced agents, stall 3 s")

    if os.environ.get("STATION"):
        import year_bench  # figure 12: its own program, for a run of its own by hand
        rows += year_bench.figures()

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
