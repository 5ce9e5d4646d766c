"""Shaping of the columns the compiled core returns: NumPy structured
arrays or pandas frames, absolute times, and the time units of traces."""

import re
import warnings

import numpy as np

# Float columns of the result table, in its order (after AE# and t0).
TABLE_FLOATS = ("x", "y", "z", "mw", "cc", "snr1", "snr2", "dx", "dy", "dz", "dmw")

TABLE_DTYPE = np.dtype(
    [("ae", "i4"), ("t0", "f8")]
    + [(name, "f4") for name in TABLE_FLOATS]
    + [("template_ae", "i4"), ("template_mw", "f4")])

CATALOGUE_DTYPE = np.dtype(
    [("ae", "i4"), ("event_file", "O"), ("origin_time", "M8[us]"), ("t0", "f8")]
    + [(name, "f4") for name in TABLE_FLOATS]
    + [("template_ae", "i4"), ("template_mw", "f4"), ("stations", "i4"), ("copy", "i4")])

NAT_US = np.datetime64("NaT", "us")


class QuorvexWarning(UserWarning):
    """What the library reports without failing: a malformed table line, an
    event file that is gone, a parameter that probably does not say what
    its author meant."""


QuorvexWarning.__module__ = "quorvex_ae"


def warn_each(lines, stacklevel=3):
    for line in lines:
        warnings.warn(line, QuorvexWarning, stacklevel=stacklevel)


def structured(columns, dtype):
    out = np.zeros(len(columns["ae"]), dtype=dtype)
    for name in dtype.names:
        out[name] = columns[name]
    return out


def origin_times(origin_us, has_time):
    times = np.asarray(origin_us, dtype="i8").astype("M8[us]")
    times[~np.asarray(has_time, dtype=bool)] = NAT_US
    return times


def pick_time(time_us):
    return None if time_us is None else np.datetime64(int(time_us), "us")


def as_frame_or_array(array, as_frame):
    """A pandas DataFrame when asked for (True), or by default (None) when
    pandas can be imported; else the structured array itself."""
    if as_frame is False:
        return array
    try:
        import pandas
    except ImportError:
        if as_frame:
            raise ImportError("as_frame=True needs pandas (Debian: python3-pandas)") from None
        return array
    return pandas.DataFrame.from_records(array)


# Microseconds per unit of the time units a header or caller may name.
US_PER_UNIT = {"s": 1e6, "ms": 1e3, "us": 1.0, "ns": 1e-3}

# Tried in order on the header's TIMEUNITS text, lower case. "sec" alone is
# not among them: see trace_time_unit.
_UNIT_PATTERNS = (
    (re.compile(r"micro|usec|\bus\b|\u00b5s"), "us"),
    (re.compile(r"milli|msec|\bms\b"), "ms"),
    (re.compile(r"nano|nsec|\bns\b"), "ns"),
)


def trace_time_unit(header, time_unit=None):
    """The unit of the traces' sampling interval and delay: `time_unit` when
    given, else the one the header's timeUnits names if it is a fraction of
    a second, else "us". The reader and writer fill TIMEUNITS with
    "Time(sec)" whatever the data holds, and this system's AE data is
    sampled in microseconds, so "Time(sec)" does not mean seconds here."""
    if time_unit is not None:
        if time_unit not in US_PER_UNIT:
            raise ValueError(f"time_unit: one of {', '.join(US_PER_UNIT)}, got {time_unit!r}")
        return time_unit
    text = str((header or {}).get("timeUnits", "")).lower()
    for pattern, unit in _UNIT_PATTERNS:
        if pattern.search(text):
            return unit
    return "us"
