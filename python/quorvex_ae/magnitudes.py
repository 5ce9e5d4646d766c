"""Frequency-magnitude statistics of a catalogue: completeness magnitude by
maximum curvature and the Gutenberg-Richter b-value by maximum likelihood.

Only numpy. Magnitudes that are not finite are ignored; an estimate that
cannot be made comes back as NaN with the reason, never as an exception, so a
report over a small or odd catalogue still draws.
"""

from dataclasses import dataclass

import numpy as np

__all__ = [
    "GutenbergRichter",
    "bin_magnitudes",
    "frequency_magnitude",
    "completeness_maxc",
    "b_value",
    "gutenberg_richter",
]

LOG10_E = float(np.log10(np.e))

# Magnitudes are usually printed with two decimals, so values such as -7.95
# sit exactly on a bin edge where m / dM is not exact in binary; this nudge
# rounds every half up, the same way whatever the float error.
_HALF_UP = 1e-9


@dataclass(frozen=True)
class GutenbergRichter:
    """log10 N(M >= m) = a - b m, fitted over the magnitudes at or above mc.

    `reason` is empty when b is valid, else says why b (and a, b_err) are NaN.
    """

    b: float
    b_err: float
    a: float
    mc: float
    n: int
    bin_width: float
    reason: str = ""

    @property
    def ok(self):
        return not self.reason

    def cumulative(self, m):
        """Expected N(M >= m) of the fitted law."""
        return 10.0 ** (self.a - self.b * np.asarray(m, dtype=float))


def _finite(mags):
    m = np.asarray(mags, dtype=float).ravel()
    return m[np.isfinite(m)]


def bin_magnitudes(mags, bin_width=0.1):
    """Rounds to the nearest multiple of bin_width (halves up); 0 leaves them."""
    m = np.asarray(mags, dtype=float)
    if not bin_width > 0:
        return m.copy()
    return np.floor(m / bin_width + 0.5 + _HALF_UP) * bin_width


def frequency_magnitude(mags, bin_width=0.1):
    """Non-cumulative and cumulative counts per magnitude bin.

    Returns (centres, counts, cumulative) where cumulative[i] is the number
    of events in bin i or above; empty arrays when no magnitude is finite.
    """
    if not bin_width > 0:
        raise ValueError("bin_width must be positive")
    m = _finite(mags)
    if m.size == 0:
        empty = np.zeros(0)
        return empty, np.zeros(0, dtype=int), np.zeros(0, dtype=int)
    idx = np.floor(m / bin_width + 0.5 + _HALF_UP).astype(np.int64)
    lo = idx.min()
    counts = np.bincount(idx - lo)
    centres = (lo + np.arange(counts.size)) * bin_width
    cumulative = np.cumsum(counts[::-1])[::-1]
    return centres, counts, cumulative


def completeness_maxc(mags, bin_width=0.1, correction=0.0):
    """Completeness magnitude by maximum curvature: the centre of the most
    populated bin of the non-cumulative distribution, plus `correction`
    (maximum curvature tends to fall short of Mc on gradual tapers, and a
    correction of about +0.2 is common). Ties go to the smaller magnitude.
    NaN when no magnitude is finite."""
    centres, counts, _ = frequency_magnitude(mags, bin_width)
    if counts.size == 0:
        return float("nan")
    return float(centres[int(np.argmax(counts))] + correction)


def b_value(mags, mc, bin_width=0.1):
    """Maximum-likelihood b-value (Aki 1965, with Utsu's correction for
    binned magnitudes) over the magnitudes at or above mc, its uncertainty
    after Shi & Bolt (1982) and the a-value of N(M >= mc).

    The magnitudes are binned to bin_width first, so the correction matches
    the data whatever precision they were written with; bin_width 0 takes
    them as continuous."""
    dm = float(bin_width) if bin_width and bin_width > 0 else 0.0
    nan = float("nan")

    def fail(n, reason):
        return GutenbergRichter(nan, nan, nan, float(mc), n, dm, reason)

    if not np.isfinite(mc):
        return fail(0, "no completeness magnitude")
    m = bin_magnitudes(_finite(mags), dm)
    # Compare on the bin grid so that a binned Mc keeps its own bin.
    m = m[m >= mc - (dm * 1e-6 if dm else 0.0)]
    n = int(m.size)
    if n < 2:
        return fail(n, f"{n} event{'s' if n != 1 else ''} at or above Mc, 2 needed")
    mean = float(m.mean())
    spread = float(np.sum((m - mean) ** 2))
    if spread <= 0.0:
        return fail(n, "all magnitudes at or above Mc are equal")
    denom = mean - (mc - dm / 2.0)
    if not denom > 0:
        return fail(n, "mean magnitude not above Mc")
    b = LOG10_E / denom
    b_err = 2.3 * b * b * np.sqrt(spread / (n * (n - 1)))
    a = float(np.log10(n) + b * mc)
    return GutenbergRichter(float(b), float(b_err), a, float(mc), n, dm)


def gutenberg_richter(mags, bin_width=0.1, mc=None, correction=0.0):
    """b_value with Mc by maximum curvature unless mc is given."""
    if mc is None:
        mc = completeness_maxc(mags, bin_width, correction)
    return b_value(mags, mc, bin_width)
