"""Tests of the Swoopline extension module: a piecewise cubic Hermite spline
built data point by data point."""

from __future__ import division

import inspect
import sys
import types
import weakref
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from conftest import (ORDERED_DICTS, PY2, SANITIZED, Namespace, assert_memory_flat,
                      assert_created_through_model_metaclass, load_fresh, make_sample_spline_points,
                      run_module_as_main, swallow, unbound_wording)

import Swoopline as sw_mod
from Swoopline import Swoopline
import Stagehall

scipy_interpolate = pytest.importorskip("scipy.interpolate")

# ---------------------------------------------------------------------------
# Documented texts
# ---------------------------------------------------------------------------

MODULE_DOC = "\n".join([
    "",
    "Swoopline",
    "-" * 15,
    "This file implements the class Swoopline. This module is used by the",
    "Drifteye class which uses it for generating the flythrough curve.",
    "",
    "Where to add code?",
    "add_point(self, data_point): compute the coefficient matrix for the last curve",
    " " * 29 + "segment",
    "evaluate_curve_segment(self, segNo, t): return a tuple of (point, tangent) for",
    "    a given curve segment segNo and parameter t in [0, 1].",
    "",
    "Once this module has been implemented run SwooplineTest for performing",
    "some basic correctness tests. You can add more tests to that file (note this is",
    " NOT part of the assignment) for ensuring correctness of your implementation.",
    "",
])

CLASS_DOC = "\n".join([
    "",
    "    Implementation of Swoopline. The class can be instantiated with a",
    "    sequence of points representing curve segments. In addition to that new",
    "    points can also be added by calling add_point() function with a data point.",
    "    Whenever a Swoopline segment needs to be evaluated for some parameter",
    "    t in [0, 1], the function evaluate_curve_segment(segNo, t) is called with",
    "    the curve segment number (0-based) and the parameter.",
    "    ",
    "    Since the evaluate_curve_segment function will be called very often we need to build",
    "    the coefficient matrix for each curve segment as they are created. Therefore",
    "    the coefficient matrices are built in add_point and in the evaluate_curve_segment",
    "    function it is used with the current parameter.",
    "    ",
    "    This class is derived from the Model class defined in Stagehall",
    "    This allows Swooplines to be rendered using Display List automatically.",
    "    Display List allows OpenGL to evaluate all the draw instructions and store",
    "    them in memory for later usage.",
    "    The draw_scene() function does the actual rendering of the curve.",
    "    ",
])

INIT_DOC = ("\n        A set of data points can be optionally provided during instantiaion."
            "\n        The format is a list of tuples, where each tuple consists of a point"
            "\n        and tangent at that point. Both point and tangents are represented by"
            "\n        arrays."
            "\n        [(p0, m0), (p1, m1), (p2, m2)] where point p0 = [x0, y0, z0] and "
            "\n        m0 = [mx0, my0, mz0] the tangent at p0, and so on."
            "\n        ")

ADD_POINT_DOC = ("\n        The basis vector for every curve segment is computed here and stored in"
                 "\n        coeff_matrix. "
                 "\n        ")

EVALUATE_DOC = ("\n        Returns a tuple of (point, tangent) where point and tangent are"
                "\n        1D arrays for parameter t in [0, 1]"
                "\n        ")

# The Hermite constraint matrix and its inverse, worked out by hand: rows
# weight start point, end point, start tangent, end tangent; columns belong
# to t^3, t^2, t, 1.
CONSTRAINTS = [[0, 1, 0, 3], [0, 1, 0, 2], [0, 1, 1, 1], [1, 1, 0, 0]]
B_HERMITE = np.array([
    [2, -3, 0, 1],
    [-2, 3, 0, 0],
    [1, -2, 1, 0],
    [1, -1, 0, 0],
], dtype=float)

ATOL = 1e-12

REFERENCE_SOURCE = '''
class Swoopline(Model):
    def __init__(self, data_points=None, num_samples_rendering=101):
        pass

    def set_data(self, point_tangent_list):
        pass

    def add_point(self, data_point):
        pass

    def evaluate_curve_segment(self, segNo, t):
        pass
'''


def _reference_class():
    ns = {"Model": Stagehall.Model, "__name__": "Swoopline"}
    exec(REFERENCE_SOURCE, ns)
    return ns["Swoopline"]


def hermite(p0, p1, m0, m1, t):
    """Point and tangent of the cubic Hermite segment, from the basis
    polynomials written out by hand."""
    p0, p1, m0, m1 = (np.asarray(v, dtype=float) for v in (p0, p1, m0, m1))
    h00, h01 = 2 * t ** 3 - 3 * t ** 2 + 1, -2 * t ** 3 + 3 * t ** 2
    h10, h11 = t ** 3 - 2 * t ** 2 + t, t ** 3 - t ** 2
    d00, d01 = 6 * t ** 2 - 6 * t, -6 * t ** 2 + 6 * t
    d10, d11 = 3 * t ** 2 - 4 * t + 1, 3 * t ** 2 - 2 * t
    return (h00 * p0 + h01 * p1 + h10 * m0 + h11 * m1,
            d00 * p0 + d01 * p1 + d10 * m0 + d11 * m1)


def _random_points(rng, n, d=3):
    return [(rng.uniform(-3, 3, d).tolist(), rng.uniform(-3, 3, d).tolist())
            for _ in range(n)]


def _snapshot(s):
    return (s.point_tangent_list, list(s.point_tangent_list),
            s.coeff_matrix, list(s.coeff_matrix),
            [m.copy() for m in s.coeff_matrix])


def _assert_unchanged(s, snap):
    ptl, ptl_items, cm, cm_items, cm_values = snap
    assert s.point_tangent_list is ptl
    assert s.coeff_matrix is cm
    assert len(ptl) == len(ptl_items) and all(a is b for a, b in zip(ptl, ptl_items))
    assert len(cm) == len(cm_items) and all(a is b for a, b in zip(cm, cm_items))
    for a, b in zip(cm, cm_values):
        np.testing.assert_array_equal(a, b)


@pytest.fixture
def sample(sample_spline_points):
    s = Swoopline()
    for dp in sample_spline_points:
        s.add_point(dp)
    return s


