"""The installed package and the type stubs: the modules import from an
install outside the checkout, the wheel installs and uninstalls with pip in a
fresh environment, the stubs state exactly what inspect.signature shows, mypy
reads them from an installed copy, pytest finds the installed fixture; and
the package metadata and the Makefile's list of targets.

RT_INSTALLED_DIR names the copy that `make check` installs, RT_WHEEL_DIR the
directory of the wheel it was installed from; without them the tests that
need them are skipped."""

import ast
import inspect
import os
import re
import sys
import textwrap
import zipfile

import pytest

from conftest import REPO, PY2, run_process
from test_readme import DOCS, code_blocks

try:
    from pathlib import Path
except ImportError:  # 2.7
    from pathlib2 import Path

STUBS = REPO / "stubs"
MODULES = ("Quiltsheet", "Swoopline", "Spirelet", "Arborlot")
FRAMEWORK = ("Stagehall", "Sketchkit", "Drifteye", "Sprigrule", "Glrecorder")
INSTALLED = os.environ.get("RT_INSTALLED_DIR")
needs_install = pytest.mark.skipif(not INSTALLED, reason="no installed copy (RT_INSTALLED_DIR)")
WHEEL_DIR = os.environ.get("RT_WHEEL_DIR")
needs_wheel = pytest.mark.skipif(not WHEEL_DIR, reason="no wheel (RT_WHEEL_DIR)")
# The environment of a child that must see nothing of the checkout.
OUTSIDE_ENV = {k: v for k, v in os.environ.items()
               if not k.startswith(("PYTHON", "MAKE", "MFLAGS"))}


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


def _stub_names(tree):
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, (ast.AnnAssign, ast.Assign)):
            for target in getattr(node, "targets", [getattr(node, "target", None)]):
                names[target.id] = node
    return names


def _positional(params):
    return [p.name for p in params
            if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]


