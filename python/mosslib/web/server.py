"""The HTTP side of `mossfit serve`: a Flask application over the package's readers,
models, fits and exports. JSON in, JSON out; every failure is one line in "error"."""

import hmac
import io
import itertools
import json
import math
import multiprocessing
import os
import secrets
import tempfile
import threading
import time

import numpy as np

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
VENDOR_FILES = ("uPlot.iife.min.js", "uPlot.min.css", "LICENSE")
MAX_UPLOAD = 16 * 1024 * 1024        # bytes per uploaded spectrum
MAX_LISTED = 2000                    # files listed from the served directory
MAX_SPECTRA = 64                     # spectra held open at once


class Refused(ValueError):
    """A request the page gets back as one line."""


def vendor_missing():
    """The vendored plotting library's files that are not in the package (built by
    ./run or the package build from npm; never fetched at run time)."""
    return [f for f in VENDOR_FILES if not os.path.exists(os.path.join(STATIC, "vendor", f))]


# ---- the model the page describes --------------------------------------------------

def check_expression(expr, names):
    """A tie: arithmetic on parameter names, numbers and a few functions (the fit's own
    check), as a refusal the page shows."""
    from ..fitting import check_expression as check
    try:
        check(expr, names, what="tie")
    except ValueError as e:
        raise Refused(str(e)) from None
    return expr


def _number(x, what):
    try:
        v = float(x)
    except (TypeError, ValueError):
        raise Refused(f"{what}: {x!r} is not a number") from None
    if math.isnan(v):
        raise Refused(f"{what}: not a number")
    return v


def build_model(definition, spectrum):
    """(model, params) from the page's model: components, baseline degree and, when
    given, every parameter's value, vary, min, max and tie."""
    from ..components import Baseline, Component, Transmission
    comps = definition.get("components") or []
    if not comps:
        raise Refused("add a component first")
    if len(comps) > 12:
        raise Refused("at most 12 components")
    if spectrum.axis is None:
        raise Refused("give the spectrum a velocity axis first (calibrate, or type one)")
    seen = set()
    components = []
    for k, c in enumerate(comps):
        prefix = str(c.get("prefix") or f"c{k + 1}_")
        if not prefix.replace("_", "").isalnum() or not prefix[0].isalpha():
            raise Refused(f"prefix {prefix!r}: letters, digits and _")
        prefix = prefix if prefix.endswith("_") else prefix + "_"
        if prefix in seen:
            raise Refused(f"two components with the prefix {prefix!r}")
        seen.add(prefix)
        options = {str(k2): int(_number(v, k2)) for k2, v in (c.get("options") or {}).items()}
        components.append(Component(str(c.get("model")), prefix=prefix, **options))
    degree = int(_number(definition.get("baseline", 2), "baseline degree"))
    if not 0 <= degree <= 4:
        raise Refused("baseline degree: 0 to 4")
    model = Transmission(*components,
                         baseline=Baseline(degree, per_sweep=spectrum.axis.n_sweeps > 1))
    params = model.make_params(spectrum)
    given = definition.get("params")
    if not given:
        from ..cli.common import starting_params
        params, _ = starting_params(model, spectrum, {}, [], [], [], [], pair_lines=True,
                                    data_start=True)
        return model, params
    names = set(params)
    for name, p in given.items():
        if name not in params:
            continue
        q = params[name]
        lo = -math.inf if p.get("min") in (None, "") else _number(p["min"], f"{name} min")
        hi = math.inf if p.get("max") in (None, "") else _number(p["max"], f"{name} max")
        if lo > hi:
            raise Refused(f"{name}: the lower bound {lo:g} is above the upper bound {hi:g}")
        value = _number(p.get("value", q.value), name)
        if not math.isfinite(value):
            raise Refused(f"{name}: {value} is not a finite value")
        expr = (p.get("expr") or "").strip()
        q.set(value=value, min=lo, max=hi, vary=bool(p.get("vary", q.vary)), expr="")
        if expr:
            q.set(expr=check_expression(expr, names - {name}))
    return model, params