# ---------------------------------------------------------------------------
# Module frame and introspection
# ---------------------------------------------------------------------------

def test_module_and_class_texts_and_names():
    assert sw_mod.__doc__ == MODULE_DOC
    assert sw_mod.__name__ == "Swoopline"
    assert Swoopline.__doc__ == CLASS_DOC
    assert Swoopline.__module__ == "Swoopline"
    assert Swoopline.__qualname__ == "Swoopline"
    assert Swoopline.__name__ == "Swoopline"
    assert Swoopline.__bases__ == (Stagehall.Model,)
    assert type(Swoopline) is type(Stagehall.Model)
    assert sw_mod.__test__ == {} and type(sw_mod.__test__) is dict


def test_module_globals():
    import OpenGL.GL
    import Sketchkit

    def public(mod):
        names = getattr(mod, "__all__", None)
        if names is None:
            names = [n for n in vars(mod) if not n.startswith("_")]
        return names

    expected = {"np": np, "transpose": np.transpose, "inv": np.linalg.inv,
                "Model": Stagehall.Model}
    for mod in (OpenGL.GL, Sketchkit):
        for name in public(mod):
            expected[name] = getattr(mod, name)
    expected["View"] = Stagehall.View
    expected["Framepane"] = Stagehall.Framepane
    expected.pop("Swoopline", None)
    expected.pop("main", None)
    d = vars(sw_mod)
    # submodules of OpenGL.GL that other code imported after us became public
    # names of it later; the star import could not have seen them
    wrong = [n for n, v in expected.items() if d.get(n, object()) is not v
             and not (isinstance(v, types.ModuleType) and n not in d)]
    assert wrong == []
    assert d["Swoopline"] is Swoopline


@pytest.mark.parametrize("name, doc, defaults", [
    ("__init__", INIT_DOC, (None, 101)),
    ("set_data", None, None),
    ("add_point", ADD_POINT_DOC, None),
    ("evaluate_curve_segment", EVALUATE_DOC, None),
])
def test_method_attributes(name, doc, defaults):
    f = Swoopline.__dict__[name]
    assert f.__name__ == name
    assert f.__qualname__ == "Swoopline." + name
    assert f.__doc__ == doc
    assert f.__module__ == "Swoopline"
    assert f.__defaults__ == defaults
    s = Swoopline()
    bound = getattr(s, name)
    assert bound.__self__ is s and bound.__func__ is f
    unbound = f.__get__(None, Swoopline)  # 2.7: an unbound method of f
    assert unbound is f or (PY2 and unbound.__func__ is f and unbound.__self__ is None)


def test_method_order_in_class_dict():
    names = [n for n in Swoopline.__dict__
             if n in ("__init__", "set_data", "add_point",
                      "evaluate_curve_segment", "draw_scene")]
    first = ["__init__", "set_data", "add_point", "evaluate_curve_segment"]
    assert names[:4] == first if ORDERED_DICTS else set(first) <= set(names)


def test_keyword_calls():
    pts = make_sample_spline_points()
    s = Swoopline(data_points=pts[:2], num_samples_rendering=11)
    assert s.num_samples_rendering == 11 and len(s.coeff_matrix) == 1
    s.set_data(point_tangent_list=pts[:3])
    assert len(s.coeff_matrix) == 2
    s.add_point(data_point=pts[3])
    assert len(s.coeff_matrix) == 3
    a = s.evaluate_curve_segment(segNo=2, t=0.25)
    b = s.evaluate_curve_segment(2, 0.25)
    c = s.evaluate_curve_segment(t=0.25, segNo=2)
    for x in (a, c):
        np.testing.assert_array_equal(x[0], b[0])
        np.testing.assert_array_equal(x[1], b[1])


_DP = ([0, 0, 0], [1, 0, 0])

WRONG_CALLS = [
    ("too many", lambda C, o: C(None, 5, 6)),
    ("unexpected kw", lambda C, o: C(foo=1)),
    ("multiple values", lambda C, o: C(None, data_points=None)),
    ("init via class", lambda C, o: C.__init__()),
    ("set_data none", lambda C, o: o.set_data()),
    ("set_data two", lambda C, o: o.set_data([], [])),
    ("set_data bad kw", lambda C, o: o.set_data(points=[])),
    ("set_data dup", lambda C, o: o.set_data([], point_tangent_list=[])),
    ("set_data unbound", lambda C, o: C.set_data(o)),
    ("add_point none", lambda C, o: o.add_point()),
    ("add_point two", lambda C, o: o.add_point(_DP, _DP)),
    ("add_point bad kw", lambda C, o: o.add_point(dp=_DP)),
    ("add_point unbound", lambda C, o: C.add_point()),
    ("evaluate none", lambda C, o: o.evaluate_curve_segment()),
    ("evaluate one", lambda C, o: o.evaluate_curve_segment(0)),
    ("evaluate t only", lambda C, o: o.evaluate_curve_segment(t=0.5)),
    ("evaluate three", lambda C, o: o.evaluate_curve_segment(0, 0.5, 1)),
    ("evaluate dup", lambda C, o: o.evaluate_curve_segment(0, t=0.5, segNo=0)),
    ("evaluate bad kw", lambda C, o: o.evaluate_curve_segment(segno=0, t=0.5)),
    ("evaluate unbound", lambda C, o: C.evaluate_curve_segment(o)),
    ("non-string keyword", lambda C, o: o.add_point(**{1: 2})),
]


@pytest.mark.parametrize("case, call", WRONG_CALLS, ids=[c[0] for c in WRONG_CALLS])
def test_wrong_calls_match_interpreter_wording(case, call):
    Ref = _reference_class()
    with pytest.raises(TypeError) as expected:
        call(Ref, Ref())
    s = Swoopline([_DP, _DP])
    snap = _snapshot(s)
    with pytest.raises(TypeError) as actual:
        call(Swoopline, s)
    assert str(actual.value) == unbound_wording(str(expected.value))
    _assert_unchanged(s, snap)


@pytest.mark.skipif(PY2, reason="inspect.signature is Python 3")
@pytest.mark.parametrize("name", ["__init__", "set_data", "add_point", "evaluate_curve_segment"])
def test_signature(name):
    Ref = _reference_class()
    try:
        sig = inspect.signature(getattr(Swoopline, name))
    except (ValueError, TypeError):
        pytest.skip("no signature available for the native function")
    assert str(sig) == str(inspect.signature(getattr(Ref, name)))


