import math
import os
import sys
import unittest

import numpy as np

try:
    import quorvex_ae  # noqa: F401
except ImportError:
    # A source checkout without the compiled core: the pure modules still load.
    import types
    _pkg = types.ModuleType("quorvex_ae")
    _pkg.__path__ = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "quorvex_ae")]
    sys.modules["quorvex_ae"] = _pkg

from quorvex_ae import magnitudes as mg


def gr_catalogue(b, mc, n, bin_width, seed):
    """n magnitudes of a Gutenberg-Richter law complete from mc, rounded to
    bin_width. Drawn from mc - bin_width/2 so that the bin centred on mc is
    the first complete one, as in a real binned catalogue."""
    rng = np.random.default_rng(seed)
    beta = b * math.log(10)
    m = (mc - bin_width / 2) + rng.exponential(1 / beta, n)
    return np.round(m / bin_width) * bin_width


def tapered_catalogue(b, mc, n, seed, width=0.15):
    """Gutenberg-Richter events from mc - 1 with a detection probability of 1
    at and above mc and a Gaussian fall-off below it."""
    rng = np.random.default_rng(seed)
    beta = b * math.log(10)
    m = (mc - 1.0) + rng.exponential(1 / beta, 20 * n)
    p = np.where(m >= mc, 1.0, np.exp(-0.5 * ((m - mc) / width) ** 2))
    kept = m[rng.random(m.size) < p][:n]
    return np.round(kept, 2)


class BValueOnKnownLaws(unittest.TestCase):
    def check(self, b, bin_width, seed):
        m = gr_catalogue(b, -8.0, 5000, bin_width, seed)
        fit = mg.b_value(m, -8.0, bin_width=bin_width)
        self.assertTrue(fit.ok, fit.reason)
        self.assertEqual(fit.n, 5000)
        self.assertLess(abs(fit.b - b), 3 * fit.b_err, fit)
        # Shi & Bolt's error is about b / sqrt(n) for a pure G-R sample.
        self.assertAlmostEqual(fit.b_err, b / math.sqrt(5000), delta=0.2 * b / math.sqrt(5000))
        # a: N(M >= Mc) = 10^(a - b Mc) reproduces the count at Mc.
        self.assertAlmostEqual(fit.cumulative(-8.0), 5000, delta=1e-6 * 5000)

    def test_b_one_and_one_and_a_half_at_both_binnings(self):
        for b in (1.0, 1.5):
            for bin_width in (0.01, 0.1):
                with self.subTest(b=b, bin_width=bin_width):
                    self.check(b, bin_width, seed=int(b * 10 + bin_width * 100))

    def test_without_utsu_correction_coarse_bins_bias_b(self):
        # The correction is what keeps 0.1 bins unbiased: taking the binned
        # values as continuous overestimates b clearly.
        m = gr_catalogue(1.0, -8.0, 5000, 0.1, seed=3)
        corrected = mg.b_value(m, -8.0, bin_width=0.1)
        naive = mg.b_value(m, -8.0, bin_width=0)
        self.assertGreater(naive.b - corrected.b, 5 * corrected.b_err)

    def test_finer_catalogue_is_binned_before_the_fit(self):
        # Magnitudes at 0.01 fitted with 0.1 bins: Mc -8.0 owns [-8.05, -7.95).
        m = gr_catalogue(1.0, -8.045, 5000, 0.01, seed=4)
        fit = mg.b_value(m, -8.0, bin_width=0.1)
        self.assertEqual(fit.n, 5000)
        self.assertLess(abs(fit.b - 1.0), 3 * fit.b_err)


class CompletenessByMaximumCurvature(unittest.TestCase):
    def test_tapered_catalogue_peaks_at_the_true_completeness(self):
        for b, seed in ((1.0, 11), (1.5, 12)):
            with self.subTest(b=b):
                m = tapered_catalogue(b, -8.0, 5000, seed)
                self.assertLessEqual(abs(mg.completeness_maxc(m) - (-8.0)), 0.1 + 1e-9)

    def test_correction_is_added_and_ties_go_low(self):
        m = [-7.5, -7.5, -7.3, -7.3, -7.1]
        self.assertAlmostEqual(mg.completeness_maxc(m), -7.5)
        self.assertAlmostEqual(mg.completeness_maxc(m, correction=0.2), -7.3)

    def test_bin_edges_round_half_up_whatever_the_float_error(self):
        # -7.95 and -7.85 are not exact in binary; both must go up a bin.
        self.assertAlmostEqual(mg.completeness_maxc([-7.95, -7.95, -7.85, -8.04]), -7.9)
        np.testing.assert_allclose(mg.bin_magnitudes([-7.95, -7.05, 0.05]), [-7.9, -7.0, 0.1])

    def test_maxc_then_fit_on_a_tapered_catalogue(self):
        m = tapered_catalogue(1.0, -8.0, 5000, seed=21)
        fit = mg.gutenberg_richter(m, correction=0.1)
        self.assertTrue(fit.ok)
        self.assertLess(abs(fit.b - 1.0), 3 * fit.b_err + 0.05)


class FrequencyMagnitudeCounts(unittest.TestCase):
    def test_counts_cover_every_bin_and_cumulate_from_above(self):
        centres, counts, cum = mg.frequency_magnitude([-8.0, -7.8, -7.8, float("nan")], 0.1)
        np.testing.assert_allclose(centres, [-8.0, -7.9, -7.8])
        self.assertEqual(counts.tolist(), [1, 0, 2])
        self.assertEqual(cum.tolist(), [3, 2, 2])

    def test_nothing_finite_gives_empty_counts(self):
        centres, counts, cum = mg.frequency_magnitude([np.nan, np.inf])
        self.assertEqual((centres.size, counts.size, cum.size), (0, 0, 0))


class DegenerateCatalogues(unittest.TestCase):
    def assert_nan(self, fit, words):
        self.assertFalse(fit.ok)
        self.assertTrue(math.isnan(fit.b) and math.isnan(fit.b_err) and math.isnan(fit.a))
        self.assertIn(words, fit.reason)

    def test_each_case_is_nan_with_its_reason(self):
        self.assert_nan(mg.gutenberg_richter([]), "no completeness")
        self.assert_nan(mg.gutenberg_richter([np.nan, np.nan]), "no completeness")
        self.assert_nan(mg.gutenberg_richter([-7.5]), "1 event at or above")
        self.assert_nan(mg.gutenberg_richter([-7.5, -7.5, -7.5]), "equal")
        self.assert_nan(mg.b_value([-7.5, -7.4], float("nan")), "no completeness")
        # Events below Mc do not count.
        self.assert_nan(mg.b_value([-9.0, -9.1, -7.0], -8.0), "1 event")
        self.assertTrue(math.isnan(mg.completeness_maxc([])))

    def test_nan_magnitudes_are_ignored_not_propagated(self):
        m = list(gr_catalogue(1.0, -8.0, 500, 0.1, seed=5)) + [np.nan] * 10
        fit = mg.gutenberg_richter(m, mc=-8.0)
        self.assertTrue(fit.ok)
        self.assertEqual(fit.n, 500)
