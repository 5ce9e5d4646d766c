import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from matplotlib.collections import LineCollection, PathCollection
from matplotlib.figure import Figure

try:
    import quorvex_ae  # noqa: F401
except ImportError:
    # A source checkout without the compiled core: the pure modules still load.
    import types
    _pkg = types.ModuleType("quorvex_ae")
    _pkg.__path__ = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "quorvex_ae")]
    sys.modules["quorvex_ae"] = _pkg

from quorvex_ae import magnitudes as mg
from quorvex_ae import plots

CATALOGUE_DTYPE = np.dtype([
    ("ae", "i4"), ("event_file", "O"), ("origin_time", "M8[us]"),
    ("x", "f4"), ("y", "f4"), ("z", "f4"), ("mw", "f4"), ("cc", "f4"),
    ("snr1", "f4"), ("snr2", "f4"), ("dx", "f4"), ("dy", "f4"), ("dz", "f4"), ("dmw", "f4"),
    ("template_ae", "i4"), ("template_mw", "f4"), ("stations", "i4"), ("copy", "i4")])

TEMPLATES = {9: (20.0, 20.0, 30.0), 13: (40.0, 15.0, 60.0)}


def catalogue(n=60, seed=0, timed=True):
    rng = np.random.default_rng(seed)
    c = np.zeros(n, CATALOGUE_DTYPE)
    c["ae"] = np.sort(rng.integers(5, 40, n))
    c["event_file"] = [f"/data/{a:06d}.sg2" for a in c["ae"]]
    if timed:
        start = np.datetime64("2024-03-05T10:00:00", "us")
        c["origin_time"] = start + np.sort(rng.integers(0, 3_600_000_000, n)).astype("m8[us]")
    else:
        c["origin_time"] = np.datetime64("NaT")
    keys = rng.choice(list(TEMPLATES), n)
    d = rng.uniform(-2.5, 2.5, (n, 3))
    pos = np.array([TEMPLATES[k] for k in keys]) + d
    c["x"], c["y"], c["z"] = pos.T
    c["dx"], c["dy"], c["dz"] = d.T
    c["template_ae"] = keys
    c["mw"] = np.round(-8.05 + rng.exponential(1 / np.log(10), n), 2)
    c["cc"] = rng.uniform(0.6, 1.0, n)
    return c


def view(n=4, dt=0.1, pre=10, win=40):
    rng = np.random.default_rng(1)
    stations = []
    for i in range(n):
        rec = rng.normal(0, 1, 300).astype(np.float32)
        stations.append(dict(trace=i, line_id=f"S{i + 1}", pick=500 + i, template_pick=200,
                             first=400 + i, record=rec, template=rec * 2,
                             cc=float("nan") if i == 1 else 0.5 + 0.1 * i))
    return dict(event_file="/data/000007.sg2", template_file="/tpl/000009.sg2", dt=dt,
                pre_len=pre, win_len=win, filtered=True, stations=stations)


def offsets(ax):
    """Positions drawn by each scatter of an axes."""
    return [c.get_offsets() for c in ax.collections if isinstance(c, PathCollection)]


class LocationsFigure(unittest.TestCase):
    def projections(self, fig):
        return [ax for ax in fig.axes if ax.get_xlabel().endswith("(mm)")]

    def test_three_projections_with_time_colour_bar(self):
        stations = np.array([[0, 0, 0], [60, 0, 0], [0, 60, 100]], float)
        fig = plots.locations(catalogue(), stations=stations)
        self.assertIsInstance(fig, Figure)
        axes = self.projections(fig)
        self.assertEqual([(a.get_xlabel(), a.get_ylabel()) for a in axes],
                         [("x (mm)", "y (mm)"), ("x (mm)", "z (mm)"), ("y (mm)", "z (mm)")])
        labels = [a.get_ylabel() for a in fig.axes]
        self.assertTrue(any(l.startswith("origin time (UTC, 2024-03-05") for l in labels), labels)
        # x-z projection: stations at (x, z).
        drawn = np.concatenate(offsets(axes[1]))
        for s in stations:
            self.assertTrue(np.any(np.all(np.isclose(drawn, s[[0, 2]]), axis=1)), s)

    def test_templates_are_placed_back_from_the_offsets(self):
        cat = catalogue()
        numbers, pos = plots.template_positions(cat)
        self.assertEqual(numbers.tolist(), sorted(TEMPLATES))
        np.testing.assert_allclose(pos, [TEMPLATES[k] for k in numbers], atol=1e-4)
        fig = plots.locations(cat)
        xy = np.concatenate(offsets(self.projections(fig)[0]))
        for k in TEMPLATES:
            self.assertTrue(np.any(np.all(np.isclose(xy, TEMPLATES[k][:2], atol=1e-4), axis=1)))

    def test_without_times_colour_follows_the_table_order(self):
        fig = plots.locations(catalogue(timed=False))
        self.assertIn("detection (table order)", [a.get_ylabel() for a in fig.axes])

    def test_degenerate_inputs_still_draw(self):
        one = catalogue(1)
        no_mw = catalogue(5)
        no_mw["mw"] = np.nan
        partly = catalogue(6)
        partly["origin_time"][:2] = np.datetime64("NaT")
        for cat in (one, no_mw, partly):
            self.assertEqual(len(self.projections(plots.locations(cat, templates={1: (0, 0, 0)}))), 3)