def test_class_creation_goes_through_the_metaclass_of_model():
    assert_created_through_model_metaclass(
        "Swoopline", "cls()",
        ["__module__", "__qualname__", "__doc__", "__init__", "set_data", "add_point", "evaluate_curve_segment"],
        CLASS_DOC)


def test_constructor_calls_model_init_through_the_global(monkeypatch):
    calls = []
    # A plain function as __init__: 2.7's unbound method would want a FakeModel.
    fake = Namespace(__init__=lambda *args, **kw: calls.append((args, kw)))
    monkeypatch.setattr(sw_mod, "Model", fake)
    s = Swoopline()
    assert len(calls) == 1 and calls[0] == ((s,), {}) and calls[0][0][0] is s


def test_B_Hermite_comes_from_the_global_inv_at_every_construction(monkeypatch):
    calls, results = [], []

    def inv(a):
        calls.append(a)
        r = np.linalg.inv(a)
        results.append(r)
        return r

    monkeypatch.setattr(sw_mod, "inv", inv)
    a = Swoopline()
    b = Swoopline()
    assert len(calls) == 2
    for arg in calls:
        assert type(arg) is list and all(type(r) is list for r in arg)
        assert arg == CONSTRAINTS
        assert all(type(x) is int for r in arg for x in r)
    assert a.B_Hermite is results[0] and b.B_Hermite is results[1]


# 2.7 looks for the init function of "__main__" in the file, not initSwoopline.
@pytest.mark.skipif(PY2, reason="2.7 cannot load an extension module as __main__")
def test_running_as_main_calls_main():
    if not hasattr(sw_mod, "main"):
        pytest.skip("main() is not part of this module yet")
    out = run_module_as_main("Swoopline")
    assert out["__main__"] == ["main called", None]
    assert out["Swoopline"] == ["returned", {}]


def test_module_can_be_executed_into_a_fresh_module_object():
    mod = load_fresh(sw_mod)
    assert mod is not sw_mod
    assert mod.__doc__ == MODULE_DOC
    assert mod.__test__ == {} and mod.__test__ is not sw_mod.__test__
    s = mod.Swoopline([_DP, ([1, 0, 0], [1, 0, 0])])
    np.testing.assert_allclose(s.evaluate_curve_segment(0, 0.5)[0], [0.5, 0, 0], atol=ATOL)


# ---------------------------------------------------------------------------
# Construction and set_data
# ---------------------------------------------------------------------------

def test_empty_construction():
    s = Swoopline()
    assert s.num_samples_rendering == 101
    assert s.point_tangent_list == [] and type(s.point_tangent_list) is list
    assert s.coeff_matrix == [] and type(s.coeff_matrix) is list
    assert type(s.B_Hermite) is np.ndarray
    assert s.B_Hermite.shape == (4, 4) and s.B_Hermite.dtype == np.float64
    np.testing.assert_array_equal(s.B_Hermite, np.linalg.inv(CONSTRAINTS))
    np.testing.assert_allclose(s.B_Hermite, B_HERMITE, atol=1e-12)
    ref = Stagehall.Model()
    for k in vars(ref):
        assert hasattr(s, k)


def test_each_construction_has_its_own_lists_and_basis():
    a, b = Swoopline(), Swoopline()
    assert a.point_tangent_list is not b.point_tangent_list
    assert a.coeff_matrix is not b.coeff_matrix
    assert a.B_Hermite is not b.B_Hermite


@pytest.mark.parametrize("args, kwargs, n_samples, n_points", [
    ((None, 7), {}, 7, 0),
    (([],), {}, 101, 0),
    ((), {"data_points": None}, 101, 0),
    (((),), {}, 101, 0),
    ((iter([]),), {}, 101, 0),
])
def test_construction_without_points(args, kwargs, n_samples, n_points):
    s = Swoopline(*args, **kwargs)
    assert s.num_samples_rendering == n_samples
    assert len(s.point_tangent_list) == n_points and s.coeff_matrix == []


def test_num_samples_rendering_is_stored_unchanged():
    marker = object()
    assert Swoopline(None, marker).num_samples_rendering is marker


def test_constructor_with_points_equals_add_point_calls(rng):
    pts = _random_points(rng, 3)
    a = Swoopline(pts)
    b = Swoopline()
    for dp in pts:
        b.add_point(dp)
    assert len(a.point_tangent_list) == 3 and len(a.coeff_matrix) == 2
    assert a.point_tangent_list is not pts
    for x, y, dp in zip(a.point_tangent_list, b.point_tangent_list, pts):
        assert x is dp and y is dp
    for x, y in zip(a.coeff_matrix, b.coeff_matrix):
        np.testing.assert_array_equal(x, y)


def test_constructor_accepts_any_iterable(rng):
    pts = _random_points(rng, 4)
    s = Swoopline(dp for dp in pts)
    assert len(s.point_tangent_list) == 4 and len(s.coeff_matrix) == 3
    assert all(a is b for a, b in zip(s.point_tangent_list, pts))


def test_set_data_single_point():
    s = Swoopline([_DP, ([1, 1, 1], [0, 0, 1])])
    s.set_data([_DP])
    assert len(s.point_tangent_list) == 1 and s.point_tangent_list[0] is _DP
    assert s.coeff_matrix == []
    assert s.evaluate_curve_segment(0, 0.5) is None


def test_set_data_replaces_the_list_objects(rng):
    s = Swoopline(_random_points(rng, 3))
    old_pts, old_cm = s.point_tangent_list, s.coeff_matrix
    old_pts_items, old_cm_items = list(old_pts), list(old_cm)
    new = _random_points(rng, 4)
    assert s.set_data(new) is None
    assert s.point_tangent_list is not old_pts and s.coeff_matrix is not old_cm
    assert s.point_tangent_list is not new
    assert all(a is b for a, b in zip(s.point_tangent_list, new))
    assert len(s.coeff_matrix) == 3
    # The previous lists keep their old contents.
    assert old_pts == old_pts_items and len(old_cm) == 2
    assert all(a is b for a, b in zip(old_cm, old_cm_items))


