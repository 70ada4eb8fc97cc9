"""Every board its own identity: each board's MAC written into the image that
carries it, and MACs handed out of a pool, each once; a board whose
MAC-carrying image was being programmed keeps its MAC for ever."""

import hashlib
import os
import unittest

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


if __name__ == "__main__":
    unittest.main()
