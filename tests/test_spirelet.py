"""Tests of the Spirelet drawing: lighting set-up, the Koch tetrahedron
recursion and the scene, on recorded GL calls and on a real Mesa context."""

from __future__ import division

import math

import numpy as np
import pytest
from OpenGL import GL

import Spirelet as sp_mod
from Spirelet import Spirelet

from conftest import Countdown, run_python
from gl_context import (SP_NAMES, Recorder, assert_balanced, feedback_triangles, near,
                        snapshot, typed)

INIT_NAMES = ("glClearColor", "glClearDepth", "glDisable", "glEnable", "glLightModelf",
              "glLightf", "glDepthFunc", "glShadeModel", "glMaterialfv")
R = math.sqrt(3) / 2


@pytest.fixture
def rec(monkeypatch):
    return Recorder(monkeypatch, sp_mod, SP_NAMES + INIT_NAMES)


def initgl_calls():
    L0, FB = GL.GL_LIGHT0, GL.GL_FRONT_AND_BACK
    ones = [1.0, 1.0, 1.0, 1.0]
    return [
        ("glClearColor", (1.0, 1.0, 1.0, 1.0)),
        ("glClearDepth", (1,)),
        ("glDisable", (GL.GL_CULL_FACE,)),
        ("glEnable", (GL.GL_LIGHTING,)),
        ("glEnable", (GL.GL_NORMALIZE,)),
        ("glLightModelf", (GL.GL_LIGHT_MODEL_LOCAL_VIEWER, GL.GL_TRUE)),
        ("glLightfv", (L0, GL.GL_POSITION, [0.4, 0.5, 1.0, 1.0])),
        ("glLightfv", (L0, GL.GL_AMBIENT, ones)),
        ("glLightfv", (L0, GL.GL_DIFFUSE, ones)),
        ("glLightfv", (L0, GL.GL_SPECULAR, ones)),
        ("glLightfv", (L0, GL.GL_SPOT_DIRECTION, [0, 0, 1])),
        ("glLightf", (L0, GL.GL_CONSTANT_ATTENUATION, 1)),
        ("glLightf", (L0, GL.GL_LINEAR_ATTENUATION, 0.0)),
        ("glLightf", (L0, GL.GL_QUADRATIC_ATTENUATION, 0.05)),
        ("glEnable", (L0,)),
        ("glEnable", (GL.GL_DEPTH_TEST,)),
        ("glDepthFunc", (GL.GL_LESS,)),
        ("glShadeModel", (GL.GL_SMOOTH,)),
        ("glMaterialfv", (FB, GL.GL_DIFFUSE, [0.0, 0.9, 0.9, 1.0])),
        ("glMaterialfv", (FB, GL.GL_SPECULAR, [0.9, 0.0, 0.0, 1.0])),
        ("glMaterialfv", (FB, GL.GL_AMBIENT, [0.1, 0.1, 0.1, 1.0])),
        ("glMaterialfv", (FB, GL.GL_SHININESS, [128, 128.0, 128, 1])),
    ]


def test_init_calls_model_init_then_the_22_lighting_calls(rec, monkeypatch):
    class FakeModel(object):
        @staticmethod  # 2.7's unbound method would want a FakeModel
        def init(self):
            rec.calls.append(("Model.init", (self,)))

    monkeypatch.setattr(sp_mod, "Model", FakeModel)
    scene = Spirelet()
    assert scene.init() is None
    assert rec.calls[0] == ("Model.init", (scene,))
    first = rec.calls[1:]
    assert typed(first) == typed(initgl_calls())
    sp_mod.initGL()
    second = rec.calls[1 + len(first):]
    assert typed(second) == typed(initgl_calls())
    lists = [a for _, args in first + second for a in args if isinstance(a, list)]
    assert len({id(a) for a in lists}) == len(lists) == 18  # a new list for every call


@pytest.mark.parametrize("level", [0, 0.0])
def test_level_zero_is_one_unit_triangle(rec, level):
    Spirelet().drawSpirelet(level)
    assert typed(rec.calls) == typed([
        ("glBegin", (GL.GL_TRIANGLES,)), ("glNormal3f", (0, 0, 1)), ("glVertex", (0, 0, 0)),
        ("glVertex", (1.0, 0, 0)), ("glVertex", (0.5, 0.8660254037844386, 0)), ("glEnd", ())])


# pushes(L) = 1 scale + 5 placements + 6 pushes(L-1) + 3 (placement + 1 shift
# + 3 (face + pushes(L-1))) = 21 + 15 pushes(L-1)
@pytest.mark.parametrize("level, triangles, pushes", [
    (1, 15, 21), (2, 225, 336), (3, 3375, 5061), (3.0, 3375, 5061)])