def test_set_data_with_its_own_list(rng):
    pts = _random_points(rng, 3)
    s = Swoopline(pts)
    before = [m.copy() for m in s.coeff_matrix]
    own = s.point_tangent_list
    s.set_data(own)
    assert s.point_tangent_list is not own
    assert len(s.point_tangent_list) == 3 and len(s.coeff_matrix) == 2
    assert all(a is b for a, b in zip(s.point_tangent_list, pts))
    for a, b in zip(s.coeff_matrix, before):
        np.testing.assert_array_equal(a, b)


def test_set_data_empty_clears():
    s = Swoopline([_DP, _DP])
    s.set_data([])
    assert s.point_tangent_list == [] and s.coeff_matrix == []
    assert s.evaluate_curve_segment(0, 0.5) is None


# ---------------------------------------------------------------------------
# add_point and the coefficient matrices
# ---------------------------------------------------------------------------

def test_first_point_makes_no_segment():
    s = Swoopline()
    assert s.add_point(_DP) is None
    assert len(s.point_tangent_list) == 1 and s.point_tangent_list[0] is _DP
    assert s.coeff_matrix == []
    assert s.evaluate_curve_segment(0, 0.5) is None
    assert s.evaluate_curve_segment(-1, 0.0) is None


def test_data_points_are_stored_by_reference(rng):
    pts = [(np.array(p), np.array(m)) for p, m in _random_points(rng, 3)]
    s = Swoopline()
    for dp in pts:
        s.add_point(dp)
    for i, dp in enumerate(pts):
        assert s.point_tangent_list[i] is dp
        assert s.point_tangent_list[i][0] is dp[0]


@pytest.mark.parametrize("d", [1, 2, 3, 4, 6])
def test_coefficient_matrix(d, rng):
    pts = _random_points(rng, 4, d)
    s = Swoopline(pts)
    assert len(s.coeff_matrix) == 3
    for i, cm in enumerate(s.coeff_matrix):
        assert type(cm) is np.ndarray and cm.shape == (d, 4) and cm.dtype == np.float64
        (p0, m0), (p1, m1) = pts[i], pts[i + 1]
        G = np.column_stack([p0, p1, m0, m1])
        np.testing.assert_allclose(cm, G.dot(B_HERMITE), atol=1e-12)


@pytest.mark.parametrize("make", [
    lambda p, m: (p, m),
    lambda p, m: [p, m],
    lambda p, m: (tuple(p), tuple(m)),
    lambda p, m: (np.array(p), np.array(m)),
    lambda p, m: np.array([p, m]),
    lambda p, m: {0: p, 1: m},
    lambda p, m: (np.array(p, dtype=np.float32), m),
    lambda p, m: ([np.float64(v) for v in p], [int(v) for v in m]),
], ids=["tuple of lists", "list", "tuple of tuples", "arrays", "2x3 array", "dict",
        "float32", "numpy scalars and ints"])
def test_data_point_forms(make):
    p0, m0 = [1.0, 2.0, -1.0], [0.0, 3.0, 1.0]
    p1, m1 = [2.0, -1.0, 0.5], [1.0, 1.0, -2.0]
    s = Swoopline()
    d0, d1 = make(p0, m0), make(p1, m1)
    s.add_point(d0)
    s.add_point(d1)
    assert s.point_tangent_list[0] is d0 and s.point_tangent_list[1] is d1
    for t in (0.0, 0.3, 1.0):
        p, m = s.evaluate_curve_segment(0, t)
        ep, em = hermite(p0, p1, m0, m1, t)
        np.testing.assert_allclose(p, ep, atol=1e-6)
        np.testing.assert_allclose(m, em, atol=1e-6)


def test_integer_data_points_give_float_matrices():
    s = Swoopline([([0, 0, 0], [1, 0, 0]), ([1, 0, 0], [1, 0, 0])])
    assert s.coeff_matrix[0].dtype == np.float64


def test_coefficients_fixed_when_segment_is_built(rng):
    p0, m0 = [0.0, 0.0, 0.0], [1.0, 0.0, 0.0]
    p1, m1 = [1.0, 1.0, 0.0], [0.0, 1.0, 0.0]
    s = Swoopline([(p0, m0), (p1, m1)])
    before = s.coeff_matrix[0].copy()
    p0[0] = 100.0
    m1[1] = -50.0
    np.testing.assert_array_equal(s.coeff_matrix[0], before)
    np.testing.assert_allclose(s.evaluate_curve_segment(0, 0.0)[0], [0, 0, 0], atol=ATOL)
    # B_Hermite is read when a segment is built.
    s.B_Hermite = np.zeros((4, 4))
    s.add_point(([2.0, 0.0, 0.0], [1.0, 0.0, 0.0]))
    np.testing.assert_array_equal(s.coeff_matrix[1], np.zeros((3, 4)))
    np.testing.assert_array_equal(s.coeff_matrix[0], before)


def test_longer_tangent_changes_segment():
    a = Swoopline([([0, 0, 0], [1, 1, 0]), ([1, 0, 0], [1, -1, 0])])
    b = Swoopline([([0, 0, 0], [2, 2, 0]), ([1, 0, 0], [1, -1, 0])])
    pa, _ = a.evaluate_curve_segment(0, 0.5)
    pb, _ = b.evaluate_curve_segment(0, 0.5)
    np.testing.assert_allclose(pa, hermite([0, 0, 0], [1, 0, 0], [1, 1, 0], [1, -1, 0], 0.5)[0])
    np.testing.assert_allclose(pb, hermite([0, 0, 0], [1, 0, 0], [2, 2, 0], [1, -1, 0], 0.5)[0])
    assert not np.allclose(pa, pb)


