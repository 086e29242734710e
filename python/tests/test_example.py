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
        a, b = zqlusb.Zelqa().open().capture(1000, 10, 4)
        expected = [[str(10 + 4 * k), str(a[k]), str(b[k])] for k in range(250)]
        self.assertEqual(rows[1:], expected)


if __name__ == "__main__":
    unittest.main()
