"""Quorvex_AE from Python: SEG-2 records, parameter files, detection runs and
their results, read and run by the same C++ library as the Quorvex_AE
program, so every value is the one the program shows.

Records and parameters
    read_seg2(path)            a SEG-2 file as the dict of `seg2 dump --samples`,
                               samples as float32 NumPy arrays
    write_seg2(path, record)   such a dict back to a SEG-2 file (atomically)
    read_params(path)          a parameter file as the dict of `params`
    to_obspy(record)           a record as an ObsPy Stream (needs ObsPy)

Runs and results
    run(parfile, first, last)  one detection run over AE numbers first..last
    read_table(outdir)         the result table ML_detect.ps0 of a run
    read_catalogue(outdir)     the table joined with the event files: origin
                               times, stations, picks
    catalogue_picks(outdir)    the picks of every detection
    run_folders(outdir)        the event-file prefix and template folder the
                               run's logs name
    detection_view(outdir, i)  detection i station by station, with its template

Tables come back as NumPy structured arrays, or as pandas DataFrames when
pandas is installed (see `as_frame`). What the library reports without
failing (a torn table line, an event file that is gone) is issued as a
QuorvexWarning through the warnings module, one per line.

Example::

    import quorvex_ae as qae
    summary = qae.run("exp/ML_CC_AE_pars.txt", 1, 100)
    cat = qae.read_catalogue("exp/out", as_frame=False)
    view = qae.detection_view("exp/out", int(cat["cc"].argmax()),
                              params="exp/ML_CC_AE_pars.txt")
"""

import os
import re
import sys


def _import_numpy():
    try:
        import numpy
        return numpy
    except ImportError:
        pass
    # A pyenv or venv python3 of the same version as Debian's, on a machine
    # whose NumPy and Matplotlib came from apt: the packages of the system
    # interpreter fit this one too.
    dist = "/usr/lib/python3/dist-packages"
    match = re.search(r"python(\d+)\.(\d+)$", os.path.realpath("/usr/bin/python3"))
    system_version = (int(match.group(1)), int(match.group(2))) if match else None
    if (system_version == sys.version_info[:2] and os.path.isdir(os.path.join(dist, "numpy"))
            and dist not in sys.path):
        sys.path.append(dist)
        try:
            import numpy
            return numpy
        except ImportError:
            pass
    raise ImportError(
        f"quorvex_ae needs NumPy, which {sys.executable} (Python "
        f"{sys.version_info[0]}.{sys.version_info[1]}) cannot import; install it for this "
        "interpreter, or use the one the package was built for (Debian: /usr/bin/python3 "
        "with python3-numpy)")


np = _import_numpy()

from . import _core  # noqa: E402  (NumPy first: the core creates arrays)
from . import _records  # noqa: E402
from ._records import QuorvexWarning  # noqa: E402

__version__ = _core.__version__

__all__ = [
    "QuorvexWarning", "RUN_COMPLETE", "RUN_INCOMPLETE", "RUN_BAD_INPUT", "RUN_NOTHING_TO_SCAN",
    "read_seg2", "write_seg2", "read_params", "to_obspy", "run", "read_table",
    "read_catalogue", "catalogue_picks", "run_folders", "detection_view",
]

# Exit statuses of a run, as the program's `run` command ends with them.
RUN_COMPLETE = _core.RUN_COMPLETE
RUN_INCOMPLETE = _core.RUN_INCOMPLETE
RUN_BAD_INPUT = _core.RUN_BAD_INPUT
RUN_NOTHING_TO_SCAN = _core.RUN_NOTHING_TO_SCAN


def read_seg2(path):
    """Reads the SEG-2 file `path` (str or os.PathLike).

    Returns a dict with the keys and values `Quorvex_AE seg2 dump --samples`
    prints, plus two:

    - "header": every file-header field (traceCount, timeSec, acquisitionDate,
      comments, ...).
    - "traces": one dict per trace with every trace field (lineId,
      receiverLocation, samplingInterval, pickup, ...); "samples" is a
      float32 array of the samples present in the file. A trace the file
      holds only in part also has "samplesDeclared" and "samplesPresent".
    - "picks": int32 array, the first pick (pickup[0]) of each trace.
    - "partial": what of the file was not read, in one line; "" for a whole
      file.

    Values JSON prints as null (non-finite numbers) are float nan/inf here.
    A file read with a complaint, or in part, gives a QuorvexWarning.
    Raises OSError when the file cannot be opened, ValueError when it is not
    a SEG-2 file the reader can take a trace from.
    """
    record, message = _core.read_seg2(path)
    lines = [message] if message else []
    if record["partial"]:
        lines.append(f"{os.fspath(path)}: read in part: {record['partial']}")
    _records.warn_each(lines)
    return record