# The framework's stubs add types only (TypedDicts, Protocols) and leave out
# the private names; the public ones must all be there, with the positional
# parameters of the code.
@pytest.mark.skipif(PY2, reason="stubs and signatures are Python 3")
@pytest.mark.parametrize("name", FRAMEWORK)
def test_framework_stub_declares_the_public_names(name):
    public = {p.stem for p in (REPO / "framework").glob("*.py") if not p.stem.startswith("_")}
    public |= {p.parent.name for p in (REPO / "framework").glob("*/__init__.py")}
    assert public <= set(FRAMEWORK)
    module = __import__(name)
    stub = _stub_names(ast.parse((STUBS / (name + ".pyi")).read_text()))
    assert set(module.__all__) <= set(stub)
    checked = []
    for key in module.__all__:
        node, obj = stub[key], getattr(module, key)
        if isinstance(node, ast.ClassDef):
            checked += [(getattr(obj, m.name), m) for m in node.body
                        if isinstance(m, ast.FunctionDef) and not m.decorator_list]
        elif isinstance(node, ast.FunctionDef) and inspect.isfunction(obj):
            checked.append((obj, node))
    for fn, node in checked:
        a = node.args
        assert _positional(inspect.signature(fn).parameters.values()) == \
            [arg.arg for arg in a.posonlyargs + a.args], (name, node.name)


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
    for name in MODULES + FRAMEWORK:
        stub = (STUBS / (name + ".pyi")).read_text()
        beside = name + ("/__init__.pyi" if (Path(INSTALLED) / name).is_dir() else ".pyi")
        for installed in (beside, name + "-stubs/__init__.pyi"):
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
        patch.draw_scne()  # wrong

        from Drifteye import Drifteye
        from Sprigrule import Sprigrule
        from Stagehall import CamSpec, Framepane, Model, View
        class Scene(Model):
            def draw_scene(self) -> None: ...
        cam: CamSpec = {"eye": [0, 0, 5], "center": np.zeros(3), "up": (0, 1, 0), "fovy": 45,
                        "aspect": 1.5, "near": 0.1, "far": 50}
        Framepane("scene", View(Scene(), cam), window_size=(768.0, 480), window_pos=(0, 0))
        Framepane("fly", Drifteye(garden, cam, Swoopline()))
        Sprigrule({"init": "F", "rule": "F->FF", "depth": 1, "angle": 20, "growth_factor": 0.5,
                   "init_angle_axis": {"angle": 90, "axis": [0, 0, 1]}}).draw_scene()
        Scene().draw_scne()  # wrong
        View(Scene(), {"eye": [0, 0, 5], "center": [0, 0, 0]})  # wrong
        View(Scene(), [0, 0, 5])  # wrong
        bad: CamSpec = {**cam, "fovy": "wide"}  # wrong
        Framepane("scene", Scene())  # wrong
        Framepane("scene", View(patch, cam), window_size="wide")  # wrong
        Sprigrule({"init": "F", "rule": "F->FF"})  # wrong
    """)
    wrong = [("user.py", i) for i, line in enumerate(source.splitlines(), 1)
             if line.endswith("# wrong")]
    (tmp_path / "user.py").write_text(source)
    # The README's examples, each file as one script, must pass as they are,
    # with the README's settings for mypy.
    files = ["user.py"]
    for n, doc in enumerate(DOCS):
        files.append("readme%d.py" % n)
        (tmp_path / files[-1]).write_text("".join(code for _, code in code_blocks(doc)))
    (tmp_path / "pyproject.toml").write_text(code_blocks("README.md", "toml")[0][1])
    # mypy reads the NAME-stubs packages from the interpreter's path, as it
    # would from site-packages.
    env = dict(os.environ, PYTHONPATH=INSTALLED)
    proc = run_process([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir",
                        os.devnull, "--no-error-summary"] + files, cwd=tmp_path, env=env,
                       timeout=300)
    errors = [line.split(":")[:2] for line in proc.stdout.splitlines() if ": error:" in line]
    assert sorted({(f, int(n)) for f, n in errors}) == wrong, proc.stdout + proc.stderr


@needs_install
def test_pytest_finds_the_fixture_of_an_installed_copy(tmp_path):
    (tmp_path / "test_user.py").write_text(textwrap.dedent(u"""
        import numpy as np
        import Quiltsheet
        from OpenGL.GL import glBegin

        def test_drawing(gl_recorder):
            rec = gl_recorder(Quiltsheet)
            pts = np.array([(i, j, 0) for i in range(4) for j in range(4)], float)
            Quiltsheet.Quiltsheet(pts, (3, 3)).draw_scene()
            assert rec.count("glBegin") == 4 and Quiltsheet.glBegin is not glBegin

        def test_restored():
            assert Quiltsheet.glBegin is glBegin
    """))
    env = dict(OUTSIDE_ENV, PYTHONPATH=INSTALLED)
    proc = run_process([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "test_user.py"],
                       cwd=tmp_path, env=env)
    assert proc.returncode == 0 and "2 passed" in proc.stdout, proc.stdout + proc.stderr


INSTALLED_CHECK = """
import os, sys
import numpy as np
import Quiltsheet, Swoopline, Spirelet, Arborlot, Stagehall, Sketchkit, Drifteye, Sprigrule
import Glrecorder
pts = np.array([(i, j, [0, -2, 2, -3][j]) for i in range(4) for j in range(4)], float)
assert abs(Quiltsheet.Quiltsheet(pts).evaluate([1.5, 1.5])[2] - 0.1875) < 1e-12
print(os.path.dirname(Quiltsheet.__file__))
"""


@needs_wheel
def test_wheel_installs_with_pip_into_a_fresh_environment(tmp_path):
    """With its dependencies, known to pip list and show, and gone without a
    trace after pip uninstall."""
    wheel, = (str(p) for p in (REPO / WHEEL_DIR).glob("*.whl"))
    env_dir = str(tmp_path / "env")
    if PY2:  # venv is 3.3 and newer
        make_env = [str(REPO / ".venv" / "bin" / "virtualenv"), "-q", "-p", sys.executable, env_dir]
    else:
        make_env = [sys.executable, "-m", "venv", env_dir]
    py = os.path.join(env_dir, "bin", "python")

    def run(*args):
        proc = run_process(list(args), cwd=tmp_path, env=OUTSIDE_ENV, timeout=900)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        return proc.stdout

    pip = [py, "-m", "pip", "--disable-pip-version-check"]
    run(*make_env)
    run(*pip + ["install", "-q", wheel])
    fields = dict(line.split(": ", 1) for line in run(*pip + ["show", "geomviews"]).splitlines()
                  if ": " in line)
    assert fields["Name"] == "geomviews"
    assert sorted(fields["Requires"].lower().split(", ")) == ["numpy", "pyopengl"]
    site = run(py, "-s", "-c", INSTALLED_CHECK).strip()
    assert site.startswith(env_dir)
    assert re.search(r"^geomviews\s", run(*pip + ["list"]), re.M)
    run(*pip + ["uninstall", "-q", "-y", "geomviews"])
    names = zipfile.ZipFile(wheel).namelist()
    assert not [n for n in names if os.path.exists(os.path.join(site, n))]
    assert not re.search(r"^geomviews\s", run(*pip + ["list"]), re.M)


def test_metadata_names_the_interpreters_that_ci_tests():
    text = (REPO / "pyproject.toml").read_text()
    listed = set(re.findall(r'"Programming Language :: Python :: (\d\.\d+)"', text))
    tested = set(re.search(r"^INTERPRETERS \?= (.*)$", (REPO / "Makefile").read_text(),
                           re.M).group(1).split())
    main = REPO / ".venv" / "bin" / "python"
    if main.exists():
        tested.add(run_process([str(main), "-c", "import sys; print('%d.%d' % sys.version_info[:2])"])
                   .stdout.strip())
    assert listed == tested
    # A lower bound only, for the package and for the 2.7 wheel.
    bounds = re.findall(r'^requires-python = "(.*)"$', text, re.M)
    assert len(bounds) == 2 and all(re.match(r">=\d\.\d+$", b) for b in bounds)


def test_plain_make_lists_every_target():
    proc = run_process(["make", "--no-print-directory", "-C", str(REPO)], env=OUTSIDE_ENV)
    assert proc.returncode == 0, proc.stderr
    listed = [line.split()[0] for line in proc.stdout.splitlines()[1:]]
    phony = re.search(r"^\.PHONY:((?:.*\\\n)*.*)$", (REPO / "Makefile").read_text(), re.M)
    assert sorted(listed) == sorted(phony.group(1).replace("\\\n", " ").split())
