"""Raw access, loading, priority, pickling and the command line."""

import ctypes
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import mosslib
from mosslib import Component, Transmission, catalog

ENV = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=ENV,
                          capture_output=True, text=True, timeout=120)


def test_raw_call_is_the_c_call_and_reuses_out():
    info = catalog.model("sextgen")
    p = np.zeros(info.n_reals)
    for q in info.params:
        p[q.index] = q.to_raw(q.example)
    lib = ctypes.CDLL(mosslib.library().path)
    out_c = (ctypes.c_double * info.channels)()
    lib.sextgen((ctypes.c_double * info.n_reals)(*p), out_c)
    out = np.full(info.channels + 3, -1.0)
    got = mosslib.sextgen(p, out=out)
    assert np.array_equal(got, np.asarray(out_c)) and got.base is out and out[-1] == -1.0
    with pytest.raises(ValueError, match="reads 20"):
        mosslib.sextgen(p[:14])


def test_refusals_carry_the_library_reason():
    info = catalog.model("parl")
    ints = np.zeros(info.n_ints, np.int32)
    ints[info.param("multiplicity").index] = 7
    with pytest.raises(mosslib.MosslibError, match="parl: .+"):
        mosslib.parl(ints, np.zeros(info.n_reals))


def test_each_model_is_a_component_named_by_the_catalogue():
    for name, info in catalog.models().items():
        if info.output == 3 or info.scale == 0:  # an objective, or no velocity scale
            continue
        c = Component(name, prefix="x_")
        names = {q.name for q in info.params}
        assert set(c.param_names) <= names and set(c.option_names) <= names
    # exact conversion: sextgen's raw slot holds twice the centre shift
    c = Component("sextgen", prefix="s_")
    v = c.make_params().valuesdict()
    v["s_centre_shift"] = 0.3
    ax = mosslib.LinearAxis(256, 0.07, 128.5)
    info = c.info
    p = np.zeros(info.n_reals)
    for q in info.params:
        p[q.index] = q.example
    p[info.param("centre_shift").index] = 0.6
    p[info.param("velocity_step").index], p[info.param("zero_channel").index] = 0.07, 129.5
    assert np.array_equal(c.absorption(v, ax), mosslib.sextgen(p))


def test_library_pickles_as_its_location_and_loads_once():
    lib = mosslib.library()
    assert pickle.loads(pickle.dumps(lib)) is lib
    model = Transmission(Component("sextgen", prefix="a_"), Component("doubl", prefix="d_"), baseline=1)
    again = pickle.loads(pickle.dumps(model))
    s = mosslib.Spectrum(np.full(300, 1e4), axis=mosslib.LinearAxis(300, 0.05, 150))
    p = model.make_params(s)
    assert np.array_equal(again.eval(p, s), model.eval(p, s))


def test_priority_step_is_off_in_the_package_and_can_be_turned_on():
    r = run_python("""
        import os, threading, numpy as np, mosslib
        tid = threading.get_native_id()
        p = np.zeros(14); p[4] = p[5] = p[6] = p[12] = 1.0
        before = os.getpriority(os.PRIO_PROCESS, tid)
        mosslib.sext(p)
        off = os.getpriority(os.PRIO_PROCESS, tid)
        assert mosslib.priority_step() is False
        assert mosslib.set_priority_step(True) is False
        mosslib.sext(p)
        print(before, off, os.getpriority(os.PRIO_PROCESS, tid))
    """)
    assert r.returncode == 0, r.stderr
    before, off, on = map(int, r.stdout.split())
    assert off == before and on == 19


def test_thread_count_keeps_the_bits_and_ctrl_c_cancels_a_long_call():
    # A grid of 2.19 million directions runs for tens of seconds; a Ctrl-C 0.5 s in
    # stops it at once, and the same call's spectrum is the same on 1 and 2 threads.
    r = run_python("""
        import os, signal, threading, time, numpy as np, mosslib
        from mosslib import catalog
        m = catalog.model("ttt")
        ints, reals = np.zeros(m.n_ints, np.int32), np.zeros(m.n_reals)
        for q in m.params:
            (ints if q.in_ints else reals)[q.index] = q.to_raw(q.example)
        previous = mosslib.set_threads(1)
        one = mosslib.ttt(ints, reals).copy()
        assert mosslib.set_threads(2) == 1 and mosslib.threads() == 2
        assert np.array_equal(mosslib.ttt(ints, reals), one)
        mosslib.set_threads(None)
        ints[m.index_of("copies")], ints[m.index_of("rings")] = 99, 210
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            mosslib.ttt(ints, reals)
        except KeyboardInterrupt:
            print(previous, round(time.monotonic() - start, 1))
    """)
    assert r.returncode == 0, r.stderr
    previous, seconds = r.stdout.split()
    assert previous == "0" and float(seconds) < 5


