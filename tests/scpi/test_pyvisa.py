"""zqlscope scpi with the real client: PyVISA's socket backend against the
virtual instrument. The waveform and the measurements equal zqlscope
capture's on the same scripted instrument; every bad line of a table gets
its error and changes nothing; a second client is refused while the first
keeps its session; an overlong line, a client that sends without reading
and one that vanishes mid-reply leave the server serving with its memory
bounded. Prints the transfer rate beside zqlscope capture and the *OPC?
rate (figures, not asserted)."""
import csv
import io
import os
import re
import socket
import struct
import subprocess
import sys
import time
import unittest

import pyvisa

from scpi_process import ScpiProcess, open_instrument, reopen, transcript

SCRIPT = "a sine period=300 amplitude=90 offset=120; b triangle period=200 amplitude=50 offset=100"
ENV = {"ZQLUSB_VIRTUAL_SCRIPT": SCRIPT}
# Under the sanitizers the allocator keeps freed memory in quarantine.
SANITIZED = os.environ.get("ZQLSCOPE_SANITIZED") == "1"


def capture(*args):
    """zqlscope capture in a fresh process on the same scripted instrument."""
    done = subprocess.run([os.environ["ZQLSCOPE"], "capture", *args], env={**os.environ, **ENV},
                          capture_output=True, check=True)
    return done.stdout.decode()


def capture_points(count):
    rows = list(csv.reader(io.StringIO(capture("--count", str(count), "--csv", "-"))))
    assert rows[0][:3] == ["index", "channel_a", "channel_b"], rows[0]
    points = [r for r in rows[1:] if r and r[0].isdigit()]
    return bytes(int(r[1]) for r in points), bytes(int(r[2]) for r in points)


PREFIX = {"n": 1e-9, "µ": 1e-6, "m": 1e-3, "": 1, "k": 1e3, "M": 1e6, "G": 1e9}


def table_value(text):
    """'500.0 µs' -> 5e-4; '—' -> None."""
    if text == "—":
        return None
    number, _, unit = text.partition(" ")
    prefix = unit[0] if unit[1:] in ("V", "s", "Hz") else ""
    return float(number) * PREFIX[prefix]


def measure_table(*args):
    """capture --measure's table: {label: (channel A value, channel B value)}."""
    rows = {}
    for line in capture("--measure", *args).splitlines():
        cells = re.split(r" {2,}", line.strip())
        if len(cells) == 3 and cells[0] in LABELS.values():
            rows[cells[0]] = (table_value(cells[1]), table_value(cells[2]))
    return rows


LABELS = {"VMIN": "minimum", "VMAX": "maximum", "VPP": "peak-to-peak", "VAV": "mean", "VRMS": "RMS",
          "PER": "period", "FREQ": "frequency", "DUTY": "duty cycle"}

# (what, line, expected error code); each line is refused whole.
BAD_LINES = [
    ("unknown header", ":FOO:BAR 1", -113),
    ("unknown query", ":ACQ:POINTSX?", -113),
    ("channel 3", ":CHAN3:SCAL 0.5", -114),
    ("points 0", ":ACQ:POIN 0", -222),
    ("points past the record", ":ACQ:POIN 32769", -222),
    ("register address past 255", ":SYST:REG 256,1", -222),
    ("register data not whole", ":SYST:REG 1,2.5", -104),
    ("register without data", ":SYST:REG 1", -109),
    ("parameter on a query", "*IDN? 1", -108),
    ("number expected", ":ACQ:POIN many", -104),
    ("unknown mode", ":ACQ:MODE SLOW", -224),
    ("unknown source", ":WAV:SOUR CHAN7", -224),
    ("trigger level past 255 counts", ":TRIG:LEV 300", -222),
    ("empty command", ":ACQ:POIN 500;;*OPC", -102),
    ("empty parameter", ":SYST:REG 1,,2", -102),
    ("open quote", ":WAV:SOUR \"CHAN1", -102),
    ("control character", ":ACQ:POIN 5\x01", -101),
    ("byte outside ASCII", ":ACQ:POIN 5\xe9", -101),
    ("bad second command", ":ACQ:POIN 500;:ACQ:MODE ROLL;:NOPE", -113),
    ("no scale of zero", ":CHAN1:SCAL 0", -222),
]


