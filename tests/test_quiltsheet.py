"""Tests of the Quiltsheet extension module: the bicubic surface through a 4x4
grid of control points, its evaluation and its grid sampling."""

from __future__ import division

import inspect
import json
import sys
import types

import numpy as np
import pytest

from conftest import (ORDERED_DICTS, PY2, SANITIZED, Namespace, assert_memory_flat,
                      assert_created_through_model_metaclass, forget_handled_exception, load_fresh, make_sample_surface_points,
                      run_module_as_main, run_python, sample_dz, sample_z, swallow,
                      unbound_wording)

import Quiltsheet as qs_mod
from Quiltsheet import Quiltsheet
import Stagehall

scipy_interpolate = pytest.importorskip("scipy.interpolate")

# ---------------------------------------------------------------------------
# Documented texts
# ---------------------------------------------------------------------------

MODULE_DOC = "\n".join([
    "",
    "Quiltsheet",
    "-" * 15,
    "This file implements the Quiltsheet class. Code needs to be added in ",
    "evaluate(st_param): returns a list of point and tangent values for a given ",
    " " * 20 + "parameter [s, t]",
    "",
    "",
])

CLASS_DOC = ("\n    Bicubic surface patch defined by 16 points. The 16 points on a 4x4 (s, t) "
             "\n    grid is provided during instantiation. \n    ")


def _method_doc(lines):
    return "\n" + "".join(" " * 8 + line + "\n" for line in lines) + " " * 8


INIT_DOC = _method_doc([
    "data_points is in row major order, namely the 16 rows of the array",
    "correspond to (s,t) values (0,0), (0,1),(0,2), (0,3), (1, 0), (1,1),...",
    "and so on.",
    "num_samples_rendering refers to the number of samples that would be used",
    "by the draw_scene() function when rendering the patch",
])

EVALUATE_DOC = _method_doc([
    "st_param = [s, t] where",
    "s in [0, 3] and t in [0, 3]",
    "For a given set of parameters return ",
    "[x(s,t), y(s,t), z(s,t), ",
    "dsx(s,t), dsy(s,t), dsz(s,t), ",
    "dtx(s,t), dty(s,t), dtz(s,t)]",
])

GET_SAMPLES_DOC = _method_doc([
    "Returns an array of values. samples is a tuple that has to be at least (2, 2)",
])

# The node-power matrix (row p holds u**(3-p) for u = 0..3) and its exact
# inverse, the cubic Lagrange basis coefficients, worked out by hand.
NODE_POWER = [[0, 1, 8, 27], [0, 1, 4, 9], [0, 1, 2, 3], [1, 1, 1, 1]]
B_EXACT = np.array([
    [-1 / 6, 1, -11 / 6, 1],
    [1 / 2, -5 / 2, 3, 0],
    [-1 / 2, 2, -3 / 2, 0],
    [1 / 6, -1 / 2, 1 / 3, 0],
])

ATOL = 1e-10
NAN, INF = float("nan"), float("inf")

# An equivalent class written with plain ``def`` statements: what a wrong
# call must report is exactly what the interpreter reports for these.
REFERENCE_SOURCE = '''
class Quiltsheet(Model):
    def __init__(self, data_points, num_samples_rendering=(34, 34)):
        pass

    def evaluate(self, st_param):
        return None

    def get_samples(self, samples=(7, 7)):
        return None
'''


def _reference_class():
    ns = {"Model": Stagehall.Model, "__name__": "Quiltsheet"}
    exec(REFERENCE_SOURCE, ns)
    return ns["Quiltsheet"]


def _grid(points, k):
    return np.asarray(points, dtype=float)[:, k].reshape(4, 4)


def _random_points(rng):
    return rng.uniform(-5.0, 5.0, size=(16, 3))


class _NumpyProxy(types.ModuleType):
    """Stands in for the global ``np``: everything not set on it is NumPy's."""

    def __getattr__(self, name):
        return getattr(np, name)


@pytest.fixture
def sheet(sample_points):
    return Quiltsheet(sample_points)


# ---------------------------------------------------------------------------
# Module frame and introspection
# ---------------------------------------------------------------------------

def test_module_and_class_texts_and_names():
    assert qs_mod.__doc__ == MODULE_DOC
    assert qs_mod.__name__ == "Quiltsheet"
    assert Quiltsheet.__doc__ == CLASS_DOC
    assert Quiltsheet.__module__ == "Quiltsheet"
    assert Quiltsheet.__qualname__ == "Quiltsheet"
    assert Quiltsheet.__name__ == "Quiltsheet"
    assert Quiltsheet.__bases__ == (Stagehall.Model,)
    assert type(Quiltsheet) is type(Stagehall.Model)
    assert qs_mod.__test__ == {}
    assert type(qs_mod.__test__) is dict


def test_module_globals():
    import OpenGL.GL
    import Sketchkit

    def public(mod):
        names = getattr(mod, "__all__", None)
        if names is None:
            names = [n for n in vars(mod) if not n.startswith("_")]
        return names

    expected = {"np": np, "Model": Stagehall.Model}
    # Star imports in this order: OpenGL.GL, then Sketchkit (which wins).
    for mod in (OpenGL.GL, Sketchkit):
        for name in public(mod):
            expected[name] = getattr(mod, name)
    expected.pop("Quiltsheet", None)
    expected.pop("main", None)
    d = vars(qs_mod)
    wrong = [n for n, v in expected.items() if d.get(n, object()) is not v]
    assert wrong == []
    assert d["Quiltsheet"] is Quiltsheet