def test_recursion_counts(rec, level, triangles, pushes):
    Spirelet().drawSpirelet(level)
    names = rec.names()
    assert names.count("glBegin") == names.count("glEnd") == names.count("glNormal3f") == triangles
    assert names.count("glVertex") == 3 * triangles
    assert names.count("glPushMatrix") == names.count("glPopMatrix") == pushes
    # four matrices per level on the deepest path, plus the open glBegin
    assert assert_balanced(rec.calls) == 4 * int(level) + 1
    if level == 1:
        assert typed(rec.args("glScale")) == typed([(1 / 3, 1 / 3, 1 / 3)])
        assert rec.args("glScale")[0] == (0.3333333333333333,) * 3


def test_draw_scene_order(rec):
    class Sub(Spirelet):
        def drawSpirelet(self, level):
            rec.calls.append(("drawSpirelet", (level,)))

    scene = Sub()
    scene.pQuadric = quadric = object()
    assert scene.draw_scene() is None
    assert typed(rec.calls) == typed([
        ("glLightfv", (GL.GL_LIGHT0, GL.GL_POSITION, [-0.2, -0.1, 1.0, 1.0])),
        ("glPushMatrix", ()), ("glTranslate", (0, 0, 0.5)),
        ("glScalef", (0.0625, 0.0625, 0.0625)), ("gluSphere", (quadric, 0.5, 20, 20)),
        ("glPopMatrix", ()),
        ("glPushMatrix", ()), ("glTranslate", (-0.5, -0.4330127018922193, 0)),
        ("drawSpirelet", (3,)), ("glPopMatrix", ())])


@pytest.mark.parametrize("method, call, seen, triangles", [
    ("basicTriangle", ("drawSpirelet", 1), [()] * 15, 15),
    ("drawSpirelet", ("drawTetrahedronWithoutBase", 2), [(1,)] * 3, 0),
    ("drawTetrahedronWithoutBase", ("drawSpirelet", 1), [(1,)] * 3, 6),
])
def test_overrides_are_called(rec, method, call, seen, triangles):
    got = []
    Sub = type("Sub", (Spirelet,), {method: lambda self, *args: got.append(args)})
    getattr(Sub(), call[0])(call[1])
    assert got == seen
    assert rec.names().count("glBegin") == triangles
    assert_balanced(rec.calls)


@pytest.mark.parametrize("call, level, exc", [
    ("drawSpirelet", -1, ValueError), ("drawSpirelet", 1.5, ValueError),
    ("drawSpirelet", float("nan"), ValueError), ("drawSpirelet", float("inf"), ValueError),
    ("drawSpirelet", 2.0 ** 53, ValueError), ("drawSpirelet", 1e300, ValueError),
    ("drawTetrahedronWithoutBase", 0, ValueError),
    ("drawTetrahedronWithoutBase", 0.5, ValueError),
])
def test_invalid_levels_refused_before_any_gl_call(rec, call, level, exc):
    with pytest.raises(exc, match="level"):
        getattr(Spirelet(), call)(level)
    assert rec.calls == []


class EndingFloat(float):
    def __eq__(self, other):
        return float(self) < 0.5

    def __sub__(self, k):
        return EndingFloat(float(self) - k)


@pytest.mark.parametrize("level", [Countdown(1), 1 + 0j, np.array([1]), EndingFloat(1.0), True, np.int64(1)])
def test_levels_of_other_types_run_the_recursion(rec, level):
    Spirelet().drawSpirelet(1)
    expected = rec.names()
    del rec.calls[:]
    Spirelet().drawSpirelet(level)
    assert rec.names() == expected and len(expected) == 174


@pytest.mark.parametrize("level", ["1", None])
def test_levels_without_subtraction_fail_there_closed_again(rec, level):
    with pytest.raises(TypeError, match="unsupported operand"):
        Spirelet().drawSpirelet(level)
    assert rec.names() == ["glPushMatrix", "glScale", "glPopMatrix"]


def test_runaway_recursion_ends_in_recursion_error_not_a_crash():
    proc = run_python("""
        import sys, Spirelet
        for name in %r:
            setattr(Spirelet, name, lambda *args: None)
        sys.setrecursionlimit(1000000)
        try:
            Spirelet.Spirelet().drawSpirelet(200000)
        except getattr(__builtins__, "RecursionError", RuntimeError) as e:  # 2.7: RuntimeError
            print("RecursionError" if "maximum recursion depth" in str(e) else e)
    """ % (SP_NAMES,))
    assert proc.returncode == 0 and proc.stdout.strip() == "RecursionError", proc.stderr


