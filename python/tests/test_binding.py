"""The quorvex_ae package against the Quorvex_AE program: every value the
package returns must be the one the program prints or writes.

Needs the package importable (PYTHONPATH=<build>/python) and the program
(QAE_EXECUTABLE, else <build>/Quorvex_AE beside the package)."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import warnings

import numpy as np

import quorvex_ae as qae
from quorvex_ae import QuorvexWarning

EXE = os.environ.get("QAE_EXECUTABLE") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(qae.__file__)))),
    "Quorvex_AE")

TABLE_FLOATS = ("x", "y", "z", "mw", "cc", "snr1", "snr2", "dx", "dy", "dz", "dmw")

_tmp = None


def cli(*args, check=True):
    r = subprocess.run([EXE, *map(str, args)], capture_output=True, text=True, timeout=120)
    if check and r.returncode != 0:
        raise AssertionError(f"Quorvex_AE {' '.join(map(str, args))}: exit {r.returncode}\n"
                             f"{r.stderr}")
    return r


def dump(path):
    return json.loads(cli("seg2", "dump", path, "--samples").stdout)


def experiment(name):
    """A small synthetic experiment (4 sensors, 2 templates, AE# 1..9); the
    same files every time."""
    d = os.path.join(_tmp, name)
    cli("synth", d, "--sensors", 4, "--templates", 2, "--events", 3, "--samples", 1024)
    return d


def setUpModule():
    global _tmp
    if not os.access(EXE, os.X_OK):
        raise unittest.SkipTest(f"no Quorvex_AE executable at {EXE} (set QAE_EXECUTABLE)")
    _tmp = tempfile.mkdtemp(prefix="qae_binding_")


def tearDownModule():
    if _tmp:
        shutil.rmtree(_tmp, ignore_errors=True)


def caught(fn, *args, **kwargs):
    """fn's result and the QuorvexWarning texts it issued."""
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        result = fn(*args, **kwargs)
    return result, [str(x.message) for x in w if issubclass(x.category, QuorvexWarning)]


class Seg2ReadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = experiment("read")
        cls.file = os.path.join(cls.dir, "events", "000001.sg2")

    def assertSameAsDump(self, record, printed):
        self.assertEqual(record["header"], printed["header"])
        self.assertEqual(len(record["traces"]), len(printed["traces"]))
        for got, want in zip(record["traces"], printed["traces"]):
            got, want = dict(got), dict(want)
            samples, want_samples = got.pop("samples"), want.pop("samples")
            self.assertEqual(got, want)
            self.assertEqual(samples.dtype, np.float32)
            # The dump prints each float's shortest decimal: exact as float32.
            np.testing.assert_array_equal(samples, np.array(want_samples, dtype=np.float32))

    def test_every_field_and_sample_is_the_dumps(self):
        record, warned = caught(qae.read_seg2, pathlib.Path(self.file))
        self.assertEqual(warned, [])
        self.assertSameAsDump(record, dump(self.file))
        self.assertEqual(record["partial"], "")
        self.assertEqual(record["picks"].dtype, np.int32)
        self.assertEqual(record["picks"].tolist(), [t["pickup"][0] for t in record["traces"]])
        self.assertTrue(all(t["samples"].size == 1024 for t in record["traces"]))

    def test_a_truncated_file_gives_its_present_samples_and_a_warning(self):
        data = pathlib.Path(self.file).read_bytes()
        cut = os.path.join(self.dir, "cut.sg2")
        pathlib.Path(cut).write_bytes(data[:-1000])
        record, warned = caught(qae.read_seg2, cut)
        printed = cli("seg2", "dump", cut, "--samples")
        self.assertSameAsDump(record, json.loads(printed.stdout))
        self.assertNotEqual(record["partial"], "")
        self.assertEqual([f"Quorvex_AE: warning: {w}" for w in warned],
                         printed.stderr.splitlines())
        short = [t for t in record["traces"] if "samplesPresent" in t]
        self.assertTrue(short)
        for t in short:
            self.assertEqual(t["samples"].size, t["samplesPresent"])
            self.assertLess(t["samplesPresent"], t["samplesDeclared"])

    def test_unreadable_input_raises_instead_of_crashing(self):
        with self.assertRaises(FileNotFoundError):
            qae.read_seg2(os.path.join(self.dir, "no_such.sg2"))
        with self.assertRaises(OSError):
            qae.read_seg2(self.dir)
        for name, content in (("text.sg2", b"not a SEG-2 file\n" * 20), ("empty.sg2", b""),
                              ("header_only.sg2", pathlib.Path(self.file).read_bytes()[:40])):
            path = os.path.join(self.dir, name)
            pathlib.Path(path).write_bytes(content)
            with self.subTest(name), self.assertRaises(ValueError) as ctx:
                qae.read_seg2(path)
            self.assertIn(name, str(ctx.exception))


class Seg2WriteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = experiment("write")
        cls.file = os.path.join(cls.dir, "events", "000006.sg2")
        cls.record = qae.read_seg2(cls.file)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_writes_the_bytes_the_program_writes(self):
        fmt = self.record["traces"][0]["dataFormat"]
        for name in ("same.sg2", "plain.dat"):
            with self.subTest(name):
                qae.write_seg2(self.path(name), self.record, format=fmt)
                cli("seg2", "write", self.file, self.path("cli_" + name), "--format", fmt)
                self.assertEqual(pathlib.Path(self.path(name)).read_bytes(),
                                 pathlib.Path(self.path("cli_" + name)).read_bytes())

    def test_round_trip_keeps_every_field_and_sample(self):
        fmt = self.record["traces"][0]["dataFormat"]
        qae.write_seg2(pathlib.Path(self.path("rt.sg2")), self.record, fmt)
        again = qae.read_seg2(self.path("rt.sg2"))
        self.assertEqual(again["header"], self.record["header"])
        for a, b in zip(again["traces"], self.record["traces"]):
            np.testing.assert_array_equal(a["samples"], b["samples"])
            self.assertEqual({k: v for k, v in a.items() if k != "samples"},
                             {k: v for k, v in b.items() if k != "samples"})
        np.testing.assert_array_equal(again["picks"], self.record["picks"])

    def test_sample_formats(self):
        values = np.array([0.0, 1.5, -2.7, 3e6, -1e-3, 40000.0], dtype=np.float64)
        whole = np.trunc(values).astype(np.int64)
        cases = {4: values.astype(np.float32), 5: values.astype(np.float32),
                 2: whole.astype(np.float32),
                 # int16 keeps the low 16 bits: 40000 reads back as -25536
                 1: ((whole + 32768) % 65536 - 32768).astype(np.float32)}
        for fmt, want in cases.items():
            with self.subTest(format=fmt):
                rec = {"header": {"acquisitionDate": "2024/01/02"},
                       "traces": [{"lineId": "S1:AEZ", "samples": values.tolist()}]}
                qae.write_seg2(self.path(f"f{fmt}.sg2"), rec, format=fmt)
                back = qae.read_seg2(self.path(f"f{fmt}.sg2"))
                np.testing.assert_array_equal(back["traces"][0]["samples"], want)
                self.assertEqual(back["traces"][0]["dataFormat"], fmt)
                self.assertEqual(back["traces"][0]["lineId"], "S1:AEZ")
                self.assertEqual(back["header"]["acquisitionDate"], "2024/01/02")

    def test_fields_come_from_numpy_values_and_sample_count_from_samples(self):
        rec = {"traces": [{"samples": np.arange(5, dtype=np.int64),
                           "receiverLocation": np.array([1.0, 2.0, 3.5]),
                           "pickup": (np.int32(3), 0), "sampleCount": 99}]}
        qae.write_seg2(self.path("np.sg2"), rec)
        t = qae.read_seg2(self.path("np.sg2"))["traces"][0]
        self.assertEqual(t["sampleCount"], 5)
        self.assertEqual(t["receiverLocation"], [1.0, 2.0, 3.5])
        self.assertEqual(t["pickup"][0], 3)

    def test_bad_records_are_refused_and_leave_no_file(self):
        ok = {"samples": [1.0, 2.0]}
        bad = {
            "text too long": ({"traces": [dict(ok, lineId="x" * 40)]}, ValueError),
            "float for int": ({"traces": [dict(ok, channelNumber=1.5)]}, ValueError),
            "int16 overflow": ({"traces": [dict(ok, channelNumber=70000)]}, ValueError),
            "str for number": ({"traces": [dict(ok, delay="0")]}, ValueError),
            "two-d samples": ({"traces": [{"samples": [[1.0], [2.0]]}]}, ValueError),
            "text samples": ({"traces": [{"samples": ["a", "b"]}]}, (TypeError, ValueError)),
            "no traces": ({"traces": []}, ValueError),
            "not a dict": ([1, 2], TypeError),
            "short rotation": ({"header": {"rotation": [1]}, "traces": [ok]}, ValueError),
        }
        for name, (rec, error) in bad.items():
            with self.subTest(name), self.assertRaises(error):
                qae.write_seg2(self.path("bad.sg2"), rec)
        with self.assertRaises(ValueError):
            qae.write_seg2(self.path("bad.sg2"), {"traces": [ok]}, format=3)
        self.assertFalse(os.path.exists(self.path("bad.sg2")))
        with self.assertRaises(OSError):
            qae.write_seg2(self.path("no_dir/x.sg2"), {"traces": [ok]})


class ParamsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = experiment("params")
        cls.file = os.path.join(cls.dir, "ML_CC_AE_pars.txt")

    def test_the_settings_are_the_commands(self):
        pars, warned = caught(qae.read_params, self.file)
        self.assertEqual(pars, json.loads(cli("params", self.file).stdout))
        self.assertEqual(warned, [])
        self.assertEqual(pars["ccMin"], 0.6)
        self.assertEqual(pars["dataPath"], os.path.join(self.dir, "events") + "/")

    def test_warnings_are_issued_and_strict_refuses(self):
        text = pathlib.Path(self.file).read_text()
        bent = os.path.join(self.dir, "bent_pars.txt")
        pathlib.Path(bent).write_text(re.sub(r"(ccMin.*= )0\.6", r"\g<1>0,6", text))
        pars, warned = caught(qae.read_params, bent)
        self.assertEqual(pars, json.loads(cli("params", bent).stdout))
        self.assertEqual(pars["ccMin"], 0.0)
        self.assertEqual(warned, pars["warnings"])
        self.assertTrue(any("ccMin" in w for w in warned))
        with self.assertRaises(ValueError):
            qae.read_params(bent, strict=True)

    def test_values_no_run_can_use_are_listed_as_errors(self):
        text = pathlib.Path(self.file).read_text()
        broken = os.path.join(self.dir, "nan_pars.txt")
        pathlib.Path(broken).write_text(re.sub(r"(dupWin.*= )100", r"\g<1>-5", text))
        pars, warned = caught(qae.read_params, broken)
        self.assertEqual(len(pars["errors"]), 1)
        self.assertIn("dupWin", pars["errors"][0])
        self.assertIn("error: " + pars["errors"][0], warned)
        self.assertEqual(cli("params", broken, check=False).returncode, 2)

    def test_a_missing_file_is_an_os_error(self):
        with self.assertRaises(OSError):
            qae.read_params(os.path.join(self.dir, "none.txt"))


def summary_of(line):
    """The numbers of the run command's last line."""
    fields = dict(f.split("=", 1) for f in line.split())
    return {k: (fields[k] if k == "log" else int(fields[k]))
            for k in ("detected", "scanned", "missing", "unwritten", "log")}


def table_rows(path):
    """Rows of a result table, parsed from its text here: the lines after
    the header's last line, PLOT_XY:."""
    lines = pathlib.Path(path).read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("PLOT_XY:")) + 1
    return [line.split("\t") for line in lines[start:] if line.strip()]


