"""The report of a run's output folder: the four figures as PNGs and all of
them in one PDF.

    python3 -m quorvex_ae report OUTDIR [--out DIR] [--params PARFILE]
                                        [--row N] [--data PREFIX]
"""

import argparse
import os
import re
import sys
import warnings
from dataclasses import dataclass, field

import numpy as np

from . import plots

__all__ = ["ReportError", "Report", "build_report", "add_arguments", "main"]

PNG_DPI = 150
MAX_PACKAGE_WARNINGS = 10

# Log_<first>_<last>.txt, Log_<first>_<last>_OK.txt, ..._bak<N>.txt
_LOG_NAME = re.compile(r"Log_(\d+)_(\d+)(?:_OK)?(?:\.bak\d+)?\.txt$")


class ReportError(Exception):
    """Bad input: the report cannot be made (exit status 2)."""


@dataclass
class Report:
    paths: list = field(default_factory=list)     # files written, in order
    warnings: list = field(default_factory=list)  # one line each
    detection_row: int = -1                       # row drawn, -1 when none


def _package():
    # Imported here so that plots and magnitudes stay usable without the
    # compiled part of the package.
    import quorvex_ae
    return quorvex_ae


def _run_range(logs):
    """First and last AE number of the runs whose logs are named
    Log_<first>_<last>*.txt; None when no log name tells."""
    spans = [m.groups() for m in (_LOG_NAME.search(os.path.basename(p)) for p in logs) if m]
    if not spans:
        return None
    return min(int(a) for a, _ in spans), max(int(b) for _, b in spans)


def _stations(qae, cat, warn):
    """Receiver positions from the first event file of the catalogue that
    can be read (every record of an experiment has the same stations)."""
    files = [f for f in cat["event_file"] if f]
    for path in files[:5]:
        try:
            traces = qae.read_seg2(path)["traces"]
            return np.array([t["receiverLocation"] for t in traces], dtype=float).reshape(-1, 3)
        except Exception as e:  # an unreadable file: try the next one
            warn.append(f"stations: cannot read {path}: {e}")
    if not files:
        warn.append("stations: no event file of the catalogue exists; drawn without stations")
    return None


def _default_row(cat):
    """The row with the highest CC among those whose event file exists."""
    cc = np.asarray(cat["cc"], dtype=float)
    has_file = np.array([bool(f) for f in cat["event_file"]])
    usable = has_file & np.isfinite(cc)
    if not usable.any():
        return None
    return int(np.flatnonzero(usable)[np.argmax(cc[usable])])


def build_report(outdir, out=None, params=None, row=None, data=None, time_unit=None):
    """Writes locations.png, magnitudes.png, detection.png, run.png and
    report.pdf (one page each) into `out` (default OUTDIR/report/).

    row: the detection drawn, as a 0-based row of the result table, negative
    from the end (default: the highest CC). A detection that cannot be drawn
    (its event file or template gone) is left out with a warning, and a
    detection.png of an earlier report in `out` is removed, so that the
    folder never shows another run's detection. Raises ReportError for input
    that gives no report: a missing folder, table or parameter file, no
    detections, a row out of range."""
    qae = _package()
    from matplotlib.backends.backend_pdf import PdfPages

    if not os.path.isdir(outdir):
        raise ReportError(f"no such output folder: {outdir}")
    if params is not None and not os.path.isfile(params):
        raise ReportError(f"no such parameter file: {params}")
    try:
        cat = qae.read_catalogue(outdir, data=data, time_unit=time_unit, as_frame=False)
    except Exception as e:
        raise ReportError(f"cannot read the result table of {outdir}: {e}") from None
    if len(cat) == 0:
        raise ReportError(f"no detections in the result table of {outdir}: nothing to report")
    if row is not None:
        if not -len(cat) <= row < len(cat):
            raise ReportError(f"row {row} is out of range: the table has rows 0..{len(cat) - 1}")
        row %= len(cat)

    result = Report()
    warn = result.warnings
    out = out or os.path.join(outdir, "report")
    # "exp/out" rather than "out": output folders are often all named alike.
    name = os.path.join(*os.path.normpath(os.path.abspath(outdir)).split(os.sep)[-2:])

    try:
        logs = qae.run_folders(outdir).get("logs", [])
    except Exception as e:
        logs = []
        warn.append(f"run logs: {e}")
    span = _run_range(logs)
    ae = np.asarray(cat["ae"], dtype=np.int64)
    first, last = int(ae.min()), int(ae.max())
    if span:
        first, last = min(first, span[0]), max(last, span[1])

    figures = [("locations.png",
                plots.locations(cat, stations=_stations(qae, cat, warn),
                                title=f"{name}: {len(cat)} detections")),
               ("magnitudes.png", plots.magnitudes(cat, title=f"{name}: magnitudes"))]

    drawn = row if row is not None else _default_row(cat)
    if drawn is None:
        warn.append("detection: no row has an event file; detection.png not drawn")
    else:
        try:
            view = qae.detection_view(outdir, drawn, params=params, data=data,
                                      time_unit=time_unit)
            r = cat[drawn]
            figures.append(("detection.png", plots.detection(
                view, time_unit=time_unit or "us",
                title=(f"Row {drawn}: AE {int(r['ae'])}, template {int(r['template_ae'])}, "
                       f"Mw {float(r['mw']):.2f}, CC {float(r['cc']):.3f}"))))
            result.detection_row = drawn
        except Exception as e:
            warn.append(f"detection: row {drawn} cannot be drawn ({e}); detection.png left out")

    figures.append(("run.png", plots.run_overview(cat, first, last)))

    os.makedirs(out, exist_ok=True)
    stale = os.path.join(out, "detection.png")
    if result.detection_row < 0 and os.path.exists(stale):
        os.remove(stale)
    pdf_path = os.path.join(out, "report.pdf")
    with PdfPages(pdf_path, metadata={"Title": f"Quorvex_AE report of {outdir}"}) as pdf:
        for file_name, fig in figures:
            path = os.path.join(out, file_name)
            fig.savefig(path, dpi=PNG_DPI)
            result.paths.append(path)
            pdf.savefig(fig)
    result.paths.append(pdf_path)
    return result


