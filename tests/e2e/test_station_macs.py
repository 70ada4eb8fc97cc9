"""Every board its own identity: each board's MAC written into the image that
carries it, and MACs handed out of a pool, each once; a board whose
MAC-carrying image was being programmed keeps its MAC for ever."""

import hashlib
import os
import sqlite3
import unittest

import old_store
from test_station import BOARD, FIRMWARE, OTP, Line, StationCase, mac

OFFSET = 16
POOL = ("0011223300A0", "0011223300A3")  # four MACs


def with_mac(image, text, offset=OFFSET):
    return image[:offset] + bytes.fromhex(text) + image[offset + 6:]


class MacLine(StationCase):
    def mac_line(self, fixtures, table, stall=2):
        line = Line(fixtures=0)
        self.addCleanup(line.remove)
        line.station_file(fixtures=fixtures, stall=stall, extra="[mac]\n" + table)
        return line


class MacInTheImage(MacLine):
    def test_each_board_receives_its_own_mac_at_the_offset(self):
        line = self.mac_line(3, 'image = "otp"\noffset = %d\n' % OFFSET)
        out, err, status = line.station("lock")
        self.assertEqual(status, 0, err)
        self.assertIn(hashlib.sha256(OTP).hexdigest(), out, "the profile keeps the locked OTP")
        agents = [line.plug(n) for n in (1, 2, 3)]
        out, err, status = line.station("run", *self.macs([1, 2, 3]))
        self.assertEqual((status, err), (0, ""), out)
        records = {r["fixture"]: r for r in line.export()}
        for n, agent in zip((1, 2, 3), agents):
            agent.stop()
            own = with_mac(OTP, mac(n))
            self.assertEqual(agent.received("otp.bin"), own)
            self.assertEqual(agent.received("board_data.bin"), BOARD)
            self.assertEqual(agent.received("firmware.bin"), FIRMWARE)
            r = records["A%d" % n]
            # The transcript names the engineer's files, as a run by hand does.
            for name in ("board.bin", "otp.bin", "fw.bin"):
                self.assertIn("Opening %s\n" % name, r["transcript"])
            self.assertEqual(r["otp_sha256"], hashlib.sha256(own).hexdigest())
            self.assertEqual(r["board_data_sha256"], hashlib.sha256(BOARD).hexdigest())

    def test_an_offset_past_the_image_is_refused_at_lock(self):
        for name, table, message in (
                ("past the end", 'image = "otp"\noffset = %d\n' % (len(OTP) - 5),
                 "station.toml:8: the MAC's six bytes at offset %d do not fit in the otp "
                 "image" % (len(OTP) - 5)),
                ("offset alone", "offset = 3\n", 'station.toml:7: [mac] takes "image" and '
                                                 '"offset" together'),
                ("an image of no name", 'image = "eeprom"\noffset = 0\n', '"image" is'),
                ("first after last", 'first = "0011223300A3"\nlast = "0011223300A0"\n',
                 "the pool's \"last\" comes before its \"first\""),
                ("a pool MAC of 11 digits", 'first = "0011223300A"\nlast = "0011223300A3"\n',
                 "a pool's MAC is 12 hexadecimal digits")):
            with self.subTest(name):
                line = self.mac_line(1, table)
                out, err, status = line.station("lock")
                self.assertEqual(status, 2, out + err)
                self.assertIn(message, err)