class RunTest(unittest.TestCase):
    """The same experiment run twice: once by the program, once from Python."""

    @classmethod
    def setUpClass(cls):
        cls.cli_dir = experiment("run_cli")
        cls.py_dir = experiment("run_py")
        cls.cli_line = cli("run", os.path.join(cls.cli_dir, "ML_CC_AE_pars.txt"),
                           "1,9,+=0").stdout.strip().splitlines()[-1]
        # A run before it in the same process must not change what it writes.
        qae.run(os.path.join(experiment("run_before"), "ML_CC_AE_pars.txt"), 1, 9)
        cls.result, cls.warned = caught(qae.run, os.path.join(cls.py_dir, "ML_CC_AE_pars.txt"),
                                        1, 9, threads=2)

    def test_the_summary_is_the_commands(self):
        want = summary_of(self.cli_line)
        got = {k: self.result[k] for k in want}
        self.assertEqual(got["log"], want["log"].replace(self.cli_dir, self.py_dir))
        del got["log"], want["log"]
        self.assertEqual(got, want)
        self.assertGreater(got["detected"], 0)
        self.assertEqual(self.result["exit_status"], qae.RUN_COMPLETE)
        self.assertEqual(self.result["summary"], self.cli_line.replace(self.cli_dir, self.py_dir))
        self.assertTrue(self.result["log"].endswith("Log_000001_000009_OK.txt"))
        self.assertTrue(os.path.isfile(self.result["log"]))
        self.assertEqual(self.warned, [])

    def test_the_result_table_is_the_commands_byte_for_byte(self):
        # The run from Python draws the same dither values as the program.
        got = pathlib.Path(self.py_dir, "out", "ML_detect.ps0").read_bytes()
        want = pathlib.Path(self.cli_dir, "out", "ML_detect.ps0").read_bytes()
        self.assertEqual(got, want)

    def test_refused_input(self):
        par = os.path.join(self.py_dir, "ML_CC_AE_pars.txt")
        with self.assertRaises(ValueError):
            qae.run(par, 9, 1)
        with self.assertRaises(OSError):
            qae.run(os.path.join(self.py_dir, "missing_pars.txt"), 1, 9)
        with self.assertRaises(ValueError):
            qae.run(par, 1, 9, kernel="quick")

    def test_nothing_to_scan_is_a_status_and_a_warning(self):
        result, warned = caught(qae.run, os.path.join(self.py_dir, "ML_CC_AE_pars.txt"),
                                500, 502)
        self.assertEqual(result["exit_status"], qae.RUN_NOTHING_TO_SCAN)
        self.assertEqual((result["scanned"], result["missing"]), (0, 3))
        self.assertTrue(any("nothing to scan" in w for w in warned))


class TableAndCatalogueTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = experiment("catalogue")
        cls.par = os.path.join(cls.dir, "ML_CC_AE_pars.txt")
        cls.out = os.path.join(cls.dir, "out")
        cli("run", cls.par, "1,9,+=0")
        cls.rows = table_rows(os.path.join(cls.out, "ML_detect.ps0"))

    def test_table_rows_are_the_files(self):
        table, warned = caught(qae.read_table, self.out, as_frame=False)
        self.assertEqual(warned, [])
        self.assertEqual(len(table), len(self.rows))
        self.assertGreater(len(table), 0)
        np.testing.assert_array_equal(table["ae"], [int(r[0]) for r in self.rows])
        np.testing.assert_array_equal(table["t0"], [float(r[1]) for r in self.rows])
        for k, name in enumerate(TABLE_FLOATS):
            np.testing.assert_array_equal(
                table[name], np.array([float(r[k + 2]) for r in self.rows], dtype=np.float32))
        np.testing.assert_array_equal(table["template_ae"], [int(r[13]) for r in self.rows])
        self.assertEqual(table.dtype["t0"], np.float64)
        self.assertEqual(table.dtype["template_mw"], np.float32)
        # A prefix without the separator names the same folder.
        np.testing.assert_array_equal(qae.read_table(self.out + "/", as_frame=False), table)

    def test_a_torn_line_is_skipped_with_a_warning(self):
        torn = os.path.join(self.dir, "torn")
        os.makedirs(torn, exist_ok=True)
        text = pathlib.Path(self.out, "ML_detect.ps0").read_text()
        pathlib.Path(torn, "ML_detect.ps0").write_text(text + "12\t3.5\t1.0")
        table, warned = caught(qae.read_table, torn, as_frame=False)
        self.assertEqual(len(table), len(self.rows))
        self.assertEqual(len(warned), 1)

    def test_missing_or_foreign_tables(self):
        with self.assertRaises(OSError):
            qae.read_table(os.path.join(self.dir, "templates"))
        foreign = os.path.join(self.dir, "foreign")
        os.makedirs(foreign, exist_ok=True)
        pathlib.Path(foreign, "ML_detect.ps0").write_text("AE#\tt0\n1\t2\n")
        with self.assertRaises(ValueError):
            qae.read_table(foreign)
        with self.assertRaises(ValueError):
            qae.read_catalogue(self.out, time_unit="fortnight")

    def test_frames_follow_pandas(self):
        try:
            import pandas  # noqa: F401
        except ImportError:
            self.assertIsInstance(qae.read_table(self.out), np.ndarray)
            with self.assertRaises(ImportError):
                qae.read_table(self.out, as_frame=True)
        else:
            self.assertEqual(list(qae.read_table(self.out).columns)[:2], ["ae", "t0"])

    def test_catalogue_joins_each_row_with_its_event_file(self):
        (cat, picks), warned = caught(qae.read_catalogue, self.out, as_frame=False, picks=True)
        self.assertEqual(warned, [])
        table = qae.read_table(self.out, as_frame=False)
        np.testing.assert_array_equal(cat["ae"], table["ae"])
        for name in TABLE_FLOATS:
            np.testing.assert_array_equal(cat[name], table[name])
        self.assertEqual(cat.dtype["origin_time"], np.dtype("M8[us]"))
        self.assertEqual(len(picks), len(cat))
        for row, row_picks in zip(cat, picks):
            record = qae.read_seg2(row["event_file"])
            h = record["header"]
            start = np.datetime64(h["acquisitionDate"].replace("/", "-") + "T"
                                  + h["acquisitionTime"], "us")
            start += np.timedelta64(h["timeUsec"], "us")
            self.assertEqual(row["origin_time"],
                             start + np.timedelta64(int(round(row["t0"])), "us"))
            self.assertEqual(row["copy"], 0)
            self.assertGreaterEqual(row["stations"], 4)
            self.assertTrue(row_picks)
            for p in row_picks:
                self.assertEqual(p["sample"], record["picks"][p["trace"]])
                self.assertEqual(p["line_id"], record["traces"][p["trace"]]["lineId"])
                self.assertEqual(list(p["receiver"]),
                                 record["traces"][p["trace"]]["receiverLocation"])
                self.assertIsInstance(p["time"], np.datetime64)
        self.assertEqual(len(qae.catalogue_picks(self.out)), len(cat))

    def test_moved_event_files(self):
        moved = os.path.join(self.dir, "moved_events")
        shutil.copytree(os.path.join(self.dir, "events"), moved)
        cat = qae.read_catalogue(self.out, data=moved, as_frame=False)
        self.assertTrue(all(f.startswith(moved) for f in cat["event_file"]))
        first = cat["event_file"][0]
        os.remove(first)
        cat, warned = caught(qae.read_catalogue, self.out, data=moved + "/", as_frame=False)
        self.assertEqual(cat["event_file"][0], "")
        self.assertTrue(np.isnat(cat["origin_time"][0]))
        self.assertEqual((cat["stations"][0], cat["copy"][0]), (-1, -1))
        self.assertEqual(len(warned), 1)
        self.assertIn(f"AE {cat['ae'][0]}", warned[0])

    def test_run_folders_are_the_parameter_files(self):
        pars = qae.read_params(self.par)
        folders = qae.run_folders(self.out)
        self.assertEqual(folders["data_prefix"], pars["dataPath"])
        self.assertEqual(folders["template_dir"], pars["templateDir"])
        self.assertEqual([os.path.basename(p) for p in folders["logs"]],
                         ["Log_000001_000009_OK.txt"])

    def test_detection_view_shows_the_record_and_template_around_the_picks(self):
        cat = qae.read_catalogue(self.out, as_frame=False)
        view = qae.detection_view(self.out, 0, before=50, after=150)
        self.assertFalse(view["filtered"])
        self.assertEqual(view["event_file"], cat["event_file"][0])
        self.assertEqual(view["time_unit"], "us")
        record = qae.read_seg2(view["event_file"])
        template = qae.read_seg2(view["template_file"])
        self.assertEqual(len(view["stations"]), cat["stations"][0])
        for s in view["stations"]:
            samples = record["traces"][s["trace"]]["samples"]
            self.assertEqual(s["pick"], record["picks"][s["trace"]])
            self.assertEqual(s["first"], s["pick"] - 50)
            np.testing.assert_array_equal(s["record"], samples[s["pick"] - 50:s["pick"] + 150])
            tp = template["picks"][s["trace"]]
            self.assertEqual(s["template_pick"], tp)
            np.testing.assert_array_equal(s["template"],
                                          template["traces"][s["trace"]]["samples"][tp - 50:tp + 150])
        # The same detection given as a catalogue row.
        by_entry = qae.detection_view(cat[0], before=50, after=150,
                                      template_dir=qae.run_folders(self.out)["template_dir"])
        for a, b in zip(by_entry["stations"], view["stations"]):
            np.testing.assert_array_equal(a["record"], b["record"])

    def test_detection_view_with_the_run_parameters_filters_and_matches(self):
        cat = qae.read_catalogue(self.out, as_frame=False)
        best = int(np.argmax(cat["cc"]))
        view = qae.detection_view(self.out, best, params=self.par)
        self.assertTrue(view["filtered"])
        self.assertEqual(view["pre_len"], 10)  # preWin 1 us at 0.1 us
        self.assertEqual(view["win_len"], 40)  # preWin + postWin
        cc = np.array([s["cc"] for s in view["stations"]])
        self.assertTrue(np.all(cc <= 1.0))
        self.assertGreater(cc.mean(), 0.5)
        with self.assertRaises(IndexError):
            qae.detection_view(self.out, len(cat), params=self.par)
        with self.assertRaises(ValueError):
            qae.detection_view(cat[0])