@pytest.mark.parametrize("name, qualname, doc, defaults", [
    ("__init__", "Quiltsheet.__init__", INIT_DOC, ((34, 34),)),
    ("evaluate", "Quiltsheet.evaluate", EVALUATE_DOC, None),
    ("get_samples", "Quiltsheet.get_samples", GET_SAMPLES_DOC, ((7, 7),)),
])
def test_method_attributes(name, qualname, doc, defaults, sheet):
    f = Quiltsheet.__dict__[name]
    assert f.__name__ == name
    assert f.__qualname__ == qualname
    assert f.__doc__ == doc
    assert f.__module__ == "Quiltsheet"
    assert f.__defaults__ == defaults
    if defaults is not None:
        assert all(type(v) is tuple and all(type(x) is int for x in v)
                   for v in f.__defaults__)
    bound = getattr(sheet, name)
    assert bound.__self__ is sheet
    assert bound.__func__ is f
    assert bound.__doc__ == doc
    assert bound.__name__ == name


def test_method_order_in_class_dict():
    names = [n for n in Quiltsheet.__dict__
             if n in ("__init__", "evaluate", "get_samples",
                      "set_color_from_XYZ", "draw_scene")]
    first = ["__init__", "evaluate", "get_samples"]
    assert names[:3] == first if ORDERED_DICTS else set(first) <= set(names)


def test_default_tuples_are_shared(sample_points):
    a = Quiltsheet(sample_points)
    b = Quiltsheet(sample_points)
    assert a.num_samples_rendering == (34, 34)
    assert a.num_samples_rendering is Quiltsheet.__init__.__defaults__[0]
    assert b.num_samples_rendering is a.num_samples_rendering


def test_descriptor_protocol(sheet):
    f = Quiltsheet.__dict__["evaluate"]
    Ref = _reference_class()
    g = Ref.__dict__["evaluate"]
    # A def gives itself on 3 and an unbound method on 2.7; so must the method.
    assert (Quiltsheet.evaluate is f) == (Ref.evaluate is g)
    assert (f.__get__(None, Quiltsheet) is f) == (g.__get__(None, Ref) is g)
    unbound = f.__get__(None, Quiltsheet)
    assert getattr(unbound, "__func__", f) is f and getattr(unbound, "__self__", None) is None
    bound = f.__get__(sheet, Quiltsheet)
    assert bound.__self__ is sheet and bound.__func__ is f
    assert bound == sheet.evaluate
    np.testing.assert_allclose(bound([1.5, 1.5]), sheet.evaluate([1.5, 1.5]))
    # Calling through the class with an explicit self works like a function.
    np.testing.assert_allclose(Quiltsheet.evaluate(sheet, [1.5, 1.5]),
                               sheet.evaluate([1.5, 1.5]))


def test_methods_work_on_any_object_with_the_attributes(sheet):
    # Like a Python function, the method does not check the type of self
    # (2.7's unbound method does, before the function runs).
    duck = Namespace(MatX=sheet.MatX, MatY=sheet.MatY, MatZ=sheet.MatZ)
    np.testing.assert_allclose(vars(Quiltsheet)["evaluate"](duck, [1.5, 1.5]),
                               sheet.evaluate([1.5, 1.5]), atol=ATOL)
    duck.evaluate = lambda st: [st[0], st[1], 0, 0, 0, 0, 0, 0, 7]
    res = vars(Quiltsheet)["get_samples"](duck, (2, 3))
    np.testing.assert_array_equal(res[0], [[0, 0, 0], [3, 3, 3]])
    np.testing.assert_array_equal(res[1], [[0, 1.5, 3], [0, 1.5, 3]])
    np.testing.assert_array_equal(res[8], np.full((2, 3), 7.0))


def test_keyword_calls(sample_points):
    q = Quiltsheet(data_points=sample_points, num_samples_rendering=(5, 6))
    assert q.data_points is sample_points
    assert q.num_samples_rendering == (5, 6)
    q2 = Quiltsheet(sample_points, num_samples_rendering=(8, 8))
    assert q2.num_samples_rendering == (8, 8)
    np.testing.assert_allclose(q.evaluate(st_param=[1.5, 1.5]),
                               q.evaluate([1.5, 1.5]))
    a = q.get_samples(samples=(3, 4))
    b = q.get_samples((3, 4))
    assert a[0].shape == (3, 4)
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)


_P = make_sample_surface_points()

WRONG_CALLS = [
    ("no args", lambda C, o: C()),
    ("too many", lambda C, o: C(_P, (2, 2), 3)),
    ("unexpected kw", lambda C, o: C(_P, bogus=1)),
    ("unexpected kw first", lambda C, o: C(bogus=1)),
    ("multiple values", lambda C, o: C(_P, data_points=_P)),
    ("missing positional with kw", lambda C, o: C(num_samples_rendering=(2, 2))),
    ("init via class no args", lambda C, o: C.__init__()),
    ("init via class only self", lambda C, o: C.__init__(o)),
    ("init via instance multiple self", lambda C, o: C.__init__(o, _P, self=o)),
    ("evaluate none", lambda C, o: o.evaluate()),
    ("evaluate two", lambda C, o: o.evaluate([1, 1], [1, 1])),
    ("evaluate bad kw", lambda C, o: o.evaluate(st=[1, 1])),
    ("evaluate dup", lambda C, o: o.evaluate([1, 1], st_param=[1, 1])),
    ("evaluate self kw", lambda C, o: o.evaluate(self=o, st_param=[1, 1])),
    ("evaluate unbound none", lambda C, o: C.evaluate()),
    ("evaluate unbound self only", lambda C, o: C.evaluate(o)),
    ("evaluate unbound too many", lambda C, o: C.evaluate(o, [1, 1], 2, 3)),
    ("get_samples two", lambda C, o: o.get_samples((2, 2), (2, 2))),
    ("get_samples bad kw", lambda C, o: o.get_samples(sample=(2, 2))),
    ("get_samples two bad kws", lambda C, o: o.get_samples(**{"samples": (2, 2), "x": 1, "y": 2})),
    ("get_samples unbound", lambda C, o: C.get_samples()),
    ("non-string keyword", lambda C, o: o.evaluate(**{1: 2})),
]


