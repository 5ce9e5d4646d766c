"""Figures of a run's detections.

Each function takes what the package's readers return (the catalogue or the
result table as numpy structured arrays; a pandas frame with the same
columns works too) and returns a matplotlib Figure. The figures are built on
matplotlib's object API and never go through pyplot, so they neither need
nor change a backend: save them with `fig.savefig(...)`, or let a notebook
show them.
"""

import os.path

import numpy as np
from matplotlib import dates as mdates
from matplotlib import transforms
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import Patch
from matplotlib.ticker import MaxNLocator

from . import magnitudes as mags

__all__ = [
    "locations",
    "magnitudes",
    "detection",
    "run_overview",
    "template_positions",
    "detections_per_record",
]

_UNIT_LABELS = {"us": "\u00b5s", "ms": "ms", "s": "s"}


# ---------------------------------------------------------------- columns

def _names(cat):
    names = getattr(getattr(cat, "dtype", None), "names", None)
    if names:
        return tuple(names)
    columns = getattr(cat, "columns", None)  # pandas
    if columns is not None:
        return tuple(columns)
    raise TypeError("expected a catalogue or result table (structured array or data frame)")


def _col(cat, name, dtype=float):
    return np.asarray(cat[name], dtype=dtype)


def _times(cat):
    """Origin times as matplotlib date numbers, NaN where unknown; None when
    the input has no absolute times (the result table's t0 is relative to
    each record)."""
    if "origin_time" not in _names(cat):
        return None
    t = np.asarray(cat["origin_time"]).astype("datetime64[us]")
    ok = ~np.isnat(t)
    out = np.full(t.shape, np.nan)
    if ok.any():
        # Days since 1970 from integer microseconds: exact to well below 1 us.
        out[ok] = t[ok].astype(np.int64) / 86400e6 + mdates.date2num(np.datetime64("1970-01-01"))
    return out


def _date_axis(axis, days):
    """Concise date ticks; returns a label suffix naming the days covered,
    which replaces the formatter's offset text (that text widens a colour
    bar's margin and is easily cut off)."""
    locator = mdates.AutoDateLocator()
    # Without the offset every tick must name its own time of day (lab runs
    # often last a minute or less).
    formatter = mdates.ConciseDateFormatter(
        locator, formats=["%Y", "%b", "%b %d", "%H:%M", "%H:%M", "%H:%M:%S.%f"],
        offset_formats=[""] * 6)
    axis.set_major_locator(locator)
    axis.set_major_formatter(formatter)
    days = np.asarray(days, dtype=float)
    days = days[np.isfinite(days)]
    if not days.size:
        return ""
    lo, hi = (mdates.num2date(d).strftime("%Y-%m-%d") for d in (days.min(), days.max()))
    return f", {lo}" if lo == hi else f", {lo} to {hi}"


def template_positions(cat):
    """Template AE numbers and positions (n, 3) from the rows: a detection's
    offsets dx, dy, dz are from its template, so the template sits at
    (x - dx, y - dy, z - dz). Rows of one template agree up to rounding; their
    mean is taken. None when the input has no offsets."""
    need = ("template_ae", "x", "y", "z", "dx", "dy", "dz")
    if not set(need) <= set(_names(cat)):
        return None
    ae = _col(cat, "template_ae", np.int64)
    pos = np.column_stack([_col(cat, c) - _col(cat, "d" + c) for c in "xyz"])
    numbers = np.unique(ae)
    return numbers, np.array([pos[ae == k].mean(axis=0) for k in numbers]).reshape(-1, 3)


def detections_per_record(ae, first=None, last=None):
    """AE numbers first..last and the detections of each (0 for a record
    without any); rows outside the range are left out."""
    ae = np.asarray(ae, dtype=np.int64)
    if first is None:
        first = int(ae.min()) if ae.size else 0
    if last is None:
        last = int(ae.max()) if ae.size else first
    if last < first:
        raise ValueError(f"empty AE range {first}..{last}")
    inside = ae[(ae >= first) & (ae <= last)]
    counts = np.bincount(inside - first, minlength=last - first + 1)
    return np.arange(first, last + 1), counts