def params_table(model, params, result=None):
    """Each parameter as the page shows it: value, unit, bounds, tie and, after a fit,
    its standard error."""
    units = {}
    for c in model.components:
        for n in c.param_names:
            units[c.prefix + n] = c.param(n).unit
    rows = []
    for name, q in params.items():
        rows.append({"name": name, "value": float(q.value), "vary": bool(q.vary),
                     "min": None if not np.isfinite(q.min) else float(q.min),
                     "max": None if not np.isfinite(q.max) else float(q.max),
                     "expr": q.expr or "", "unit": units.get(name, ""),
                     "stderr": None if result is None else result.stderr.get(name)})
    return rows


def curves(model, params, spectrum):
    """Velocities, data, model and components in transmission (data over the model's
    baseline: dips down, baseline at 1), normalised residuals, and the line centres of
    each component for the handles the page drags."""
    v, base, comps = model.parts(params, spectrum)
    total = np.sum(comps, axis=0)
    y = base * (1.0 - total)
    counts = spectrum.counts
    with np.errstate(divide="ignore", invalid="ignore"):
        sigma = np.sqrt(np.maximum(spectrum.data_variance(), 1.0))
        resid = np.where(spectrum.mask, (counts - y) / sigma, np.nan)
        data = np.where(spectrum.mask, counts / base, np.nan)
    order = np.argsort(v, kind="stable")
    values = params.valuesdict()
    lines = {}
    for c in model.components:
        try:
            lines[c.prefix] = [x if math.isfinite(x) else None
                               for x in c.line_centres(values, spectrum.axis)]
        except Exception:  # a model without single lines has no handles
            lines[c.prefix] = []

    def clean(a):
        return [None if not math.isfinite(x) else float(x) for x in np.asarray(a)[order]]

    return {"velocity": clean(v), "data": clean(data), "model": clean(1.0 - total),
            "components": {c.prefix: clean(1.0 - a) for c, a in zip(model.components, comps)},
            "residual": clean(resid), "lines": lines,
            "chi2": float(np.nansum(resid[spectrum.mask] ** 2))}


# ---- fits in child processes -----------------------------------------------------------

def _worker(conn):
    """A child that has imported the package and waits for one task: a fit or a batch.
    One task per child, so cancelling is ending the process."""
    from .. import fit
    from ..batch import fit_many, write_table
    try:
        kind, args = conn.recv()
    except (EOFError, OSError):
        return
    try:
        if kind == "fit":
            spectrum, definition = args
            model, params = build_model(definition, spectrum)
            result = fit(spectrum, model, params)
            result.spectrum = spectrum
            conn.send(("done", result))
        else:
            spectra, definition, names = args
            model, params = build_model(definition, spectra[0])
            results = fit_many(spectra, model, params, progress=False,
                               workers=min(len(spectra), os.cpu_count() or 1))
            for r, name in zip(results, names):
                r.name = name
            with tempfile.TemporaryDirectory() as d:
                path = os.path.join(d, "table.csv")
                write_table(results, path)
                with open(path, encoding="utf-8") as f:
                    table = f.read()
            conn.send(("done", {"results": results, "table": table}))
    except Exception as e:  # sent to the page as one line
        conn.send(("failed", " ".join(str(e).split()) or type(e).__name__))
    finally:
        conn.close()


class Workers:
    """One child process kept ready (the package imported), so a fit starts at once."""

    def __init__(self):
        self._ctx = multiprocessing.get_context("spawn")
        self._lock = threading.Lock()
        self._spare = None

    def _start(self):
        parent, child = self._ctx.Pipe()
        proc = self._ctx.Process(target=_worker, args=(child,), daemon=True)
        proc.start()
        child.close()
        return proc, parent

    def take(self):
        with self._lock:
            spare = self._spare or self._start()
            self._spare = self._start()
        return spare

    def close(self):
        with self._lock:
            if self._spare is not None:
                self._spare[0].terminate()
                self._spare = None