@pytest.mark.parametrize("case, call", WRONG_CALLS, ids=[c[0] for c in WRONG_CALLS])
def test_wrong_calls_match_interpreter_wording(case, call, sample_points):
    Ref = _reference_class()
    ref_obj = Ref(sample_points)
    obj = Quiltsheet(sample_points)
    with pytest.raises(TypeError) as expected:
        call(Ref, ref_obj)
    with pytest.raises(TypeError) as actual:
        call(Quiltsheet, obj)
    assert str(actual.value) == unbound_wording(str(expected.value))
    assert type(actual.value) is type(expected.value)


@pytest.mark.skipif(PY2, reason="inspect.signature is Python 3")
@pytest.mark.parametrize("name", ["__init__", "evaluate", "get_samples"])
def test_signature(name):
    Ref = _reference_class()
    try:
        sig = inspect.signature(getattr(Quiltsheet, name))
    except (ValueError, TypeError):
        pytest.skip("no signature available for the native function")
    assert str(sig) == str(inspect.signature(getattr(Ref, name)))


def test_class_creation_goes_through_the_metaclass_of_model():
    assert_created_through_model_metaclass(
        "Quiltsheet", "cls(np.zeros((16, 3)))",
        ["__module__", "__qualname__", "__doc__", "__init__", "evaluate", "get_samples"], CLASS_DOC)


def test_constructor_calls_model_init_through_the_global(monkeypatch, sample_points):
    calls = []
    # A plain function as __init__: 2.7's unbound method would want a FakeModel.
    fake = Namespace(__init__=lambda *args, **kw: calls.append((args, kw)))
    monkeypatch.setattr(qs_mod, "Model", fake)
    q = Quiltsheet(sample_points)
    assert len(calls) == 1
    assert len(calls[0][0]) == 1 and calls[0][0][0] is q and calls[0][1] == {}


def test_error_in_model_init_propagates_before_attributes(monkeypatch, sample_points):
    class Boom(Exception):
        pass

    def fail(self):
        raise Boom()

    monkeypatch.setattr(qs_mod, "Model", Namespace(__init__=fail))
    q = Quiltsheet.__new__(Quiltsheet)
    with pytest.raises(Boom):
        q.__init__(sample_points)
    for attr in ("data_points", "num_samples_rendering", "B", "MatX"):
        assert not hasattr(q, attr)


def test_B_comes_from_the_global_np_linalg_inv(monkeypatch, sample_points):
    calls = []
    results = []

    def inv(a):
        calls.append(a)
        r = np.linalg.inv(a)
        results.append(r)
        return r

    fake_np = _NumpyProxy("numpy")
    fake_np.linalg = Namespace(inv=inv)
    monkeypatch.setattr(qs_mod, "np", fake_np)
    q = Quiltsheet(sample_points)
    assert len(calls) == 1
    arg = calls[0]
    assert type(arg) is list and all(type(r) is list for r in arg)
    assert arg == NODE_POWER
    assert all(type(x) is int for r in arg for x in r)
    assert q.B is results[0]


def test_builtin_range_is_not_replaced_by_a_global(monkeypatch, sheet):
    monkeypatch.setattr(qs_mod, "range", lambda *a: iter(()), raising=False)
    X = sheet.get_samples((3, 3))[0]
    np.testing.assert_allclose(X, [[0, 0, 0], [1.5, 1.5, 1.5], [3, 3, 3]], atol=ATOL)


# ---------------------------------------------------------------------------
# Constructor and attributes
# ---------------------------------------------------------------------------

def test_attributes(sample_points):
    nsr = (9, 9)
    q = Quiltsheet(sample_points, nsr)
    assert q.data_points is sample_points
    assert q.num_samples_rendering is nsr
    for name in ("B", "MatX", "MatY", "MatZ"):
        m = getattr(q, name)
        assert type(m) is np.ndarray
        assert m.dtype == np.float64 and m.shape == (4, 4)
    np.testing.assert_array_equal(q.B, np.linalg.inv(NODE_POWER))
    np.testing.assert_allclose(q.B, B_EXACT, atol=1e-12)
    np.testing.assert_allclose(q.B.dot(NODE_POWER), np.eye(4), atol=1e-12)


def test_model_init_ran(sample_points):
    q = Quiltsheet(sample_points)
    ref = Stagehall.Model()
    for k, v in vars(ref).items():
        assert hasattr(q, k)


def test_worked_coefficient_matrices(sheet):
    mx = np.zeros((4, 4)); mx[2][3] = 1
    my = np.zeros((4, 4)); my[3][2] = 1
    mz = np.zeros((4, 4)); mz[3] = [-5 / 2, 21 / 2, -10, 0]
    np.testing.assert_allclose(sheet.MatX, mx, atol=1e-12)
    np.testing.assert_allclose(sheet.MatY, my, atol=1e-12)
    np.testing.assert_allclose(sheet.MatZ, mz, atol=1e-12)


def test_coefficient_matrices_random(rng):
    pts = _random_points(rng)
    q = Quiltsheet(pts)
    for k, name in enumerate(("MatX", "MatY", "MatZ")):
        np.testing.assert_allclose(getattr(q, name), B_EXACT.T.dot(_grid(pts, k)).dot(B_EXACT),
                                   atol=1e-10)