class Pool(MacLine):
    def test_a_pool_hands_each_mac_out_once_and_a_kept_mac_goes_only_to_its_board(self):
        line = self.mac_line(3, 'image = "otp"\noffset = %d\nfirst = "%s"\nlast = "%s"\n'
                             % ((OFFSET,) + POOL))
        self.assertEqual(line.station("lock")[2], 0)
        for n in (1, 2, 3):
            line.plug(n)
        # No input at all: every fixture takes the pool's next MAC, in the
        # file's order.
        out, err, status = line.station("run")
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(sorted((r["fixture"], r["mac"]) for r in line.export()),
                         [("A1", "0011223300A0"), ("A2", "0011223300A1"),
                          ("A3", "0011223300A2")])
        out, _, status = line.station("pool")
        self.assertEqual((status, out), (0, "first 0011223300A0\nlast  0011223300A3\n"
                                            "used  3\nleft  1\n"))
        # The last MAC goes to a board that fails in OTP: it keeps that MAC.
        otp_frame = 4  # after the three frames of board data
        agent = line.plug(1, "--answer", "%d=000600000000" % otp_frame)
        line.plug(2)
        line.plug(3)
        out, err, status = line.station("run", stdin=b"\n\n\n")
        self.assertEqual(status, 1, out + err)
        self.assertIn("A1 0011223300A3 failed in OTP: CRC Error", out)
        for n in (2, 3):
            self.assertIn("A%d skipped: MAC pool exhausted (0011223300A0-0011223300A3)" % n, out)
        self.assertIn("MAC pool 0011223300A0-0011223300A3: 0 of 4 left", out)
        agent.stop()
        self.assertEqual(agent.received("otp.bin")[:OFFSET + 6][-6:],
                         bytes.fromhex("0011223300A3"))
        # Scanned for another fixture, the kept MAC is refused ...
        for n in (1, 2, 3):
            line.plug(n)
        out, err, status = line.station("run", "--fixtures", "A2", "--mac", "A2=0011223300A3")
        self.assertEqual(status, 1, out + err)
        self.assertIn("A2 skipped: MAC 0011223300A3 is kept by the board that was programmed "
                      "with it on station line1, fixture A1", out)
        # ... and retry programs its own board again with it.
        for n in (1, 2, 3):
            line.plug(n)
        out, err, status = line.station("retry")
        self.assertEqual((status, err), (0, ""), out)
        kept = [r for r in line.export() if r["mac"] == "0011223300A3"]
        self.assertEqual([(r["fixture"], r["attempt"], r["outcome"]) for r in kept],
                         [("A1", 1, "failed"), ("A1", 2, "passed")])
        self.assertEqual(line.agents[1].received("otp.bin"), with_mac(OTP, "0011223300A3"))

    def test_continuous_an_empty_line_takes_the_pools_next_mac(self):
        line = self.mac_line(2, 'image = "otp"\noffset = %d\nfirst = "%s"\nlast = "%s"\n'
                             % ((OFFSET,) + POOL))
        self.assertEqual(line.station("lock")[2], 0)
        agents = [line.plug(n) for n in (1, 2)]
        out, err, status = line.station("run", "--continuous", stdin=b"\n\n")
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(sorted((r["fixture"], r["mac"]) for r in line.export()),
                         [("A1", "0011223300A0"), ("A2", "0011223300A1")])
        for agent, number in zip(agents, ("0011223300A0", "0011223300A1")):
            agent.stop()
            self.assertEqual(agent.received("otp.bin"), with_mac(OTP, number))

    def test_the_pool_is_told_of_only_when_a_board_took_a_mac_from_it(self):
        line = self.mac_line(2, 'first = "0011223300A0"\nlast = "0011223300A0"\n')
        self.assertEqual(line.station("lock")[2], 0)
        line.plug(1)
        out, err, status = line.station("run", "--fixtures", "A1", stdin=b"\n")
        self.assertEqual((status, err), (0, ""), out)
        self.assertIn("MAC pool 0011223300A0-0011223300A0: 0 of 1 left", out)
        line.plug(2)
        out, err, status = line.station("run", "--fixtures", "A2", "--mac", "A2=001122330011")
        self.assertEqual((status, err), (0, ""), out)
        self.assertNotIn("MAC pool", out)

    def test_continuous_with_the_pool_used_up_warns_and_ends_with_1(self):
        # The third line goes to A3, asked in turn, whose agent is still there
        # (an agent ends with its board, and its port with it).
        line = self.mac_line(3, 'first = "0011223300A0"\nlast = "0011223300A1"\n')
        self.assertEqual(line.station("lock")[2], 0)
        for n in (1, 2, 3):
            line.plug(n)
        out, err, status = line.station("run", "--continuous", stdin=b"\n\n\n")
        self.assertEqual((status, err), (1, ""), out)
        self.assertIn("refused: MAC pool exhausted (0011223300A0-0011223300A1)", out)
        self.assertIn("MAC pool 0011223300A0-0011223300A1: 0 of 2 left", out)
        self.assertEqual(sorted(r["mac"] for r in line.export()),
                         ["0011223300A0", "0011223300A1"])


