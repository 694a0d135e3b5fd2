"""Shared set-up for the test suite.

The extension modules are imported from the development build directory
(``build/modules``), or from the directory named by the environment variable
``RT_MODULES_DIR`` when it is set (the sanitizer run points it at its own
build).  The framework stand-ins come from ``framework/``.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
try:
    from pathlib import Path
except ImportError:  # Python 2.7, where pytest 4.6 brings the backport
    from pathlib2 import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parent.parent
MODULES_DIR = Path(os.environ.get("RT_MODULES_DIR") or REPO / "build" / "modules").resolve()
FRAMEWORK_DIR = (REPO / "framework").resolve()

for _p in (str(FRAMEWORK_DIR), str(MODULES_DIR)):
    while _p in sys.path:
        sys.path.remove(_p)
# Modules first, then the framework, both ahead of everything else.
sys.path[0:0] = [str(MODULES_DIR), str(FRAMEWORK_DIR)]

SANITIZED = bool(os.environ.get("RT_SANITIZED"))

# The gl_recorder fixture; installed copies register it through an entry
# point of the same name.
pytest_plugins = ["Glrecorder"]

PY2 = sys.version_info[0] == 2
# 2.7's dictionaries (class bodies and keyword arguments too) have no order.
ORDERED_DICTS = not PY2


class Namespace(object):
    """types.SimpleNamespace, which 2.7 lacks."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class Countdown(object):
    """A level of Spirelet's with an == and a - of its own."""

    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return self.n == other

    def __sub__(self, k):
        return Countdown(self.n - k)

    def __add__(self, k):
        return Countdown(self.n + k)

    def __repr__(self):
        return "Countdown(%r)" % self.n


def items_in_order(d):
    """A dictionary's items in its own order where dictionaries have one."""
    return list(d.items()) if ORDERED_DICTS else sorted(d.items(), key=repr)


def unbound_wording(message):
    """What the module says where the equivalent def says ``message``.

    2.7's unbound method names a callable that is not a Python function by
    its type: "unbound method native_function object must be called ..."
    where a def gives "unbound method f() must be called ...". The one known
    difference in wording; everything else must match exactly."""
    if not PY2:
        return message
    return re.sub(r"^unbound method \w+\(\)", "unbound method native_function object", message)


class Completed(object):
    def __init__(self, returncode, stdout, stderr):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr


def run_process(args, env=None, cwd=None, timeout=120):
    """subprocess.run(args, capture_output=True, text=True) for 2.7 and 3:
    the child is killed after ``timeout`` seconds."""
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=env, cwd=str(cwd or REPO))
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    try:
        out, err = proc.communicate()
    finally:
        timer.cancel()
    if not PY2:
        out, err = out.decode("utf-8", "replace"), err.decode("utf-8", "replace")
    return Completed(proc.returncode, out, err)


def subprocess_env():
    """Environment for a child interpreter that must import the same modules."""
    env = dict(os.environ)
    parts = [str(MODULES_DIR), str(FRAMEWORK_DIR)]
    if env.get("PYTHONPATH"):
        parts.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(parts)
    return env


def run_python(code, *flags, **kwargs):
    """Run ``code`` in a fresh interpreter (same executable) and return the
    completed process (stdout/stderr as text)."""
    return run_process([sys.executable] + list(flags) + ["-c", textwrap.dedent(code)],
                       env=subprocess_env(), timeout=kwargs.pop("timeout", 120))


def load_fresh(module):
    """Run an extension module's body again into a new module object.

    2.7 runs an extension's body once per file and hands out copies of that
    first dictionary afterwards, so there the body runs from a copy of the
    file; sys.modules keeps the module it had."""
    if not PY2:
        import importlib.util
        spec = importlib.util.spec_from_file_location(module.__name__, module.__file__)
        new = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(new)
        return new
    import imp
    where = tempfile.mkdtemp()
    copy = os.path.join(where, os.path.basename(module.__file__))
    shutil.copy(module.__file__, copy)
    # The body runs into sys.modules[name] when that exists.
    saved = sys.modules.pop(module.__name__, None)
    try:
        return imp.load_dynamic(module.__name__, copy)
    finally:
        shutil.rmtree(where)  # loaded, the file is no longer needed
        if saved is None:
            sys.modules.pop(module.__name__, None)
        else:
            sys.modules[module.__name__] = saved