@pytest.mark.parametrize("value", [0.0, 2.5, -7.0])
def test_constant_coordinate(value, rng):
    pts = _random_points(rng)
    pts[:, 1] = value
    q = Quiltsheet(pts)
    expected = np.zeros((4, 4))
    expected[3][3] = value
    np.testing.assert_allclose(q.MatY, expected, atol=1e-10)


def test_integer_points_and_extra_columns(sample_points):
    ints = sample_points.astype(np.int64)
    q = Quiltsheet(ints)
    assert q.data_points is ints
    for name in ("MatX", "MatY", "MatZ"):
        assert getattr(q, name).dtype == np.float64
    np.testing.assert_allclose(q.evaluate([1.5, 1.5]),
                               [1.5, 1.5, 0.1875, 1, 0, 0, 0, 1, 4.625], atol=ATOL)
    wide = np.hstack([sample_points, np.full((16, 2), 99.0)])
    q = Quiltsheet(wide)
    np.testing.assert_allclose(q.evaluate([1.5, 1.5]),
                               [1.5, 1.5, 0.1875, 1, 0, 0, 0, 1, 4.625], atol=ATOL)


def test_surface_is_fixed_at_construction(sample_points):
    q = Quiltsheet(sample_points)
    before = q.evaluate([1.0, 2.0])
    sample_points[:] = 0.0
    q.data_points = np.ones((16, 3))
    np.testing.assert_array_equal(q.evaluate([1.0, 2.0]), before)


def _numpy_error(fn):
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the error itself is the oracle
        return e
    raise AssertionError("expected an error")


def test_fifteen_rows_raises_numpys_reshape_error():
    bad = np.zeros((15, 3))
    expected = _numpy_error(lambda: np.reshape(bad[:, 0], (4, 4)))
    q = Quiltsheet.__new__(Quiltsheet)
    with pytest.raises(type(expected)) as info:
        q.__init__(bad)
    assert str(info.value) == str(expected)
    assert q.data_points is bad
    assert q.num_samples_rendering == (34, 34)
    np.testing.assert_allclose(q.B, B_EXACT, atol=1e-12)
    assert not hasattr(q, "MatX")


def test_two_columns_fail_at_z_after_x_and_y():
    bad = make_sample_surface_points()[:, :2].copy()
    expected = _numpy_error(lambda: bad[:, 2])
    q = Quiltsheet.__new__(Quiltsheet)
    with pytest.raises(type(expected)) as info:
        q.__init__(bad)
    assert str(info.value) == str(expected)
    assert hasattr(q, "MatX") and hasattr(q, "MatY") and not hasattr(q, "MatZ")


@pytest.mark.parametrize("bad", [
    np.zeros(48),                         # one-dimensional array
    make_sample_surface_points().tolist(),  # a list cannot take [:, 0]
    None,
    5,
], ids=["1-d array", "nested list", "None", "int"])
def test_data_points_that_cannot_be_column_indexed(bad):
    expected = _numpy_error(lambda: bad[:, 0])
    with pytest.raises(type(expected)) as info:
        Quiltsheet(bad)
    assert str(info.value) == str(expected)


# ---------------------------------------------------------------------------
# evaluate
# ---------------------------------------------------------------------------

def _sample_expected(s, t):
    return [s, t, sample_z(t), 1.0, 0.0, 0.0, 0.0, 1.0, sample_dz(t)]


@pytest.mark.parametrize("st, expected", [
    ([1.5, 1.5], [1.5, 1.5, 0.1875, 1, 0, 0, 0, 1, 4.625]),
    ([0, 0], [0, 0, 0, 1, 0, 0, 0, 1, -10]),
    ([3, 3], _sample_expected(3, 3)),
    ([3.0, 3.0], _sample_expected(3, 3)),
    ([0.25, 2.75], _sample_expected(0.25, 2.75)),
])
def test_evaluate_worked_values(sheet, st, expected):
    res = sheet.evaluate(st)
    assert type(res) is list and len(res) == 9
    assert all(type(v) is np.float64 for v in res)
    np.testing.assert_allclose(res, expected, atol=ATOL)


def test_evaluate_3_3_height(sheet):
    assert sheet.evaluate([3, 3])[:3] == pytest.approx([3, 3, -3], abs=ATOL)


def test_evaluate_returns_new_list(sheet):
    a = sheet.evaluate([1, 1])
    b = sheet.evaluate([1, 1])
    assert a is not b
    assert a == b


@pytest.mark.parametrize("st", [
    [0.5, 2.0],
    (0.5, 2.0),
    np.array([0.5, 2.0]),
    np.array([0.5, 2.0], dtype=np.float32),
    [np.float64(0.5), np.int64(2)],
    [0.5, 2.0, 99.0],
    [0.5, 2, "ignored"],
    {0: 0.5, 1: 2.0},
], ids=["list", "tuple", "array", "float32", "numpy scalars", "extra item",
        "extra non-number", "dict"])
def test_evaluate_input_forms(sheet, st):
    np.testing.assert_allclose(sheet.evaluate(st), _sample_expected(0.5, 2.0), atol=ATOL)


def test_corners_and_nodes_equal_control_points(rng):
    pts = _random_points(rng)
    q = Quiltsheet(pts)
    for i in range(4):
        for j in range(4):
            np.testing.assert_allclose(q.evaluate([i, j])[:3], pts[4 * i + j], atol=1e-9)