class Unicast(MacLine):
    """A MAC no board may carry is refused wherever a MAC is taken."""

    def test_multicast_broadcast_and_all_zero_macs_are_refused(self):
        line = self.mac_line(2, 'image = "otp"\noffset = %d\n' % OFFSET)
        self.assertEqual(line.station("lock")[2], 0)
        for text, why in (("01:00:5e:00:00:01", "is a multicast address (its first octet's "
                                                "lowest bit is set)"),
                          ("33-33-00-00-00-01", "is a multicast address (its first octet's "
                                                "lowest bit is set)"),
                          ("000000000000", "is all zeros"),
                          ("ff:ff:ff:ff:ff:ff", "is the broadcast address")):
            with self.subTest(text):
                number = text.replace(":", "").replace("-", "").upper()
                out, err, status = line.station("run", "--mac", "A1=" + text)
                self.assertEqual((status, out), (2, ""), err)
                self.assertIn("MAC %s %s, which no board may carry" % (number, why), err)
                # Scanned at the prompt: asked again, and the next scan runs.
                line.plug(1)
                out, err, status = line.station("run", "--fixtures", "A1", "--rework",
                                                stdin=("%s\n%s\n" % (text, mac(1))).encode())
                self.assertEqual((status, err), (0, ""), out)
                self.assertIn("refused: MAC %s %s" % (number, why), out)
                self.assertIn("A1 %s passed" % mac(1), out)
                # Scanned in continuous mode: refused, nothing started.
                out, err, status = line.station("run", "--continuous", "--fixtures", "A1",
                                                stdin=(text + "\n").encode())
                self.assertIn("refused: MAC %s %s" % (number, why), out)
        self.assertEqual({r["mac"] for r in line.export()}, {mac(1)})

    def test_a_pool_bound_no_board_may_carry_is_refused_and_one_inside_is_skipped(self):
        for first, last, line_no, key in (("010000000000", "0100000000FF", 9, "first"),
                                          ("FEFFFFFFFFF0", "FFFFFFFFFFFF", 10, "last")):
            with self.subTest(first=first, last=last):
                line = self.mac_line(1, 'image = "otp"\noffset = %d\nfirst = "%s"\n'
                                        'last = "%s"\n' % (OFFSET, first, last))
                out, err, status = line.station("lock")
                self.assertEqual(status, 2, out + err)
                self.assertIn('station.toml:%d: the pool\'s "%s": MAC ' % (line_no, key), err)
        # From the last MAC of first octet 00 to the first two of 02: the
        # multicast block of 01 between them is never handed out.
        line = self.mac_line(3, 'image = "otp"\noffset = %d\nfirst = "00FFFFFFFFFF"\n'
                                'last = "020000000001"\n' % OFFSET)
        self.assertEqual(line.station("lock")[2], 0)
        self.assertIn("used  0\nleft  3\n", line.station("pool")[0])
        for n in (1, 2, 3):
            line.plug(n)
        out, err, status = line.station("run")
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(sorted(r["mac"] for r in line.export()),
                         ["00FFFFFFFFFF", "020000000000", "020000000001"])
        # A round that finds a bound changed under it refuses to start.
        with open(os.path.join(line.path, "station.toml")) as f:
            text = f.read()
        with open(os.path.join(line.path, "station.toml"), "w") as f:
            f.write(text.replace('first = "00FFFFFFFFFF"', 'first = "01FFFFFFFFFF"'))
        out, err, status = line.station("run")
        self.assertEqual(status, 2, out + err)
        self.assertIn("the pool's \"first\": MAC 01FFFFFFFFFF is a multicast address", err)