def forget_handled_exception():
    """2.7 keeps the last exception handled, with its frames and their
    locals, until the function returns; 3 drops it after the handler."""
    if PY2:
        sys.exc_clear()


def rss_bytes():
    """Resident set size of this process, from /proc/self/statm."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------------------
# Sample data of the documented viewers
# ---------------------------------------------------------------------------

SAMPLE_HEIGHTS = (0.0, -2.0, 2.0, -3.0)


def make_sample_surface_points():
    """The (16, 3) control points of the sample surface: row 4*i + j is
    (i, j, h_j) with h = (0, -2, 2, -3)."""
    pts = np.zeros((16, 3))
    for i in range(4):
        for j in range(4):
            pts[4 * i + j] = (i, j, SAMPLE_HEIGHTS[j])
    return pts


def sample_z(t):
    """Height of the sample surface, worked out by hand from the heights
    (0, -2, 2, -3) at t = 0..3: z = -5/2 t^3 + 21/2 t^2 - 10 t."""
    return -2.5 * t ** 3 + 10.5 * t ** 2 - 10.0 * t


def sample_dz(t):
    return -7.5 * t ** 2 + 21.0 * t - 10.0


def make_sample_spline_points():
    """The six (point, tangent) data points of the sample spline."""
    c = np.cos(np.pi / 4)
    s = np.sin(np.pi / 4)
    return [
        ([1, 0, 0], [0, 1, 0]),
        ([c, s, 0], [-c, s, 0]),
        ([0, 1, 0], [-1, 0, 0]),
        ([0, 0, 0], [-1, 0, 0]),
        ([0, 0, 1], [1, 0, 0]),
        ([0, 1, 1], [1, 1, 1]),
    ]


@pytest.fixture
def sample_points():
    return make_sample_surface_points()


@pytest.fixture
def sample_spline_points():
    return make_sample_spline_points()


@pytest.fixture
def no_gc():
    """Collect leftover garbage of earlier tests, then keep the cyclic
    collector off, so that reference counts change only through the code
    under test."""
    import gc
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


@pytest.fixture
def rng():
    # default_rng came with NumPy 1.17; 2.7 has 1.16
    if hasattr(np.random, "default_rng"):
        return np.random.default_rng(20240611)
    return np.random.RandomState(20240611)


# ---------------------------------------------------------------------------
# Helpers shared by the module tests
# ---------------------------------------------------------------------------

def assert_memory_flat(fn, n, budget=4 << 20):
    """Call ``fn`` n times after a warm-up and require the resident set size
    to grow by less than ``budget`` bytes: a leak of even a few bytes per call
    shows up over a few hundred thousand calls."""
    import gc
    import itertools
    # repeat, not range: 2.7's range is a list of n ints whose memory stays
    # with the interpreter
    for _ in itertools.repeat(None, max(n // 5, 1000)):
        fn()
    gc.collect()
    before = rss_bytes()
    for _ in itertools.repeat(None, n):
        fn()
    gc.collect()
    growth = rss_bytes() - before
    assert growth < budget, "RSS grew by %d bytes over %d calls" % (growth, n)


def swallow(fn, exc):
    """A callable that runs ``fn`` and ignores the expected exception type
    (any other outcome, including no exception, is an error)."""
    def call():
        try:
            fn()
        except exc:
            return
        raise AssertionError("expected %s" % exc.__name__)
    return call


MAIN_SCRIPT = r'''
import importlib.util, json, sys
import OpenGL.GLUT, Sketchkit

class MainCalled(Exception):
    pass

def glut_init(*a, **k):
    raise MainCalled()

# main() starts with glutInit(), reached either through OpenGL.GLUT or
# through the names that Sketchkit re-exports.
OpenGL.GLUT.glutInit = glut_init
Sketchkit.glutInit = glut_init

name = sys.argv[1]
found = importlib.util.find_spec(name)
out = {}
for as_name in ("__main__", name):
    mod = importlib.util.module_from_spec(found)
    mod.__name__ = as_name
    try:
        found.loader.exec_module(mod)
        out[as_name] = ["returned", mod.__dict__.get("__test__")]
    except MainCalled:
        out[as_name] = ["main called", None]
print(json.dumps(out))
'''


def run_module_as_main(modname):
    """Execute the module body in a child interpreter once under the name
    "__main__" and once under its own name; report whether main() ran."""
    import json
    proc = run_process([sys.executable, "-c", MAIN_SCRIPT, modname], env=subprocess_env())
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


CLASS_CREATION_SCRIPT = r'''
import json, sys, types
import numpy as np
import Stagehall as real
import Sketchkit  # loaded against the real framework first

events = []

class Namespace(dict):
    pass

class Meta(type):
    @classmethod
    def __prepare__(mcls, name, bases, **kw):
        ns = Namespace()
        events.append(["prepare", name, [b.__name__ for b in bases], sorted(kw), id(ns)])
        return ns

    def __new__(mcls, name, bases, ns, **kw):
        events.append(["new", name, [b.__name__ for b in bases], list(ns),
                       type(ns).__name__, id(ns),
                       ns.get("__module__"), ns.get("__qualname__"), ns.get("__doc__")])
        return super(Meta, mcls).__new__(mcls, name, bases, dict(ns))

%(model)s

del events[:]
fake = types.ModuleType("Stagehall")
for k, v in vars(real).items():
    if not k.startswith("__"):
        setattr(fake, k, v)
fake.Model = Model
sys.modules["Stagehall"] = fake

name, ctor = sys.argv[1], sys.argv[2]
m = __import__(name)
cls = getattr(m, name)
obj = eval(ctor, {"cls": cls, "np": np})
print(json.dumps({
    "events": events,
    "meta": type(cls) is Meta,
    "bases_ok": cls.__bases__ == (Model,),
    "init": getattr(obj, "fake_model_init", False),
}))
'''


# The metaclass of Model: 2.7 takes it from __metaclass__ in the class body.
MODEL_WITH_META = ("class Model(object):\n    __metaclass__ = Meta\n" if PY2 else
                   "class Model(metaclass=Meta):\n") + (
                   "    def __init__(self):\n        self.fake_model_init = True\n")


def class_creation_events(modname, ctor):
    """Import the module in a child interpreter whose Stagehall.Model has a
    recording metaclass; ``ctor`` is an expression building an instance of
    ``cls``.  Returns the recorded events and checks."""
    import json
    script = CLASS_CREATION_SCRIPT.replace("%(model)s", MODEL_WITH_META)
    proc = run_process([sys.executable, "-c", script, modname, ctor], env=subprocess_env())
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def assert_created_through_model_metaclass(modname, ctor, first, doc):
    """The scene class comes from Model's metaclass: on 3 through its
    __prepare__ namespace, with ``first`` the leading entries of the class
    body in order; on 2 from a plain dictionary holding them."""
    out = class_creation_events(modname, ctor)
    events = out["events"]
    if PY2:  # no __prepare__: the body is a plain dictionary, without order
        assert [e[0] for e in events] == ["new"]
        new = events[0]
        assert set(first) <= set(new[3]) and new[4] == "dict"
    else:
        assert [e[0] for e in events] == ["prepare", "new"]
        prep, new = events
        assert prep[1:4] == [modname, ["Model"], []]
        assert new[3][:len(first)] == first
        assert new[4] == "Namespace" and new[5] == prep[4]
    assert new[1] == modname and new[2] == ["Model"]
    assert new[6:9] == [modname, modname, doc]
    assert out["meta"] and out["bases_ok"] and out["init"]


from gl_fixtures import *  # noqa: E402,F401,F403  (display and GL window fixtures)
