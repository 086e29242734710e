#!/usr/bin/env python3
"""Captures a record from the Zelqa and writes it as CSV, one point a row:
index, channel A, channel B. Plots nothing; feed the file to any plotter.

    capture_csv.py capture.csv --count 2000 --step 2
"""

import argparse
import csv
import sys

import zqlusb


def write_csv(out, offset, step, a, b):
    writer = csv.writer(out)
    writer.writerow(["index", "channel_a", "channel_b"])
    for k, (sample_a, sample_b) in enumerate(zip(a, b)):
        writer.writerow([offset + k * step, int(sample_a), int(sample_b)])


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Captures a record from the Zelqa and writes it as CSV, one point a row: "
                    "index, channel A, channel B.")
    parser.add_argument("output", help="CSV file to write ('-' for standard output)")
    parser.add_argument("--count", type=int, default=1000, help="span of record indices (default 1000)")
    parser.add_argument("--offset", type=int, default=0, help="index of the first point (default 0)")
    parser.add_argument("--step", type=int, default=1, help="distance between points (default 1)")
    parser.add_argument("--library", help=f"path of the library (default: ${zqlusb.ENVIRONMENT_VARIABLE}, "
                                          "else beside the package, else the library search path)")
    args = parser.parse_args(argv)

    try:
        with zqlusb.Zelqa(args.library, arrays=False) as scope:
            a, b = scope.capture(args.count, args.offset, args.step)
    except (ValueError, OSError, zqlusb.ZelqaError) as error:
        parser.exit(1, f"capture_csv: {error}\n")

    if args.output == "-":
        write_csv(sys.stdout, args.offset, args.step, a, b)
        return 0
    try:
        with open(args.output, "w", newline="") as out:
            write_csv(out, args.offset, args.step, a, b)
    except OSError as error:
        parser.exit(1, f"capture_csv: cannot write {args.output}: {error.strerror}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