class Job:
    """A fit or a batch running in a child process; cancel() ends it at once."""
    _ids = itertools.count(1)

    def __init__(self, workers, kind, args):
        self.id = str(next(self._ids))
        self.kind = kind
        self.started = time.monotonic()
        self.finished = None
        self.state, self.result, self.error = "running", None, None
        self._proc, self._conn = workers.take()
        self._conn.send((kind, args))
        self._lock = threading.Lock()
        threading.Thread(target=self._wait, daemon=True).start()

    def _wait(self):
        try:
            state, payload = self._conn.recv()
        except (EOFError, OSError):
            state, payload = "failed", "the fit process ended without a result"
        with self._lock:
            if self.state == "running":
                self.state = state
                if state == "done":
                    self.result = payload
                else:
                    self.error = payload
                self.finished = time.monotonic()
        self._proc.join(timeout=5)

    def cancel(self):
        with self._lock:
            if self.state == "running":
                self.state, self.error = "cancelled", "cancelled"
                self.finished = time.monotonic()
        if self._proc.is_alive():
            self._proc.terminate()
            self._proc.join(timeout=5)

    @property
    def elapsed(self):
        return (self.finished or time.monotonic()) - self.started


def result_summary(job, model_definition=None):
    """What the page shows of a finished fit."""
    r = job.result
    verdict = getattr(r, "verdict", None)
    reasons = list(getattr(r, "reasons", None) or [])
    if verdict is None:  # a result without its own verdict: judged here, conservatively
        verdict = "failed" if not r.success else ("good" if r.redchi < 2 else "suspect")
        reasons = [r.message] if not r.success else (
            [] if verdict == "good" else [f"reduced chi-square {r.redchi:.3g}"])
    spectrum = r.spectrum
    out = {"verdict": verdict, "reasons": reasons, "redchi": r.redchi, "nfev": r.nfev,
           "report": r.report(), "params": params_table(r.model, r.params, r),
           "curves": curves(r.model, r.params, spectrum), "derived": _plain(r.derived)}
    return out


