"""python3 -m quorvex_ae COMMAND ...: the package's command line."""

import argparse
import sys

from . import report


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m quorvex_ae",
        description="Tools of the quorvex_ae package over a Quorvex_AE run.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    report.add_arguments(commands.add_parser(
        "report", help="figures of a run's detections as PNGs and one PDF",
        description="Writes locations.png (positions in three projections), magnitudes.png "
                    "(Mw against time, frequency-magnitude distribution with Mc and b-value), "
                    "detection.png (one detection station by station with its template), "
                    "run.png (detections per record) and report.pdf with all of them. "
                    "Prints the paths written; exit 0 on success, 2 for input that gives "
                    "no report (no result table, no detections, a row out of range), "
                    "1 when a file cannot be written."))
    args = parser.parse_args(argv)
    if args.command == "report":
        return report.run(args)
    parser.print_help(sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
