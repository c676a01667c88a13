"""Batch fitting on Dask: one local cluster of two single-threaded worker processes
serves every test of the run; each test is bounded by a watchdog."""

import csv
import faulthandler
import io
import json
import logging
import math
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

import dask  # noqa: E402

import mosslib  # noqa: E402
from mosslib import Baseline, Component, LinearAxis, Spectrum, Transmission, fit  # noqa: E402
from mosslib import cli  # noqa: E402
from mosslib.batch import fit_many  # noqa: E402

AXIS = LinearAxis(256, 0.09, 127.5)
TEST_SECONDS = 240


@pytest.fixture(scope="session")
def client():
    # A task may lose one worker and run again; the second loss makes it KilledWorker.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=":0", silence_logs=logging.ERROR)
    c = distributed.Client(cluster, timeout="60s")
    yield c
    c.close()
    cluster.close()


@pytest.fixture(autouse=True)
def watchdog():
    # A hung cluster must not hang the run: dump the stacks and end the process.
    faulthandler.dump_traceback_later(TEST_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def iron_model():
    c = Component("sextgen", prefix="fe_")
    return c, Transmission(c, baseline=Baseline(1))


def iron_spectra(n, seed=11, counts=1.0e5):
    """Alpha-iron-like sextets with Poisson noise, the field stepping down by 0.02 T;
    (model, starting parameters, spectra, true fields)."""
    c, model = iron_model()
    p = model.make_params(axis=AXIS)
    c.pair_lines(p)
    for name, value in (("centre_shift", 0.0), ("quadrupole_shift", 0.0), ("area", 1.0)):
        p["fe_" + name].set(value=value)
    p["base_c0"].set(value=counts)
    rng = np.random.default_rng(seed)
    flat = Spectrum(np.ones(AXIS.n), axis=AXIS)
    spectra, fields = [], []
    for k in range(n):
        fields.append(33.0 - 0.02 * k)
        p["fe_field_T"].set(value=fields[-1])
        spectra.append(Spectrum(rng.poisson(model.eval(p, flat)).astype(float), axis=AXIS,
                                name=f"fe_{k:03d}"))
    start = model.make_params(axis=AXIS)
    c.pair_lines(start)
    for name, value in (("field_T", 32.8), ("centre_shift", 0.02), ("quadrupole_shift", 0.0),
                        ("area", 0.9)):
        start["fe_" + name].set(value=value)
    start["base_c0"].set(value=0.98 * counts)
    return model, start, spectra, fields


def same(batch, single):
    return (batch.success and batch.values == single.values and batch.stderr == single.stderr
            and batch.chisqr == single.chisqr and batch.nfev == single.nfev)


def test_batch_equals_fits_one_by_one(client):
    model, start, spectra, _ = iron_spectra(52)
    results = fit_many(spectra, model, start, client=client, chunk_size=5, timeout=180)
    assert [r.index for r in results] == list(range(52))
    assert [r.name for r in results] == [s.name for s in spectra]
    for r, s in zip(results, spectra):
        assert same(r, fit(s, model, start)), r.name
    # The workers loaded the library with its priority step off and kept their priority.
    # ... and run the library's engines on their own thread: the workers fill the cores.
    step, nice, threads = client.submit(
        lambda: (mosslib.priority_step(), os.nice(0), mosslib.threads()), pure=False).result()
    assert (step, nice, threads) == (False, os.nice(0), 1)


def test_broken_spectra_fail_alone(client):
    model, start, spectra, fields = iron_spectra(5, seed=3)
    nan = spectra[0].counts.copy()
    nan[40] = math.nan
    broken = {1: np.ones(AXIS.n - 6), 3: np.zeros(AXIS.n), 5: {"counts": nan, "name": "nan"}}
    batch = list(spectra)
    for k in sorted(broken):
        batch.insert(k, broken[k])
    results = fit_many(batch, model, start, client=client, axis=AXIS, chunk_size=3, timeout=120)
    reasons = {k: results[k].message for k in broken}
    assert not any(results[k].success or results[k].values for k in broken)
    assert "256 channels" in reasons[1] and "250" in reasons[1]
    assert "zero" in reasons[3]
    assert "channel 40" in reasons[5]
    good = [r for k, r in enumerate(results) if k not in broken]
    for r, true in zip(good, fields):
        assert r.success
        assert abs(r.values["fe_field_T"] - true) < 4 * r.stderr["fe_field_T"]


def test_sequential_series_start_from_previous_fit(client):
    model, start, spectra, _ = iron_spectra(6, seed=5)
    keys = ["a", "b"] * 3
    results = fit_many(spectra, model, start, client=client, sequential=True, series=keys,
                       timeout=120)
    for key in "ab":
        previous = None
        for k in [k for k in range(6) if keys[k] == key]:
            p = start.copy()
            if previous is not None:
                for name, q in previous.params.items():
                    if p[name].vary and not p[name].expr:
                        p[name].value = q.value
            previous = fit(spectra[k], model, p)
            assert same(results[k], previous), k


class KillOnce:
    """Starting parameters that kill their worker process the first time they are
    asked for spectrum `victim` (a marker file remembers it)."""

    def __init__(self, params, victim, marker):
        self.params, self.victim, self.marker = params, victim, marker

    def __call__(self, spectrum):
        if spectrum.name == self.victim and not os.path.exists(self.marker):
            open(self.marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        return self.params


def test_killed_worker_loses_no_spectrum(client, tmp_path):
    model, start, spectra, _ = iron_spectra(16, seed=7)
    marker = str(tmp_path / "killed")
    # No timeout: the default way of collecting results (the watchdog bounds the test).
    results = fit_many(spectra, model, KillOnce(start, "fe_009", marker), client=client,
                       chunk_size=2)
    assert os.path.exists(marker)
    assert [r.name for r in results] == [s.name for s in spectra]
    for r, s in zip(results, spectra):
        assert same(r, fit(s, model, start)), r.name
    client.wait_for_workers(2, timeout=60)


def test_command_line(client, tmp_path, capsys):
    _, _, spectra, fields = iron_spectra(4, seed=9)
    files = []
    for s, field_T, temp in zip(spectra, fields, (300, 77, 150, 4)):
        path = tmp_path / f"fe_{temp}K.txt"
        path.write_text(f"# temperature: {temp} K\n" + "\n".join(f"{c:.0f}" for c in s.counts))
        files.append(str(path))
    bad = tmp_path / "fe_20K.txt"
    bad.write_text("# temperature: 20\n1 2 3\n")
    table, plot = tmp_path / "t.csv", tmp_path / "t.png"
    fit_options = ["--axis", "linear:step=0.09,zero=127.5", "--baseline", "1",
                   "--component", "sextgen:fe,field_T=32.8,centre_shift=0.02"]
    args = files + [str(bad)] + fit_options + [
        "--scheduler", client.scheduler.address, "--table", str(table),
        "--x", "header:temperature", "--x-label", "T", "--plot", str(plot),
        "--plot-params", "fe_field_T,fe_field_alpha_iron", "--chunk-size", "1",
        "--no-read-on-workers"]  # read here, chunk by chunk
    assert cli.main(["batch"] + args) == 1  # one file not fitted
    err = capsys.readouterr().err
    assert "fe_20K.txt" in err and "Traceback" not in err
    rows = list(csv.DictReader(open(table)))
    assert [float(r["T"]) for r in rows] == [4, 20, 77, 150, 300]
    assert [r["success"] for r in rows] == ["1", "0", "1", "1", "1"]
    by_temp = dict(zip((300, 77, 150, 4), fields))
    for r in rows:
        if r["success"] == "1":
            assert abs(float(r["fe_field_T"]) - by_temp[int(float(r["T"]))]) \
                < 4 * float(r["fe_field_T_err"])
            assert r["fe_field_alpha_iron"] and r["fe_field_alpha_iron_err"]
    assert plot.stat().st_size > 0

    # Each row is the fit `mossfit FILE` makes of that file, to the bit.
    single = tmp_path / "single.json"
    assert cli.main([files[0]] + fit_options + ["--json", str(single)]) == 0
    capsys.readouterr()
    row = next(r for r in rows if r["name"] == os.path.basename(files[0]))
    for name, p in json.load(open(single))["params"].items():
        if p["vary"] or p["expr"]:
            assert float(row[name]) == p["value"] and float(row[name + "_err"]) == p["stderr"]

    # Bad input: one line on stderr, status 2, before any work is sent (also through
    # the mossfit command line's dispatch).
    for wrong in (["--component", "nosuchmodel"], ["--component", "sextgen", "--workers", "0"],
                  ["--component", "sextgen", "--fix", "fe_nothing"]):
        code = cli.main(["batch"] + files[:1] + ["--axis", "linear:step=0.09,zero=127.5",
                                                 "--table", str(table)] + wrong)
        err = capsys.readouterr().err
        assert code == 2 and err.count("\n") == 1 and err.startswith("mossfit batch: "), err


def test_tiny_budget_is_no_success(client):
    # Three evaluations cannot even form the Jacobian of nine varied parameters: no row
    # may claim convergence, and each says what a fit by itself says.
    model, start, spectra, _ = iron_spectra(4, seed=13)
    results = fit_many(spectra, model, start, client=client, max_nfev=3, timeout=120)
    for r, s in zip(results, spectra):
        single = fit(s, model, start, max_nfev=3)
        assert not r.success and not single.success
        assert r.verdict == getattr(single, "verdict", "failed") != "good"
        assert (r.message, r.nfev) == (single.message, single.nfev)


class Victim:
    """Starting parameters that kill their worker process each time spectrum `victim`
    is started, or hold it until `release` exists."""

    def __init__(self, params, victim, release=None):
        self.params, self.victim, self.release = params, victim, release

    def __call__(self, spectrum):
        if spectrum.name == self.victim:
            if self.release is None:
                os.kill(os.getpid(), signal.SIGKILL)
            while not os.path.exists(self.release):
                time.sleep(0.05)
        return self.params


def test_crash_costs_one_spectrum_not_its_series(client):
    # A chain in runs of two: the spectrum that kills its worker fails alone and the
    # chain goes on from the last good fit before it.
    model, start, spectra, _ = iron_spectra(5, seed=17)
    results = fit_many(spectra, model, Victim(start, "fe_002"), client=client,
                       sequential=True, chunk_size=2, timeout=200)
    assert not results[2].success and results[2].verdict == "failed"
    assert "died" in results[2].message
    previous = None
    for k in (0, 1, 3, 4):
        p = start.copy()
        for name, value in (previous.values.items() if previous else ()):
            if p[name].vary and not p[name].expr:
                p[name].value = value
        previous = fit(spectra[k], model, p)
        assert same(results[k], previous), k
    client.wait_for_workers(2, timeout=180)


def test_timeout_keeps_finished_rows(client, tmp_path):
    model, start, spectra, _ = iron_spectra(8, seed=19)
    release = str(tmp_path / "release")
    table = tmp_path / "t.csv"
    t = time.monotonic()
    try:
        results = fit_many(spectra, model, Victim(start, "fe_005", release), client=client,
                           chunk_size=1, timeout=4, table=table)
    finally:
        open(release, "w").close()
    assert time.monotonic() - t < 4 + 10
    assert results[5].verdict is None and "timeout of 4 s" in results[5].message
    rows = list(csv.DictReader(open(table)))
    assert [int(r["index"]) for r in rows] == list(range(8))
    assert [r["verdict"] for r in rows] == ["good"] * 5 + [""] + ["good"] * 2
    for r, s in zip(results, spectra):
        if r.verdict:
            assert same(r, fit(s, model, start))


def write_files(spectra, paths, headers=None):
    for k, (s, path) in enumerate(zip(spectra, paths)):
        head = headers[k] if headers else ""
        path.write_text(head + "\n".join(f"{c:.0f}" for c in s.counts) + "\n")


FIT = ["--axis", "linear:step=0.09,zero=127.5", "--baseline", "1",
       "--component", "sextgen:fe,field_T=32.8,centre_shift=0.02"]


def test_command_line_inputs_checked_per_file(client, tmp_path, capsys, monkeypatch):
    # Files from a directory, a pattern expanded by the program and a list on standard
    # input; x from the name or, failing that, the header; a file of another channel
    # count, one with an infinite count and one without x each fail alone.
    model, start, spectra, fields = iron_spectra(6, seed=23)
    a, b = tmp_path / "a", tmp_path / "b"
    a.mkdir(), b.mkdir()
    write_files(spectra[:3], [a / f"fe_{t}K.txt" for t in (300, 100, 200)])
    write_files(spectra[3:4], [b / "other.txt"], ["# temperature: 150\n"])
    write_files(spectra[4:5], [b / "nox.txt"])
    big = Spectrum(np.repeat(spectra[5].counts, 2), axis=LinearAxis(512, 0.045, 255.5))
    write_files([big], [b / "fe_50K.txt"])
    inf = spectra[5].counts.copy()
    inf[77] = math.inf
    (b / "fe_20K.txt").write_text("\n".join("inf" if math.isinf(c) else f"{c:.0f}" for c in inf))
    monkeypatch.setattr("sys.stdin", io.StringIO(f"{b / 'nox.txt'}\n\n{b / 'fe_20K.txt'}\n"))
    table = tmp_path / "t.csv"
    code = cli.main(["batch", str(a), str(b / "o*.txt"), str(b / "fe_5*.txt"),
                     "--files-from", "-", "--table", str(table), "--x", r"name:_(\d+)K",
                     "--x", "header:temperature", "--x-label", "T",
                     "--scheduler", client.scheduler.address] + FIT)
    err = capsys.readouterr().err
    assert code == 1 and "Traceback" not in err
    rows = list(csv.DictReader(open(table)))
    assert [r["T"] for r in rows] == ["20.0", "50.0", "100.0", "150.0", "200.0", "300.0", ""]
    why = {r["name"]: r["message"] for r in rows if r["success"] == "0"}
    assert set(why) == {"fe_20K.txt", "fe_50K.txt", "nox.txt"}
    assert "channel 77" in why["fe_20K.txt"] and "finite" in why["fe_20K.txt"]
    assert "512 channels" in why["fe_50K.txt"] and "256" in why["fe_50K.txt"]
    assert "no value for --x" in why["nox.txt"]
    truth = dict(zip(("fe_300K.txt", "fe_100K.txt", "fe_200K.txt", "other.txt"), fields))
    for r in rows:
        if r["name"] in truth:
            assert r["verdict"] == "good"
            assert abs(float(r["fe_field_T"]) - truth[r["name"]]) < 4 * float(r["fe_field_T_err"])


def test_interrupted_batch_resumes_to_the_same_table(client, tmp_path):
    _, _, spectra, _ = iron_spectra(90, seed=29)
    paths = [tmp_path / f"fe_{k:03d}.txt" for k in range(len(spectra))]
    write_files(spectra, paths)
    (tmp_path / "list").write_text("\n".join(map(str, paths)))
    args = ["batch", "--files-from", str(tmp_path / "list"), "--scheduler",
            client.scheduler.address, "--chunk-size", "1", "--window", "1"] + FIT
    reference, table = tmp_path / "ref.csv", tmp_path / "t.csv"
    assert cli.main(args + ["--table", str(reference)]) == 0
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    p = subprocess.Popen([sys.executable, "-m", "mosslib"] + args + ["--table", str(table)],
                         env=env, stderr=subprocess.PIPE, text=True)
    while p.poll() is None and (not table.exists() or len(table.read_text().splitlines()) <= 10):
        time.sleep(0.05)
    p.send_signal(signal.SIGINT)
    err = p.communicate(timeout=60)[1]
    assert p.returncode == 130 and "Traceback" not in err
    assert err.count("\n") == 1 and "interrupted" in err
    rows = list(csv.DictReader(open(table)))
    done = [r for r in rows if r["verdict"]]
    assert len(rows) == 90 and 10 <= len(done) < 90
    assert all(r["message"].startswith("not fitted") for r in rows if not r["verdict"])
    assert cli.main(args[:1] + ["--resume", str(table)] + args[1:]) == 0
    assert open(table).read() == open(reference).read()


def test_own_cluster_runs_workers_without_profiler():
    # The profiler's history grows with every task: a worker that fits for hours runs
    # without it.
    from mosslib.batch import _cluster
    with _cluster(None, 1) as (c, _):
        (callbacks,) = c.run(lambda dask_worker: sorted(dask_worker.periodic_callbacks)).values()
    assert "heartbeat" in callbacks and not any("profile" in k for k in callbacks)
