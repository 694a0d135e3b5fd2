"""Differential test: each native module against its plain-Python rendition
(bench/renditions.py), on random data and random substitution set-ups.

Both sides run the same operations under the same set-up: GL and framework
globals replaced by recorders (one of them may raise on its k-th call),
globals replaced by recording proxies or deleted, methods overridden by a
recording subclass, a recording __getattribute__. They must leave the same
trace: the same calls in the same order with equal arguments (floats within
a relative 1e-9; the native kernels do their own arithmetic), the same
attribute look-ups on the object, the same results, object state, warnings,
and the same exceptions.

RT_DIFF_REFERENCE=copy puts a second copy of the rendition in the native
modules' place: that run must pass, which shows the harness adds no
difference of its own:

    RT_DIFF_REFERENCE=copy PYTHONPATH=build/modules:framework \
        .venv/bin/python -m pytest -q tests/test_differential.py
"""

import contextlib
import math
import numbers
import os
import re
import types
import warnings
from fractions import Fraction

import numpy as np
from hypothesis import HealthCheck, given, settings, strategies as st

import Arborlot
import Quiltsheet
import Spirelet
import Swoopline
from conftest import REPO, SANITIZED, Countdown
from gl_context import QS_NAMES, SP_NAMES, SW_NAMES, Boom