# Marker areas (points^2) of the smallest and largest Mw of a catalogue.
_SMALL, _LARGE = 12.0, 160.0


def _marker_areas(mw, small=_SMALL, large=_LARGE):
    """Marker areas growing with Mw over the catalogue's own range."""
    lo, hi = (np.nanmin(mw), np.nanmax(mw)) if np.isfinite(mw).any() else (np.nan, np.nan)
    if not np.isfinite(lo) or hi == lo:
        areas = np.full(mw.shape, 0.5 * (small + large))
    else:
        areas = small + (large - small) * (mw - lo) / (hi - lo)
    areas[~np.isfinite(areas)] = small
    return areas, lo, hi


# ---------------------------------------------------------------- locations

def locations(cat, stations=None, templates=None, title=None):
    """Detections in three projections (x-y, x-z, y-z; mm, equal aspect),
    coloured by origin time (by row order when no time is known), sized by
    Mw, with the stations as triangles and the templates as stars.

    stations: (n, 3) receiver positions, or None. templates: (n, 3)
    positions, a dict {AE number: (x, y, z)}, or None for the positions
    derived from the rows (see template_positions)."""
    x, y, z = (_col(cat, c) for c in "xyz")
    mw = _col(cat, "mw") if "mw" in _names(cat) else np.full(x.shape, np.nan)
    n = x.size

    times = _times(cat)
    timed = times is not None and np.isfinite(times).any()
    if timed:
        colour = times
    else:
        colour = np.arange(n, dtype=float)

    tlabels = None
    if templates is None:
        derived = template_positions(cat) if n else None
        if derived is not None:
            tlabels, templates = derived
    elif isinstance(templates, dict):
        tlabels = np.array(list(templates.keys()))
        templates = np.array(list(templates.values()), dtype=float).reshape(-1, 3)
    if templates is not None:
        templates = np.asarray(templates, dtype=float).reshape(-1, 3)
    if stations is not None:
        stations = np.asarray(stations, dtype=float).reshape(-1, 3)

    fig = Figure(figsize=(15, 6.2), layout="constrained")
    grid = fig.add_gridspec(2, 3, height_ratios=[1, 0.09])
    axes = [fig.add_subplot(grid[0, i]) for i in range(3)]
    key = fig.add_subplot(grid[1, :])
    key.axis("off")

    areas, mw_lo, mw_hi = _marker_areas(mw)
    known = np.isfinite(colour)
    vmin, vmax = (np.nanmin(colour), np.nanmax(colour)) if known.any() else (0.0, 1.0)
    if vmax <= vmin:  # one event, or all at one time: give the colour scale some width
        pad = 1.0 / 86400 if timed else 0.5
        vmin, vmax = vmin - pad, vmax + pad

    planes = ((0, 1, "x", "y"), (0, 2, "x", "z"), (1, 2, "y", "z"))
    pts = np.column_stack([x, y, z])
    for ax, (i, j, a, b) in zip(axes, planes):
        if (~known).any():
            ax.scatter(pts[~known, i], pts[~known, j], s=areas[~known], c="0.6",
                       edgecolors="0.3", linewidths=0.4, zorder=2)
        sc = ax.scatter(pts[known, i], pts[known, j], s=areas[known], c=colour[known],
                        cmap="viridis", vmin=vmin, vmax=vmax, edgecolors="k",
                        linewidths=0.4, zorder=3)
        if stations is not None and len(stations):
            ax.scatter(stations[:, i], stations[:, j], marker="^", s=60, c="white",
                       edgecolors="k", linewidths=1.0, zorder=2)
        if templates is not None and len(templates):
            # Hollow, so that the detections on a template stay visible.
            ax.scatter(templates[:, i], templates[:, j], marker="*", s=300, facecolors="none",
                       edgecolors="red", linewidths=1.4, zorder=4)
            if tlabels is not None and len(tlabels) <= 12:
                for k, p in zip(tlabels, templates):
                    ax.annotate(str(k), (p[i], p[j]), xytext=(7, 7), textcoords="offset points",
                                fontsize=8, color="darkred", zorder=5,
                                bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none",
                                          alpha=0.8))
        ax.set_xlabel(f"{a} (mm)")
        ax.set_ylabel(f"{b} (mm)")
        ax.set_aspect("equal", adjustable="datalim")
        ax.grid(True, lw=0.3, alpha=0.5)
        ax.set_title(f"{a}-{b}")

    cbar = fig.colorbar(sc, ax=axes, shrink=0.9, pad=0.01)
    if timed:
        cbar.set_label("origin time (UTC" + _date_axis(cbar.ax.yaxis, times) + ")")
    else:
        cbar.ax.yaxis.set_major_locator(MaxNLocator(integer=True))
        cbar.set_label("detection (table order)")

    handles = [Line2D([], [], ls="", marker="o", mfc="0.75", mec="k", ms=size, label=label)
               for size, label in _size_key(mw_lo, mw_hi)]
    if stations is not None and len(stations):
        handles.append(Line2D([], [], ls="", marker="^", mfc="white", mec="k", ms=8,
                              label=f"station ({len(stations)})"))
    if templates is not None and len(templates):
        handles.append(Line2D([], [], ls="", marker="*", mfc="none", mec="red", ms=15,
                              label=f"template ({len(templates)})"))
    if (~known).any() and known.any():
        handles.append(Line2D([], [], ls="", marker="o", mfc="0.6", mec="0.3", ms=7,
                              label=f"no origin time ({int((~known).sum())})"))
    key.legend(handles=handles, loc="center", ncol=max(1, len(handles)), frameon=False)
    fig.suptitle(title or f"Detections ({n})")
    return fig