def test_evaluate_against_scipy_bicubic(rng):
    RBS = scipy_interpolate.RectBivariateSpline
    nodes = [0.0, 1.0, 2.0, 3.0]
    for _ in range(5):
        pts = _random_points(rng)
        q = Quiltsheet(pts)
        splines = [RBS(x=nodes, y=nodes, z=_grid(pts, k), kx=3, ky=3, s=0) for k in range(3)]
        for s, t in rng.uniform(0.0, 3.0, size=(20, 2)):
            res = q.evaluate([s, t])
            for k, sp in enumerate(splines):
                assert res[k] == pytest.approx(sp(s, t)[0, 0], abs=1e-9)
                assert res[3 + k] == pytest.approx(sp(s, t, dx=1)[0, 0], abs=1e-9)
                assert res[6 + k] == pytest.approx(sp(s, t, dy=1)[0, 0], abs=1e-9)


def test_plane_surface_has_flat_z(rng):
    pts = _random_points(rng)
    pts[:, 2] = 1.25
    q = Quiltsheet(pts)
    for s, t in rng.uniform(0.0, 3.0, size=(10, 2)):
        res = q.evaluate([s, t])
        assert res[2] == pytest.approx(1.25, abs=1e-10)
        assert res[5] == pytest.approx(0.0, abs=1e-10)
        assert res[8] == pytest.approx(0.0, abs=1e-10)


def test_evaluate_reads_matrices_at_every_call(sample_points):
    q = Quiltsheet(sample_points)
    q.MatX = np.zeros((4, 4))
    res = q.evaluate([1.5, 1.5])
    assert res[0] == 0.0 and res[3] == 0.0 and res[6] == 0.0
    assert res[1] == pytest.approx(1.5)
    m = np.zeros((4, 4))
    m[3][3] = 42.0
    q.MatY = m
    assert q.evaluate([2.0, 1.0])[1] == pytest.approx(42.0)
    # Mutating the array in place is seen as well.
    m[3][3] = -1.0
    assert q.evaluate([2.0, 1.0])[1] == pytest.approx(-1.0)


def _strided(m):
    big = np.zeros((4, 8))
    big[:, ::2] = m
    view = big[:, ::2]
    assert not view.flags.c_contiguous
    return view


@pytest.mark.parametrize("make", [
    lambda m: m.astype(np.int64),
    lambda m: m.tolist(),
    lambda m: np.asfortranarray(m),
    lambda m: _strided(m),
], ids=["int array", "nested list", "fortran order", "strided"])
def test_evaluate_with_other_matrix_objects(make, rng):
    q = Quiltsheet(_random_points(rng))
    m = np.round(rng.uniform(-3, 3, size=(4, 4)))
    q.MatZ = make(m)
    s, t = 1.25, 2.5
    S = np.array([s ** 3, s ** 2, s, 1.0])
    T = np.array([t ** 3, t ** 2, t, 1.0])
    dS = np.array([3 * s * s, 2 * s, 1.0, 0.0])
    dT = np.array([3 * t * t, 2 * t, 1.0, 0.0])
    res = q.evaluate([s, t])
    assert res[2] == pytest.approx(S.dot(m).dot(T))
    assert res[5] == pytest.approx(dS.dot(m).dot(T))
    assert res[8] == pytest.approx(S.dot(m).dot(dT))


def test_missing_matrix_raises_attribute_error(sheet):
    del sheet.MatY
    with pytest.raises(AttributeError):
        sheet.evaluate([1.0, 1.0])


@pytest.mark.parametrize("st", [
    [3.0000001, 0], [0, 3.0000001], [0, -0.001], [-1e-300, 1], [1, 3.5], [7, 7],
    [NAN, 1.0], [1.0, NAN], [INF, 1.0], [1.0, -INF],
])
def test_evaluate_out_of_range_asserts(sheet, st):
    with pytest.raises(AssertionError) as info:
        sheet.evaluate(st)
    assert info.value.args == ()
    assert type(info.value) is AssertionError


def _range_check(st_param):
    s, t = st_param[0], st_param[1]
    assert 0.0 <= s and s <= 3.0 and 0.0 <= t and t <= 3.0


# The error is what Python's own indexing and comparisons raise: 3 refuses
# to order a str or None against a float, 2.7 orders them (then the range
# check fails).
@pytest.mark.parametrize("st, exc", [
    ([1.0], IndexError),
    ([], IndexError),
    ((), IndexError),
    (np.array([1.0]), IndexError),
    (1.0, TypeError),
    (None, TypeError),
    (["a", 1.0], AssertionError if PY2 else TypeError),
    ([1.0, "b"], AssertionError if PY2 else TypeError),
    ([None, 1.0], AssertionError if PY2 else TypeError),
    ([1.0 + 2j, 1.0], TypeError),
])
def test_evaluate_bad_input(sheet, st, exc):
    before = [m.copy() for m in (sheet.MatX, sheet.MatY, sheet.MatZ)]
    with pytest.raises(exc):
        _range_check(st)
    with pytest.raises(exc):
        sheet.evaluate(st)
    for a, b in zip(before, (sheet.MatX, sheet.MatY, sheet.MatZ)):
        np.testing.assert_array_equal(a, b)


def test_evaluate_bad_input_same_error_as_python(sheet):
    # The error raised for a too-short parameter is the indexing error itself.
    for st in ([1.0], (), np.array([1.0])):
        expected = _numpy_error(lambda: st[1] if len(st) else st[0])
        with pytest.raises(type(expected)) as info:
            sheet.evaluate(st)
        assert str(info.value) == str(expected)


# ---------------------------------------------------------------------------
# get_samples
# ---------------------------------------------------------------------------