class MagnitudesFigure(unittest.TestCase):
    def legend_texts(self, ax):
        return [t.get_text() for t in ax.get_legend().get_texts()]

    def test_three_panels_and_the_fit_in_the_legend(self):
        cat = catalogue(400, seed=3)
        fig = plots.magnitudes(cat)
        self.assertEqual(len(fig.axes), 3)
        mw_ax, n_ax, fmd = fig.axes
        self.assertEqual(mw_ax.get_ylabel(), "Mw")
        self.assertEqual(fmd.get_xlabel(), "Mw")
        self.assertEqual(fmd.get_yscale(), "log")
        fit = mg.gutenberg_richter(cat["mw"])
        texts = self.legend_texts(fmd)
        self.assertIn(f"b = {fit.b:.2f} \u00b1 {fit.b_err:.2f}", " ".join(texts))
        self.assertIn(f"Mc = {fit.mc:.2f} (max. curvature)", texts)
        # The cumulative count ends at the number of events.
        steps = n_ax.get_lines()[0].get_ydata()
        self.assertEqual(steps[-1], 400)

    def test_too_few_events_tell_why_there_is_no_b(self):
        fig = plots.magnitudes(catalogue(1))
        self.assertTrue(any("b-value: n/a" in t for t in self.legend_texts(fig.axes[2])))

    def test_result_table_without_times_uses_the_table_order(self):
        cat = catalogue(30)
        names = [n for n in cat.dtype.names if n not in ("origin_time", "event_file")]
        table = cat[names]
        fig = plots.magnitudes(table, mc=-7.5)
        self.assertEqual(fig.axes[1].get_xlabel(), "detection (table order)")
        self.assertIn("Mc = -7.50 (given)", self.legend_texts(fig.axes[2]))


class DetectionFigure(unittest.TestCase):
    def test_rows_window_pick_and_correlations(self):
        v = view(dt=0.1, pre=10, win=40)
        fig = plots.detection(v, time_unit="us")
        (ax,) = fig.axes
        self.assertEqual(ax.get_xlabel(), "time from pick (\u00b5s)")
        self.assertEqual([t.get_text() for t in ax.get_yticklabels()], ["S1", "S2", "S3", "S4"])
        # Window: 1 us before the pick to 3 us after it.
        (span,) = ax.patches
        xs = span.get_patch_transform().transform(span.get_path().vertices)[:, 0]
        self.assertAlmostEqual(xs.min(), -1.0)
        self.assertAlmostEqual(xs.max(), 3.0)
        # Each record starts (first - pick) samples before its pick, in its
        # own row (first station on top) within +-0.45 of it.
        record_lines = [l for l in ax.get_lines() if l.get_color() == "k"]
        self.assertEqual(len(record_lines), 4)
        for k, (line, st) in enumerate(zip(record_lines, v["stations"])):
            self.assertAlmostEqual(line.get_xdata()[0], (st["first"] - st["pick"]) * 0.1)
            dev = np.abs(line.get_ydata() - (3 - k))
            self.assertAlmostEqual(dev.max(), 0.45, places=6)
        texts = [t.get_text() for t in ax.texts]
        self.assertEqual(texts[:4], ["0.50", "\u2014", "0.70", "0.80"])

    def test_silent_trace_and_single_station(self):
        v = view(n=1)
        v["stations"][0]["record"] = np.zeros(300, np.float32)
        v["stations"][0]["template"] = np.zeros(0, np.float32)
        (ax,) = plots.detection(v).axes
        self.assertTrue(np.all(ax.get_lines()[0].get_ydata() == 0))