def _size_key(lo, hi, small=_SMALL, large=_LARGE):
    """(marker size in points, label) pairs explaining the Mw sizes."""
    if not np.isfinite(lo):
        return [(np.sqrt(small), "Mw unknown")]
    if hi == lo:
        return [(np.sqrt(0.5 * (small + large)), f"Mw {lo:.2f}")]
    return [(np.sqrt(small), f"Mw {lo:.2f}"),
            (np.sqrt(0.5 * (small + large)), f"Mw {0.5 * (lo + hi):.2f}"),
            (np.sqrt(large), f"Mw {hi:.2f}")]


# ---------------------------------------------------------------- magnitudes

def magnitudes(cat, bin_width=0.1, mc=None, correction=0.0, title=None):
    """Mw against origin time, the cumulative number of detections against
    time, and the frequency-magnitude distribution (cumulative and per bin)
    with Mc by maximum curvature and the maximum-likelihood b-value.

    Without origin times (the result table, or event files gone) the time
    axes show the table order instead. mc fixes Mc instead of estimating
    it; correction is added to the estimated one."""
    mw = _col(cat, "mw")
    times = _times(cat)
    timed = times is not None and np.isfinite(times).any()
    fit = mags.gutenberg_richter(mw, bin_width=bin_width, mc=mc, correction=correction)

    fig = Figure(figsize=(13, 7), layout="constrained")
    grid = fig.add_gridspec(2, 2, width_ratios=[1.25, 1])
    ax_mw = fig.add_subplot(grid[0, 0])
    ax_n = fig.add_subplot(grid[1, 0], sharex=ax_mw)
    ax_fmd = fig.add_subplot(grid[:, 1])

    if timed:
        t = times
        keep = np.isfinite(t)
        ax_n.set_xlabel("origin time (UTC" + _date_axis(ax_n.xaxis, t) + ")")
        missing = int((~keep).sum())
    else:
        t = np.arange(mw.size, dtype=float)
        keep = np.ones(mw.size, dtype=bool)
        ax_n.xaxis.set_major_locator(MaxNLocator(integer=True))
        ax_n.set_xlabel("detection (table order)")
        missing = 0

    ax_mw.scatter(t[keep], mw[keep], s=14, c="tab:blue", edgecolors="none")
    if np.isfinite(fit.mc):
        ax_mw.axhline(fit.mc, color="tab:red", ls="--", lw=1, label=f"Mc = {fit.mc:.2f}")
        ax_mw.legend(loc="best", fontsize=8, framealpha=1)
    ax_mw.set_ylabel("Mw")
    ax_mw.grid(True, lw=0.3, alpha=0.5)
    ax_mw.tick_params(labelbottom=False)
    extra = f", {missing} without origin time not shown" if missing else ""
    ax_mw.set_title(f"Magnitude against time ({int(keep.sum())} detections{extra})")

    ts = np.sort(t[keep])
    if ts.size:
        ax_n.step(np.concatenate([ts[:1], ts]), np.arange(ts.size + 1), where="post",
                  color="k", lw=1.2)
    ax_n.set_ylabel("cumulative number")
    ax_n.yaxis.set_major_locator(MaxNLocator(integer=True))
    ax_n.grid(True, lw=0.3, alpha=0.5)

    centres, counts, cum = mags.frequency_magnitude(mw, bin_width)
    if centres.size:
        nz = counts > 0
        ax_fmd.semilogy(centres, cum, "o", color="k", ms=5, label="cumulative N(\u2265Mw)")
        ax_fmd.semilogy(centres[nz], counts[nz], "s", mfc="none", mec="tab:blue", ms=6,
                        label=f"per {bin_width:g} bin")
    else:
        ax_fmd.set_yscale("log")
    if np.isfinite(fit.mc):
        ax_fmd.axvline(fit.mc, color="tab:red", ls="--", lw=1,
                       label=f"Mc = {fit.mc:.2f} (max. curvature)" if mc is None
                       else f"Mc = {fit.mc:.2f} (given)")
    if fit.ok:
        m = np.linspace(fit.mc, max(centres[-1], fit.mc + bin_width), 50)
        ax_fmd.semilogy(m, fit.cumulative(m), "-", color="tab:red", lw=1.5,
                        label=f"b = {fit.b:.2f} \u00b1 {fit.b_err:.2f} (ML), a = {fit.a:.2f}, "
                              f"n = {fit.n}")
    else:
        ax_fmd.plot([], [], " ", label=f"b-value: n/a ({fit.reason})")
    ax_fmd.set_xlabel("Mw")
    ax_fmd.set_ylabel("number of detections")
    ax_fmd.grid(True, which="both", lw=0.3, alpha=0.5)
    ax_fmd.legend(loc="upper right", fontsize=8, framealpha=1)
    ax_fmd.set_title("Frequency-magnitude distribution")
    fig.suptitle(title or "Magnitudes")
    fig.gr_fit = fit  # the fit drawn, for callers that also want the numbers
    return fig