# Malformed data points: each must be refused with a clear error (the
# indexing error of the data point itself, or the arithmetic's), leaving the
# spline as it was.
NAN, INF = float("nan"), float("inf")
MALFORMED = [
    ("int", 5),
    ("None", None),
    ("one item", ([1, 2, 3],)),
    ("empty tuple", ()),
    ("string", "ab"),
    ("dict without 0/1", {"p": [1, 2, 3], "m": [1, 0, 0]}),
    ("scalar point", (5, [1, 0, 0])),
    ("scalar tangent", ([1, 2, 3], 1.0)),
    ("None tangent", ([1, 2, 3], None)),
    ("2-d point", ([[1, 2, 3]], [1, 0, 0])),
    ("2-d tangent", ([1, 2, 3], np.ones((3, 1)))),
    ("ragged point", ([1, [2], 3], [1, 0, 0])),
    ("word strings", (["a", "b", "c"], [1, 0, 0])),
    ("string point", ("abc", [1, 0, 0])),
    ("string tangent", ([1, 2, 3], "xyz")),
    ("None element", ([None, 0, 0], [1, 0, 0])),
    ("object element", ([object(), 0, 0], [1, 0, 0])),
    ("lengths differ", ([1, 2, 3], [1, 2])),
    ("lengths differ 2", ([1, 2], [1, 2, 3])),
]


@pytest.mark.parametrize("existing", [0, 1, 3])
@pytest.mark.parametrize("case, bad", MALFORMED, ids=[c[0] for c in MALFORMED])
def test_add_point_refuses_malformed_data_point(existing, case, bad, rng, no_gc):
    s = Swoopline(_random_points(rng, existing))
    if existing == 0:
        # nothing is read from a first data point: the second one, which
        # reads it, is refused, and the first one stays
        s.add_point(bad)
        snap = _snapshot(s)
        with pytest.raises((TypeError, ValueError, LookupError)):
            s.add_point(([0.0, 0.0, 0.0], [1.0, 0.0, 0.0]))
        _assert_unchanged(s, snap)
        return
    snap = _snapshot(s)
    # Shared singletons (None, small ints, interned strings) have counts
    # that other code changes; count only objects private to this test.
    private = type(bad) in (tuple, dict) and len(bad) > 0
    rc = sys.getrefcount(bad)
    with pytest.raises((TypeError, ValueError, LookupError)) as info:
        s.add_point(bad)
    assert str(info.value).strip(), "the error must say what is wrong"
    _assert_unchanged(s, snap)
    del info
    if private:
        assert sys.getrefcount(bad) == rc
    # The spline still works and grows normally afterwards.
    s.add_point(([0.0, 0.0, 0.0], [1.0, 0.0, 0.0]))
    assert len(s.point_tangent_list) == existing + 1
    assert len(s.coeff_matrix) == existing


@pytest.mark.parametrize("value", [True, Fraction(1, 3), NAN, INF, 1e300])
def test_numbers_the_arithmetic_accepts(value):
    s = Swoopline([([0, 0, 0], [1, 0, 0])])
    with np.errstate(invalid="ignore"):
        s.add_point(([value, 0, 0], [0, value, 0]))
        expected = np.dot(np.transpose([[0, 0, 0], [value, 0, 0], [1, 0, 0], [0, value, 0]]), s.B_Hermite)
    np.testing.assert_array_equal(s.coeff_matrix[0], expected)


def test_what_the_arithmetic_refuses_gets_its_own_message():
    s = Swoopline([([0, 0, 0], [1, 0, 0])])
    with pytest.raises(TypeError) as python:
        Decimal(1) * 0.5
    with pytest.raises(TypeError) as info:
        s.add_point(([Decimal(1), 0, 0], [0, 0, 0]))
    assert str(python.value) in str(info.value)
    assert len(s.point_tangent_list) == 1 and not s.coeff_matrix
    s.B_Hermite = s.B_Hermite.astype(int)  # an integer basis is ordinary arithmetic too
    s.add_point(([Decimal(1), 0, 0], [0, 1, 0]))
    G = np.transpose([[0, 0, 0], [Decimal(1), 0, 0], [1, 0, 0], [0, 1, 0]])
    assert s.coeff_matrix[0].tolist() == np.dot(G, s.B_Hermite).tolist()


class _Reentrant(object):
    """A data point whose first reading calls back into its own spline."""

    def __init__(self, spline, action):
        self.spline, self.action = spline, action

    def __getitem__(self, i):
        action, self.action = self.action, None
        if action:
            action(self.spline)
        return ([1.0, 2.0, 3.0], [0.0, 1.0, 0.0])[i]


@pytest.mark.parametrize("action", [
    lambda s: s.set_data([]),
    lambda s: s.add_point(([5, 5, 5], [1, 1, 1])),
    lambda s: s.set_data([([0, 0, 0], [1, 0, 0])] * 3),
    lambda s: s.point_tangent_list.append(([9, 9, 9], [1, 0, 0])),
], ids=["set_data empty", "add_point", "set_data three", "append behind its back"])
@pytest.mark.parametrize("existing", [0, 1, 3])
def test_reentrant_data_points_keep_one_matrix_per_pair(action, existing, rng):
    for load in ("add_point", "set_data"):
        s = Swoopline(_random_points(rng, existing))
        point = _Reentrant(s, action)
        try:
            if load == "add_point":
                s.add_point(point)
            else:
                s.set_data(_random_points(rng, 2) + [point])
        except (RuntimeError, IndexError):
            pass  # an error is fine; a broken spline is not
        assert len(s.coeff_matrix) == max(len(s.point_tangent_list) - 1, 0), (load, existing)
        if not s.coeff_matrix:
            assert s.evaluate_curve_segment(0, 0.5) is None


def test_a_call_meanwhile_fails_and_changes_nothing(monkeypatch):
    # thread A in the middle of add_point (in a substituted transpose) while
    # the main thread adds a point, then sets new data: those fail at once;
    # A's point and segment arrive whole and in order
    import threading
    import Swoopline as sw_mod
    s = Swoopline([([0, 0, 0], [1, 0, 0]), ([1, 0, 0], [1, 0, 0])])
    inside, go, real = threading.Event(), threading.Event(), sw_mod.transpose

    def held(x):
        inside.set()
        go.wait(10)
        return real(x)

    monkeypatch.setattr(sw_mod, "transpose", held)
    a = threading.Thread(target=s.add_point, args=(([2, 0, 0], [1, 0, 0]),))
    a.start()
    assert inside.wait(10)
    monkeypatch.setattr(sw_mod, "transpose", real)
    for call in (lambda: s.add_point(([3, 0, 0], [1, 0, 0])), lambda: s.set_data([])):
        with pytest.raises(RuntimeError, match="another call is changing the spline"):
            call()
    go.set()
    a.join()
    assert [p[0] for p in s.point_tangent_list] == [[0, 0, 0], [1, 0, 0], [2, 0, 0]]
    assert len(s.coeff_matrix) == 2
    np.testing.assert_allclose(s.evaluate_curve_segment(1, 1.0)[0], [2, 0, 0])