def add_arguments(parser):
    parser.add_argument("outdir", metavar="OUTDIR",
                        help="the run's output folder (outDir of the parameter file), "
                             "holding ML_detect.ps0 and the run logs")
    parser.add_argument("--out", metavar="DIR",
                        help="folder the report is written to (default: OUTDIR/report/)")
    parser.add_argument("--params", metavar="PARFILE",
                        help="parameter file of the run, for the detection plot: its template "
                             "folder, matching window and band-pass (default: the template "
                             "folder the logs name, unfiltered traces, a window of 1/4 before "
                             "and 3/4 after the pick of the span shown)")
    parser.add_argument("--row", metavar="N", type=int,
                        help="row of the result table drawn in detection.png, counted from 0 "
                             "(negative: from the end; default: the row with the highest CC)")
    parser.add_argument("--data", metavar="PREFIX",
                        help="prefix of the event files when they moved "
                             "(default: the dataPath the logs name)")
    parser.add_argument("--time-unit", choices=("us", "ms", "s"),
                        help="unit of t0 and of the traces' sampling interval "
                             "(default: the table's)")
    return parser


def run(args):
    """The report command on parsed arguments; returns the exit status."""
    # The package tells what it read with a complaint (a torn table line, an
    # event file gone) through the warnings module: each becomes one line.
    # Other libraries' warnings (deprecations inside matplotlib) say nothing
    # about the user's data and are left out.
    from ._records import QuorvexWarning
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("ignore")
        warnings.simplefilter("always", QuorvexWarning)
        try:
            result = build_report(args.outdir, out=args.out, params=args.params, row=args.row,
                                  data=args.data, time_unit=args.time_unit)
            status, error = 0, None
        except ReportError as e:
            status, error = 2, str(e)
        except OSError as e:
            status, error = 1, f"cannot write the report: {e}"
    # A moved data folder warns once per row: keep the terminal readable.
    for w in caught[:MAX_PACKAGE_WARNINGS]:
        print(f"warning: {w.message}", file=sys.stderr)
    if len(caught) > MAX_PACKAGE_WARNINGS:
        print(f"warning: {len(caught) - MAX_PACKAGE_WARNINGS} more warnings of the catalogue "
              "not shown", file=sys.stderr)
    if error:
        print(f"quorvex_ae report: {error}", file=sys.stderr)
        return status
    for w in result.warnings:
        print(f"warning: {w}", file=sys.stderr)
    for p in result.paths:
        print(p)
    return 0


def main(argv=None):
    parser = add_arguments(argparse.ArgumentParser(
        prog="python3 -m quorvex_ae report", description=__doc__.split("\n\n")[0]))
    return run(parser.parse_args(argv))
