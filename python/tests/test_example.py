"""The CSV example, run as a program."""

import csv
import os
import subprocess
import sys
import tempfile
import unittest

from helpers import CHECKOUT, zqlusb

EXAMPLE = os.path.join(CHECKOUT, "python", "examples", "capture_csv.py")


class CaptureCsv(unittest.TestCase):
    def run_example(self, *args):
        return subprocess.run([sys.executable, EXAMPLE, *args], capture_output=True, text=True, timeout=60)

    def test_writes_the_selected_points(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "capture.csv")
            done = self.run_example(path, "--count", "1000", "--offset", "10", "--step", "4")
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(path, newline="") as f:
                rows = list(csv.reader(f))
        self.assertEqual(rows[0], ["index", "channel_a", "channel_b"])
        self.assertEqual(len(rows) - 1, 250)
        # The capture is deterministic, so this process reads the same points.
        a, b = zqlusb.Zelqa(arrays=False).open().capture(1000, 10, 4)
        expected = [[str(10 + 4 * k), str(a[k]), str(b[k])] for k in range(250)]
        self.assertEqual(rows[1:], expected)

    def test_help_is_whole_sentences(self):
        done = self.run_example("--help")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("one point a row: index, channel A, channel B.", " ".join(done.stdout.split()))

    def test_mistakes_end_in_one_sentence_not_a_traceback(self):
        cases = [
            (["/no/such/folder/capture.csv"], "capture_csv: cannot write /no/such/folder/capture.csv"),
            (["out.csv", "--count", "0"], "capture_csv: count must be 1 to 32768, not 0"),
            (["out.csv", "--library", "/no/such/libzqlusb.so"], "capture_csv: cannot load the zqlusb library"),
        ]
        for args, says in cases:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                done = subprocess.run([sys.executable, EXAMPLE, *args], capture_output=True, text=True,
                                      timeout=60, cwd=folder)
                self.assertEqual(done.returncode, 1)
                self.assertIn(says, done.stderr)
                self.assertNotIn("Traceback", done.stderr)


if __name__ == "__main__":
    unittest.main()