@pytest.mark.parametrize("existing_d, bad", [
    (3, ([1, 2], [3, 4])),
    (3, ([1, 2, 3, 4], [1, 2, 3, 4])),
    (2, ([1, 2, 3], [1, 2, 3])),
    (1, ([1, 2], [0, 0])),
])
@pytest.mark.parametrize("existing", [1, 2])
def test_add_point_refuses_a_different_length(existing_d, bad, existing, rng):
    s = Swoopline(_random_points(rng, existing, existing_d))
    snap = _snapshot(s)
    with pytest.raises((TypeError, ValueError)) as info:
        s.add_point(bad)
    assert str(info.value).strip()
    _assert_unchanged(s, snap)


def test_first_data_points_numpy_takes_are_taken():
    s = Swoopline([(0.0, 1.0), (1.0, 1.0)])  # scalar points
    assert tuple(map(float, s.evaluate_curve_segment(0, 0.5))) == pytest.approx((0.5, 1.0))
    column = np.ones((3, 1))
    assert len(Swoopline([(column, column), (2 * column, column)]).coeff_matrix) == 1
    s = Swoopline()
    s.add_point(5)
    assert s.point_tangent_list == [5] and s.coeff_matrix == []


@pytest.mark.parametrize("bad_position", [0, 1, 3])
@pytest.mark.parametrize("case, bad", MALFORMED[:6] + MALFORMED[-6:],
                         ids=[c[0] for c in MALFORMED[:6] + MALFORMED[-6:]])
def test_set_data_is_atomic(bad_position, case, bad, rng):
    s = Swoopline(_random_points(rng, 3))
    snap = _snapshot(s)
    new = _random_points(rng, 4)
    new.insert(bad_position, bad)
    with pytest.raises((TypeError, ValueError, LookupError)):
        s.set_data(new)
    _assert_unchanged(s, snap)
    # An empty spline stays empty.
    e = Swoopline()
    snap = _snapshot(e)
    with pytest.raises((TypeError, ValueError, LookupError)):
        e.set_data(new)
    _assert_unchanged(e, snap)


def test_set_data_atomic_for_length_mismatch_within_the_new_data(rng):
    s = Swoopline(_random_points(rng, 3))
    snap = _snapshot(s)
    new = _random_points(rng, 2, 3) + _random_points(rng, 2, 2)
    with pytest.raises((TypeError, ValueError)):
        s.set_data(new)
    _assert_unchanged(s, snap)
    # The new data may have another length than the old data.
    s.set_data(_random_points(rng, 3, 2))
    assert s.coeff_matrix[0].shape == (2, 4)


def test_set_data_non_iterable(rng):
    s = Swoopline(_random_points(rng, 2))
    snap = _snapshot(s)
    with pytest.raises(TypeError):
        s.set_data(5)
    _assert_unchanged(s, snap)


def test_set_data_keeps_state_when_an_overriding_add_point_fails(rng):
    class Boom(Exception):
        pass

    class Sub(Swoopline):
        def add_point(self, data_point):
            if data_point is None:
                raise Boom()
            super(Sub, self).add_point(data_point)

    s = Sub(_random_points(rng, 3))
    snap = _snapshot(s)
    err = None
    try:
        s.set_data(_random_points(rng, 2) + [None])
    except Boom as e:
        err = e
    assert isinstance(err, Boom)
    _assert_unchanged(s, snap)


def test_constructor_with_malformed_data_raises(rng):
    with pytest.raises((TypeError, ValueError)):
        Swoopline(_random_points(rng, 2) + [([1, 2], [3])])
    with pytest.raises(TypeError):
        Swoopline(5)


# ---------------------------------------------------------------------------
# evaluate_curve_segment
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("t, point, tangent", [
    (0, [0, 0, 0], [1, 0, 0]),
    (1, [1, 0, 0], [1, 0, 0]),
    (0.5, [0.5, 0, 0], [1, 0, 0]),
    (0.0, [0, 0, 0], [1, 0, 0]),
    (1.0, [1, 0, 0], [1, 0, 0]),
])
def test_worked_straight_segment(t, point, tangent):
    s = Swoopline([([0, 0, 0], [1, 0, 0]), ([1, 0, 0], [1, 0, 0])])
    res = s.evaluate_curve_segment(0, t)
    assert type(res) is tuple and len(res) == 2
    p, m = res
    for v in (p, m):
        assert type(v) is np.ndarray and v.shape == (3,) and v.dtype == np.float64
    np.testing.assert_allclose(p, point, atol=ATOL)
    np.testing.assert_allclose(m, tangent, atol=ATOL)


def test_sample_spline(sample, sample_spline_points):
    assert len(sample.point_tangent_list) == 6 and len(sample.coeff_matrix) == 5
    p, m = sample.evaluate_curve_segment(0, 0)
    np.testing.assert_allclose(p, [1, 0, 0], atol=ATOL)
    np.testing.assert_allclose(m, [0, 1, 0], atol=ATOL)
    p, m = sample.evaluate_curve_segment(4, 1)
    np.testing.assert_allclose(p, [0, 1, 1], atol=ATOL)
    np.testing.assert_allclose(m, [1, 1, 1], atol=ATOL)
    for t, x in ((0.25, -0.09375), (0.5, 0.0), (0.75, 0.09375)):
        assert sample.evaluate_curve_segment(2, t)[0][0] == pytest.approx(x, abs=ATOL)
    # Every segment starts and ends at its data points with their tangents.
    for i in range(5):
        (p0, m0), (p1, m1) = sample_spline_points[i], sample_spline_points[i + 1]
        for t, ep, em in ((0.0, p0, m0), (1.0, p1, m1)):
            p, m = sample.evaluate_curve_segment(i, t)
            np.testing.assert_allclose(p, ep, atol=ATOL)
            np.testing.assert_allclose(m, em, atol=ATOL)


