"""The installed package and the type stubs: the modules import from an
install outside the checkout, the stubs state exactly what inspect.signature
shows, and mypy reads them from an installed copy.

RT_INSTALLED_DIR names the copy that `make check` installs; without it the
tests that need one are skipped."""

import ast
import inspect
import os
import sys
import textwrap

import pytest

from conftest import REPO, PY2, run_process

try:
    from pathlib import Path
except ImportError:  # 2.7
    from pathlib2 import Path

STUBS = REPO / "stubs"
MODULES = ("Quiltsheet", "Swoopline", "Spirelet", "Arborlot")
INSTALLED = os.environ.get("RT_INSTALLED_DIR")
needs_install = pytest.mark.skipif(not INSTALLED, reason="no installed copy (RT_INSTALLED_DIR)")


def _doc(text):
    # Trailing blanks are not kept in the stubs: editors strip them.
    return None if text is None else "\n".join(line.rstrip() for line in text.split("\n"))


def _signature(fn):
    """The inspect.Signature that an ast.FunctionDef declares, without annotations."""
    P = inspect.Parameter
    a = fn.args

    def param(arg, kind, default=None):
        return P(arg.arg, kind, default=P.empty if default is None else ast.literal_eval(default))

    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    params = [param(arg, P.POSITIONAL_ONLY if i < len(a.posonlyargs) else P.POSITIONAL_OR_KEYWORD, d)
              for i, (arg, d) in enumerate(zip(positional, defaults))]
    if a.vararg:
        params.append(param(a.vararg, P.VAR_POSITIONAL))
    params += [param(arg, P.KEYWORD_ONLY, d) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append(param(a.kwarg, P.VAR_KEYWORD))
    return inspect.Signature(params)


def _defs(body):
    return {n.name: n for n in body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}


# The stubs are Python 3 (annotations), and so is inspect.signature.
@pytest.mark.skipif(PY2, reason="stubs and signatures are Python 3")
@pytest.mark.parametrize("name", MODULES)
def test_stub_states_what_the_module_shows(name):
    module = __import__(name)
    tree = ast.parse((STUBS / (name + ".pyi")).read_text())
    assert _doc(ast.get_docstring(tree, clean=False)) == _doc(module.__doc__)
    stub = _defs(tree.body)
    assert set(stub) == {k for k, v in vars(module).items()
                         if getattr(v, "__module__", None) == name}
    for key, node in stub.items():
        obj = getattr(module, key)
        assert _doc(ast.get_docstring(node, clean=False)) == _doc(obj.__doc__), key
        if isinstance(node, ast.FunctionDef):
            assert _signature(node) == inspect.signature(obj), key
            continue
        assert [b.id for b in node.bases] == [b.__name__ for b in obj.__bases__], key
        methods = _defs(node.body)
        assert set(methods) == {k for k, v in vars(obj).items() if callable(v)}, key
        for m, fn in methods.items():
            qualname = key + "." + m
            assert _doc(ast.get_docstring(fn, clean=False)) == _doc(vars(obj)[m].__doc__), qualname
            assert _signature(fn) == inspect.signature(vars(obj)[m]), qualname


@pytest.mark.parametrize("name", MODULES)
def test_module_exports_only_its_init_function(name):
    path = __import__(name).__file__
    proc = run_process(["nm", "-D", "--defined-only", path])
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    init = ("init" if sys.version_info[0] == 2 else "PyInit_") + name
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [init]


@needs_install
def test_installed_modules_work_outside_the_checkout(tmp_path):
    code = textwrap.dedent("""
        import sys
        sys.path.insert(0, sys.argv[1])
        import numpy as np
        import Quiltsheet, Swoopline, Spirelet, Arborlot, Stagehall
        for m in (Quiltsheet, Swoopline, Spirelet, Arborlot, Stagehall):
            assert m.__file__.startswith(sys.argv[1]), m.__file__
        pts = np.array([(i, j, [0, -2, 2, -3][j]) for i in range(4) for j in range(4)], float)
        print(Quiltsheet.Quiltsheet(pts).evaluate([1.5, 1.5])[2])
    """)
    # Nothing of the checkout on the path: no PYTHONPATH, another directory.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    proc = run_process([sys.executable, "-s", "-c", code, INSTALLED], cwd=tmp_path, env=env)
    assert proc.returncode == 0, proc.stderr
    assert float(proc.stdout) == pytest.approx(0.1875)
    for name in MODULES:
        stub = (STUBS / (name + ".pyi")).read_text()
        for installed in (name + ".pyi", name + "-stubs/__init__.pyi"):
            assert (Path(INSTALLED) / installed).read_text() == stub, installed


@needs_install
def test_mypy_checks_calls_against_the_installed_stubs(tmp_path):
    pytest.importorskip("mypy")
    source = textwrap.dedent("""\
        import numpy as np
        from Quiltsheet import Quiltsheet
        from Swoopline import Swoopline
        import Spirelet
        from Arborlot import Arborlot

        patch = Quiltsheet(np.zeros((16, 3)), num_samples_rendering=(5, 5))
        z: float = patch.evaluate([1.5, 1.5])[2]
        X = patch.get_samples((5, 5))[0] * 2.0
        curve = Swoopline([([0, 0, 0], [1, 0, 0])], num_samples_rendering=11)
        curve.add_point(data_point=(np.zeros(3), [1, 0, 0]))
        garden = Arborlot(patch, [{"pos": [1, 0, 0], "model": curve}])
        garden.add_subscene({"pos": [0, 0, 0], "model": curve})
        Spirelet.Spirelet().drawSpirelet(level=2)
        Spirelet.main()
        Quiltsheet(np.zeros((16, 3)), samples=(3, 3))  # wrong
        curve.evaluate_curve_segment(0)  # wrong
        Spirelet.initGL(1)  # wrong
        n: str = curve.num_samples_rendering  # wrong
        point: float = curve.evaluate_curve_segment(0, 0.5)  # wrong
    """)
    wrong = [i for i, line in enumerate(source.splitlines(), 1) if line.endswith("# wrong")]
    (tmp_path / "user.py").write_text(source)
    # mypy reads the NAME-stubs packages from the interpreter's path, as it
    # would from site-packages.
    env = dict(os.environ, PYTHONPATH=INSTALLED)
    proc = run_process([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir",
                        os.devnull, "--no-error-summary", "user.py"], cwd=tmp_path, env=env,
                       timeout=300)
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert sorted({int(line.split(":")[1]) for line in errors}) == wrong, proc.stdout + proc.stderr
