"""Tests of the drawing of the surface (Quiltsheet) and the spline (Swoopline):
recorded GL call traces and the pictures of their viewers; and, for them and
the pyramid (Spirelet), exception safety on recorders and on a real Mesa
context."""

from __future__ import division

import warnings

import numpy as np
import pytest
from OpenGL import GL

import Quiltsheet as qs_mod
import Spirelet as sp_mod
import Swoopline as sw_mod
from Quiltsheet import Quiltsheet
from Spirelet import Spirelet
from Swoopline import Swoopline

from conftest import (SANITIZED, assert_memory_flat, make_sample_spline_points, make_sample_surface_points,
                      sample_z)
from gl_context import (QS_NAMES, SP_NAMES, SW_NAMES, Boom, Recorder, assert_balanced,
                        gl_state, near, pixel_centres, project, snapshot)

ALL = GL.GL_ALL_ATTRIB_BITS


def axes(scale):
    return [("glPushMatrix", ()), ("glScalef", (scale,) * 3),
            ("draw3DCoordinateAxesQuadrics", ()), ("glPopMatrix", ())]


def draws_axes(args):
    """Only the default and the object True itself (not 1) draw the axes."""
    return not args or args[0] is True


def assert_trace(actual, expected):
    assert [n for n, _ in actual] == [n for n, _ in expected]
    for (name, got), (_, want) in zip(actual, expected):
        np.testing.assert_allclose(np.array(got, float), np.array(want, float),
                                   rtol=0, atol=1e-9, err_msg=name)


# ---------------------------------------------------------------------------
# Surface
# ---------------------------------------------------------------------------

def normalised_grid(m, n, flat_x=False):
    """Normalised coordinates of the sample surface (x = s, y = t,
    z = sample_z(t)) on an m x n grid over [0, 3]^2."""
    a, b = np.meshgrid(np.arange(m) / (m - 1), np.arange(n) / (n - 1), indexing="ij")
    z = sample_z(3.0 * b)
    zn = (z - z.min()) / (z.max() - z.min())
    return (np.full((m, n), 0.5) if flat_x else a), b, zn


def mesh_trace(X, Y, Z):
    m, n = X.shape
    calls = [("glPushMatrix", ()), ("glPushAttrib", (ALL,)), ("glDisable", (GL.GL_CULL_FACE,)),
             ("glTranslatef", (-0.5, -0.5, -0.5))]
    # the loop's counters run over the counts the other way round; on a
    # grid of unequal sides the cells they miss stand in for those outside
    for c in range(m - 1):
        for r in range(n - 1):
            i, j = (r, c) if r + 1 < m and c + 1 < n else (c, r)
            calls.append(("glBegin", (GL.GL_TRIANGLES,)))
            for a, b in ((i, j), (i + 1, j), (i + 1, j + 1), (i, j), (i + 1, j + 1), (i, j + 1)):
                v = (X[a, b], Y[a, b], Z[a, b])
                calls += [("glColor3f", v), ("glVertex3f", v)]
            calls.append(("glEnd", ()))
    return calls + [("glPopAttrib", ()), ("glPopMatrix", ())]


@pytest.mark.parametrize("args, grid, flat_x", [
    ((), (3, 3), False), ((True,), (3, 3), False), ((False,), (3, 3), False),
    ((1,), (3, 3), False), ((False,), (3, 5), False), ((True,), (5, 3), False),
    ((False,), (4, 4), True),
])
def test_surface_trace(monkeypatch, args, grid, flat_x):
    rec = Recorder(monkeypatch, qs_mod, QS_NAMES)
    points = make_sample_surface_points()
    if flat_x:
        points[:, 0] = 2.0  # the surface lies in the plane x = 2
    with warnings.catch_warnings(), np.errstate(all="raise"):
        warnings.simplefilter("error")
        Quiltsheet(points, grid).draw_scene(*args)
    expected = mesh_trace(*normalised_grid(grid[0], grid[1], flat_x))
    assert_trace(rec.calls, (axes(0.25) if draws_axes(args) else []) + expected)