class PackageTest(unittest.TestCase):
    def test_to_obspy(self):
        record = {"header": {"acquisitionDate": "2024/05/14", "acquisitionTime": "10:00:07",
                             "timeUsec": 250, "timeUnits": "Time(sec)"},
                  "traces": [{"lineId": "S01:AEZ", "samplingInterval": 0.1,
                              "samples": np.arange(4, dtype=np.float32)}]}
        try:
            import obspy
        except ImportError:
            with self.assertRaises(ImportError) as ctx:
                qae.to_obspy(record)
            self.assertIn("ObsPy", str(ctx.exception))
            self.skipTest("ObsPy is not installed")
        st = qae.to_obspy(record)
        self.assertEqual(len(st), 1)
        self.assertAlmostEqual(st[0].stats.delta, 1e-7)
        self.assertEqual(st[0].stats.starttime, obspy.UTCDateTime("2024-05-14T10:00:07.000250"))
        self.assertEqual((st[0].stats.station, st[0].stats.channel), ("S01", "AEZ"))
        self.assertAlmostEqual(qae.to_obspy(record, time_unit="ms")[0].stats.delta, 1e-4)

    def test_a_python3_of_the_same_version_without_numpy_imports_the_package(self):
        # A pyenv or venv python3 on PATH next to Debian's.
        other = shutil.which("python3")
        if not other or os.path.realpath(other) == os.path.realpath(sys.executable):
            self.skipTest("no second python3 on PATH")
        probe = subprocess.run([other, "-c", "import sys; print(sys.version_info[:2])"],
                               capture_output=True, text=True)
        if probe.stdout.strip() != str(sys.version_info[:2]):
            self.skipTest(f"{other} is another Python version")
        r = subprocess.run([other, "-c", "import quorvex_ae as q; print(q.RUN_COMPLETE)"],
                           capture_output=True, text=True,
                           env=dict(os.environ, PYTHONPATH=os.path.dirname(
                               os.path.dirname(qae.__file__))))
        self.assertEqual((r.returncode, r.stdout.strip()), (0, "0"), r.stderr)


if __name__ == "__main__":
    unittest.main()