def _load(name):
    # a module of its own under each name, so that two copies can differ
    path = str(REPO / "bench" / "renditions.py")
    try:
        import importlib.util
    except ImportError:  # 2.7
        import imp
        return imp.load_source(name, path)
    spec = importlib.util.spec_from_file_location(name, path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


PY = _load("renditions")
ROLES = ("Quiltsheet", "Swoopline", "Spirelet", "Arborlot")


def _rendition_side(mod):
    return {r: ([mod], getattr(mod, "Py" + r)) for r in ROLES}


if os.environ.get("RT_DIFF_REFERENCE") == "copy":
    NATIVE = _rendition_side(_load("renditions_copy"))
else:
    NATIVE = {"Quiltsheet": ([Quiltsheet], Quiltsheet.Quiltsheet),
              "Swoopline": ([Swoopline], Swoopline.Swoopline),
              "Spirelet": ([Spirelet], Spirelet.Spirelet),
              # the terrain may be a surface patch, drawn through its own module
              "Arborlot": ([Arborlot, Quiltsheet], Arborlot.Arborlot)}
RENDITION = _rendition_side(PY)

INIT_GL = ("glClearColor", "glClearDepth", "glDisable", "glEnable", "glLightModelf", "glLightf",
           "glDepthFunc", "glShadeModel", "glMaterialfv")
AR_NAMES = ("glPushMatrix", "glPopMatrix", "glScalef", "glRotate", "glTranslate",
            "draw3DCoordinateAxesQuadrics", "drawCheckerBoard")
RECORDED = {"Quiltsheet": QS_NAMES, "Swoopline": SW_NAMES, "Spirelet": SP_NAMES + INIT_GL,
            "Arborlot": tuple(sorted(set(AR_NAMES + QS_NAMES)))}
# Globals that may be replaced by a recording proxy; `range` must never be
# used, as the modules take the builtin once at import.
PROXIES = {"Quiltsheet": ("np", "Model", "range"),
           "Swoopline": ("np", "transpose", "inv", "Model", "len", "range"),
           "Spirelet": ("sqrt", "acos", "pi", "Model", "initGL"),
           "Arborlot": ("np", "Model", "hasattr")}
CONSTANTS = {"Quiltsheet": ("GL_ALL_ATTRIB_BITS", "GL_CULL_FACE", "GL_TRIANGLES"),
             "Swoopline": ("GL_ALL_ATTRIB_BITS", "GL_LINE_STRIP", "GL_LINES"),
             "Spirelet": ("GL_TRIANGLES", "GL_LIGHT0", "GL_POSITION", "GL_SHININESS"),
             "Arborlot": ()}
METHODS = {"Quiltsheet": ("evaluate", "get_samples", "set_color_from_XYZ", "shrink"),
           "Swoopline": ("set_data", "add_point", "evaluate_curve_segment"),
           "Spirelet": ("init", "basicTriangle", "drawSpirelet", "drawTetrahedronWithoutBase"),
           "Arborlot": ("init", "add_subscene")}
STATE = {"Quiltsheet": ("data_points", "num_samples_rendering", "B", "MatX", "MatY", "MatZ"),
         "Swoopline": ("num_samples_rendering", "B_Hermite", "point_tangent_list", "coeff_matrix"),
         "Spirelet": (),
         "Arborlot": ("terrain_model", "subscene_list")}
MISSING = object()
CLASS_NAME = re.compile(r"\bPy(?=Quiltsheet|Swoopline|Spirelet|Arborlot)")
# Messages of the mends' own checks: their wording is the implementer's, so
# only the type and the subject are compared.
MEND_MESSAGE = re.compile(r"^(?:the )?(point|tangent|level)\b")


# ---------------------------------------------------------------------------
# Traces


class Trace(list):
    """Events with every value normalised when it is recorded: inputs by
    their token (identity matters), numbers with their exact type."""

    def __init__(self):
        list.__init__(self)
        self.refs = {}

    def add(self, *event):
        self.append(tuple([self.norm(v) for v in event]))

    def norm(self, v):
        t = type(v)
        if t is str or v is None or t is bool:
            return v
        if t is float or t is int:  # never registered
            return ("num", t.__name__, v)
        hit = self.refs.get(id(v))
        if hit is not None and hit[0] is v:
            return ("ref", hit[1])
        if isinstance(v, np.ndarray):
            return ("array", v.dtype.str, v.shape, self.norm(v.tolist()))
        if isinstance(v, np.bool_):
            return ("num", "bool_", bool(v))
        if isinstance(v, numbers.Number):
            return ("num", type(v).__name__, v)
        if isinstance(v, (list, tuple)):
            return (t.__name__, [self.norm(x) for x in v])
        if isinstance(v, dict):
            return ("dict", [(self.norm(k), self.norm(x)) for k, x in v.items()])
        return ("obj", CLASS_NAME.sub("", type(v).__name__))


def _close(x, y, tol):
    if isinstance(x, complex):
        return _close(x.real, y.real, tol) and _close(x.imag, y.imag, tol)
    if isinstance(x, float):
        if math.isnan(x) or math.isnan(y):
            return math.isnan(x) and math.isnan(y)
        return x == y or abs(x - y) <= max(1e-9 * max(abs(x), abs(y)), tol)
    return x == y


def same(a, b, tol):
    if isinstance(a, tuple) and len(a) == 3 and a[0] == "num":
        return isinstance(b, tuple) and len(b) == 3 and b[:2] == a[:2] and _close(a[2], b[2], tol)
    if isinstance(a, (tuple, list)):
        return (type(a) is type(b) and len(a) == len(b)
                and all(same(x, y, tol) for x, y in zip(a, b)))
    return type(a) is type(b) and a == b


def same_event(n, p, tol):
    if n == p:
        return True
    if n[0] == p[0] == "raise" and n[:3] == p[:3]:
        mend = MEND_MESSAGE.match(p[3])
        if mend:
            return mend.group(1) in n[3]
    return same(n, p, tol)


def assert_same_traces(native, rendition, tol):
    for i in range(max(len(native), len(rendition))):
        n = native[i] if i < len(native) else ("<end>",)
        p = rendition[i] if i < len(rendition) else ("<end>",)
        if not same_event(n, p, tol):
            lo = max(i - 4, 0)
            show = lambda t: "\n".join("  %4d %r" % (k, e) for k, e in enumerate(t[lo:i + 3], lo))
            raise AssertionError("traces differ at event %d\nnative:\n%s\nrendition:\n%s"
                                 % (i, show(native), show(rendition)))


# ---------------------------------------------------------------------------
# Stand-ins and substitutes


class Fail(object):
    def __init__(self, at):
        self.at = list(at) if at else None

    def tick(self, name):
        if self.at and self.at[0] == name:
            self.at[1] -= 1
            if self.at[1] == 0:
                raise Boom("call of %s" % name)


def recorder(trace, name, fail):
    def record(*args, **kwargs):
        trace.add("call", name, args, list(kwargs.items()))
        fail.tick(name)
    return record


def spy(trace, label, fn):
    def call(*args, **kwargs):
        trace.add("call", label, args, list(kwargs.items()))
        return fn(*args, **kwargs)
    return call


class Proxy(object):
    """Records every attribute look-up and call, and forwards them."""

    def __getattribute__(self, name):
        trace, label, target = object.__getattribute__(self, "_spied")
        label = "%s.%s" % (label, name)
        trace.add("get", label)
        value = getattr(target, name)
        if isinstance(value, types.ModuleType):
            return proxy(trace, label, value)
        return spy(trace, label, value) if callable(value) else value


def proxy(trace, label, target):
    p = object.__new__(Proxy)
    object.__setattr__(p, "_spied", (trace, label, target))
    return p


def substitute(name, trace, mod):
    if name in ("np", "Model"):
        return proxy(trace, name, getattr(mod, name))
    if name == "pi":
        return 3.0
    plain = {"transpose": np.transpose, "inv": np.linalg.inv, "sqrt": math.sqrt,
             "acos": np.arccos, "len": len, "range": range, "hasattr": hasattr}
    return spy(trace, name, plain[name] if name in plain else getattr(mod, name))


class StubSpec(object):
    """A terrain, plant or subscene stand-in, built afresh for each side."""

    def __init__(self, name, result="tuple", init=False):
        self.name, self.result, self.init = name, result, init

    def __repr__(self):
        return "StubSpec(%r, %r, init=%r)" % (self.name, self.result, self.init)


class Stub(object):
    def __init__(self, spec, trace):
        self.spec, self.trace = spec, trace

    def draw_scene(self, *args):
        self.trace.add("call", self.spec.name + ".draw_scene", args)
        kind = self.spec.result
        if kind == "raise":
            raise Boom(self.spec.name)
        nine = list(range(9))
        return {"tuple": tuple(nine), "list": nine, "short": tuple(nine[:8]), "long": tuple(nine) + (9,),
                "gen": (x for x in nine), "none": None}[kind]


class InitStub(Stub):
    def init(self):
        self.trace.add("call", self.spec.name + ".init")


@contextlib.contextmanager
def installed(modules, values):
    saved = []
    for mod in modules:
        d = mod.__dict__
        for name, value in values.items():
            saved.append((d, name, d.get(name, MISSING)))
            if value is MISSING:
                d.pop(name, None)
            else:
                d[name] = value
    try:
        yield
    finally:
        for d, name, old in reversed(saved):
            if old is MISSING:
                d.pop(name, None)
            else:
                d[name] = old


def subclass(base, role, trace, overrides, getattribute):
    ns = {}
    def make(meth):
        def method(self, *args, **kwargs):
            trace.add("override", meth, args, sorted(kwargs.items()))
            result = getattr(base, meth)(self, *args, **kwargs)
            trace.add("override returns", meth, result)
            return result
        return method
    for meth in overrides:
        ns[meth] = make(meth)
    if "shrink" in overrides:
        # a colour scheme that makes the grid smaller in the middle of a
        # drawing: the mesh loop reads the sample counts as it goes
        def set_color_from_XYZ(self, x, y, z):
            trace.add("override", "shrink", (x, y, z), [])
            object.__setattr__(self, "num_samples_rendering", (2, 2))
            return base.set_color_from_XYZ(self, x, y, z)
        ns["set_color_from_XYZ"] = set_color_from_XYZ
        del ns["shrink"]
    if getattribute:
        def __getattribute__(self, name):
            trace.add("self", name)
            return object.__getattribute__(self, name)
        ns["__getattribute__"] = __getattribute__
    return type(role, (base,), ns) if ns else base


def build(desc, trace, side, counter):
    """A fresh copy of the input description for one side; containers and
    stand-ins are registered by token, so their identity is compared."""
    if isinstance(desc, StubSpec):
        if desc.result == "quiltsheet":
            obj = side["Quiltsheet"][1](_sample_points(), (3, 3))
        else:
            obj = (InitStub if desc.init else Stub)(desc, trace)
    elif isinstance(desc, np.ndarray):
        obj = desc.copy()
    elif isinstance(desc, list):
        obj = [build(x, trace, side, counter) for x in desc]
    elif isinstance(desc, tuple) and desc:
        obj = tuple(build(x, trace, side, counter) for x in desc)
    elif isinstance(desc, dict):
        obj = {k: build(v, trace, side, counter) for k, v in desc.items()}
    else:
        return desc
    counter[0] += 1
    trace.refs[id(obj)] = (obj, "input %d" % counter[0])
    return obj


def _sample_points():
    return np.array([(i, j, (0.0, -2.0, 2.0, -3.0)[j]) for i in range(4) for j in range(4)])


def run(side, role, setup, ctor, ops):
    trace, counter = Trace(), [0]
    modules, base = side[role]
    fail = Fail(setup["fail"])
    values = {name: recorder(trace, name, fail) for name in RECORDED[role]}
    for name in setup["proxies"]:
        values[name] = substitute(name, trace, modules[0])
    for name in setup["deleted"]:
        values[name] = MISSING
    cls = subclass(base, role, trace, setup["overrides"], setup["getattribute"])
    with installed(modules, values), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        obj = None
        for name, args, kwargs in [("new",) + ctor] + ops:
            try:
                args, kwargs = build(args, trace, side, counter), build(kwargs, trace, side, counter)
                if name == "new":
                    obj = cls(*args, **kwargs)
                    trace.refs[id(obj)] = (obj, "self")
                    result = None
                else:
                    result = getattr(cls, name)(obj, *args, **kwargs)
                trace.add("return", name, result)
            except Exception as exc:
                trace.add("raise", name, "%s.%s" % (type(exc).__module__, type(exc).__name__),
                          CLASS_NAME.sub("", str(exc)))
            for w in caught:
                trace.add("warning", w.category.__name__, str(w.message))
            del caught[:]
            if obj is None:
                break
            d = object.__getattribute__(obj, "__dict__")
            trace.add("state", [(k, d.get(k, "<missing>")) for k in STATE[role]])
    return trace


def scale_of(desc):
    """Largest finite magnitude among the inputs: the absolute tolerance
    scales with it (rounding noise of cancelling terms)."""
    if isinstance(desc, (list, tuple)):
        return max([scale_of(x) for x in desc] + [1.0])
    if isinstance(desc, dict):
        return scale_of(list(desc.values()))
    if isinstance(desc, np.ndarray):
        return scale_of(desc.tolist())
    if isinstance(desc, numbers.Real) and not (math.isinf(desc) or math.isnan(desc)):
        return abs(float(desc))
    return 1.0


def _runaway(trace):
    """The operations that ended in the interpreter's recursion limit: how
    deep each side gets first depends on how it counts its frames."""
    return [e[1] for e in trace if e[0] == "raise" and e[2].endswith(("RecursionError", ".RuntimeError"))
            and "recursion" in e[3]]


def check(role, setup, ctor, ops):
    tol = 1e-9 * scale_of([ctor, ops])
    native, rendition = run(NATIVE, role, setup, ctor, ops), run(RENDITION, role, setup, ctor, ops)
    if _runaway(rendition):
        assert _runaway(native) == _runaway(rendition), (native[-3:], rendition[-3:])
        return
    assert_same_traces(native, rendition, tol)


# ---------------------------------------------------------------------------
# Strategies


PLAIN = {"fail": None, "proxies": set(), "deleted": [], "overrides": set(), "getattribute": False}


def mostly(good, bad, k=3):
    """``good`` k times as often as ``bad``; shrinks towards ``good``."""
    return st.integers(0, k).flatmap(lambda i: good if i < k else bad)


@st.composite
def setups(draw, role):
    """Plain a quarter of the time, so that the native fast paths run too."""
    if draw(st.integers(0, 3)) == 0:
        return PLAIN
    used = RECORDED[role] + PROXIES[role] + CONSTANTS[role]
    return {
        "fail": draw(mostly(st.none(), st.tuples(st.sampled_from(RECORDED[role]), st.integers(1, 12)), 2)),
        "proxies": draw(st.sets(st.sampled_from(PROXIES[role]))),
        "deleted": draw(mostly(st.just([]), st.lists(st.sampled_from(used), min_size=1, max_size=2,
                                                     unique=True))),
        "overrides": draw(st.sets(st.sampled_from(METHODS[role]))),
        "getattribute": draw(st.booleans()),
    }


def call(name, *args, **kwargs):
    return (name, args, kwargs)


NICE = st.integers(-16, 16).map(lambda k: k / 4.0) | st.integers(-4, 4)
FLAT = st.sampled_from([0.0, 0.5, -2.0, 3.0, 7.25])
COLUMN = mostly(st.lists(NICE, min_size=16, max_size=16), FLAT.map(lambda v: [v] * 16), 2)


@st.composite
def control_points(draw):
    pts = np.array(draw(st.lists(COLUMN, min_size=3, max_size=3)), dtype=float).T
    kind = draw(st.sampled_from(["float"] * 12 + ["int", "nan", "15 rows", "2 columns", "1-D", "list"]))
    if kind == "int":
        return pts.round().astype(int)
    if kind == "nan":
        pts[draw(st.integers(0, 15)), draw(st.integers(0, 2))] = float("nan")
    return {"float": pts, "nan": pts, "15 rows": pts[:15], "2 columns": pts[:, :2], "1-D": pts.ravel(),
            "list": pts.tolist()}.get(kind, pts)


class Never(float):
    """A number every comparison of which says no."""

    def __le__(self, other):
        return False

    __ge__ = __lt__ = __gt__ = __le__


class Always(float):
    def __le__(self, other):
        return True

    __ge__ = __lt__ = __gt__ = __le__


PARAM = mostly(st.floats(0, 3).map(lambda x: round(x, 3)) | st.integers(0, 3),
               st.sampled_from([Fraction(3, 2), True, -0.5, 3.5, float("nan"), 3.0000001, Never(1.0), Always(9.0)]))
UNIT = mostly(st.floats(0, 1).map(lambda x: round(x, 3)),
              st.sampled_from([0, 1, True, Fraction(1, 2), -0.25, 1.25, float("nan"), Never(0.5), Always(2.0)]))
GRID = mostly(st.tuples(st.integers(2, 4), st.integers(2, 4)),
              st.sampled_from([[3, 2], (1, 3), (3, 0), (2,), (2.0, 3), "ab"]))


def quiltsheet_ops():
    st_param = mostly(st.tuples(PARAM, PARAM) | st.lists(PARAM, min_size=2, max_size=3)
                      | st.tuples(PARAM, PARAM).map(np.array),
                      st.sampled_from([[1.0], None]))
    return st.one_of(
        mostly(st.builds(call, st.just("evaluate"), st_param), st.just(call("evaluate", [1, 1], 2))),
        st.builds(lambda v: call("evaluate", st_param=v), st_param),
        mostly(st.builds(call, st.just("get_samples"), GRID), st.just(call("get_samples", bogus=1))),
        st.builds(call, st.just("set_color_from_XYZ"), UNIT, UNIT, UNIT),
        st.builds(call, st.just("draw_scene"), st.sampled_from([True, False, 1, None])),
        st.just(call("draw_scene")))


# Spline values are dyadic, so that every sum and product of the segment
# arithmetic is exact whatever its order: whether a tangent is exactly zero
# (no tangent line) must not hang on rounding. Tiny and huge magnitudes come
# from scaling a whole example by a power of two.
EXACT = mostly(st.integers(-3, 3) | st.integers(-16, 16).map(lambda k: k / 4.0),
               st.booleans() | st.integers(-12, 12).map(lambda k: Fraction(k, 4))
               | st.sampled_from([-0.0, float("inf"), float("nan")]), 4)
SCALE = mostly(st.just(1), st.sampled_from([2.0 ** -600, 2.0 ** 600]), 4)
BAD_VECTOR = st.sampled_from([[], [1, 2], "abc", None, 5, [[1, 2, 3]], [1, "a", 2], (1, 2, 3, 4), [1, 2j, 3]])


def _scaled(v, scale):
    if scale == 1:
        return v
    if isinstance(v, np.ndarray):
        return v * scale
    return type(v)(float(x) * scale for x in v)


def spline_strategies(scale):
    """Data points, point lists and operations for one example."""
    good_vector = mostly(st.lists(EXACT, min_size=3, max_size=3) | st.tuples(EXACT, EXACT, EXACT)
                         | st.lists(st.integers(-20, 20), min_size=3, max_size=3).map(lambda v: np.array(v) / 4.0),
                         st.sampled_from([[0, 0, 0], (0.0, -0.0, 0), [1, 0, 0]]))
    good_vector = good_vector.map(lambda v: _scaled(v, scale))
    good_point = st.tuples(good_vector, good_vector) | st.tuples(good_vector, good_vector).map(list)
    # NumPy's arithmetic takes points of other shapes too: scalars, columns
    data_point = mostly(good_point, st.tuples(good_vector, BAD_VECTOR) | st.tuples(BAD_VECTOR, good_vector)
                        | st.sampled_from([None, 5, ([1, 2, 3],), "ab", (0.0, 1.0), (1.5, -1),
                                           (np.ones((3, 1)), np.zeros((3, 1)))]), 5)
    points = mostly(st.lists(good_point, min_size=2, max_size=4), st.lists(data_point, max_size=4))
    samples = mostly(st.sampled_from([1, 2, 3, 5]), st.sampled_from([0, 2.5, 101]))
    ctor = st.one_of(st.tuples(st.tuples(points), st.just({})),
                     st.tuples(st.tuples(points, samples), st.just({})),
                     st.builds(lambda p, n: ((), {"data_points": p, "num_samples_rendering": n}), points, samples),
                     st.tuples(st.tuples(st.none(), samples), st.just({})), st.just(((), {})))
    t = mostly(UNIT, st.sampled_from([np.float64(0.25), "x", None, 1e200]))
    op = st.one_of(
        st.builds(call, st.just("add_point"), data_point),
        st.builds(call, st.just("set_data"), mostly(points, st.just(5))),
        st.builds(call, st.just("evaluate_curve_segment"), mostly(st.integers(-3, 3), st.sampled_from([0.5, True])), t),
        st.builds(call, st.just("draw_scene"), st.sampled_from([True, False, 1])),
        st.just(call("draw_scene")))
    return ctor, op


# level 2 is 225 triangles, so it is drawn less often than 0 and 1
LEVEL = mostly(st.integers(0, 1) | st.sampled_from([0.0, 1.0, True, False, np.int64(1), np.float64(1.0),
                                                    2, Fraction(2, 1), 1 + 0j, Countdown(1)]),
               st.sampled_from([-1, 1.5, Fraction(1, 2), float("inf"), float("nan"), 2.0 ** 53, 3e20, None,
                                "1", [1], -0.5]))


def spirelet_ops():
    return st.one_of(
        st.just(call("init")), st.just(call("basicTriangle")),
        st.builds(call, st.just("drawSpirelet"), LEVEL),
        st.builds(lambda v: call("drawSpirelet", level=v), LEVEL),
        st.builds(call, st.just("drawTetrahedronWithoutBase"), LEVEL.map(lambda v: v + 1 if v in (0, 1) else v)),
        # the level-3 scene is large: kept rare
        st.integers(0, 120).map(lambda k: call("draw_scene") if k == 0 else call("basicTriangle")))


STUB_RESULT = mostly(st.just("tuple"), st.sampled_from(["list", "short", "long", "gen", "none", "raise"]))
PLANT = st.builds(StubSpec, st.sampled_from(["plant", "tree"]), mostly(st.just("tuple"), st.just("raise"), 5))
WILD = EXACT | st.sampled_from([1e-200, 5e-324, 1e200, -1e250])
POS = mostly(st.lists(WILD, min_size=3, max_size=4) | st.tuples(NICE, NICE, NICE)
             | st.lists(st.floats(-5, 5), min_size=3, max_size=3).map(np.array), st.just([1, 2]))
SUBSCENE = mostly(st.fixed_dictionaries({"pos": POS, "model": PLANT}),
                  st.fixed_dictionaries({"model": PLANT}) | st.fixed_dictionaries({"pos": POS})
                  | st.builds(StubSpec, st.just("entry"), st.just("tuple"), st.just(True)))


def arborlot_ctor():
    terrain = (st.builds(StubSpec, st.just("terrain"), STUB_RESULT, st.booleans())
               | st.just(StubSpec("terrain", "quiltsheet")))
    subscenes = st.lists(SUBSCENE, max_size=3)
    return st.one_of(st.tuples(st.tuples(terrain), st.just({})),
                     st.tuples(st.tuples(terrain, mostly(subscenes, subscenes.map(tuple) | st.none())), st.just({})),
                     st.builds(lambda t, s: ((), {"terrain_model": t, "subscene_list": s}), terrain, subscenes))


def arborlot_ops():
    return st.one_of(st.builds(call, st.just("add_subscene"), SUBSCENE), st.just(call("init")),
                     st.just(call("draw_scene")))


# Fewer examples under the sanitizers, where every call is several times slower.
DIFF = settings(max_examples=int(os.environ.get("RT_DIFF_EXAMPLES", 20 if SANITIZED else 60)), deadline=None, database=None, print_blob=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# ---------------------------------------------------------------------------
# The tests


@DIFF
@given(st.data())
def test_quiltsheet(data):
    # the default (34, 34) grid is large: kept rare
    grid = data.draw(st.integers(0, 39).flatmap(lambda k: st.just(()) if k == 0 else st.tuples(GRID)))
    ctor = (data.draw(control_points()),) + grid
    check("Quiltsheet", data.draw(setups("Quiltsheet")), (ctor, {}),
          data.draw(st.lists(quiltsheet_ops(), min_size=1, max_size=4)))


@DIFF
@given(st.data())
def test_swoopline(data):
    ctor, op = spline_strategies(data.draw(SCALE))
    check("Swoopline", data.draw(setups("Swoopline")), data.draw(ctor),
          data.draw(st.lists(op, min_size=1, max_size=5)))


@DIFF
@given(st.data())
def test_spirelet(data):
    check("Spirelet", data.draw(setups("Spirelet")), ((), {}),
          data.draw(st.lists(spirelet_ops(), min_size=1, max_size=4)))


@DIFF
@given(st.data())
def test_arborlot(data):
    check("Arborlot", data.draw(setups("Arborlot")), data.draw(arborlot_ctor()),
          data.draw(st.lists(arborlot_ops(), min_size=1, max_size=4)))
