"""The station's labels: a template in the printer's own language, filled for
each board that passes and sent to a raw label printer (played by a listener
of the test on a loopback port, which keeps each job's bytes), after its
record is written; a printer that is off during a round, and one that stays
off until `station label` prints what the round could not."""

import csv
import io
import json
import os
import pwd
import re
import shutil
import tempfile
import socket
import subprocess
import threading
import time
import unittest

import postgres
from harness import RUN_TIMEOUT
from test_station import STATION, InTmux, Line, StationCase, mac
from test_station_serve import BrowserCase, Serve, wait_for

TEMPLATE = ("^XA^FO20,20^FD{mac}^FS^FO20,60^FD{mac_colons}^FS^FD{lot}|{station}|{fixture}|"
            "{date}|{record}^FS~{{braces}}^XZ\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RawPrinter:
    """A raw label printer on a loopback port: each connection is a job,
    whose bytes it keeps."""

    def __init__(self, port):
        self.jobs = []
        self.arrived = threading.Condition()
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", port))
        self.server.listen(16)
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return  # switched off
            with client:
                data = b""
                while chunk := client.recv(65536):
                    data += chunk
            with self.arrived:
                self.jobs.append(data)
                self.arrived.notify_all()

    def wait_for_jobs(self, count, timeout=RUN_TIMEOUT):
        with self.arrived:
            if not self.arrived.wait_for(lambda: len(self.jobs) >= count, timeout):
                raise AssertionError("%d of %d labels arrived" % (len(self.jobs), count))
            return list(self.jobs)

    def switch_off(self):
        self.server.shutdown(socket.SHUT_RDWR)
        self.server.close()
        self.thread.join()


class LabelCase(StationCase):
    def label_line(self, fixtures, port, template=TEMPLATE, lot="L7", verify=False):
        line = Line(fixtures=0)
        self.addCleanup(line.remove)
        with open(os.path.join(line.path, "label.zpl"), "w") as f:
            f.write(template)
        line.station_file(fixtures=fixtures, extra='lot = "%s"\n[label]\ntemplate = "label.zpl"\n'
                          'printer = "socket://127.0.0.1:%d"\n%s' %
                          (lot, port, "verify = true\n" if verify else ""))
        return line

    def verifying_line(self):
        """A fixture whose labels are read back, its printer on, locked and
        plugged: (printer, line)."""
        port = free_port()
        printer = self.printer(port)
        line = self.label_line(1, port, verify=True)
        self.assertEqual(line.station("lock")[2], 0)
        line.plug(1)
        return printer, line

    def printer(self, port):
        printer = RawPrinter(port)
        self.addCleanup(lambda: printer.server.fileno() >= 0 and printer.switch_off())
        return printer


class Printed(LabelCase):
    def test_each_passed_board_gets_its_label_filled_in_and_a_failed_board_none(self):
        port = free_port()
        printer = self.printer(port)
        line = self.label_line(2, port)
        out, err, status = line.station("lock")
        self.assertEqual(status, 0, err)
        self.assertRegex(out, r"\n  label      [0-9a-f]{64}  %s for socket://127\.0\.0\.1:%d\n" %
                         (os.path.join(line.path, "label.zpl"), port))
        line.plug(1)
        line.plug(2, "--answer", "3=000600000000")
        out, err, status = line.station("run", "--json", *self.macs([1, 2]))
        self.assertEqual(status, 1, err)
        events = [json.loads(l) for l in out.splitlines()]
        labels = [e for e in events if e["event"] == "label"]
        record = {r["fixture"]: r for r in line.export()}["A1"]
        self.assertEqual([(l["fixture"], l["mac"], l["record"], l["printed"], l["why"])
                          for l in labels], [("A1", mac(1), record["id"], True, "")])
        jobs = printer.wait_for_jobs(1)
        day = time.strftime("%Y-%m-%d", time.localtime())
        colons = ":".join(mac(1)[i:i + 2] for i in range(0, 12, 2))
        self.assertEqual(jobs, [("^XA^FO20,20^FD%s^FS^FO20,60^FD%s^FS^FDL7|line1|A1|%s|%s^FS"
                                 "~{braces}^XZ\n" % (mac(1), colons, day, record["id"])).encode()])
        out, err, status = line.station("history", mac(1))
        self.assertRegex(out, r"== MAC %s label printed \S+ \S+ on socket://127\.0\.0\.1:%d, "
                              r"job raw-[0-9a-f]{8} for record %s, by \S+\n" %
                         (mac(1), port, record["id"]))
        self.assertNotIn("label", line.station("history", mac(2))[0].split("== MAC")[-1])
        self.assertEqual(len(printer.jobs), 1, "a failed board got no label")
        # The board's page says it too.
        server = Serve(line)
        self.addCleanup(server.close)
        status, _, page = server.get("/board/" + mac(1))
        self.assertEqual(status, 200)
        self.assertRegex(page, r'<p class="label">label printed \S+ \S+ on socket://127\.0\.0\.1:'
                               r'%d, job raw-[0-9a-f]{8} for record %s, by \S+</p>' %
                         (port, record["id"]))

    def test_a_template_is_checked_at_lock_and_locked_with_the_images(self):
        port = free_port()
        line = self.label_line(1, port, template="^XA^FD{serial}^XZ")
        out, err, status = line.station("lock")
        self.assertEqual(status, 2)
        self.assertRegex(err, r"station\.toml:\d+: the label template .*label\.zpl has unknown "
                              r"placeholder \{serial\}: the label's are \{mac\}, \{mac_colons\}")
        for text, why in (("^FD{mac", 'a "{" without its "}"'), ("^FD}", 'a "}" without its "{"')):
            with open(os.path.join(line.path, "label.zpl"), "w") as f:
                f.write(text)
            self.assertIn(why, line.station("lock")[1])
        with open(os.path.join(line.path, "label.zpl"), "w") as f:
            f.write(TEMPLATE)
        self.assertEqual(line.station("lock")[2], 0)
        with open(os.path.join(line.path, "label.zpl"), "a") as f:
            f.write("^FDextra^FS")
        line.plug(1)
        out, err, status = line.station("run", *self.macs([1]))
        self.assertEqual(status, 2)
        self.assertIn("label.zpl is not the locked one", err)
        self.assertIn("run `station lock`", err)
        for printer, why in (("lpt 1", "or a CUPS queue's name"),
                             ("socket://127.0.0.1:0", "socket://HOST:PORT")):
            line.station_file(fixtures=1, extra='[label]\ntemplate = "label.zpl"\n'
                              'printer = "%s"\n' % printer)
            err = line.station("lock")[1]
            self.assertRegex(err, r"station\.toml:\d+: \"printer\" is a raw label printer")
            self.assertIn(why, err)


class PrinterOff(LabelCase):
    def test_a_printer_off_during_a_round_gets_its_labels_when_it_is_back(self):
        port = free_port()
        line = self.label_line(2, port)
        self.assertEqual(line.station("lock")[2], 0)
        line.plug(1)
        line.plug(2, "--delay", "300")  # A2 runs a few seconds more
        station = line.start("run", "--json", *self.macs([1, 2]))
        self.addCleanup(station.stdout.close)
        events = []

        def next_event():
            data = station.stdout.readline()
            self.assertTrue(data, "the round ended early: %r" % events)
            events.append(json.loads(data))
            return events[-1]

        while not (events and events[-1]["event"] == "label"):
            next_event()
        self.assertEqual((events[-1]["fixture"], events[-1]["printed"]), ("A1", False))
        self.assertIn("refused", events[-1]["why"])
        # The line's page says so while the station tries again.
        server = Serve(line)
        self.addCleanup(server.close)

        def label_of(fixture):
            return [f["label"] for f in server.line()["fixtures"] if f["fixture"] == fixture][0]
        wait_for(lambda: label_of("A1") == "not printed", "A1's label not printed on the page")
        self.assertIn('<div class="label">label not printed</div>', server.get("/")[2])
        # Back: A1's label is printed within the retry's 5 s, while A2 runs.
        printer = self.printer(port)
        jobs = printer.wait_for_jobs(1, timeout=15)
        self.assertIn(mac(1).encode(), jobs[0])
        while not (events[-1]["event"] == "label" and events[-1]["printed"]):
            next_event()
        self.assertEqual(events[-1]["fixture"], "A1")
        while events[-1]["event"] != "round":
            next_event()
        self.assertEqual(station.wait(timeout=RUN_TIMEOUT), 0)
        self.assertEqual(len(printer.wait_for_jobs(2)), 2)
        wait_for(lambda: label_of("A1") == label_of("A2") == "printed", "both labels printed")
        self.assertEqual(sorted(j.split(b"^FD")[1][:12] for j in printer.jobs),
                         [mac(1).encode(), mac(2).encode()])

    def test_labels_not_printed_by_the_rounds_end_are_printed_by_station_label(self):
        port = free_port()
        line = self.label_line(1, port)
        self.assertEqual(line.station("lock")[2], 0)
        line.plug(1)
        out, err, status = line.station("run", *self.macs([1]))
        self.assertEqual(status, 0, err)
        self.assertEqual(out.count("label not printed (Connection refused): `station label %s` "
                                   "prints it\n" % mac(1)), 1, out)
        self.assertIn("label not printed", line.station("history", mac(1))[0])
        printer = self.printer(port)
        out, err, status = line.station("label", mac(1))
        self.assertEqual(status, 0, err)
        self.assertRegex(out, r"label of MAC %s \(record \S+\) printed on socket://127\.0\.0\.1:"
                              r"%d, job raw-[0-9a-f]{8}\n" % (mac(1), port))
        out, err, status = line.station("label", mac(1))
        self.assertEqual(status, 2)
        self.assertIn("was printed before: give --reason TEXT", err)
        out, err, status = line.station("label", mac(1), "--reason", "smudged")
        self.assertEqual(status, 0, err)
        self.assertEqual(len(printer.wait_for_jobs(2)), 2)
        self.assertEqual(printer.jobs[0], printer.jobs[1])
        history = line.station("history", mac(1))[0]
        self.assertEqual([l.split(" label ")[1].split(" ")[0] for l in history.splitlines()
                          if " label " in l], ["not", "printed", "reprinted"])
        self.assertIn(": smudged\n", history)
        self.assertEqual(line.station("label", mac(2))[2], 2)
        # The export's last columns: the first print and the reprints.
        out, err, status = line.station("export", "--csv")
        row = list(csv.DictReader(io.StringIO(out)))[0]
        printed = [l for l in history.splitlines() if " label printed " in l][0]
        self.assertEqual(list(row)[-3:], ["label_printed", "label_job", "label_reprints"])
        self.assertRegex(row["label_printed"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertIn("job " + row["label_job"] + " ", printed)
        self.assertEqual(row["label_reprints"], "1")


class ReadBack(LabelCase):
    def test_a_label_scanned_back_verifies_it_a_wrong_one_is_refused_and_recorded(self):
        self.read_back_shift()

    def read_back_shift(self):
        """A shift whose labels are read back, one wrong: its line and the
        printer's server."""
        printer, line = self.verifying_line()
        s = self.shift(line)
        s.write(mac(1))
        prompt = "label of A1 (%s): scan it (p prints it again, - sets the board aside): " % mac(1)
        s.wait_for(prompt)
        self.assertEqual(len(printer.wait_for_jobs(1)), 1)
        # The wrong label: refused, and the fixture is not asked a MAC.
        s.write("00:11:22:33:44:99")
        s.wait_for('refused: A1 %s: label read back wrong (the scan reads "00:11:22:33:44:99"): '
                   "p prints it again, - sets the board aside" % mac(1))
        s.wait_for(prompt)
        s.write("p")
        s.wait_for(prompt)
        self.assertEqual(len(printer.wait_for_jobs(2)), 2)
        s.write(mac(1).lower())
        s.wait_for("A1 %s: label verified" % mac(1))
        text, err, status = s.end()
        self.assertEqual((status, err), (0, ""), text)
        history = line.station("history", mac(1))[0]
        self.assertEqual([l.split(" label ")[1].split(" ")[0] for l in history.splitlines()
                          if " label " in l], ["printed", "mismatch", "reprinted", "verified"])
        self.assertIn(": 00:11:22:33:44:99\n", history)
        self.assertIn(": printed again at the fixture (p)\n", history)
        # Labels verified against boards passed: the report, its CSV and the
        # yield page.
        out = line.station("report", "--by", "fixture")[0]
        self.assertRegex(out, r"fixture\s+boards\s+passed\s+first-pass yield\s+labels verified\n"
                              r"A1\s+1\s+1\s+100\.0%\s+1 of 1\n")
        rows = list(csv.DictReader(io.StringIO(line.station("report", "--csv")[0])))
        self.assertEqual([r["labels_verified"] for r in rows], ["1"])
        server = Serve(line)
        self.addCleanup(server.close)
        self.assertIn('<td class="n labels">1 of 1</td>', server.get("/yield?by=fixture")[2])
        return line, server


class YieldInChromium(BrowserCase, ReadBack):
    """The yield page's count of labels verified, as a browser shows it."""

    def test_a_label_scanned_back_verifies_it_a_wrong_one_is_refused_and_recorded(self):
        line, server = self.read_back_shift()
        self.browser.get(server.url + "/yield?by=fixture")
        cells = self.js("""return [...document.querySelectorAll('table.groups tr')].map(
            row => [...row.children].map(cell => cell.textContent));""")
        self.assertEqual(cells, [["fixture", "boards", "passed", "first-pass yield",
                                  "labels verified"],
                                 ["A1", "1", "1", "100.0%", "1 of 1"]])


class ReadBackOnThePanel(InTmux, LabelCase):
    def test_a_wrong_label_turns_the_row_red_until_the_board_is_set_aside(self):
        printer, line = self.verifying_line()
        socket, ended = self.in_tmux(line, ["run", "--continuous"], 100)
        self.wait_for(socket, r"MAC for A1:")
        self.keys(socket, mac(1), "Enter")
        self.wait_for(socket, r"label of A1 \(%s\): scan it" % mac(1))
        self.assertEqual(len(printer.wait_for_jobs(1)), 1)
        self.keys(socket, "001122334499", "Enter")
        pane = self.wait_for(socket, r"^A1 +LABEL +%s +label read back wrong: p prints it again"
                             % mac(1))
        self.assertIn('the scan reads "001122334499"', pane)
        coloured = subprocess.run([self.tmux, "-S", socket, "capture-pane", "-p", "-e"],
                                  capture_output=True, text=True, check=True).stdout
        self.assertIn("\x1b[31mLABEL", coloured)  # bold red, as tmux writes it back
        self.keys(socket, "-", "Enter")
        self.wait_for(socket, r"A1 %s: label unverified, set aside at the fixture" % mac(1))
        self.keys(socket, "q", "Enter")
        self.assertEqual(self.status(ended), 0)


CUPSD, LPADMIN = "/usr/sbin/cupsd", "/usr/sbin/lpadmin"
PDF_PPD = "lsb/usr/cups-pdf/CUPS-PDF_opt.ppd"
# Where the README's picture of a printed label is written, when asked.
README_LABEL = os.environ.get("README_LABEL", "")


class Cups:
    """A CUPS scheduler of the test's own (its configuration, spool and
    socket in a folder of its own; nothing of the machine's CUPS is
    touched) with a queue LABELS that prints to PDF (cups-pdf), whose
    files land in the printing user's ~/PDF."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="station_cups_")
        os.chmod(self.folder, 0o755)
        for sub in ("etc", "spool", "spool/tmp", "state", "cache", "log"):
            os.makedirs(os.path.join(self.folder, sub), exist_ok=True)
        os.chmod(os.path.join(self.folder, "spool/tmp"), 0o1777)
        self.socket = os.path.join(self.folder, "cups.sock")
        files = os.path.join(self.folder, "cups-files.conf")
        with open(files, "w") as f:
            f.write("".join("%s %s\n" % pair for pair in (
                ("ServerRoot", self.folder + "/etc"), ("RequestRoot", self.folder + "/spool"),
                ("StateDir", self.folder + "/state"), ("CacheDir", self.folder + "/cache"),
                ("TempDir", self.folder + "/spool/tmp"),
                ("ErrorLog", self.folder + "/log/error_log"),
                ("AccessLog", self.folder + "/log/access_log"),
                ("PageLog", self.folder + "/log/page_log"), ("ServerBin", "/usr/lib/cups"),
                ("DataDir", "/usr/share/cups"), ("User", "lp"), ("Group", "lp"),
                ("SystemGroup", "root"))))
        conf = os.path.join(self.folder, "cupsd.conf")
        with open(conf, "w") as f:
            f.write("Listen %s\nLogLevel info\nWebInterface No\nBrowsing No\n"
                    "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                    "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n"
                    "</Policy>\n" % self.socket)
        for name in ("cupsd.conf", "cups-files.conf"):
            shutil.copy(os.path.join(self.folder, name), os.path.join(self.folder, "etc"))
        self.process = subprocess.Popen([CUPSD, "-f", "-c", conf, "-s", files],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + RUN_TIMEOUT
            while self.lp("lpstat", "-r").stdout != "scheduler is running\n":
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise AssertionError("cupsd did not start")
                time.sleep(0.1)  # polls the scheduler's start
            done = self.lp(LPADMIN, "-p", "LABELS", "-v", "cups-pdf:/", "-E", "-m", PDF_PPD)
            if done.returncode != 0:
                raise AssertionError("lpadmin: " + done.stderr)
        except BaseException:
            self.remove()  # no scheduler is left running
            raise

    def env(self):
        return dict(os.environ, CUPS_SERVER=self.socket)

    def lp(self, *command):
        return subprocess.run(list(command), env=self.env(), capture_output=True, text=True,
                              timeout=RUN_TIMEOUT)

    def pdf_of(self, job, board, since):
        """The PDF that cups-pdf made of job "LABELS-N" for `board`'s label
        (the job's title names it) since `since`, once it is there."""
        out = os.path.join(pwd.getpwuid(os.getuid()).pw_dir, "PDF")
        path = os.path.join(out, "label_%s-job_%s.pdf" % (board, job.rsplit("-", 1)[1]))
        deadline = time.monotonic() + RUN_TIMEOUT
        while True:
            if os.path.exists(path) and os.path.getmtime(path) >= since and \
                    os.path.getsize(path) > 0:
                return path
            if time.monotonic() > deadline:
                raise AssertionError("no PDF of %s in %s" % (job, out))
            time.sleep(0.1)  # polls the backend's file

    def remove(self):
        self.process.terminate()
        self.process.wait(timeout=RUN_TIMEOUT)
        shutil.rmtree(self.folder, ignore_errors=True)


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists(CUPSD) and shutil.which("pdftoppm")
                     and shutil.which("zbarimg"), "needs root, Debian's cups, "
                     "printer-driver-cups-pdf, poppler-utils and zbar-tools")
class BuiltInLabel(LabelCase):
    def test_the_stations_own_label_printed_through_cups_reads_back_as_its_mac(self):
        cups = Cups()
        self.addCleanup(cups.remove)
        line = Line(fixtures=0)
        self.addCleanup(line.remove)
        line.env = cups.env
        line.station_file(fixtures=1, extra='lot = "L7"\n[label]\nprinter = "LABELS"\n'
                          'width = 50\nheight = 25\n')
        out, err, status = line.station("lock")
        self.assertEqual(status, 0, err)
        self.assertIn("  label      ", out)
        self.assertIn("built-in label 50x25 mm, code128 for LABELS", out)
        # The PDF's name is the job's title, which names the MAC: one of
        # this process's own, so that no other test that prints (the
        # sanitizers' run beside this one) writes the same file.
        first, second = ("02%010X" % (os.getpid() * 2 + k) for k in range(2))
        line.plug(1)
        began = time.time() - 1
        out, err, status = line.station("run", "--json", "--mac", "A1=" + first)
        self.assertEqual(status, 0, err)
        label = [json.loads(l) for l in out.splitlines() if '"label"' in l][0]
        self.assertEqual((label["printed"], label["printer"]), (True, "LABELS"))
        self.assertRegex(label["job"], r"^LABELS-\d+$")
        pdf = cups.pdf_of(label["job"], first, began)
        self.addCleanup(os.unlink, pdf)
        page = os.path.join(line.path, "label")
        subprocess.run(["pdftoppm", "-r", "300", "-png", "-singlefile", pdf, page], check=True,
                       timeout=RUN_TIMEOUT)
        read = subprocess.run(["zbarimg", "-q", page + ".png"], capture_output=True, text=True,
                              timeout=RUN_TIMEOUT)
        self.assertEqual(read.stdout, "CODE-128:%s\n" % first)
        if README_LABEL:
            subprocess.run(["pdftoppm", "-r", "150", "-png", "-singlefile", pdf,
                            README_LABEL[:-4]], check=True, timeout=RUN_TIMEOUT)
        # A queue that refuses jobs: the label is not printed, and `station
        # label` prints it once the queue takes jobs again.
        self.assertEqual(cups.lp("cupsreject", "LABELS").returncode, 0)
        line.plug(1)
        out, err, status = line.station("run", "--json", "--mac", "A1=" + second)
        self.assertEqual(status, 0, err)
        labels = [json.loads(l) for l in out.splitlines() if '"label"' in l]
        self.assertFalse(any(l["printed"] for l in labels), labels)
        self.assertIn("not accepting jobs", labels[-1]["why"])
        self.assertEqual(cups.lp("cupsaccept", "LABELS").returncode, 0)
        out, err, status = line.station("label", second)
        self.assertEqual(status, 0, err)
        job = re.search(r"printed on LABELS, job (LABELS-\d+)\n", out).group(1)
        self.addCleanup(os.unlink, cups.pdf_of(job, second, began))


class OnPostgres(LabelCase):
    def test_a_label_recorded_in_a_postgresql_store_and_exported(self):
        server = postgres.Server()
        self.addCleanup(server.remove)
        server.sql("CREATE DATABASE labels")
        port = free_port()
        printer = self.printer(port)
        line = self.label_line(1, port)
        line.station_file(fixtures=1, store=server.keywords("labels"),
                          extra='[label]\ntemplate = "label.zpl"\nprinter = "socket://127.0.0.1:%d"\n'
                          % port)
        for command in ("init", "lock"):
            self.assertEqual(line.station(command)[2], 0)
        line.plug(1)
        self.assertEqual(line.station("run", *self.macs([1]))[2], 0)
        self.assertEqual(len(printer.wait_for_jobs(1)), 1)
        self.assertEqual(line.station("label", mac(1), "--reason", "torn")[2], 0)
        row = list(csv.DictReader(io.StringIO(line.station("export", "--csv")[0])))[0]
        self.assertRegex(row["label_job"], r"^raw-[0-9a-f]{8}$")
        self.assertEqual(row["label_reprints"], "1")
        history = line.station("history", mac(1))[0]
        self.assertIn(" label printed ", history)
        self.assertIn(" label reprinted ", history)


if __name__ == "__main__":
    unittest.main()


class DialogueOnThePanel(InTmux, LabelCase):
    """The operator's questions as a person meets them on a terminal, with
    boards ending, labels printing and a printer off in between."""

    def dialogue_line(self, fixtures, printer_on=True):
        port = free_port()
        printer = self.printer(port) if printer_on else None
        line = Line(fixtures=0)
        self.addCleanup(line.remove)
        with open(os.path.join(line.path, "label.zpl"), "w") as f:
            f.write(TEMPLATE)
        line.station_file(fixtures=fixtures, extra='lot = "L7"\n[mac]\nimage = "otp"\n'
                          'offset = 16\nfirst = "0011223300A0"\nlast = "0011223300AF"\n'
                          '[label]\ntemplate = "label.zpl"\nprinter = "socket://127.0.0.1:%d"\n'
                          'verify = true\n' % port)
        self.assertEqual(line.station("lock")[2], 0)
        return printer, line

    def test_a_kept_board_stays_kept_through_a_label_scan_a_refused_mac_and_an_enter(self):
        printer, line = self.dialogue_line(2)
        line.plug(1, "--answer", "4=000600000000")  # the first OTP frame: its MAC kept
        line.plug(2)
        socket, ended = self.in_tmux(line, ["run", "--continuous"], 120, 24)
        self.wait_for(socket, r"^MAC for A1: ?$")
        self.keys(socket, "Enter")
        self.wait_for(socket, r"^MAC for A2: ?$")
        self.wait_for(socket, r"^A1 keeps MAC 0011223300A0: r retries its board, n for a new one$")
        line.plug(1)  # a board on A1 again, whose agent answers every frame
        self.keys(socket, "Enter")
        kept = r"^MAC for A1 \(kept 0011223300A0: r retries, n new board\): ?$"
        self.wait_for(socket, kept)
        # A2 passes and its label is printed under A1's question, which stays.
        self.wait_for(socket, r"^A2 +LABEL +0011223300A1 +label to be read back")
        self.assertEqual(len(printer.wait_for_jobs(1)), 1)
        self.wait_for(socket, kept)
        # The label in hand, scanned at A1's prompt, verifies A2's label.
        self.keys(socket, "00:11:22:33:00:A1", "Enter")
        self.wait_for(socket, r"^A2 0011223300A1: label verified$")
        self.wait_for(socket, r"^A2 +PASS +0011223300A1")
        line.unplug(2)  # A2's board taken off: from here only A1 is asked
        self.wait_for(socket, kept)
        # Scanned again, that passed board's MAC is refused: A1 stays kept,
        # and an Enter there starts nothing.
        self.keys(socket, "0011223300A1", "Enter")
        self.wait_for(socket, r"^refused: MAC 0011223300A1 ")
        self.wait_for(socket, kept)
        self.keys(socket, "Enter")
        self.wait_for(socket, r"^refused: A1 holds the board that keeps MAC 0011223300A0")
        self.wait_for(socket, kept)
        self.keys(socket, "r", "Enter")
        label = r"^label of A1 \(0011223300A0\): scan it \(p prints it again, - sets the board " \
                r"aside\): ?$"
        self.wait_for(socket, label)
        # p: printed again, and asked for first once it is; the row LABEL.
        self.keys(socket, "p", "Enter")
        self.assertEqual(len(printer.wait_for_jobs(3)), 3)
        self.wait_for(socket, label)
        self.wait_for(socket, r"^A1 +LABEL +0011223300A0 +label to be read back")
        self.keys(socket, "q", "Enter")
        self.wait_for(socket, r"^ending: 1 label not verified$")
        self.assertEqual(self.status(ended), 1)
        self.assertEqual([(r["fixture"], r["mac"], r["attempt"], r["outcome"])
                          for r in line.export()],
                         [("A1", "0011223300A0", 1, "failed"), ("A2", "0011223300A1", 1, "passed"),
                          ("A1", "0011223300A0", 2, "passed")])
        history = line.station("history", "0011223300A0")[0]
        self.assertEqual([l.split(" label ")[1].split(" ")[0] for l in history.splitlines()
                          if " label " in l], ["printed", "reprinted", "unverified"])
        self.assertIn(": the round ended before its label was read back\n", history)

    def test_q_is_answered_at_once_while_the_printer_is_off_and_says_what_is_left(self):
        _, line = self.dialogue_line(1, printer_on=False)
        line.plug(1)
        socket, ended = self.in_tmux(line, ["run", "--continuous"], 120, 24)
        self.wait_for(socket, r"^MAC for A1: ?$")
        self.keys(socket, "Enter")
        self.wait_for(socket, r"^A1 +LABEL +0011223300A0 +label not printed: tried again")
        self.keys(socket, "q", "Enter")
        self.wait_for(socket, r"^ending: 1 label not printed$")
        self.assertEqual(self.status(ended), 0)
        history = line.station("history", "0011223300A0")[0]
        self.assertEqual([l.split(" label ")[1].split(" ")[0] for l in history.splitlines()
                          if " label " in l], ["not"])
