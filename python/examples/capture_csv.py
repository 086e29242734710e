#!/usr/bin/env python3
"""Captures a record from the Zelqa and writes it as CSV: index, channel A,
channel B, one point a row. Plots nothing; feed the file to any plotter.

    capture_csv.py capture.csv --count 2000 --step 2
"""

import argparse
import csv
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import zqlusb  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="CSV file to write ('-' for standard output)")
    parser.add_argument("--count", type=int, default=1000, help="span of record indices (default 1000)")
    parser.add_argument("--offset", type=int, default=0, help="index of the first point (default 0)")
    parser.add_argument("--step", type=int, default=1, help="distance between points (default 1)")
    parser.add_argument("--library", help=f"path of the library (default: ${zqlusb.ENVIRONMENT_VARIABLE})")
    args = parser.parse_args(argv)

    try:
        scope = zqlusb.Zelqa(args.library).open()
        a, b = scope.capture(args.count, args.offset, args.step)
    except (ValueError, OSError) as error:
        parser.exit(1, f"capture_csv: {error}\n")

    out = sys.stdout if args.output == "-" else open(args.output, "w", newline="")
    with out:
        writer = csv.writer(out)
        writer.writerow(["index", "channel_a", "channel_b"])
        for k, (sample_a, sample_b) in enumerate(zip(a, b)):
            writer.writerow([args.offset + k * args.step, sample_a, sample_b])
    return 0


if __name__ == "__main__":
    sys.exit(main())