def write_seg2(path, record, format=4):
    """Writes `record` (a dict shaped as read_seg2 returns it) to `path` as
    little-endian SEG-2, replacing the file atomically.

    Every header and trace field is optional: a missing one keeps its
    default. "samples" may be any one-dimensional numeric array-like; it is
    converted to float32 and sets the trace's sample count (traceCount,
    sampleCount, capacity and "picks" are ignored). `format` is the data
    format of the samples: 1 int16, 2 int32 (both truncate toward zero and
    keep the low bits, as the program does), 4 float32 or 5 float64. Names
    ending in "sg2" get the full SEG-2 keyword set, as with `seg2 write`.
    Text longer than its field, or a value of the wrong type, raises
    ValueError or TypeError; a file that cannot be written, OSError.
    """
    _core.write_seg2(path, record, int(format))


def read_params(path, strict=False):
    """Reads a parameter file (path or http/ftp URL) as a run would.

    Returns the dict `Quorvex_AE params PARFILE` prints: every setting
    (velX ... minStations), "source" (for each setting the line it came from,
    or {"default": True}), "warnings" (what the file probably does not mean)
    and "errors" (values no run accepts). Each warning and error is also
    issued as a QuorvexWarning. With strict=True any warning or error raises
    ValueError instead, as `params --strict` refuses the file. Raises OSError
    when the file cannot be opened.
    """
    pars = _core.read_params(path)
    problems = pars["warnings"] + pars["errors"]
    if strict and problems:
        raise ValueError(f"{os.fspath(path)}: refused: " + "; ".join(problems))
    _records.warn_each(pars["warnings"])
    _records.warn_each(f"error: {e}" for e in pars["errors"])
    return pars


def run(parfile, first, last, threads=None, kernel="fast", strict=False):
    """Runs the detection over AE numbers first..last (inclusive) in this
    process, as `Quorvex_AE run PARFILE FIRST,LAST,+=0` does, writing the
    same files: detections appended to <outDir>ML_detect.ps0 and written
    into the event files, the log <outDir>Log_<first>_<last>[_OK].txt.

    threads: scanning threads (None or 0: every CPU this process may use);
    the results do not depend on it. kernel: "fast", or "reference" (the
    straightforward scan, one thread, same bytes). strict: refuse a
    parameter file that draws any warning. Other Python threads keep running
    meanwhile; runs in one process take turns.

    Returns a dict: "detected" (records whose detections were written),
    "scanned", "missing" (records that could not be read), "unwritten"
    (detections with an output that could not be written), "log" (the log's
    path), "exit_status" (RUN_COMPLETE 0, RUN_INCOMPLETE 1 or
    RUN_NOTHING_TO_SCAN 3, the command's exit status), "error" (why the run
    is not complete), "summary" (the command's last line), "data_path",
    "warnings" (on the parameter file) and "losses" (outputs lost). Warnings,
    losses and an incomplete run are also issued as QuorvexWarnings.

    Raises OSError when the parameter file cannot be opened, ValueError for
    input the command refuses with exit status 2 (values no run can use, a
    reversed range, any warning with strict=True).
    """
    result = _core.run(parfile, int(first), int(last), 0 if threads is None else int(threads),
                       kernel, bool(strict))
    lines = list(result["warnings"]) + list(result["losses"])
    if result["exit_status"] == RUN_INCOMPLETE:
        lines.append(f"run incomplete: {result['error']}")
    elif result["exit_status"] == RUN_NOTHING_TO_SCAN:
        lines.append(f"nothing to scan: not one record of {result['data_path']} in "
                     f"{int(first)}..{int(last)} could be read")
    _records.warn_each(lines)
    return result