def test_get_samples_default(sheet):
    res = sheet.get_samples()
    assert type(res) is tuple and len(res) == 9
    for a in res:
        assert type(a) is np.ndarray and a.dtype == np.float64 and a.shape == (7, 7)
    X, Y, Z, DsX, DsY, DsZ, DtX, DtY, DtZ = res
    i, j = np.meshgrid(np.arange(7), np.arange(7), indexing="ij")
    np.testing.assert_allclose(X, 0.5 * i, atol=ATOL)
    np.testing.assert_allclose(Y, 0.5 * j, atol=ATOL)
    np.testing.assert_allclose(DsX, 1.0, atol=ATOL)
    np.testing.assert_allclose(DtY, 1.0, atol=ATOL)
    np.testing.assert_allclose(DsZ, 0.0, atol=ATOL)
    np.testing.assert_allclose(DsY, 0.0, atol=ATOL)
    np.testing.assert_allclose(DtX, 0.0, atol=ATOL)
    np.testing.assert_allclose(Z, sample_z(0.5 * j), atol=ATOL)
    np.testing.assert_allclose(DtZ, sample_dz(0.5 * j), atol=ATOL)
    # Z depends on j only.
    np.testing.assert_allclose(Z, np.broadcast_to(Z[0], Z.shape), atol=ATOL)


def test_get_samples_arrays_are_new_and_distinct(sheet):
    a = sheet.get_samples((3, 3))
    b = sheet.get_samples((3, 3))
    assert a is not b
    for x in a:
        assert x.flags.owndata and x.flags.writeable and x.flags.c_contiguous
        for y in b:
            assert x is not y and not np.shares_memory(x, y)
    for k in range(9):
        for m in range(k + 1, 9):
            assert not np.shares_memory(a[k], a[m])


def test_get_samples_corners(rng):
    pts = _random_points(rng)
    q = Quiltsheet(pts)
    res = q.get_samples((2, 2))
    for (i, j), idx in {(0, 0): 0, (0, 1): 3, (1, 0): 12, (1, 1): 15}.items():
        got = [res[k][i][j] for k in range(3)]
        np.testing.assert_allclose(got, pts[idx], atol=1e-9)


def test_get_samples_3_by_5(sheet):
    res = sheet.get_samples((3, 5))
    svals = [0.0, 1.5, 3.0]
    tvals = [0.0, 0.75, 1.5, 2.25, 3.0]
    for a in res:
        assert a.shape == (3, 5)
    for i, s in enumerate(svals):
        for j, t in enumerate(tvals):
            got = [a[i][j] for a in res]
            np.testing.assert_allclose(got, _sample_expected(s, t), atol=ATOL)


@pytest.mark.parametrize("samples", [(4, 4), [4, 4], np.array([4, 4]), (2, 9), [5, 3]],
                         ids=["tuple", "list", "array", "2x9", "list 5x3"])
def test_get_samples_equals_evaluate_on_the_grid(samples, rng):
    pts = _random_points(rng)
    q = Quiltsheet(pts)
    res = q.get_samples(samples)
    m, n = int(samples[0]), int(samples[1])
    for a in res:
        assert a.shape == (m, n)
    for i in range(m):
        for j in range(n):
            s = 3.0 * i / (m - 1.0)
            t = 3.0 * j / (n - 1.0)
            expected = q.evaluate([s, t])
            np.testing.assert_allclose([a[i][j] for a in res], expected,
                                       rtol=1e-13, atol=1e-13)


def test_get_samples_against_scipy(rng):
    RBS = scipy_interpolate.RectBivariateSpline
    nodes = [0.0, 1.0, 2.0, 3.0]
    pts = _random_points(rng)
    q = Quiltsheet(pts)
    res = q.get_samples((6, 11))
    s = np.linspace(0.0, 3.0, 6)
    t = np.linspace(0.0, 3.0, 11)
    for k in range(3):
        sp = RBS(x=nodes, y=nodes, z=_grid(pts, k), kx=3, ky=3, s=0)
        np.testing.assert_allclose(res[k], sp(s, t), atol=1e-9)
        np.testing.assert_allclose(res[3 + k], sp(s, t, dx=1), atol=1e-9)
        np.testing.assert_allclose(res[6 + k], sp(s, t, dy=1), atol=1e-9)


@pytest.mark.parametrize("samples", [(1, 7), (7, 1), (0, 0), (-3, 4), (2, 1)])
def test_get_samples_too_small_asserts(sheet, samples):
    with pytest.raises(AssertionError) as info:
        sheet.get_samples(samples)
    assert info.value.args == ()


def test_get_samples_assertion_before_arrays(sheet, monkeypatch):
    calls = []
    fake_np = _NumpyProxy("numpy")
    fake_np.zeros = lambda *a, **k: calls.append(a) or np.zeros(*a, **k)
    monkeypatch.setattr(qs_mod, "np", fake_np)
    with pytest.raises(AssertionError):
        sheet.get_samples((1, 7))
    assert calls == []


@pytest.mark.parametrize("samples, exc", [
    ((3,), IndexError),
    (5, TypeError),
    (None, TypeError),
    (("a", 3), TypeError),
])
def test_get_samples_bad_input(sheet, samples, exc):
    with pytest.raises(exc):
        sheet.get_samples(samples)


# ---------------------------------------------------------------------------
# Overrides are honoured
# ---------------------------------------------------------------------------

def _fake_values(s, t):
    return [s, t, s * t, s + t, s - t, 2 * s, 2 * t, 10 + s, 20 + t]