def test_negative_and_out_of_range_segments(sample):
    for t in (0.0, 0.4, 1.0):
        last = sample.evaluate_curve_segment(4, t)
        neg = sample.evaluate_curve_segment(-1, t)
        np.testing.assert_array_equal(last[0], neg[0])
        np.testing.assert_array_equal(last[1], neg[1])
        first = sample.evaluate_curve_segment(0, t)
        neg5 = sample.evaluate_curve_segment(-5, t)
        np.testing.assert_array_equal(first[0], neg5[0])
    for seg in (5, 6, 100, -6, -100):
        with pytest.raises(IndexError) as info:
            sample.evaluate_curve_segment(seg, 0.5)
        assert str(info.value) == "list index out of range"


@pytest.mark.parametrize("seg", [np.int64(2), np.int32(-3), True])
def test_segment_numbers_that_index_a_list(sample, seg):
    expected = sample.evaluate_curve_segment(int(seg), 0.3)
    got = sample.evaluate_curve_segment(seg, 0.3)
    # NumPy's dot (BLAS) and the native kernel may round the last bit apart
    np.testing.assert_allclose(got[0], expected[0], rtol=1e-15, atol=1e-15)
    np.testing.assert_allclose(got[1], expected[1], rtol=1e-15, atol=1e-15)


@pytest.mark.parametrize("seg", [1.0, "0", None, np.float64(1.0)])
def test_segment_number_not_an_index(sample, seg):
    with pytest.raises(TypeError) as info:
        sample.evaluate_curve_segment(seg, 0.5)
    with pytest.raises(TypeError) as expected:
        [0, 1, 2][seg]
    assert str(info.value) == str(expected.value)


@pytest.mark.parametrize("t", ["a", None, [0.5]])
def test_non_numeric_t(sample, t):
    with pytest.raises(TypeError):
        sample.evaluate_curve_segment(0, t)


@pytest.mark.parametrize("t", [0.25, np.float64(0.25), np.float32(0.25), 1, 0, -0.5, 1.75, 3])
def test_t_values_and_extrapolation(t):
    pts = [([0, 1, 2], [1, -1, 0.5]), ([2, 0, -1], [0.5, 2, -1])]
    s = Swoopline(pts)
    p, m = s.evaluate_curve_segment(0, t)
    ep, em = hermite(pts[0][0], pts[1][0], pts[0][1], pts[1][1], float(t))
    np.testing.assert_allclose(p, ep, atol=1e-6)
    np.testing.assert_allclose(m, em, atol=1e-6)


def _scipy_hermite(p0, p1, m0, m1):
    if hasattr(scipy_interpolate, "CubicHermiteSpline"):
        return scipy_interpolate.CubicHermiteSpline(x=[0.0, 1.0], y=[p0, p1], dydx=[m0, m1])
    # SciPy before 1.3 (2.7 has 1.2)
    return scipy_interpolate.BPoly.from_derivatives(
        [0.0, 1.0], [[np.asarray(p0), np.asarray(m0)], [np.asarray(p1), np.asarray(m1)]])


def test_against_scipy_cubic_hermite(rng):
    for d in (1, 2, 3, 5):
        pts = _random_points(rng, 6, d)
        s = Swoopline(pts)
        for i in range(5):
            (p0, m0), (p1, m1) = pts[i], pts[i + 1]
            sp = _scipy_hermite(p0, p1, m0, m1)
            dsp = sp.derivative()
            for t in rng.uniform(0.0, 1.0, 8):
                p, m = s.evaluate_curve_segment(i, t)
                assert p.shape == (d,) and m.shape == (d,)
                np.testing.assert_allclose(p, sp(t), atol=1e-12)
                np.testing.assert_allclose(m, dsp(t), atol=1e-12)


def test_results_are_new_objects(sample):
    a = sample.evaluate_curve_segment(1, 0.5)
    b = sample.evaluate_curve_segment(1, 0.5)
    assert a is not b and a[0] is not b[0] and a[1] is not b[1]
    assert not np.shares_memory(a[0], b[0])
    assert not np.shares_memory(a[0], a[1])
    assert not any(np.shares_memory(a[0], cm) or np.shares_memory(a[1], cm)
                   for cm in sample.coeff_matrix)
    a[0][:] = 99.0
    np.testing.assert_array_equal(b[0], sample.evaluate_curve_segment(1, 0.5)[0])


def test_evaluate_reads_coeff_matrix_at_every_call(sample):
    cm = np.arange(12, dtype=float).reshape(3, 4)
    sample.coeff_matrix[1] = cm
    p, m = sample.evaluate_curve_segment(1, 2.0)
    np.testing.assert_allclose(p, cm.dot([8.0, 4.0, 2.0, 1.0]))
    np.testing.assert_allclose(m, cm.dot([12.0, 4.0, 1.0, 0.0]))
    cm[:] = 0.0
    np.testing.assert_array_equal(sample.evaluate_curve_segment(1, 2.0)[0], np.zeros(3))
    # A nested list works like the array, and an empty list gives None.
    sample.coeff_matrix = [[[1, 2, 3, 4], [0, 0, 0, 1]]]
    p, m = sample.evaluate_curve_segment(0, 2.0)
    np.testing.assert_allclose(p, [8 + 8 + 6 + 4, 1])
    np.testing.assert_allclose(m, [12 + 8 + 3, 0])
    sample.coeff_matrix = []
    assert sample.evaluate_curve_segment(0, 0.5) is None


def test_evaluate_works_on_any_object_with_coeff_matrix():
    # (2.7's unbound method checks self before the function runs)
    evaluate = vars(Swoopline)["evaluate_curve_segment"]
    duck = Namespace(coeff_matrix=[np.array([[1.0, 0, 0, 0], [0, 0, 1.0, 0]])])
    p, m = evaluate(duck, 0, 3.0)
    np.testing.assert_allclose(p, [27.0, 3.0])
    np.testing.assert_allclose(m, [27.0, 1.0])
    assert evaluate(Namespace(coeff_matrix=[]), 0, 0.5) is None