# ---------------------------------------------------------------- one detection

def detection(view, time_unit="us", title=None):
    """One detection station by station: each picked trace of the record
    around its pick (one row each, normalised to its own peak) with the
    template's trace aligned on the pick, the pick, the matching window and
    the station's correlation at the side. `view` is what
    quorvex_ae.detection_view returns; time_unit names the traces' unit
    when the view does not; title goes above the files' line."""
    stations = list(view["stations"])
    dt = float(view["dt"])
    unit = _UNIT_LABELS.get(view.get("time_unit", time_unit), view.get("time_unit", time_unit))
    n = len(stations)

    fig = Figure(figsize=(11, max(4.0, 0.42 * n + 1.8)), layout="constrained")
    ax = fig.add_subplot()
    side = transforms.blended_transform_factory(ax.transAxes, ax.transData)

    def scaled(a):
        a = np.asarray(a, dtype=float)
        peak = np.nanmax(np.abs(a)) if a.size else 0.0
        return a / peak * 0.45 if peak > 0 else a * 0.0

    ticks, labels = [], []
    for k, st in enumerate(stations):
        row = n - 1 - k  # first station on top
        rec = np.asarray(st["record"])
        t = (int(st["first"]) + np.arange(rec.size) - int(st["pick"])) * dt
        ax.plot(t, row + scaled(rec), color="k", lw=0.7)
        tpl = np.asarray(st["template"])
        if tpl.size:
            tt = (int(st["first"]) + np.arange(tpl.size) - int(st["pick"])) * dt
            ax.plot(tt, row + scaled(tpl), color="tab:red", lw=0.8, alpha=0.8)
        cc = st.get("cc", float("nan"))
        ax.text(1.01, row, "\u2014" if cc is None or not np.isfinite(cc) else f"{cc:.2f}",
                transform=side, va="center", ha="left", fontsize=8)
        ticks.append(row)
        labels.append(str(st.get("line_id") or f"trace {st['trace']}"))
    ax.text(1.01, n - 0.35, "CC", transform=side, va="bottom", ha="left", fontsize=8,
            fontweight="bold")

    pre, win = int(view.get("pre_len", 0)), int(view.get("win_len", 0))
    if win > 0:
        ax.axvspan(-pre * dt, (win - pre) * dt, color="gold", alpha=0.25, lw=0, zorder=0)
    ax.axvline(0.0, color="tab:blue", ls="--", lw=1)

    ax.set_yticks(ticks, labels, fontsize=8)
    ax.set_ylim(-0.7, max(n, 1) - 0.3)
    ax.set_xlabel(f"time from pick ({unit})")
    ax.set_ylabel("station (line id)")
    ax.grid(True, axis="x", lw=0.3, alpha=0.5)
    ax.legend(handles=[Line2D([], [], color="k", lw=0.8, label="record"),
                       Line2D([], [], color="tab:red", lw=0.8, label="template"),
                       Line2D([], [], color="tab:blue", ls="--", lw=1, label="pick"),
                       Patch(color="gold", alpha=0.25, label="matching window")],
              loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=4, frameon=False, fontsize=8)

    ccs = np.array([s.get("cc", np.nan) for s in stations], dtype=float)
    mean = f", mean station CC {np.nanmean(ccs):.2f}" if np.isfinite(ccs).any() else ""
    band = " (band-passed)" if view.get("filtered") else " (unfiltered)"
    what = (f"{os.path.basename(view.get('event_file', ''))} with template "
            f"{os.path.basename(view.get('template_file', ''))}{band}{mean}")
    fig.suptitle(f"{title}\n{what}" if title else what)
    return fig