def _plain(x):
    if isinstance(x, dict):
        return {str(k): _plain(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [_plain(v) for v in x]
    if isinstance(x, (float, np.floating)):
        return float(x) if math.isfinite(x) else None
    if isinstance(x, (int, np.integer, str, bool)) or x is None:
        return x.item() if isinstance(x, np.generic) else x
    return str(x)


# ---- the application -----------------------------------------------------------------

class State:
    def __init__(self, root):
        self.root = os.path.realpath(root)
        self.spectra = {}
        self.jobs = {}
        self.workers = Workers()
        self.ids = itertools.count(1)
        self.lock = threading.Lock()

    def path(self, rel):
        """A file inside the served directory, or a refusal."""
        if not isinstance(rel, str) or not rel or "\0" in rel:
            raise Refused("no file named")
        p = os.path.realpath(os.path.join(self.root, rel))
        if p != self.root and not p.startswith(self.root + os.sep):
            raise Refused(f"{rel}: outside the served directory")
        if not os.path.isfile(p):
            raise Refused(f"{rel}: no such file in the served directory")
        return p

    def add(self, spectrum, name):
        with self.lock:
            if len(self.spectra) >= MAX_SPECTRA:
                oldest = next(iter(self.spectra))
                del self.spectra[oldest]
            sid = str(next(self.ids))
            self.spectra[sid] = {"spectrum": spectrum, "name": name}
        return sid

    def get(self, sid):
        s = self.spectra.get(str(sid))
        if s is None:
            raise Refused("that spectrum is no longer open: open it again")
        return s


def describe_spectrum(sid, entry):
    s = entry["spectrum"]
    axis = None if s.axis is None else {"kind": type(s.axis).__name__, **s.axis.to_dict()}
    meta = getattr(s, "metadata", None) or getattr(s, "meta", None) or {}
    return {"id": sid, "name": entry["name"], "channels": int(s.n),
            "used": int(np.count_nonzero(s.mask)), "axis": _plain(axis),
            "sweeps": None if s.axis is None else int(s.axis.n_sweeps),
            "metadata": _plain(meta), "counts": [float(c) for c in s.counts]}


def create_app(root, token=None):
    """The Flask application serving the directory root; token None makes a random one
    (app.config["MOSSLIB_TOKEN"])."""
    from flask import Flask, jsonify, request, send_file, send_from_directory
    from werkzeug.exceptions import HTTPException

    from .. import catalog
    from ..measurement import fold, read_spectrum

    app = Flask(__name__, static_folder=None)
    app.config["MAX_CONTENT_LENGTH"] = MAX_UPLOAD
    app.config["MOSSLIB_TOKEN"] = token or secrets.token_urlsafe(24)
    state = State(root)
    app.config["MOSSLIB_STATE"] = state

    def refuse(message, status=400):
        return jsonify({"error": " ".join(str(message).split())}), status

    @app.errorhandler(Exception)
    def failure(e):
        if isinstance(e, HTTPException):
            text = {413: f"the upload is larger than {MAX_UPLOAD // (1024 * 1024)} MB"}.get(
                e.code, e.description or e.name)
            return refuse(text, e.code)
        if isinstance(e, (Refused, ValueError, KeyError, TypeError, OSError)):
            text = f"unknown name {e}" if isinstance(e, KeyError) else str(e)
            return refuse(text)
        return refuse(f"{type(e).__name__}: {e}", 500)

    @app.before_request
    def check_token():
        if request.path.startswith("/static/"):
            return None
        if request.path == "/favicon.ico":
            return "", 204
        given = request.headers.get("X-Mosslib-Token") or request.args.get("token") or ""
        if not hmac.compare_digest(given.encode(), app.config["MOSSLIB_TOKEN"].encode()):
            return refuse("missing or wrong access token: use the address mossfit serve printed",
                          403)
        return None

    @app.after_request
    def no_cache(resp):
        resp.headers["Cache-Control"] = "no-store"
        resp.headers["X-Content-Type-Options"] = "nosniff"
        resp.headers["Content-Security-Policy"] = (
            "default-src 'self'; img-src 'self' data: blob:; style-src 'self' 'unsafe-inline'")
        return resp

    @app.get("/")
    def index():
        return send_from_directory(STATIC, "index.html")

    @app.get("/static/<path:name>")
    def static_file(name):
        return send_from_directory(STATIC, name)

    @app.get("/api/models")
    def models():
        from ..components import _spectrum_models
        names = {m.name for m in _spectrum_models()}
        out = []
        for m in catalog.models().values():
            if m.name not in names:
                continue
            out.append({"name": m.name, "summary": m.summary,
                        "params": [{"name": p.name, "unit": p.unit, "example": p.example}
                                   for p in m.params if not p.in_ints]})
        return jsonify(out)

    @app.get("/api/files")
    def files():
        listed = []
        for d, dirs, names in os.walk(state.root):
            dirs[:] = sorted(x for x in dirs if not x.startswith("."))
            for n in sorted(names):
                p = os.path.join(d, n)
                if n.startswith(".") or not os.path.isfile(p) or os.path.islink(p):
                    continue
                listed.append(os.path.relpath(p, state.root))
                if len(listed) >= MAX_LISTED:
                    break
            if len(listed) >= MAX_LISTED or d.count(os.sep) - state.root.count(os.sep) >= 3:
                dirs[:] = []
        return jsonify({"root": state.root, "files": listed})

    def _exclusions(body):
        from ..cli.common import exclusions
        return exclusions(str(body.get("exclude") or ""))

    @app.post("/api/open")
    def open_file():
        body = request.get_json(force=True, silent=True) or {}
        rel = body.get("file")
        path = state.path(rel)
        s = read_spectrum(path, exclude=_exclusions(body))
        sid = state.add(s, rel)
        return jsonify(describe_spectrum(sid, state.spectra[sid]))

    @app.post("/api/upload")
    def upload():
        f = request.files.get("file")
        if f is None or not f.filename:
            raise Refused("no file in the upload")
        name = os.path.basename(f.filename)
        suffix = ".gz" if name.endswith(".gz") else ".txt"
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "upload" + suffix)
            f.save(path)
            try:
                s = read_spectrum(path, exclude=_exclusions(request.form))
            except ValueError as e:
                raise Refused(f"{name}: {str(e).replace(path, name)}") from None
        try:
            from dataclasses import replace
            s = replace(s, name=name)
        except (TypeError, ValueError):
            pass
        sid = state.add(s, name)
        return jsonify(describe_spectrum(sid, state.spectra[sid]))

    @app.post("/api/axis")
    def set_axis():
        from ..axes import parse_axis
        from ..cli.common import load_calibration
        body = request.get_json(force=True, silent=True) or {}
        entry = state.get(body.get("spectrum"))
        s = entry["spectrum"]
        if body.get("calibration"):
            path = state.path(body["calibration"])

            class Options:
                baseline = 2
            cal = load_calibration(path, "", Options())
            s = cal.apply(s)
            text = cal.report()
        else:
            s = s.with_axis(parse_axis(str(body.get("axis") or ""), s.n))
            text = ""
        entry["spectrum"] = s
        out = describe_spectrum(body["spectrum"], entry)
        out["calibration_report"] = text
        return jsonify(out)

    @app.post("/api/calibrate")
    def calibrate_here():
        from ..calibration import calibrate
        body = request.get_json(force=True, silent=True) or {}
        entry = state.get(body.get("spectrum"))
        cal = calibrate(entry["spectrum"])
        entry["spectrum"] = cal.apply(entry["spectrum"])
        out = describe_spectrum(body["spectrum"], entry)
        out["calibration_report"] = cal.report()
        out["calibration"] = _plain(cal.to_dict())
        return jsonify(out)

    @app.post("/api/fold")
    def fold_spectrum():
        body = request.get_json(force=True, silent=True) or {}
        entry = state.get(body.get("spectrum"))
        s = entry["spectrum"]
        if s.axis is None or s.axis.n_sweeps < 2:
            raise Refused("only a two-sweep spectrum with its axis can be folded")
        sid = state.add(fold(s), entry["name"] + " (folded)")
        return jsonify(describe_spectrum(sid, state.spectra[sid]))

    @app.post("/api/model")
    def model_curve():
        body = request.get_json(force=True, silent=True) or {}
        s = state.get(body.get("spectrum"))["spectrum"]
        model, params = build_model(body, s)
        return jsonify({"params": params_table(model, params), "curves": curves(model, params, s)})

    @app.post("/api/fit")
    def start_fit():
        body = request.get_json(force=True, silent=True) or {}
        s = state.get(body.get("spectrum"))["spectrum"]
        build_model(body, s)  # refuses a broken model before a process starts
        job = Job(state.workers, "fit", (s, body))
        state.jobs[job.id] = job
        return jsonify({"job": job.id})

    @app.post("/api/batch")
    def start_batch():
        from ..axes import parse_axis
        from ..cli.common import load_calibration
        body = request.get_json(force=True, silent=True) or {}
        rels = body.get("files") or []
        if not rels or len(rels) > 10000:
            raise Refused("choose 1 to 10000 files for the batch")
        cal = None
        if body.get("calibration"):
            class Options:
                baseline = 2
            cal = load_calibration(state.path(body["calibration"]), "", Options())
        spectra = []
        for rel in rels:
            s = read_spectrum(state.path(rel), exclude=_exclusions(body))
            if cal is not None:
                s = cal.apply(s)
            elif body.get("axis"):
                s = s.with_axis(parse_axis(str(body["axis"]), s.n))
            elif s.axis is None:
                raise Refused(f"{rel}: give the batch a calibration or an axis")
            spectra.append(s)
        body = dict(body)
        body.pop("params", None)
        build_model(body, spectra[0])
        job = Job(state.workers, "batch", (spectra, body, rels))
        state.jobs[job.id] = job
        return jsonify({"job": job.id})

    def _job(jid):
        job = state.jobs.get(str(jid))
        if job is None:
            raise Refused("no such fit")
        return job

    @app.get("/api/job/<jid>")
    def job_status(jid):
        job = _job(jid)
        out = {"job": job.id, "kind": job.kind, "state": job.state,
               "elapsed": round(job.elapsed, 2), "error": job.error}
        if job.state == "done" and job.kind == "fit":
            out.update(result_summary(job))
        elif job.state == "done":
            rows = job.result["results"]
            out["table"] = job.result["table"]
            out["rows"] = [{"name": r.name, "success": r.success,
                            "verdict": getattr(r, "verdict", None) or
                            ("good" if r.success else "failed"),
                            "message": r.message, "values": _plain(r.values),
                            "stderr": _plain(r.stderr)} for r in rows]
        return jsonify(out)

    @app.post("/api/job/<jid>/cancel")
    def job_cancel(jid):
        job = _job(jid)
        job.cancel()
        return jsonify({"job": job.id, "state": job.state})

    @app.get("/api/job/<jid>/export/<kind>")
    def export(jid, kind):
        job = _job(jid)
        if job.state != "done":
            raise Refused("nothing to export: the fit has not finished")
        if job.kind == "batch":
            if kind != "table.csv":
                raise Refused("a batch exports its table (table.csv)")
            return _download(job.result["table"].encode(), "batch.csv", "text/csv")
        r = job.result
        stem = os.path.splitext(os.path.basename(r.spectrum.name or "spectrum"))[0] or "spectrum"
        if kind == "report.txt":
            return _download(r.report().encode(), f"{stem}-report.txt", "text/plain")
        if kind == "result.json":
            return _download(json.dumps(_plain(r.to_dict()), indent=2).encode(),
                             f"{stem}-fit.json", "application/json")
        if kind in ("fit.png", "fit.svg"):
            ext = kind.split(".")[1]
            with tempfile.TemporaryDirectory() as d:
                path = os.path.join(d, f"fit.{ext}")
                r.plot(path)
                with open(path, "rb") as f:
                    data = f.read()
            return _download(data, f"{stem}-fit.{ext}",
                             "image/png" if ext == "png" else "image/svg+xml")
        if kind == "curves.csv":
            c = curves(r.model, r.params, r.spectrum)
            names = list(c["components"])
            lines = ["velocity_mm_s,data_transmission,model_transmission,"
                     + ",".join(f"{n}transmission" for n in names) + ",residual_sigma"]
            for i, v in enumerate(c["velocity"]):
                row = [v, c["data"][i], c["model"][i]] + [c["components"][n][i] for n in names] \
                    + [c["residual"][i]]
                lines.append(",".join("" if x is None else repr(x) for x in row))
            return _download(("\n".join(lines) + "\n").encode(), f"{stem}-curves.csv", "text/csv")
        raise Refused(f"export {kind!r}: report.txt, result.json, fit.png, fit.svg or curves.csv")

    def _download(data, name, mime):
        return send_file(io.BytesIO(data), mimetype=mime, as_attachment=True, download_name=name)

    return app


def serve(root, host="127.0.0.1", port=8765, token=None, out=None):
    """Serve root until interrupted; prints the address with its access token."""
    import sys

    import logging

    from werkzeug.serving import make_server
    logging.getLogger("werkzeug").setLevel(logging.WARNING)
    out = out or sys.stdout
    if not os.path.isdir(root):
        raise ValueError(f"{root}: not a directory")
    missing = vendor_missing()
    if missing:
        raise ValueError("the page's plotting library is not in the package "
                         f"({', '.join(missing)}): build it with ./run serve or reinstall")
    app = create_app(root, token)
    server = make_server(host, port, app, threaded=True)
    shown = f"[{host}]" if ":" in host else host
    print(f"mossfit serve: {os.path.realpath(root)} at "
          f"http://{shown}:{server.server_port}/?token={app.config['MOSSLIB_TOKEN']}",
          file=out, flush=True)
    if host not in ("127.0.0.1", "::1", "localhost"):
        print("mossfit serve: listening beyond this machine; anyone with the address and "
              "token can read the directory", file=out, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        state = app.config["MOSSLIB_STATE"]
        for job in list(state.jobs.values()):
            job.cancel()
        state.workers.close()
