"""mossfit batch against a scheduler that freezes or dies mid-batch: a separate
`dask scheduler` process and one worker, the command in its own process."""

import csv
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

pytest.importorskip("distributed")

from mosslib import Baseline, Component, LinearAxis, Spectrum, Transmission  # noqa: E402

FIT = ["--axis", "linear:step=0.25,zero=31.5", "--baseline", "0",
       "--component", "doubl:d,quadrupole_splitting=0.8,width=0.3,area=0.3"]


def env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path),
                DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED="False")


@pytest.fixture(scope="module")
def listfile(tmp_path_factory):
    """300 small doublet spectra (64 channels) and the file that lists them."""
    d = tmp_path_factory.mktemp("spectra")
    axis = LinearAxis(64, 0.25, 31.5)
    model = Transmission(Component("doubl", prefix="d_"), baseline=Baseline(0))
    p = model.make_params(axis=axis)
    for name, value in (("base_c0", 2e5), ("d_width", 0.3), ("d_area", 0.3)):
        p[name].set(value=value)
    clean = model.eval(p, Spectrum(np.ones(64), axis=axis))
    rng = np.random.default_rng(3)
    names = []
    for k in range(300):
        names.append(str(d / f"s{k:03d}.txt"))
        np.savetxt(names[-1], rng.poisson(clean), fmt="%d")
    (d / "list").write_text("\n".join(names) + "\n")
    return str(d / "list")


def start_cluster(tmp_path):
    info = tmp_path / f"scheduler{time.monotonic_ns()}.json"
    procs = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler",
                               "--port", "0", "--dashboard-address", ":0",
                               "--scheduler-file", str(info)], env=env(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    deadline = time.monotonic() + 60
    while not info.exists() or not info.read_text().strip():
        assert time.monotonic() < deadline and procs[0].poll() is None
        time.sleep(0.1)
    address = json.loads(info.read_text())["address"]
    procs.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker",
                                   address, "--nthreads", "1", "--no-nanny",
                                   "--dashboard-address", ":0"], env=env(),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    return address, procs


def stop(procs):
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGCONT)
            p.kill()
        p.wait(30)


@pytest.mark.parametrize("fault", ["freeze", "kill"])
def test_scheduler_fault_keeps_finished_rows(listfile, tmp_path, fault):
    # The scheduler is stopped (SIGSTOP) or killed after the first rows: the command
    # ends within --timeout + 10 s, every row that finished is on disk, the rest are
    # named in the table, and the fault is told in one line.
    address, procs = start_cluster(tmp_path)
    table = tmp_path / "t.csv"
    timeout = 15
    try:
        t = time.monotonic()
        p = subprocess.Popen([sys.executable, "-m", "mosslib", "batch", "--files-from",
                              listfile, "--table", str(table), "--scheduler", address,
                              "--chunk-size", "1", "--window", "1", "--timeout", str(timeout)]
                             + FIT, env=env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
        while p.poll() is None and (not table.exists() or
                                    len(table.read_text().splitlines()) <= 5):
            time.sleep(0.05)
        if fault == "freeze":
            procs[0].send_signal(signal.SIGSTOP)
        else:
            procs[0].kill()
        out, err = p.communicate(timeout=timeout + 30)
        took = time.monotonic() - t
    finally:
        stop(procs)
    assert took < timeout + 10
    assert p.returncode == 1 and "Traceback" not in err, err
    lines = err.splitlines()
    assert len(lines) == 1 and "stopped" in lines[0], err
    assert any(why in lines[0] for why in (("timeout", "stopped answering") if fault == "freeze"
                                           else ("was lost",)))
    rows = list(csv.DictReader(open(table)))
    done = [r for r in rows if r["verdict"]]
    assert len(rows) == 300 and 5 <= len(done) < 300
    assert all(r["verdict"] == "good" and r["d_quadrupole_splitting"] for r in done)
    assert all(r["message"].startswith("not fitted") for r in rows if not r["verdict"])