def test_subclass_evaluate_called_per_grid_point_in_row_major_order(sample_points):
    calls = []

    class Sub(Quiltsheet):
        def evaluate(self, st_param):
            calls.append(st_param)
            return _fake_values(st_param[0], st_param[1])

    q = Sub(sample_points)
    m, n = 3, 4
    res = q.get_samples((m, n))
    expected_calls = [[3.0 * i / (m - 1.0), 3.0 * j / (n - 1.0)]
                      for i in range(m) for j in range(n)]
    assert calls == expected_calls
    assert all(type(c) is list and len(c) == 2 for c in calls)
    assert all(type(v) is float for c in calls for v in c)
    assert len({id(c) for c in calls}) == len(calls)  # a new list per call
    for i in range(m):
        for j in range(n):
            s, t = expected_calls[i * n + j]
            assert [a[i][j] for a in res] == _fake_values(s, t)


def test_instance_attribute_evaluate_is_used(sample_points):
    q = Quiltsheet(sample_points)
    calls = []
    q.evaluate = lambda st: calls.append(list(st)) or tuple(range(9))
    res = q.get_samples((2, 2))
    assert calls == [[0.0, 0.0], [0.0, 3.0], [3.0, 0.0], [3.0, 3.0]]
    for k in range(9):
        np.testing.assert_array_equal(res[k], np.full((2, 2), float(k)))


def test_override_returning_array_and_super_call(sample_points):
    class Sub(Quiltsheet):
        def evaluate(self, st_param):
            return np.asarray(super(Sub, self).evaluate(st_param)) * 2

    q = Sub(sample_points)
    base = Quiltsheet(sample_points).get_samples((3, 3))
    res = q.get_samples((3, 3))
    for a, b in zip(res, base):
        np.testing.assert_allclose(a, 2 * b, atol=ATOL)


def test_override_errors_propagate_unchanged(sample_points):
    err = KeyError("from override")

    class Sub(Quiltsheet):
        n = 0

        def evaluate(self, st_param):
            Sub.n += 1
            if Sub.n == 5:
                raise err
            return [0.0] * 9

    with pytest.raises(KeyError) as info:
        Sub(sample_points).get_samples((3, 3))
    assert info.value is err
    assert Sub.n == 5

    class Short(Quiltsheet):
        def evaluate(self, st_param):
            return [0.0] * 8

    with pytest.raises(IndexError):
        Short(sample_points).get_samples((2, 2))


def test_override_non_numeric_result_raises(sample_points):
    class Sub(Quiltsheet):
        def evaluate(self, st_param):
            return ["x"] * 9

    with pytest.raises((TypeError, ValueError)):
        Sub(sample_points).get_samples((2, 2))


def test_subclass_of_subclass_and_class_level_rebinding(sample_points):
    class A(Quiltsheet):
        pass

    class B(A):
        pass

    q = B(sample_points)
    A.evaluate = lambda self, st: [7.0] * 9
    try:
        res = q.get_samples((2, 2))
        np.testing.assert_array_equal(res[4], np.full((2, 2), 7.0))
    finally:
        del A.evaluate
    res = q.get_samples((2, 2))
    np.testing.assert_allclose(res[0], [[0, 0], [3, 3]], atol=ATOL)


# ---------------------------------------------------------------------------
# Assertions and the optimisation flag, in a child interpreter
# ---------------------------------------------------------------------------

OPT_SCRIPT = r'''
import json, math, sys
import numpy as np
from Quiltsheet import Quiltsheet

pts = np.zeros((16, 3))
for i in range(4):
    for j in range(4):
        pts[4 * i + j] = (i, j, (0, -2, 2, -3)[j])
q = Quiltsheet(pts)
out = {"optimize": sys.flags.optimize}

def attempt(key, fn):
    try:
        out[key] = ["ok", fn()]
    except Exception as e:
        out[key] = ["error", type(e).__name__, list(map(str, e.args))]

attempt("extrapolate", lambda: [float(v) for v in q.evaluate([4.0, -1.0])])
attempt("nan", lambda: [repr(float(v)) for v in q.evaluate([float("nan"), 1.0])][:3])
attempt("s1", lambda: [a.shape for a in q.get_samples((1, 7))])
attempt("t1", lambda: [a.shape for a in q.get_samples((7, 1))])
attempt("zero", lambda: [list(a.shape) for a in q.get_samples((0, 7))])
attempt("tzero", lambda: [list(a.shape) for a in q.get_samples((7, 0))])
attempt("negative", lambda: [a.shape for a in q.get_samples((-1, 3))])
print(json.dumps(out))
'''


def _run_opt(*flags):
    proc = run_python(OPT_SCRIPT, *flags)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_optimised_interpreter_skips_range_checks():
    out = _run_opt("-O")
    assert out["optimize"] == 1
    assert out["extrapolate"][0] == "ok"
    np.testing.assert_allclose(out["extrapolate"][1],
                               [4.0, -1.0, 23.0, 1.0, 0.0, 0.0, 0.0, 1.0, -38.5], atol=1e-9)
    # NaN times zero is NaN, so every coordinate of the point is NaN.
    assert out["nan"] == ["ok", ["nan", "nan", "nan"]]
    assert out["s1"][:2] == ["error", "ZeroDivisionError"]
    assert out["t1"][:2] == ["error", "ZeroDivisionError"]
    assert out["zero"] == ["ok", [[0, 7]] * 9]
    assert out["tzero"] == ["ok", [[7, 0]] * 9]
    assert out["negative"][:2] == ["error", "ValueError"]


def test_plain_interpreter_keeps_range_checks():
    out = _run_opt()
    assert out["optimize"] == 0
    for key in ("extrapolate", "nan", "s1", "t1", "zero", "tzero", "negative"):
        assert out[key] == ["error", "AssertionError", []], key