def test_surface_returns_the_samples_and_colours_through_self(monkeypatch):
    rec = Recorder(monkeypatch, qs_mod, QS_NAMES)
    asked, colours = [], []

    class Sub(Quiltsheet):
        def get_samples(self, samples):
            asked.append(samples)
            self.result = Quiltsheet.get_samples(self, samples)
            return self.result

        def set_color_from_XYZ(self, x, y, z):
            colours.append((x, y, z))

    sheet = Sub(make_sample_surface_points(), (3, 3))
    result = sheet.draw_scene(False)
    assert result is sheet.result and asked == [(3, 3)]
    np.testing.assert_allclose(result[0], 1.5 * np.arange(3)[:, None] * np.ones(3))  # not normalised
    assert "glColor3f" not in rec.names()
    assert colours == rec.args("glVertex3f")
    vertices = [v for n, v in mesh_trace(*normalised_grid(3, 3)) if n == "glVertex3f"]
    np.testing.assert_allclose(colours, vertices, atol=1e-12)


@pytest.mark.parametrize("offset, scale", [(1e13, 1.0), (1e6, 1e-7), (0.0, 1e-300)])
def test_narrow_ranges_beyond_rounding_noise_are_normalised(monkeypatch, offset, scale):
    rec = Recorder(monkeypatch, qs_mod, QS_NAMES)
    points = make_sample_surface_points()
    points[:, 0] = offset + scale * points[:, 0]  # x = offset + scale * s
    Quiltsheet(points, (4, 4)).draw_scene(False)
    x = np.array(rec.args("glVertex3f"))[:, 0]
    expected = np.array([v for n, v in mesh_trace(*normalised_grid(4, 4)) if n == "glVertex3f"])[:, 0]
    np.testing.assert_allclose(x, expected, atol=0.05)


def test_a_nan_sample_fails_the_colour_check(gl_window, monkeypatch):
    points = make_sample_surface_points()
    points[5, 2] = np.nan
    gl_window()
    before = gl_state()
    with pytest.raises(AssertionError):  # on the real context: the native kernel
        Quiltsheet(points, (4, 4)).draw_scene(False)
    assert gl_state() == before
    rec = Recorder(monkeypatch, qs_mod, QS_NAMES)
    with pytest.raises(AssertionError):
        Quiltsheet(points, (4, 4)).draw_scene(False)
    assert rec.names()[-4:] == ["glBegin", "glEnd", "glPopAttrib", "glPopMatrix"]


# ---------------------------------------------------------------------------
# Spline
# ---------------------------------------------------------------------------

def hermite(p0, m0, p1, m1, t):
    p0, m0, p1, m1 = (np.asarray(v, float) for v in (p0, m0, p1, m1))
    return ((2 * t ** 3 - 3 * t ** 2 + 1) * p0 + (t ** 3 - 2 * t ** 2 + t) * m0
            + (-2 * t ** 3 + 3 * t ** 2) * p1 + (t ** 3 - t ** 2) * m1)


def spline_trace(points, with_axes, samples=101):
    calls = axes(0.2) if with_axes else []
    calls += [("glPushAttrib", (ALL,)), ("glColor3f", (0.8, 0.8, 0.8)),
              ("glBegin", (GL.GL_LINE_STRIP,))]
    for (p0, m0), (p1, m1) in zip(points, points[1:]):
        calls += [("glVertex3f", tuple(hermite(p0, m0, p1, m1, t)))
                  for t in np.linspace(0, 1, samples)]
    calls += [("glEnd", ()), ("glPopAttrib", ()), ("glPushAttrib", (ALL,)),
              ("glColor3f", (1.0, 0.2, 0.2))]
    for p, m in points:
        p, m = np.asarray(p, float), np.asarray(m, float)
        if np.linalg.norm(m) > 0:  # a zero tangent gets no line
            calls += [("glBegin", (GL.GL_LINES,)), ("glVertex3f", tuple(p)),
                      ("glVertex3f", tuple(p + 0.5 * m / np.linalg.norm(m))), ("glEnd", ())]
    return calls + [("glPopAttrib", ())]


TWO = [([1, 2, 3], [0, 3, 4]), ([-1, 0, 2], [2, 0, 0])]
ZERO_TANGENT = [([0, 0, 0], [1, 0, 0]), ([1, 1, 0], [0, 0, 0]), ([2, 0, 1], [0, 0, 3])]


