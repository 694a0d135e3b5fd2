"""The runtime layer under the modules, seen from Python: globals looked up
when used (builtins as fallback), imports with the interpreter's own errors,
star imports that honour __all__."""

import json
import sys
import types

import pytest

import Quiltsheet
import Spirelet

from conftest import PY2, load_fresh as fresh, make_sample_surface_points, run_python

try:
    import builtins
except ImportError:  # 2.7
    import __builtin__ as builtins


def python_error(code, namespace=None):
    with pytest.raises(Exception) as info:
        exec(code, {} if namespace is None else namespace)
    return info.value


def fake_module(name, **names):
    module = types.ModuleType(name)
    module.__file__ = "/nowhere/%s.py" % name
    module.__dict__.update(names)
    return module


def test_a_missing_global_raises_the_interpreters_name_error(monkeypatch):
    monkeypatch.delattr(Quiltsheet, "np")
    with pytest.raises(NameError) as native:
        Quiltsheet.Quiltsheet(make_sample_surface_points())
    expected = python_error("def f():\n    np\nf()")
    assert str(native.value) == str(expected)
    assert getattr(native.value, "name", None) == getattr(expected, "name", None)


def test_globals_fall_back_to_the_builtins_at_the_moment_of_use(monkeypatch):
    calls = []
    monkeypatch.delattr(Spirelet, "sqrt")
    monkeypatch.setattr(builtins, "sqrt", lambda x: calls.append(x) or 2.0, raising=False)
    for name in ("glNormal3f", "glVertex"):
        monkeypatch.setattr(Spirelet, name, lambda *args: None)
    Spirelet.Spirelet().basicTriangle()
    assert calls == [3]


def test_from_import_of_a_missing_name_raises_the_interpreters_import_error(monkeypatch):
    stage = fake_module("Stagehall")
    monkeypatch.setitem(sys.modules, "Stagehall", stage)
    with pytest.raises(ImportError) as native:
        fresh(Quiltsheet)
    expected = python_error("from Stagehall import Model")
    assert str(native.value) == str(expected)
    # 2.7's ImportError has neither
    assert ([getattr(native.value, a, None) for a in ("name", "path")]
            == [getattr(expected, a, None) for a in ("name", "path")])


# 3.7 and newer find a submodule missing as an attribute in sys.modules; 2.7
# raises ImportError.
def test_from_import_looks_in_sys_modules_as_the_interpreter_does(monkeypatch):
    import Arborlot
    marker = fake_module("Sprigrule.Sprigrule")
    monkeypatch.setitem(sys.modules, "Sprigrule", fake_module("Sprigrule"))
    monkeypatch.setitem(sys.modules, "Sprigrule.Sprigrule", marker)
    ns = {}
    try:
        exec("from Sprigrule import Sprigrule", ns)
    except ImportError as expected:
        with pytest.raises(ImportError) as native:
            fresh(Arborlot)
        assert str(native.value) == str(expected)
    else:
        assert ns["Sprigrule"] is marker and fresh(Arborlot).Sprigrule is marker


def test_star_import_honours_all_and_a_later_one_replaces_earlier_names(monkeypatch):
    marker, hidden = object(), object()
    kit = fake_module("Sketchkit", __all__=["glBegin", "listed"], glBegin=marker, listed=1, unlisted=hidden)
    monkeypatch.setitem(sys.modules, "Sketchkit", kit)
    module = fresh(Quiltsheet)
    assert module.glBegin is marker          # Sketchkit comes after OpenGL.GL
    assert module.listed == 1 and not hasattr(module, "unlisted")

    del kit.__all__
    kit._private = hidden
    module = fresh(Quiltsheet)
    assert module.unlisted is hidden and not hasattr(module, "_private")


def test_star_import_rejects_a_name_that_is_not_a_string(monkeypatch):
    kit = fake_module("Sketchkit", __all__=["draw", 7], draw=None)
    monkeypatch.setitem(sys.modules, "Sketchkit", kit)
    with pytest.raises(TypeError) as native:
        fresh(Quiltsheet)
    assert str(native.value) == str(python_error("from Sketchkit import *"))


FAILED_IMPORT = r'''
import json, sys, types
sys.path.insert(0, %r)
import numpy, Stagehall, OpenGL.GL
before = dict(sys.modules)

def outcome(name):
    try:
        __import__(name)
        return "imported"
    except BaseException as e:  # Spirelet's import guard exits
        return "%%s: %%s" %% (type(e).__name__, e)

out = {}
for missing, names in [("Stagehall", ["Quiltsheet", "Swoopline", "Spirelet", "Arborlot"]),
                       ("Sprigrule", ["Arborlot", "Twin"]), ("OpenGL.GL", ["Spirelet"])]:
    for name in names:
        for key in set(sys.modules) - set(before):
            del sys.modules[key]
        sys.modules.update(before)
        sys.modules[missing] = None
        if missing == "Stagehall":  # all but Model
            sys.modules[missing] = types.ModuleType(missing)
            vars(sys.modules[missing]).update((k, v) for k, v in vars(Stagehall).items() if k != "Model")
        first, second = outcome(name), outcome(name)
        out["%%s without %%s" %% (name, missing)] = [first, second, name in sys.modules]
print(json.dumps(out))
'''


def test_a_failed_import_leaves_no_module_behind(tmp_path):
    """A module whose body fails is not in sys.modules afterwards, like a .py
    module that fails (Twin): the next import runs the body again and fails
    the same way instead of handing back a module without its class."""
    (tmp_path / "Twin.py").write_bytes(b"from Sprigrule import Sprigrule\n")
    proc = run_python(FAILED_IMPORT % str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.splitlines()[-1])
    twin = out["Twin without Sprigrule"]
    assert twin[0] == twin[1] != "imported" and not twin[2]
    for case, (first, second, kept) in out.items():
        assert first == second != "imported" and not kept, case


DOCSTRINGS = r'''
import json
import Quiltsheet, Swoopline, Spirelet, Arborlot
out = []
for m in (Quiltsheet, Swoopline, Spirelet, Arborlot):
    cls = getattr(m, m.__name__)
    methods = [f for _, f in sorted(vars(cls).items()) if type(f) is type(m.main)]
    out.append([m.__doc__, cls.__doc__] + [f.__doc__ for f in methods + [m.main]])
print(json.dumps(out))
'''


def test_docstrings_are_left_out_under_OO():
    """-OO leaves out the docstrings of the module, the class and the
    functions, as it does for Python code: each __doc__ is None."""
    runs = []
    for flags in ([], ["-OO"]):
        proc = run_python(DOCSTRINGS, *flags)
        assert proc.returncode == 0, proc.stderr
        runs.append(json.loads(proc.stdout))
    normal, stripped = runs
    assert [len(m) for m in normal] == [len(m) for m in stripped]
    assert all(m[0] and sum(d is not None for d in m) >= 2 for m in normal)
    assert all(d is None for m in stripped for d in m)