def read_table(outdir, as_frame=None):
    """The rows of the result table <outdir>ML_detect.ps0 of a run (outdir
    as in the parameter file: a folder, or a prefix), in file order.

    Fields: ae (i4), t0 (f8, in the table's time unit), x, y, z, mw, cc,
    snr1, snr2, dx, dy, dz, dmw (f4), template_ae (i4), template_mw (f4).
    as_frame: None gives a pandas DataFrame when pandas can be imported,
    else a NumPy structured array; True or False forces one. Lines that are
    no row (a torn last line) are skipped with a QuorvexWarning. Raises
    OSError when the table cannot be read, ValueError when the file is not
    a result table.
    """
    table = _core.read_table(outdir)
    _records.warn_each(table["meta"]["warnings"])
    return _records.as_frame_or_array(
        _records.structured(table["columns"], _records.TABLE_DTYPE), as_frame)


def _catalogue(outdir, data, time_unit):
    cat = _core.build_catalogue(outdir, "" if data is None else os.fspath(data),
                                time_unit or "")
    _records.warn_each(cat["meta"]["warnings"], stacklevel=4)
    return cat


def _picks_of(cat):
    for picks in cat["picks"]:
        for p in picks:
            p["time"] = _records.pick_time(p.pop("time_us"))
    return cat["picks"]


def read_catalogue(outdir, data=None, time_unit=None, as_frame=None, picks=False):
    """The detections of a run: each row of its result table joined with
    the event file (or numbered copy) that holds the detection.

    Fields: ae (i4), event_file (str, "" when no file holds the detection),
    origin_time (datetime64[us] UTC, NaT when unknown), t0 (f8), x, y, z, mw,
    cc, snr1, snr2, dx, dy, dz, dmw (f4), template_ae (i4), template_mw (f4),
    stations (i4, stations of the detection line, -1 unknown) and copy (i4,
    0 the event file itself, N its copy _N, -1 none).

    data: prefix of the event files when they moved (default: what the
    run's logs name, then outdir). time_unit: "us", "ms" or "s", the unit of
    t0 and of the traces' sampling interval (default: the table's). as_frame
    as in read_table. picks=True returns (table, picks) with picks as from
    catalogue_picks. Rows whose file is missing are kept and warned about
    (QuorvexWarning). Raises OSError when the table cannot be read,
    ValueError when it is no result table or the time unit is unknown.
    """
    cat = _catalogue(outdir, data, time_unit)
    columns = dict(cat["columns"])
    columns["origin_time"] = _records.origin_times(columns.pop("origin_us"),
                                                   columns.pop("has_time"))
    table = _records.as_frame_or_array(
        _records.structured(columns, _records.CATALOGUE_DTYPE), as_frame)
    return (table, _picks_of(cat)) if picks else table


def catalogue_picks(outdir, data=None, time_unit=None):
    """The picks of every detection of read_catalogue(outdir), in its row
    order: one list per row (empty without an event file) of dicts with
    trace (0-based index), line_id, channel_code, sample (from the trace
    start), offset (sample times the sampling interval), time
    (numpy.datetime64[us] UTC, or None without a record start), ns_ratio,
    amp_pickup and receiver (x, y, z)."""
    return _picks_of(_catalogue(outdir, data, time_unit))


def run_folders(outdir):
    """Where a run kept its files, as the logs Log_*.txt in outdir tell:
    {"data_prefix": event-file prefix of the newest log ("" when no log
    names one), "data_prefixes": every prefix the logs name, newest first,
    "template_dir": the template folder, "logs": the logs read, sorted}."""
    return _core.run_folders(outdir)