class KeptAcrossRounds(MacLine):
    def test_a_kept_mac_is_retried_on_its_own_fixture_after_other_rounds(self):
        line = self.mac_line(2, 'image = "otp"\noffset = %d\n' % OFFSET)
        self.assertEqual(line.station("lock")[2], 0)
        kept = mac(1)
        line.plug(1, "--answer", "4=000600000000")  # the first OTP frame
        out, err, status = line.station("run", "--fixtures", "A1", "--mac", "A1=" + kept)
        self.assertEqual(status, 1, out + err)
        # A port's link goes with its agent, as udev removes a by-path link.
        line.plug(1)
        line.plug(2)
        self.assertEqual(line.station("run", "--fixtures", "A2", "--mac", "A2=" + mac(2))[2], 0)
        # The last round passed: a plain retry has nothing to do, and the
        # refusals name what works.
        out, _, status = line.station("retry")
        self.assertEqual(status, 0)
        self.assertIn("nothing to retry", out)
        for args in (["--mac", "A2=" + kept], ["--mac", "A2=" + kept, "--rework"]):
            with self.subTest(args=args):
                line.plug(1)
                line.plug(2)
                out, err, status = line.station("run", "--fixtures", "A2", *args)
                self.assertEqual(status, 1, out + err)
                self.assertIn("is kept by the board that was programmed with it on station "
                              "line1, fixture A1", out)
                self.assertIn("(station retry --mac %s programs that board again)" % kept, out)
        agents = {n: line.plug(n) for n in (1, 2)}
        out, err, status = line.station("retry", "--mac", kept.lower())
        self.assertEqual((status, err), (0, ""), out)
        self.assertIn("A1 %s passed" % kept, out)
        self.assertNotIn("A2", out)
        for agent in agents.values():
            agent.stop()
        self.assertEqual(agents[1].received("otp.bin"), with_mac(OTP, kept))
        self.assertEqual(agents[2].frames(), [], "no other fixture is touched")
        records = [r for r in line.export() if r["mac"] == kept]
        self.assertEqual([(r["fixture"], r["attempt"], r["outcome"]) for r in records],
                         [("A1", 1, "failed"), ("A1", 2, "passed")])
        # Retried by its record, or once it passed: what is refused says why.
        for args, message in ((["--mac", kept], "passed on station line1, fixture A1"),
                              (["--record", records[0]["id"]],
                               "record %s is not the last of MAC %s" % (records[0]["id"], kept)),
                              (["--record", "nothing"], "no record nothing"),
                              (["--mac", mac(9)], "no records of MAC " + mac(9))):
            with self.subTest(args=args):
                out, err, status = line.station("retry", *args)
                self.assertIn(status, (1, 2), out + err)
                self.assertIn(message, err)


    def test_a_board_that_keeps_its_mac_is_never_programmed_again_by_an_empty_line(self):
        line = self.mac_line(1, 'image = "otp"\noffset = %d\nfirst = "%s"\nlast = "%s"\n'
                             % ((OFFSET,) + POOL))
        self.assertEqual(line.station("lock")[2], 0)
        line.plug(1, "--answer", "4=000600000000")  # the first OTP frame
        self.assertEqual(line.station("run", stdin=b"\n")[2], 1)
        kept = "MAC for A1 (kept 0011223300A0: r retries, n new board): "
        # Enter only asks again; the end of input leaves the board alone.
        agent = line.plug(1)
        out, err, status = line.station("run", stdin=b"\n")
        self.assertEqual(status, 1, out + err)
        self.assertEqual(out, kept + "refused: A1 holds the board that keeps MAC 0011223300A0: "
                         "r retries it, n for a new board\n" + kept + "\nA1 skipped: its board "
                         "keeps MAC 0011223300A0 (station retry --mac 0011223300A0 programs it)\n"
                         + out[out.index("round "):])
        agent.stop()
        self.assertEqual(agent.frames(), [], "the kept board was not touched")
        # r retries it with its MAC; then n puts a new board on the fixture.
        line.plug(1)
        out, err, status = line.station("run", stdin=b"r\n")
        self.assertEqual((status, err), (0, ""), out)
        line.plug(1, "--answer", "4=000600000000")
        self.assertEqual(line.station("run", stdin=b"\n")[2], 1)
        line.plug(1)
        out, err, status = line.station("run", stdin=b"n\n\n")
        self.assertEqual((status, err), (0, ""), out)
        self.assertIn("A1: a new board; MAC 0011223300A1 stays kept (station retry --mac "
                      "0011223300A1 programs the old one)", out)
        self.assertEqual([(r["mac"], r["attempt"], r["outcome"]) for r in line.export()],
                         [("0011223300A0", 1, "failed"), ("0011223300A0", 2, "passed"),
                          ("0011223300A1", 1, "failed"), ("0011223300A2", 1, "passed")])
        # The old board's MAC stays kept: only a retry takes it.
        line.plug(1)
        out, err, status = line.station("run", "--mac", "A1=0011223300A1")
        self.assertEqual(status, 1, out + err)
        self.assertIn("A1 skipped: MAC 0011223300A1 is kept by the board that was programmed "
                      "with it", out)


class Upgrade(MacLine):
    def test_a_store_of_version_2_keeps_every_used_mac_out_of_the_pool(self):
        line = self.mac_line(2, 'first = "0011223300A0"\nlast = "0011223300AF"\n')
        self.assertEqual(line.station("lock")[2], 0)
        line.plug(1)
        line.plug(2)
        self.assertEqual(line.station("run", "--mac", "A1=0011223300A0",
                                      "--mac", "A2=0011223300A2")[2], 0)
        # As the store of version 2 had it: no runs, no id, no stations;
        # MACs used, and a record's MAC missing from the table.
        store = os.path.join(line.path, "records.db")
        old_store.sqlite_to_3(store)
        with sqlite3.connect(store) as db:
            db.executescript("DROP TABLE used_runs; DROP TABLE store_info; DROP TABLE stations; "
                             "DROP TABLE releases; DELETE FROM macs_used WHERE mac = "
                             "'0011223300A2'; DELETE FROM pools; PRAGMA user_version = 2;")
        line.plug(1)
        line.plug(2)
        out, err, status = line.station("run")
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(sorted(r["mac"] for r in line.export()),
                         ["0011223300A0", "0011223300A1", "0011223300A2", "0011223300A3"])
        with sqlite3.connect(store) as db:
            self.assertEqual(db.execute("PRAGMA user_version").fetchone(), (9,))
            self.assertEqual(db.execute("SELECT printf('%X', first), printf('%X', last) "
                                        "FROM used_runs").fetchall(),
                             [("11223300A0", "11223300A3")])


if __name__ == "__main__":
    unittest.main()