def mossfit(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "mosslib", *args], env=ENV, cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def test_command_line_fits_and_writes_plot_and_json(tmp_path, rng):
    axis = mosslib.LinearAxis(400, 0.06, 200.3)
    c = Component("sextgen", prefix="s_")
    model = Transmission(c, baseline=0)
    s = mosslib.Spectrum(np.ones(400), axis=axis)
    p = model.make_params(s)
    p["base_c0"].set(value=5e4)
    p["s_area"].set(value=0.1)
    counts = rng.poisson(model.eval(p, s))
    f = tmp_path / "s.txt"
    f.write_text("# synthetic\n# exclude: 399\n" + "\n".join(f"{i} {n}" for i, n in enumerate(counts)))
    r = mossfit(str(f), "--axis", "linear:step=0.06,zero=200.3", "--baseline", "0",
                "--component", "sextgen:s,field_T=51,area=0.08", "--plot", str(tmp_path / "fit.svg"),
                "--json", str(tmp_path / "fit.json"))
    assert r.returncode == 0, r.stderr
    assert "s_field_T" in r.stdout and (tmp_path / "fit.svg").stat().st_size > 1000
    import json
    d = json.loads((tmp_path / "fit.json").read_text())
    assert d["ndata"] == 399 and abs(d["params"]["s_field_T"]["value"] - 51.7) < 0.3


@pytest.mark.parametrize("args, says", [
    (["nofile.txt", "--component", "sextgen"], "nofile.txt"),
    (["{f}", "--axis", "linear:step=0.1,zero=5", "--component", "nosuchmodel"], "unknown model"),
    (["{f}", "--axis", "linear:step=0.1,zero=5", "--component", "sextgen,colour=3"], "colour"),
    (["{f}", "--axis", "linear:step=0.1,zero=5", "--component", "sextgen", "--set", "c1_x=1"],
     "unknown parameter"),
    (["{f}", "--axis", "linear:step=0.1,zero=5", "--component", "sextgen", "--fix",
      "c1_width1=0", "--no-pair-lines", "--fix", "c1_area=0", "--baseline", "0"], "cannot start"),
    (["{f}", "--axis", "sine:amplitude=5,zero=3,phase_step=0.1", "--component", "sext"],
     "linear velocity scale"),
    (["{f}", "--component", "sextgen"], "no velocity axis"),
])
def test_command_line_refuses_bad_input_in_one_line(tmp_path, args, says):
    f = tmp_path / "few.txt"
    f.write_text("\n".join(str(1000 + k % 7) for k in range(10)))
    r = mossfit(*[a.replace("{f}", str(f)) for a in args])
    assert r.returncode == 2
    assert r.stderr.count("\n") == 1 and says in r.stderr and "Traceback" not in r.stderr


def test_package_imports_form_no_circle():
    """Modules import downwards only: the command lines above the library modules, and
    no module (module-level or inside a function) that imports one importing it back."""
    import ast
    import pathlib
    root = pathlib.Path(mosslib.__file__).parent
    graph = {}
    for path in root.rglob("*.py"):
        mod = ".".join(("mosslib",) + path.relative_to(root).with_suffix("").parts)
        mod = mod.removesuffix(".__init__")
        package = mod if path.name == "__init__.py" else mod.rpartition(".")[0]
        deps = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level:
                base = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                target = f"{base}.{node.module}" if node.module else base
                deps.add(target)
                deps.update(f"{target}.{a.name}" for a in node.names)
        graph[mod] = deps
    graph = {m: {d for d in ds if d in graph and d != m} for m, ds in graph.items()}
    # a package's own __init__ importing its children is not a circle
    for m in graph:
        graph[m] = {d for d in graph[m] if not d.startswith(m + ".") and not m.startswith(d + ".")}
    state = {}

    def visit(m, stack):
        state[m] = 1
        for d in graph[m]:
            assert state.get(d) != 1, "import circle: " + " -> ".join(stack + [m, d])
            if d not in state:
                visit(d, stack + [m])
        state[m] = 2

    for m in graph:
        if m not in state:
            visit(m, [])
    assert "mosslib.cli" not in graph["mosslib.batch"]


def test_a_python_without_numpy_gets_one_line():
    """Without the site packages (python3 -S) the command says in one line what is needed."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(mosslib.__file__)))
    r = subprocess.run([sys.executable, "-S", "-m", "mosslib", "models"], env=env,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.count("\n") == 1 and "python3-numpy" in r.stderr