@pytest.mark.parametrize("points, args", [
    (TWO, ()), (TWO, (1,)), (make_sample_spline_points(), (True,)),
    (make_sample_spline_points(), (False,)), (ZERO_TANGENT, ()),
])
def test_spline_trace(monkeypatch, points, args):
    rec = Recorder(monkeypatch, sw_mod, SW_NAMES)
    with warnings.catch_warnings(), np.errstate(all="raise"):
        warnings.simplefilter("error")
        assert Swoopline(points).draw_scene(*args) is None
    assert_trace(rec.calls, spline_trace(points, draws_axes(args)))


@pytest.mark.parametrize("size", [1e200, 1e-170, 3.0])
def test_every_nonzero_tangent_gets_a_line_of_length_half(monkeypatch, size):
    rec = Recorder(monkeypatch, sw_mod, SW_NAMES)
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        Swoopline([([0, 0, 0], [size, 0, 0]), ([0, 0, 0], [0, -size, 0])], 2).draw_scene(False)
    ends = np.array(rec.args("glVertex3f")[-4:])
    np.testing.assert_allclose([ends[1] - ends[0], ends[3] - ends[2]], [(0.5, 0, 0), (0, -0.5, 0)], atol=1e-12)


@pytest.mark.parametrize("points", [None, [([0, 0, 0], [1, 0, 0])]])
def test_spline_with_fewer_than_two_points_draws_nothing(monkeypatch, points):
    rec = Recorder(monkeypatch, sw_mod, SW_NAMES)
    assert Swoopline(points).draw_scene(True) is None
    assert rec.calls == []


# ---------------------------------------------------------------------------
# Exception safety on recorders
# ---------------------------------------------------------------------------

class Failing(object):
    """Mixin: the overridden method records itself, may raise, then delegates."""

    def _through(self, name, base, *args):
        self.rec.calls.append((name, args))
        self.rec.tick(name)
        return getattr(base, name)(self, *args)


class FailingSheet(Failing, Quiltsheet):
    def set_color_from_XYZ(self, x, y, z):
        return self._through("set_color_from_XYZ", Quiltsheet, x, y, z)


class FailingSpline(Failing, Swoopline):
    def evaluate_curve_segment(self, segNo, t):
        return self._through("evaluate_curve_segment", Swoopline, segNo, t)


class FailingPyramid(Failing, Spirelet):
    def basicTriangle(self):
        return self._through("basicTriangle", Spirelet)


SCENES = {
    "sheet": (qs_mod, QS_NAMES, lambda: FailingSheet(make_sample_surface_points(), (4, 4))),
    "spline": (sw_mod, SW_NAMES, lambda: FailingSpline(make_sample_spline_points())),
    "pyramid": (sp_mod, SP_NAMES, FailingPyramid),
}
CLOSE_ALL = ["glEnd", "glPopAttrib", "glPopMatrix"]


# The pyramid's tails follow the recursion order: the 3rd triangle is the
# placed 3rd upright one of the first level-1 face (5 matrices open); the 40th
# is the first face of the 2nd tetrahedron of the 3rd upright level-1 face of
# the first level-2 face (8 matrices); the 4th rotation belongs to the 2nd face
# of the first tetrahedron (7 matrices).
@pytest.mark.parametrize("kind, fail, n, tail", [
    ("sheet", "set_color_from_XYZ", 8, CLOSE_ALL),
    ("sheet", "glVertex3f", 3, CLOSE_ALL),
    ("sheet", "draw3DCoordinateAxesQuadrics", 1, ["glPopMatrix"]),
    ("spline", "evaluate_curve_segment", 150, ["glEnd", "glPopAttrib"]),
    ("spline", "evaluate_curve_segment", 5 * 101 + 2, ["glPopAttrib"]),
    ("spline", "glVertex3f", 5 * 101 + 2, ["glEnd", "glPopAttrib"]),
    ("spline", "draw3DCoordinateAxesQuadrics", 1, ["glPopMatrix"]),
    ("pyramid", "glVertex", 7, ["glEnd"] + ["glPopMatrix"] * 5),
    ("pyramid", "basicTriangle", 40, ["glEnd"] + ["glPopMatrix"] * 8),
    ("pyramid", "glRotate", 4, ["glPopMatrix"] * 7),
    ("pyramid", "gluSphere", 1, ["glPopMatrix"]),
])
def test_exception_midway_closes_what_was_opened(monkeypatch, kind, fail, n, tail):
    module, names, make = SCENES[kind]
    rec = Recorder(monkeypatch, module, names)
    scene = make()
    scene.rec, scene.pQuadric = rec, None
    rec.fail_at(fail, n)
    with pytest.raises(Boom) as info:
        scene.draw_scene()
    assert info.value is rec.error
    last = max(i for i, (name, _) in enumerate(rec.calls) if name == fail)
    assert rec.names()[last + 1:] == tail
    assert_balanced(rec.calls)