def detection_view(entry_or_outdir, row=None, params=None, before=200, after=600, data=None,
                   time_unit=None, template_dir=None):
    """One detection station by station: each picked trace of its record
    around the pick, the template's trace aligned on its own pick, and the
    correlation of the matching windows at that alignment.

    entry_or_outdir: a run's output folder, with `row` the 0-based row of
    its catalogue (negative counts from the end); or one row of
    read_catalogue's result (a record, a dict, a pandas row) holding ae,
    template_ae and event_file, with `row` left None.

    params: the run's parameter file; its preWin, postWin, fLow, fHigh,
    mean and templateDir are used. Without it the view is unfiltered, the
    matching window is 1/4 and 3/4 of `after`, and the templates are
    looked up where the run's logs say. template_dir overrides both.
    before/after: samples shown before and after each pick. data and
    time_unit as in read_catalogue.

    Returns {"event_file", "template_file", "dt" (sampling interval),
    "time_unit" (of dt, when the catalogue was read), "before", "after",
    "pre_len", "win_len" (matching window, samples), "filtered", "stations":
    [{"trace", "line_id", "pick", "template_pick", "first" (record sample of
    record[0]), "record", "template" (float32 arrays, 0 outside the trace),
    "cc" (nan for a silent window)}]}. Raises ValueError when the event file
    or template cannot be read, IndexError for a row out of range.
    """
    settings = dict(pre_win=0.0, post_win=0.0, f_low=0.0, f_high=0.0, mean=0,
                    before=int(before), after=int(after))
    par_templates = ""
    if params is not None:
        p = _core.read_params(params)
        settings.update(pre_win=p["preWin"], post_win=p["postWin"], f_low=p["fLow"],
                        f_high=p["fHigh"], mean=p["mean"])
        par_templates = p["templateDir"]
    templates = os.fspath(template_dir) if template_dir is not None else par_templates

    if isinstance(entry_or_outdir, (str, bytes, os.PathLike)):
        if row is None:
            raise TypeError("detection_view(outdir, row): row is required with an output folder")
        if not templates:
            templates = _core.run_folders(entry_or_outdir)["template_dir"]
        return _core.detection_view_of_row(
            entry_or_outdir, int(row), "" if data is None else os.fspath(data),
            time_unit or "", templates, **settings)

    entry = entry_or_outdir
    if row is not None:
        raise TypeError("detection_view(entry): row is only for an output folder")
    if not templates:
        raise ValueError("detection_view(entry): give params or template_dir to find the template")
    event_file = str(entry["event_file"])
    if not event_file:
        raise ValueError(f"AE {int(entry['ae'])}: no event file holds this detection")
    return _core.detection_view_of_entry(int(entry["ae"]), int(entry["template_ae"]), event_file,
                                         templates, **settings)


def to_obspy(record, time_unit=None):
    """A record (as read_seg2 returns it) as an obspy.Stream, one Trace per
    SEG-2 trace, for the ObsPy toolbox. Needs ObsPy; without it, ImportError.

    Each trace's delta is its samplingInterval in seconds: the interval is
    taken in `time_unit` ("s", "ms", "us" or "ns"); by default in the unit
    the header's timeUnits names when it is ms, us or ns, else in
    microseconds, the unit of this system's AE data (readers and writers
    put "Time(sec)" in every header whatever the data holds). starttime is
    the record start (acquisitionDate, acquisitionTime plus timeUsec, UTC)
    plus the trace's delay in the same unit; 1970-01-01 when the header
    gives no start. station and channel come from lineId
    ("STATION:CHANNEL"), channel from channelCode when set; the SEG-2
    fields are kept in stats.seg2 and the data is float32.
    """
    try:
        from obspy import Stream, Trace, UTCDateTime
        from obspy.core.util import AttribDict
    except ImportError as e:
        raise ImportError("to_obspy needs ObsPy (pip install obspy, or Debian: python3-obspy); "
                          f"it cannot be imported: {e}") from None
    header = record.get("header") or {}
    unit = _records.trace_time_unit(header, time_unit)
    seconds_per_unit = _records.US_PER_UNIT[unit] * 1e-6
    start_us = _core.record_start_us(header) if header else None
    traces = []
    for t in record.get("traces", []):
        line_id = str(t.get("lineId", ""))
        station, _, channel = line_id.partition(":")
        stats = {
            "network": "",
            "station": station,
            "location": "",
            "channel": str(t.get("channelCode") or channel),
            "delta": float(t.get("samplingInterval", 0.01)) * seconds_per_unit,
            "starttime": UTCDateTime(ns=int(start_us or 0) * 1000)
            + float(t.get("delay", 0.0)) * seconds_per_unit,
            "seg2": AttribDict({k: v for k, v in t.items() if k != "samples"}),
        }
        data = np.ascontiguousarray(t.get("samples", np.zeros(0)), dtype=np.float32)
        traces.append(Trace(data=data, header=stats))
    return Stream(traces=traces)