class PyvisaTest(unittest.TestCase):
    def setUp(self):
        self.start(ENV)

    def start(self, env):
        """A server and a client; both are closed at the end of the test,
        even when opening the client fails."""
        self.server = ScpiProcess(env=env)
        self.addCleanup(self.stop_server, self.server)
        self.addCleanup(self.close_client)  # runs first
        self.rm, self.inst = open_instrument(self.server.resource)

    def restart(self, env=ENV):
        """A fresh server, whose first record is a fresh instrument's, as capture's is."""
        self.doCleanups()
        self.start(env)

    def close_client(self):
        for resource in (getattr(self, "inst", None), getattr(self, "rm", None)):
            try:
                if resource is not None:
                    resource.close()
            except pyvisa.errors.InvalidSession:  # closed by the test already
                pass

    def stop_server(self, server):
        code, err = server.stop()
        self.assertEqual(code, 0, err)
        self.assertIn("zqlscope scpi: stopped", err)

    def errors(self):
        """The whole error queue, oldest first, up to 0,"No error"."""
        out = []
        while True:
            entry = self.inst.query(":SYST:ERR?")
            code = int(entry.split(",")[0])
            if code == 0:
                self.assertEqual(entry, '0,"No error"')
                return out
            out.append((code, entry))

    def test_a_session(self):
        print("\nsession:", file=sys.stderr)
        transcript(self.inst, ["*IDN?", "*RST", ":ACQ:POIN 1000;:TRIG:MODE OFF", ":SINGle", ":WAV:SOUR CHAN1",
                               ":WAV:FORM ASC", ":WAV:DATA?", ":WAV:PRE?", ":MEAS:VPP? CHAN1", ":MEAS:FREQ? CHAN2",
                               ":TIM:SRAT 1E6;:CHAN1:SCAL 0.01;:CHAN1:OFFS 120", ":MEAS:PER? CHAN1",
                               ":MEAS:VPP? CHAN1", ":TRIG:MODE NORM;:TRIG:LEV 0.5;:TRIG:SLOP POS", ":SINGle",
                               ":WAV:PRE?", ":BAD:COMMAND", ":SYST:ERR?", ":SYST:ERR?", "*OPC?"], sys.stderr)
        maker, model, serial, version = self.inst.query("*IDN?").split(",")
        self.assertEqual((maker, model, serial), ("ZELQA", "USB oscilloscope", "2026"))
        self.assertRegex(version, r"^zqlusb \d+\.\d+\.\d+ driver 1\.3$")

    def test_waveform_equals_capture(self):
        for points in (1000, 32768):
            with self.subTest(points=points):
                self.restart()
                self.inst.write(f":ACQ:POIN {points};:TRIG:MODE OFF;:WAV:FORM BYTE")
                self.inst.write(":SINGle")
                got = []
                for source in ("CHAN1", "CHAN2"):
                    self.inst.write(f":WAV:SOUR {source}")
                    got.append(bytes(self.inst.query_binary_values(":WAV:DATA?", datatype="B", container=bytearray)))
                expected = capture_points(points)
                self.assertEqual(len(got[0]), points)
                self.assertEqual(got[0], expected[0])
                self.assertEqual(got[1], expected[1])
                self.inst.write(":WAV:FORM ASC;:WAV:SOUR CHAN2")
                self.assertEqual(self.inst.query_ascii_values(":WAV:DATA?", converter="d"), list(expected[1]))
                self.assertEqual(self.errors(), [])

    def test_measurements_equal_capture_measure(self):
        settings = [
            ((), ""),
            (("--sample-rate", "1M", "--volts-per-count", "A=0.01,B=0.02", "--zero-count", "A=120,B=100"),
             ":TIM:SRAT 1E6;:CHAN1:SCAL 0.01;:CHAN1:OFFS 120;:CHAN2:SCAL 0.02;:CHAN2:OFFS 100"),
        ]
        for args, units in settings:
            with self.subTest(units=units):
                table = measure_table("--count", "2000", *args)
                self.restart()
                self.inst.write(":ACQ:POIN 2000;:TRIG:MODE OFF" + (";" + units if units else ""))
                self.inst.write(":SINGle")
                for key, label in LABELS.items():
                    for column, channel in enumerate(("CHAN1", "CHAN2")):
                        value = float(self.inst.query(f":MEAS:{key}? {channel}"))
                        shown = table[label][column]
                        if shown is None:
                            self.assertEqual(value, 9.91e37, (key, channel))
                        else:
                            self.assertAlmostEqual(value, shown, delta=abs(shown) * 1e-3 + 1e-9, msg=(key, channel))

    def test_flat_signal_has_no_period(self):
        self.restart({"ZQLUSB_VIRTUAL_SCRIPT": "a dc offset=100"})
        self.inst.write(":TRIG:MODE OFF;:SINGle")
        self.assertEqual(self.inst.query(":MEAS:PER? CHAN1;FREQ? CHAN1;DUTY? CHAN1"), "9.91E37;9.91E37;9.91E37")
        self.assertEqual(self.inst.query(":MEAS:VPP? CHAN1;VAV? CHAN1"), "0;100")

    def test_bad_lines_queue_their_error_and_change_nothing(self):
        for what, line, expected in BAD_LINES:
            with self.subTest(what):
                self.inst.write("*RST;*CLS")
                self.inst.write_raw(line.encode("latin-1") + b"\n")
                errors = self.errors()
                self.assertEqual([c for c, _ in errors], [expected], errors)
                self.assertEqual(self.inst.query(":ACQ:POIN?;:ACQ:MODE?;:WAV:SOUR?;:CHAN1:SCAL?;:TRIG:LEV?"),
                                 "1000;REC;CHAN1;1;128")
                self.assertEqual(int(self.inst.query("*ESR?")) & 0x30 != 0, True)

    def test_error_queue_overflows_and_reads_in_order(self):
        self.inst.write("*CLS")
        for i in range(30):
            self.inst.write(f":NOPE{i}")
        self.assertEqual(int(self.inst.query("*STB?")) & 4, 4)
        errors = self.errors()
        self.assertEqual(len(errors), 20)
        self.assertIn(":NOPE0", errors[0][1])
        self.assertEqual(errors[-1][0], -350)
        self.assertEqual(int(self.inst.query("*STB?")) & 4, 0)

    def test_compound_lines_short_and_long_forms(self):
        answer = self.inst.query(":trigger:source channel2;SLOPe NEGative;LEV 90;:TRIG:SOUR?;slop?;LEV?")
        self.assertEqual(answer, "CHAN2;NEG;90")
        self.inst.write(":ACQUIRE:MODE roll;:acq:points 700")
        self.assertEqual(self.inst.query("ACQ:MODE?;POIN?"), "ROLL;700")
        self.inst.write(":TRIG:MODE AUTO;:SING")
        self.inst.write(":WAV:FORM BYTE")
        self.assertEqual(len(self.inst.query_binary_values(":WAV:DATA?", datatype="B")), 700)
        self.assertEqual(self.errors(), [])

    def test_register_writes_go_out_with_the_next_acquisition(self):
        self.inst.write(":SYST:REG 3,9;:SYST:REG #H10,#B101")
        self.inst.write(":SYST:REG:FLUS")
        self.assertEqual(self.errors(), [])
        self.assertEqual(self.inst.query("*OPC?"), "1")

    def test_second_client_refused_first_keeps_session(self):
        self.inst.write(":ACQ:POIN 321")
        with socket.create_connection((self.server.host, self.server.port), timeout=10) as second:
            with second.makefile("rb") as f:
                answer = f.readline().decode()
        self.assertTrue(answer.startswith("ERROR: refused: another client is connected"), answer)
        self.assertEqual(self.inst.query(":ACQ:POIN?"), "321")
        self.inst.close()
        self.rm, self.inst = reopen(self.server.resource)  # the next client is served
        self.assertEqual(self.inst.query(":ACQ:POIN?"), "321")

    def raw(self):
        return socket.create_connection((self.server.host, self.server.port), timeout=10)

    def test_overlong_line_is_dropped_and_reported(self):
        self.inst.close()
        with self.raw() as s:
            s.sendall(b":ACQ:POIN 5;" + b"x" * 1_000_000 + b"\n*OPC?\n:SYST:ERR?\n")
            with s.makefile("rb") as f:
                self.assertEqual(f.readline(), b"1\n")
                self.assertRegex(f.readline().decode(), r'^-363,"Input buffer overrun; a line over \d+ bytes')
        self.rm, self.inst = reopen(self.server.resource)
        self.assertEqual(self.inst.query(":ACQ:POIN?"), "1000")

    def test_client_sending_without_reading_keeps_memory_bounded(self):
        self.inst.close()
        before = self.server.rss_kib()
        with self.raw() as s:
            s.sendall(b":ACQ:POIN 32768;:TRIG:MODE OFF;:SING;:WAV:FORM ASC\n")
            s.settimeout(1)
            sent = 0
            try:
                while sent < 200_000_000:  # ~7,000 GB of replies if the server buffered them all
                    s.send(b":WAV:DATA?;:WAV:DATA?\n" * 1000)
                    sent += 22_000
            except (socket.timeout, BlockingIOError):
                pass  # TCP holds us back: the server stopped reading
            grown = self.server.rss_kib() - before
        print(f"\nclient sending without reading: {sent} bytes accepted, server grew by {grown} KiB", file=sys.stderr)
        self.assertLess(sent, 200_000_000)
        if not SANITIZED:
            self.assertLess(grown, 64 * 1024)
        self.rm, self.inst = reopen(self.server.resource)
        self.assertEqual(self.inst.query(":ACQ:POIN?"), "32768")

    def test_client_vanishing_mid_transfer(self):
        self.inst.close()
        for _ in range(3):
            with self.raw() as s:
                s.sendall(b":ACQ:POIN 32768;:TRIG:MODE OFF;:SING;:WAV:FORM ASC\n" + b":WAV:DATA?\n" * 20)
                s.recv(1000)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # reset, not close
        self.assertTrue(self.server.alive())
        self.rm, self.inst = reopen(self.server.resource)
        self.assertEqual(self.inst.query("*IDN?").split(",")[0], "ZELQA")

    def test_only_allowed_machines_on_another_address(self):
        try:  # this machine's address on its network (no packet is sent)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                probe.connect(("192.0.2.1", 9))
                address = probe.getsockname()[0]
        except OSError:
            self.skipTest("no network address besides loopback")
        if address.startswith("127."):
            self.skipTest("no network address besides loopback")
        for allow, served in (("192.0.2.7", False), (address, True)):
            with self.subTest(allow=allow):
                server = ScpiProcess("--listen", address, "--allow", allow, env=ENV)
                self.addCleanup(self.stop_server, server)
                with socket.create_connection((address, server.port), source_address=(address, 0), timeout=10) as s:
                    s.sendall(b"*OPC?\n")
                    with s.makefile("rb") as f:
                        answer = f.readline().decode()
                if served:
                    self.assertEqual(answer, "1\n")
                else:
                    self.assertTrue(answer.startswith("ERROR: refused: this address may not use the instrument"), answer)
        done = subprocess.run([os.environ["ZQLSCOPE"], "scpi", "--port", "0", "--listen", address], capture_output=True)
        self.assertEqual(done.returncode, 2)
        self.assertIn(b"name them with --allow", done.stderr)

    def test_figures(self):
        """Transfer rate beside zqlscope capture, and *OPC? per second."""
        self.inst.write(":ACQ:POIN 32768;:TRIG:MODE OFF;:WAV:FORM BYTE")
        rounds = 20
        start = time.perf_counter()
        for _ in range(rounds):
            self.inst.write(":SINGle")
            for source in ("CHAN1", "CHAN2"):
                self.inst.write(f":WAV:SOUR {source}")
                data = self.inst.query_binary_values(":WAV:DATA?", datatype="B", container=bytearray)
                self.assertEqual(len(data), 32768)
        scpi = (time.perf_counter() - start) / rounds
        start = time.perf_counter()
        for _ in range(rounds // 4):
            capture("--count", "32768", "--csv", os.devnull)
        cli = (time.perf_counter() - start) / (rounds // 4)
        start = time.perf_counter()
        queries = 2000
        for _ in range(queries):
            self.inst.query("*OPC?")
        opc = queries / (time.perf_counter() - start)
        print(f"\n32,768-point record, both channels: PyVISA :SINGle + 2 x :WAV:DATA? {scpi * 1e3:.1f} ms "
              f"({2 * 32768 / scpi / 1e6:.2f} MB/s), zqlscope capture --csv {cli * 1e3:.1f} ms: ratio "
              f"{cli / scpi:.2f} (capture's time / SCPI's); *OPC?: {opc:.0f} queries per second", file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