# ---------------------------------------------------------------------------
# Real OpenGL
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("kind, fail, n", [
    ("sheet", None, 0), ("sheet", "set_color_from_XYZ", 40),
    ("spline", None, 0), ("spline", "evaluate_curve_segment", 150),
    ("pyramid", None, 0), ("pyramid", "basicTriangle", 100),
])
def test_real_context_stacks_and_error_flag_unchanged(gl_window, monkeypatch, kind, fail, n):
    gl_window()
    module, _, make = SCENES[kind]
    scene = make()
    scene.rec = Recorder(monkeypatch, module, ())  # counts the override's calls only
    if kind == "pyramid":
        scene.init()  # lighting and the quadric, on the real context
    before = gl_state()
    assert before[2] == GL.GL_NO_ERROR
    if fail:
        scene.rec.fail_at(fail, n)
        with pytest.raises(Boom):
            scene.draw_scene()
    else:
        scene.draw_scene()
    assert gl_state() == before


def test_surface_picture_colours_match_positions(x_display, tmp_path):
    image = snapshot("Quiltsheet", tmp_path)["Quiltsheet.png"]
    assert image.shape == (512, 512, 3)
    background = image[0, 0]
    rows, cols = np.nonzero(np.any(image != background, axis=-1))
    assert len(rows) > 0.1 * 512 * 512
    assert len(np.unique(image[rows, cols], axis=0)) > 5000
    # Each vertex is coloured with its normalised position and the mesh is
    # centred on the origin, so a pixel's colour names the point it shows.
    where = project(image[rows, cols] / 255.0 - 0.5, (2, 2, 2), (0, 0, 0), (0, 1, 0), 30, 512)
    miss = np.hypot(*(where - pixel_centres(rows, cols, 512)).T)
    assert np.mean(miss < 2.0) > 0.98


def test_spline_picture_grey_curve_red_tangents_and_axes(x_display, tmp_path):
    from scipy.spatial import cKDTree
    image = snapshot("Swoopline", tmp_path)["Swoopline.png"]
    assert image.shape == (512, 512, 3)
    data = make_sample_spline_points()
    ts = np.linspace(0, 1, 2000)
    curve = np.concatenate([[hermite(p0, m0, p1, m1, t) for t in ts]
                            for (p0, m0), (p1, m1) in zip(data, data[1:])])
    lines = np.concatenate([[np.add(p, s * 0.5 * np.divide(m, np.linalg.norm(m))) for s in ts]
                            for p, m in data])
    cam = ((0, 0, 4), (0, 0, 0), (0, 1, 0), 30, 512)
    for colour, shape, least in (((204, 204, 204), curve, 300), ((255, 51, 51), lines, 100)):
        rows, cols = np.nonzero(near(image, colour))
        assert len(rows) >= least, colour
        d = cKDTree(project(shape, *cam)).query(pixel_centres(rows, cols, 512))[0]
        assert np.mean(d < 1.5) > 0.97, colour
    r, g, b = image[..., 0], image[..., 1], image[..., 2]
    assert ((g > r + 100) & (g > b + 100)).sum() >= 5  # y axis
    assert ((b > r + 100) & (b > g + 100)).sum() >= 3  # z axis, seen end on



# Drawing, on its normal and its error paths, keeps no reference: repeated
# draws with GL calls that do nothing leave the memory where it was.
def _no_gl(monkeypatch, module, names):
    for name in names:
        monkeypatch.setattr(module, name, lambda *args: None)