# ---------------------------------------------------------------- run overview

def run_overview(cat, first=None, last=None, title=None):
    """Detections per record over the AE range first..last (default: the
    range of the rows), records without a detection counting 0, and the
    correlation of each detection against its AE number."""
    ae = _col(cat, "ae", np.int64)
    numbers, counts = detections_per_record(ae, first, last)
    first, last = int(numbers[0]), int(numbers[-1])
    inside = (ae >= first) & (ae <= last)

    fig = Figure(figsize=(12, 6), layout="constrained")
    ax_n, ax_cc = fig.subplots(2, 1, sharex=True, height_ratios=[1, 1])
    if numbers.size <= 400:
        ax_n.bar(numbers, counts, width=0.8, color="tab:blue")
    else:  # bars thinner than a pixel vanish: draw the records with detections as stems
        hit = counts > 0
        ax_n.vlines(numbers[hit], 0, counts[hit], color="tab:blue", lw=1)
    ax_n.set_ylabel("detections per record")
    ax_n.yaxis.set_major_locator(MaxNLocator(integer=True))
    ax_n.set_ylim(0, max(1, int(counts.max()) if counts.size else 1) + 0.5)
    ax_n.grid(True, axis="y", lw=0.3, alpha=0.5)

    if "cc" in _names(cat):
        ax_cc.scatter(ae[inside], _col(cat, "cc")[inside], s=14, c="k", edgecolors="none")
    ax_cc.set_ylabel("CC")
    ax_cc.set_xlabel("AE number (record)")
    ax_cc.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax_cc.set_xlim(first - 0.6, last + 0.6)
    ax_cc.grid(True, lw=0.3, alpha=0.5)

    hit = int((counts > 0).sum())
    fig.suptitle(title or f"AE {first}\u2013{last}: {int(counts.sum())} detections in {hit} "
                          f"of {numbers.size} records")
    return fig