class RunOverviewFigure(unittest.TestCase):
    def test_counts_include_empty_records_and_drop_rows_outside(self):
        numbers, counts = plots.detections_per_record([3, 5, 5, 9, 12], first=4, last=10)
        self.assertEqual(numbers.tolist(), list(range(4, 11)))
        self.assertEqual(counts.tolist(), [0, 2, 0, 0, 0, 1, 0])
        self.assertEqual(plots.detections_per_record([7, 7])[1].tolist(), [2])
        with self.assertRaises(ValueError):
            plots.detections_per_record([1], first=5, last=4)

    def test_bars_per_record_and_stems_on_long_ranges(self):
        cat = catalogue(20)
        fig = plots.run_overview(cat, first=1, last=50)
        counts_ax, cc_ax = fig.axes
        self.assertEqual(cc_ax.get_xlabel(), "AE number (record)")
        heights = [p.get_height() for p in counts_ax.patches]
        self.assertEqual(len(heights), 50)
        self.assertEqual(sum(heights), 20)
        self.assertIn("20 detections", fig._suptitle.get_text())
        long_fig = plots.run_overview(cat, first=1, last=100000)
        stems = [c for c in long_fig.axes[0].collections if isinstance(c, LineCollection)]
        self.assertEqual(len(stems), 1)
        self.assertEqual(len(stems[0].get_segments()), len(np.unique(cat["ae"])))


def _core_available():
    try:
        import quorvex_ae._core  # noqa: F401
        return True
    except ImportError:
        return False


def _executable():
    exe = os.environ.get("QAE_EXECUTABLE")
    if exe and os.access(exe, os.X_OK):
        return exe
    here = os.path.dirname(os.path.abspath(__file__))
    guess = os.path.join(here, "..", "..", "build", "Quorvex_AE")
    return guess if os.access(guess, os.X_OK) else None


def pdf_pages(path):
    with open(path, "rb") as f:
        return len(re.findall(rb"/Type\s*/Page\b", f.read()))


@unittest.skipUnless(_core_available(), "quorvex_ae._core is not built")
@unittest.skipUnless(_executable(), "no Quorvex_AE executable (set QAE_EXECUTABLE)")
class ReportCommand(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="qae_report_")
        cls.exp = os.path.join(cls.tmp, "exp")
        subprocess.run([_executable(), "demo", cls.exp], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.outdir = os.path.join(cls.exp, "out")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def report(self, *args):
        env = dict(os.environ, MPLBACKEND="Agg")
        return subprocess.run([sys.executable, "-m", "quorvex_ae", "report", *args],
                              capture_output=True, text=True, env=env)

    def test_writes_four_figures_and_a_four_page_pdf(self):
        out = os.path.join(self.tmp, "full")
        r = self.report(self.outdir, "--out", out,
                        "--params", os.path.join(self.exp, "ML_CC_AE_pars.txt"))
        self.assertEqual(r.returncode, 0, r.stderr)
        names = ["locations.png", "magnitudes.png", "detection.png", "run.png", "report.pdf"]
        self.assertEqual(r.stdout.split(), [os.path.join(out, n) for n in names])
        for n in names:
            with open(os.path.join(out, n), "rb") as f:
                self.assertEqual(f.read(4), b"%PDF" if n.endswith("pdf") else b"\x89PNG", n)
        self.assertEqual(pdf_pages(os.path.join(out, "report.pdf")), 4)

    def test_default_folder_and_chosen_row(self):
        r = self.report(self.outdir, "--row", "3")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.isfile(os.path.join(self.outdir, "report", "detection.png")))

    def test_bad_input_is_one_line_and_exit_2(self):
        empty = os.path.join(self.tmp, "empty")
        os.makedirs(empty, exist_ok=True)
        header = os.path.join(empty, "ML_detect.ps0")
        with open(os.path.join(self.outdir, "ML_detect.ps0")) as src, open(header, "w") as dst:
            dst.writelines(src.readlines()[:7])  # the header a run without detections leaves
        for args in ([os.path.join(self.tmp, "nowhere")],
                     [os.path.join(self.tmp)],             # no table
                     [empty],                               # header only
                     [self.outdir, "--row", "999"],
                     [self.outdir, "--params", os.path.join(self.tmp, "none.txt")]):
            with self.subTest(args=args):
                r = self.report(*args, "--out", os.path.join(self.tmp, "bad"))
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "bad")))

    def test_missing_template_leaves_the_detection_out(self):
        # The logs name the template folder by its absolute path: move it away.
        os.rename(os.path.join(self.exp, "templates"), os.path.join(self.exp, "templates_gone"))
        try:
            out = os.path.join(self.tmp, "notemplates")
            os.makedirs(out)
            open(os.path.join(out, "detection.png"), "wb").close()  # an earlier report's
            r = self.report(self.outdir, "--out", out)
        finally:
            os.rename(os.path.join(self.exp, "templates_gone"), os.path.join(self.exp, "templates"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("warning: detection", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(out, "detection.png")))
        self.assertEqual(pdf_pages(os.path.join(out, "report.pdf")), 3)