def test_operands_in_source_order(rec, monkeypatch):
    monkeypatch.setattr(sp_mod, "sqrt", lambda x: rec.calls.append(("sqrt", (x,))) or math.sqrt(x))
    Spirelet().drawSpirelet(1)
    names = rec.names()
    # the fourth upright sub-triangle: push, then sqrt, then the translation
    i = [k for k, n in enumerate(names) if n == "glTranslate"][2]
    assert names[i - 2:i + 1] == ["glPushMatrix", "sqrt", "glTranslate"]
    for missing, first, call in [(("GL_POSITION", "GL_LIGHT0"), "GL_LIGHT0", "draw_scene"),
                                 (("GL_TRUE", "GL_LIGHT_MODEL_LOCAL_VIEWER"), "GL_LIGHT_MODEL_LOCAL_VIEWER",
                                  "initGL")]:
        with monkeypatch.context() as m:
            for name in missing:
                m.delattr(sp_mod, name)
            with pytest.raises(NameError, match=first):
                getattr(Spirelet(), call)() if call == "draw_scene" else sp_mod.initGL()


# ---------------------------------------------------------------------------
# Real OpenGL
# ---------------------------------------------------------------------------

def tetra_faces(base, side):
    """The three upper faces of the regular tetrahedron on ``base``."""
    base = np.array([[x, y, 0.0] for x, y in base])
    apex = base.mean(axis=0) + [0, 0, side * math.sqrt(6) / 3]
    return [[base[i], base[(i + 1) % 3], apex] for i in range(3)]


def level_one_expected():
    t = 1 / 3
    upright = [[(x, y, 0), (x + 1, y, 0), (x + 0.5, y + R, 0)]
               for x, y in [(0, 0), (1, 0), (2, 0), (0.5, R), (1.5, R), (1, 2 * R)]]
    inverted = [[(1, 0), (1.5, R), (0.5, R)], [(2, 0), (2.5, R), (1.5, R)],
                [(1.5, R), (2, 2 * R), (1, 2 * R)]]
    faces = [f for b in inverted for f in tetra_faces(np.multiply(b, t), t)]
    return np.multiply(upright, t).tolist() + faces


def assert_same_triangles(actual, expected, tol=1e-4):
    """Same triangles as vertex sets; each drawn face turns its
    counter-clockwise side away from the solid it bounds (+z for flat ones)."""
    expected = np.array(expected, float)
    assert actual.shape == expected.shape
    # distance between two triangles as sets of vertices
    d = np.abs(actual[:, None, :, None, :] - expected[None, :, None, :, :]).max(-1)
    dist = np.maximum(d.min(3).max(2), d.min(2).max(2))
    match = dist.argmin(axis=1)
    assert dist.min(axis=1).max() < tol and len(set(match)) == len(expected), dist.min(axis=1)
    for tri in actual:
        normal = np.cross(tri[1] - tri[0], tri[2] - tri[0])
        top = tri[:, 2].argmax()
        if tri[top, 2] < tol:
            assert normal[2] > 0
        else:  # the solid's centre is a quarter of the way up below the apex
            inside = tri[top] * [1, 1, 0.25]
            assert np.dot(normal, tri.mean(0) - inside) > 0


@pytest.mark.parametrize("call, expected", [
    ("drawSpirelet", level_one_expected()),
    ("drawTetrahedronWithoutBase", tetra_faces([(0, 0), (0.5, R), (-0.5, R)], 1.0)),
])
def test_level_one_geometry_through_real_gl(gl_window, call, expected):
    gl_window()
    tris = feedback_triangles(lambda: getattr(Spirelet(), call)(1))
    assert_same_triangles(tris, expected)
    if call == "drawTetrahedronWithoutBase":
        apex = (0, math.sqrt(3) / 3, math.sqrt(6) / 3)
        assert np.allclose(tris.max(axis=1)[:, 2], apex[2], atol=1e-4)
        assert all(np.isclose(t, apex, atol=1e-4).all(1).any() for t in tris)
    else:
        apexes = {tuple(np.round(v, 4)) for v in tris.reshape(-1, 3) if v[2] > 1e-4}
        assert np.allclose([z for _, _, z in apexes], math.sqrt(6) / 9, atol=1e-4)
        assert len(apexes) == 3


def test_snapshot_white_background_cyan_fractal_red_highlights(x_display, tmp_path):
    image = snapshot("Spirelet", tmp_path)["Spirelet.png"]
    assert image.shape == (512, 512, 3)
    r, g, b = image[..., 0], image[..., 1], image[..., 2]
    white = near(image, (255, 255, 255), 3)
    assert white[[0, 0, -1, -1], [0, -1, 0, -1]].all() and white.mean() > 0.3
    cyan = (g > r + 60) & (b > r + 60) & (np.abs(g - b) <= 10)
    assert cyan.mean() > 0.1
    # the diffuse colour has no red: red above the ambient level is specular
    assert ((r >= 100) & ~white & (g > 100)).sum() >= 20