class _BadColours(Quiltsheet):
    def set_color_from_XYZ(self, x, y, z):
        raise Boom("colour")


class _BadSpline(Swoopline):
    def evaluate_curve_segment(self, segNo, t):
        raise Boom("segment")


class _BadTriangle(Spirelet):
    def basicTriangle(self):
        raise Boom("triangle")


@pytest.mark.skipif(SANITIZED, reason="sanitizer allocators do not give flat memory figures")
@pytest.mark.parametrize("kind, n", [("good", 10000), ("bad", 20000)])
def test_repeated_draws_keep_memory_flat(monkeypatch, kind, n):
    for module, names in ((qs_mod, QS_NAMES), (sw_mod, SW_NAMES), (sp_mod, SP_NAMES)):
        _no_gl(monkeypatch, module, names)
    surface = (Quiltsheet if kind == "good" else _BadColours)(make_sample_surface_points(), (4, 4))
    spline = (Swoopline if kind == "good" else _BadSpline)(make_sample_spline_points(), 5)
    pyramid = Spirelet() if kind == "good" else _BadTriangle()

    def draw_all():
        for draw in (surface.draw_scene, spline.draw_scene, lambda: pyramid.drawSpirelet(1)):
            try:
                draw()
            except Boom:
                assert kind == "bad"
    assert_memory_flat(draw_all, n)


def test_gl_errors_of_direct_calls_are_raised_as_pyopengl_raises_them(gl_window):
    """The matrix calls of the recursion go straight to C while they are
    PyOpenGL's own; a GL error must still come out as PyOpenGL's GLError,
    with everything pushed before it popped again."""
    from OpenGL import error
    gl_window()
    pyramid = Spirelet()
    limit = int(GL.glGetIntegerv(GL.GL_MAX_MODELVIEW_STACK_DEPTH))
    depth = int(GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH))
    for _ in range(limit - depth - 2):   # room for two more matrices only
        GL.glPushMatrix()
    try:
        before = gl_state()
        with pytest.raises(error.GLError) as native:
            pyramid.drawSpirelet(1)      # needs four
        assert native.value.err == GL.GL_STACK_OVERFLOW
        assert gl_state() == before
        GL.glPushMatrix()
        GL.glPushMatrix()
        with pytest.raises(error.GLError) as own:
            GL.glPushMatrix()
        assert type(own.value) is type(native.value) and own.value.err == native.value.err
        GL.glPopMatrix()
        GL.glPopMatrix()
    finally:
        while int(GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH)) > depth:
            GL.glPopMatrix()


def test_begin_and_end_keep_pyopengls_error_checking_as_its_own_wrappers_do(gl_window, monkeypatch):
    """glBegin/glEnd may go straight to C as well; PyOpenGL must still skip
    glGetError in between and report, at glEnd, an error made by glBegin."""
    from OpenGL import error
    from OpenGL.raw.GL import _errors
    gl_window()
    monkeypatch.setattr(sp_mod, "GL_TRIANGLES", 0x7777)   # not a primitive
    raised = []
    for wrap in (False, True):
        if wrap:  # the ordinary Python path, for comparison
            real_begin, real_end = GL.glBegin, GL.glEnd
            monkeypatch.setattr(sp_mod, "glBegin", lambda mode: real_begin(mode))
            monkeypatch.setattr(sp_mod, "glEnd", lambda: real_end())
        with pytest.raises(error.GLError) as info:
            Spirelet().drawSpirelet(0)
        raised.append(info.value.err)
        checker = _errors._error_checker
        assert checker._currentChecker is checker._registeredChecker
        assert gl_state()[2] == GL.GL_NO_ERROR
    assert raised == [GL.GL_INVALID_ENUM, GL.GL_INVALID_ENUM]


class _PyOpenGLTriangle(Spirelet):
    def basicTriangle(self):
        GL.glNormal3f(0.0, 0.0, 1.0)
        for vertex in ((0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.5, 0.8, 0.0)):
            GL.glVertex3f(*vertex)


def test_pyopengl_calls_inside_a_direct_begin_make_no_error(gl_window):
    gl_window()
    before = gl_state()
    _PyOpenGLTriangle().drawSpirelet(1)
    assert gl_state() == before