def test_missing_coeff_matrix_attribute(sample):
    del sample.coeff_matrix
    with pytest.raises(AttributeError):
        sample.evaluate_curve_segment(0, 0.5)


# ---------------------------------------------------------------------------
# Overrides are honoured
# ---------------------------------------------------------------------------

def test_subclass_add_point_is_called_by_constructor_and_set_data(rng):
    calls = []

    class Sub(Swoopline):
        def add_point(self, data_point):
            calls.append(data_point)
            super(Sub, self).add_point(data_point)

    pts = _random_points(rng, 3)
    s = Sub(pts)
    assert len(calls) == 3 and all(a is b for a, b in zip(calls, pts))
    assert len(s.coeff_matrix) == 2
    del calls[:]
    more = _random_points(rng, 4)
    s.set_data(more)
    assert len(calls) == 4 and all(a is b for a, b in zip(calls, more))
    assert len(s.coeff_matrix) == 3


def test_instance_attribute_add_point_is_called_by_set_data(rng):
    s = Swoopline()
    seen = []
    s.add_point = seen.append
    pts = _random_points(rng, 2)
    s.set_data(pts)
    assert seen == pts and all(a is b for a, b in zip(seen, pts))
    assert s.point_tangent_list == [] and s.coeff_matrix == []


def test_subclass_set_data_is_called_by_constructor(rng):
    calls = []

    class Sub(Swoopline):
        def set_data(self, point_tangent_list):
            calls.append(point_tangent_list)

    pts = _random_points(rng, 3)
    s = Sub(pts)
    assert len(calls) == 1 and calls[0] is pts
    assert s.point_tangent_list == [] and s.coeff_matrix == []
    Sub()
    assert len(calls) == 1  # None loads nothing


# ---------------------------------------------------------------------------
# References and memory
# ---------------------------------------------------------------------------

def test_reference_counts_are_exact(rng, no_gc):
    pts = _random_points(rng, 3)
    rcs = [sys.getrefcount(dp) for dp in pts]
    s = Swoopline(pts)
    assert [sys.getrefcount(dp) for dp in pts] == [r + 1 for r in rcs]
    t = 0.25
    before = [sys.getrefcount(o) for o in [s, t, s.coeff_matrix] + s.coeff_matrix]
    for _ in range(1000):
        s.evaluate_curve_segment(1, t)
        try:
            s.evaluate_curve_segment(7, t)
        except IndexError:
            pass
        try:
            s.add_point(([1, 2], [1, 2]))
        except (TypeError, ValueError):
            pass
        try:
            s.evaluate_curve_segment(1)
        except TypeError:
            pass
    after = [sys.getrefcount(o) for o in [s, t, s.coeff_matrix] + s.coeff_matrix]
    assert after == before
    del s
    assert [sys.getrefcount(dp) for dp in pts] == rcs


_PTS = make_sample_spline_points()
_S = Swoopline(_PTS)
_BAD = ([1, 2], [1, 2, 3])


def _grow_and_reset():
    s = Swoopline()
    s.add_point(_PTS[0])
    s.add_point(_PTS[1])


MEMORY_CASES = [
    ("evaluate", lambda: _S.evaluate_curve_segment(2, 0.3), 300000),
    ("evaluate keywords", lambda: _S.evaluate_curve_segment(segNo=-1, t=0.7), 200000),
    ("evaluate empty", lambda: Swoopline.evaluate_curve_segment(_EMPTY, 0, 0.5), 300000),
    ("construct empty", lambda: Swoopline(), 100000),
    ("construct with points", lambda: Swoopline(_PTS), 50000),
    ("add_point", _grow_and_reset, 100000),
    ("set_data", lambda: _S.set_data(_PTS), 100000),
    ("segment out of range", swallow(lambda: _S.evaluate_curve_segment(9, 0.5), IndexError), 300000),
    ("bad segment type", swallow(lambda: _S.evaluate_curve_segment(1.5, 0.5), TypeError), 200000),
    ("bad t", swallow(lambda: _S.evaluate_curve_segment(0, "x"), TypeError), 200000),
    ("wrong call", swallow(lambda: _S.evaluate_curve_segment(0), TypeError), 300000),
    ("bad keyword", swallow(lambda: _S.add_point(x=1), TypeError), 300000),
    ("malformed point", swallow(lambda: _S.add_point(_BAD), (TypeError, ValueError)), 200000),
    ("refused by the arithmetic", swallow(lambda: _S.add_point(([Decimal(1), 0, 0], [0, 0, 0])), TypeError),
     200000),
    ("atomic set_data", swallow(lambda: _S.set_data(_PTS + [_BAD]), (TypeError, ValueError)),
     50000),
]

_EMPTY = Swoopline()


@pytest.mark.skipif(SANITIZED, reason="memory growth is not meaningful under sanitizers")
@pytest.mark.parametrize("case, fn, n", MEMORY_CASES, ids=[c[0] for c in MEMORY_CASES])
def test_memory_stays_flat(case, fn, n):
    assert_memory_flat(fn, n)
    assert len(_S.point_tangent_list) == 6 and len(_S.coeff_matrix) == 5


# A dropped result's arrays may be reused by the next call; nothing that can
# still see an old result may ever see it change.
def _weak(p):
    return weakref.ref(p)


def _view(p):
    return p[:]


def _read_only(p):
    p.setflags(write=False)


def _reshaped(p):
    p.shape = (3, 1)


@pytest.mark.parametrize("touch", [_weak, _view, _read_only, _reshaped])
def test_old_results_never_change_under_the_caller(sample_spline_points, touch):
    s = Swoopline(sample_spline_points)
    p, m = s.evaluate_curve_segment(0, 0.0)
    start = np.array(sample_spline_points[0][0], float)
    kept = touch(p)
    del p, m
    q, n = s.evaluate_curve_segment(0, 1.0)
    if touch is _weak:
        assert kept() is None or kept() is not q
        if kept() is not None:
            np.testing.assert_array_equal(kept(), start)
    if touch is _view:
        np.testing.assert_array_equal(kept, start)
    assert q.shape == (3,) and n.shape == (3,) and q.flags.writeable and q.base is None
    np.testing.assert_allclose(q, sample_spline_points[1][0], atol=1e-12)
