"""mossfit serve: the model-update round trip while dragging (what the page waits for
between two mouse moves) and a whole fit started from the page, against the same fit
from Python.

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python /usr/bin/python3 bench/bench_web.py

Prints the processor, the round trip's median and 95th percentile over 200 moves of a
sextet's centre on a 512-channel spectrum, and the fit's wall time both ways."""

import json
import os
import statistics
import sys
import tempfile
import threading
import time
import urllib.request

import numpy as np

import mosslib
from mosslib import Baseline, Component, LinearAxis, Transmission
from mosslib.measurement import Spectrum, read_spectrum
from mosslib.web.server import create_app

from machine import processor  # bench/: the processor's name


def main():
    import logging

    from werkzeug.serving import make_server
    logging.getLogger("werkzeug").setLevel(logging.WARNING)
    root = tempfile.mkdtemp()
    axis = LinearAxis(512, 0.05, 255.5)
    c = Component("sextgen", prefix="fe_")
    model = Transmission(c, baseline=Baseline(0))
    s = Spectrum(np.ones(512), axis=axis)
    p = model.make_params(s)
    c.pair_lines(p)
    p["fe_field_T"].set(value=33.0)
    p["fe_centre_shift"].set(value=0.1)
    p["base_c0"].set(value=2e5)
    np.savetxt(os.path.join(root, "iron.txt"), np.random.default_rng(3).poisson(model.eval(p, s)),
               fmt="%d")
    app = create_app(root, token="t")
    server = make_server("127.0.0.1", 0, app, threaded=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_port}"

    def call(path, body=None):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(base + path, data=data, headers={"X-Mosslib-Token": "t"})
        with urllib.request.urlopen(req) as r:
            return json.loads(r.read())

    sid = call("/api/open", {"file": "iron.txt"})["id"]
    app.config["MOSSLIB_STATE"].workers.take()  # as a page open for a while: a child ready
    time.sleep(3)
    call("/api/axis", {"spectrum": sid, "axis": "linear:step=0.05,zero=255.5"})
    model_def = {"spectrum": sid, "components": [{"model": "sextgen", "prefix": "c1_"}],
                 "baseline": 0}
    params = {r["name"]: r for r in call("/api/model", model_def)["params"]}
    params["c1_field_T"]["value"], params["c1_centre_shift"]["value"] = 32.0, 0.0
    times = []
    for k in range(200):
        params["c1_centre_shift"]["value"] = 0.002 * k
        t0 = time.perf_counter()
        call("/api/model", dict(model_def, params=params))
        times.append(time.perf_counter() - t0)
    times.sort()
    print(f"processor: {processor()}")
    print(f"model update round trip (512 channels, sextet): median {1e3 * statistics.median(times):.1f} ms, "
          f"p95 {1e3 * times[int(0.95 * len(times))]:.1f} ms (target 100 ms)")

    params["c1_centre_shift"]["value"] = 0.0
    t0 = time.perf_counter()
    job = call("/api/fit", dict(model_def, params=params))["job"]
    while call(f"/api/job/{job}")["state"] == "running":
        time.sleep(0.05)
    page = time.perf_counter() - t0
    sp = read_spectrum(os.path.join(root, "iron.txt")).with_axis(axis)
    from mosslib.web.server import build_model
    m, pp = build_model(dict(model_def, params=params), sp)
    t0 = time.perf_counter()
    mosslib.fit(sp, m, pp)
    direct = time.perf_counter() - t0
    print(f"fit from the page (wall, process start included): {page:.2f} s; the same fit "
          f"from Python: {direct:.2f} s")
    server.shutdown()


if __name__ == "__main__":
    sys.exit(main())