# ---------------------------------------------------------------------------
# Running the module as the main program
# ---------------------------------------------------------------------------

# 2.7 looks for the init function of "__main__" in the file, not initQuiltsheet.
@pytest.mark.skipif(PY2, reason="2.7 cannot load an extension module as __main__")
def test_running_as_main_calls_main():
    if not hasattr(qs_mod, "main"):
        pytest.skip("main() is not part of this module yet")
    out = run_module_as_main("Quiltsheet")
    assert out["__main__"] == ["main called", None]
    assert out["Quiltsheet"] == ["returned", {}]


def test_module_can_be_executed_into_a_fresh_module_object():
    mod = load_fresh(qs_mod)
    assert mod is not qs_mod
    assert mod.__doc__ == MODULE_DOC
    assert mod.__test__ == {} and mod.__test__ is not qs_mod.__test__
    q = mod.Quiltsheet(make_sample_surface_points())
    np.testing.assert_allclose(q.evaluate([1.5, 1.5]),
                               [1.5, 1.5, 0.1875, 1, 0, 0, 0, 1, 4.625], atol=ATOL)


# ---------------------------------------------------------------------------
# References and memory
# ---------------------------------------------------------------------------

def test_reference_counts_are_exact(sample_points, no_gc):
    st = [1.5, 1.5]
    samples = (3, 3)
    q = Quiltsheet(sample_points)
    mats = [q.MatX, q.MatY, q.MatZ]
    before = [sys.getrefcount(o) for o in [st, samples, q] + mats]
    for _ in range(1000):
        q.evaluate(st)
        q.get_samples(samples)
        try:
            q.evaluate([5.0, 1.0])
        except AssertionError:
            pass
        try:
            q.evaluate(st, st)
        except TypeError:
            pass
    after = [sys.getrefcount(o) for o in [st, samples, q] + mats]
    assert after == before

    default = Quiltsheet.__init__.__defaults__[0]
    rc_pts, rc_def = sys.getrefcount(sample_points), sys.getrefcount(default)
    objs = [Quiltsheet(sample_points) for _ in range(100)]
    assert sys.getrefcount(sample_points) == rc_pts + 100
    assert sys.getrefcount(default) == rc_def + 100
    del objs
    assert sys.getrefcount(sample_points) == rc_pts
    assert sys.getrefcount(default) == rc_def

    bad = np.zeros((15, 3))
    rc_bad = sys.getrefcount(bad)
    for _ in range(100):
        try:
            Quiltsheet(bad)
        except ValueError:
            pass
    forget_handled_exception()
    assert sys.getrefcount(bad) == rc_bad


_Q = Quiltsheet(make_sample_surface_points())


class _Sub(Quiltsheet):
    def evaluate(self, st_param):
        return [0.0] * 9


_SUB = _Sub(make_sample_surface_points())

MEMORY_CASES = [
    ("evaluate", lambda: _Q.evaluate([1.5, 2.5]), 300000),
    ("evaluate keyword", lambda: _Q.evaluate(st_param=(1.5, 2.5)), 200000),
    ("unbound evaluate", lambda: Quiltsheet.evaluate(_Q, [1.5, 2.5]), 200000),
    ("get_samples 2x2", lambda: _Q.get_samples((2, 2)), 200000),
    ("get_samples default", lambda: _Q.get_samples(), 30000),
    ("get_samples override", lambda: _SUB.get_samples((2, 2)), 100000),
    ("construct", lambda: Quiltsheet(_Q.data_points), 100000),
    ("construct keyword", lambda: Quiltsheet(data_points=_Q.data_points,
                                             num_samples_rendering=(3, 3)), 100000),
    ("out of range", swallow(lambda: _Q.evaluate([4.0, 1.0]), AssertionError), 300000),
    ("nan", swallow(lambda: _Q.evaluate([NAN, 1.0]), AssertionError), 200000),
    ("short param", swallow(lambda: _Q.evaluate([1.0]), IndexError), 200000),
    ("unordered", swallow(lambda: _Q.evaluate([1j, 1.0]), TypeError), 200000),
    ("too many args", swallow(lambda: _Q.evaluate([1, 1], 2), TypeError), 300000),
    ("bad keyword", swallow(lambda: _Q.get_samples(bogus=1), TypeError), 300000),
    ("missing args", swallow(lambda: Quiltsheet(), TypeError), 300000),
    ("small grid", swallow(lambda: _Q.get_samples((1, 3)), AssertionError), 200000),
    ("bad points", swallow(lambda: Quiltsheet(np.zeros((15, 3))), ValueError), 50000),
]


@pytest.mark.skipif(SANITIZED, reason="memory growth is not meaningful under sanitizers")
@pytest.mark.parametrize("case, fn, n", MEMORY_CASES, ids=[c[0] for c in MEMORY_CASES])
def test_memory_stays_flat(case, fn, n):
    assert_memory_flat(fn, n)


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' allocator keeps its own reserves")
@pytest.mark.parametrize("shape", [(2, 2000000), (2000000, 2), (1400, 1400)])
def test_sampling_needs_little_more_than_its_result(shape):
    # the peak above the result is a small constant whatever the grid's shape
    proc = run_python("""
        import resource, numpy as np, Quiltsheet
        pts = np.array([(i, j, (0.0, -2.0, 2.0, -3.0)[j]) for i in range(4) for j in range(4)])
        q = Quiltsheet.Quiltsheet(pts)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = q.get_samples(%r)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(peak * 1024 - sum(a.nbytes for a in result))
    """ % (shape,))
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 16 << 20
