"""The viewer framework on a real OpenGL context: display-list recording,
per-context init, recovery from failing drawings, windows, the camera and
the snapshot tool."""

import gc
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest
from OpenGL.GL import (
    GL_ATTRIB_STACK_DEPTH, GL_BACK, GL_COLOR_BUFFER_BIT, GL_DEPTH_BITS,
    GL_DEPTH_BUFFER_BIT, GL_INVALID_ENUM, GL_LINES, GL_MATRIX_MODE, GL_MODELVIEW,
    GL_MODELVIEW_STACK_DEPTH, GL_PROJECTION, GL_PROJECTION_MATRIX,
    GL_PROJECTION_STACK_DEPTH, GL_QUADS, GL_RGB, GL_UNSIGNED_BYTE, glBegin, glClear,
    glClearColor, glColor3f, glEnable, glEnd, glGetDoublev, glGetError, glGetIntegerv,
    glLoadIdentity, glMatrixMode, glOrtho, glPushAttrib, glPushMatrix, glReadBuffer,
    glReadPixels, glRotatef, glVertex2f, glVertex3f, glViewport)
from OpenGL.error import GLError

import Stagehall
from Stagehall import Framepane, Model, View, draw_model

from conftest import REPO, run_python, subprocess_env

try:
    import Swoopline
except ImportError:  # the native modules are not built for every interpreter
    Swoopline = None
native = pytest.mark.skipif(Swoopline is None, reason="needs the native modules")

CAM = {"eye": [0, 0, 4], "center": [0, 0, 0], "up": [0, 1, 0],
       "fovy": 30, "aspect": 1.0, "near": 0.1, "far": 100.0}


class Counted(Model):
    """Counts its init() and draw_scene() calls in a dict that stays the same
    object of the same size, so that counting is no change of the model."""

    def __init__(self):
        Model.__init__(self)
        self.calls = {"init": 0, "draw": 0}

    inits = property(lambda self: self.calls["init"])
    draws = property(lambda self: self.calls["draw"])

    def init(self):
        Model.init(self)
        self.calls["init"] += 1

    def draw_scene(self):
        self.calls["draw"] += 1


class Flat(Counted):
    """Fills the viewport (identity matrices) with self.color; counts calls.
    With fail set, it raises midway, leaving a matrix, attributes and perhaps
    a glBegin open."""

    def __init__(self, color=(1.0, 0.0, 0.0)):
        Counted.__init__(self)
        self.color, self.fail = color, False

    def draw_scene(self):
        self.calls["draw"] += 1
        glColor3f(*self.color)
        if self.fail:
            glPushMatrix()
            glPushAttrib(GL_COLOR_BUFFER_BIT)
            glBegin(GL_LINES)
            glVertex3f(0, 0, 0)
            if self.fail == "after glEnd":
                glEnd()
            raise RuntimeError("broken model")
        glBegin(GL_QUADS)
        for x, y in ((-1, -1), (1, -1), (1, 1), (-1, 1)):
            glVertex2f(x, y)
        glEnd()


def render(pane, model):
    """Draw model in pane with identity matrices; the centre pixel, 0-255."""
    pane.make_current()
    glViewport(0, 0, pane.width, pane.height)
    glClearColor(0, 0, 0, 1)
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT)
    for mode in (GL_PROJECTION, GL_MODELVIEW):
        glMatrixMode(mode)
        glLoadIdentity()
    draw_model(model)
    glReadBuffer(GL_BACK)
    return tuple(bytearray(glReadPixels(pane.width // 2, pane.height // 2, 1, 1,
                                        GL_RGB, GL_UNSIGNED_BYTE)))


RED, GREEN, BLUE = (255, 0, 0), (0, 255, 0), (0, 0, 255)


def test_recording_follows_model_changes(gl_window):
    pane, model = gl_window(), Flat([1.0, 0.0, 0.0])
    # Replayed while nothing changes: draw_scene is not called again.
    assert [render(pane, model) for _ in range(3)] == [RED] * 3 and model.draws == 1
    model.color[:] = [0.0, 1.0, 0.0]            # a change inside a value goes unseen
    assert render(pane, model) == RED and model.draws == 1
    model.invalidate()
    assert render(pane, model) == GREEN and model.draws == 2
    model.color = (0.0, 0.0, 1.0)               # another object bound
    assert render(pane, model) == BLUE and model.draws == 3
    steps = [lambda: setattr(model, "extra", []), lambda: model.extra.append(1),
             lambda: model.__dict__.pop("extra")]
    for step in steps:                          # attribute added, grown, removed
        draws = model.draws
        step()
        assert [render(pane, model) for _ in range(2)] == [BLUE] * 2
        assert model.draws == draws + 1


@pytest.mark.parametrize("change", ["invalidate", "rebind"])
def test_nested_model_change_renews_its_container(gl_window, change):
    inner = Flat()

    class Outer(Counted):
        def draw_scene(self):
            Counted.draw_scene(self)
            draw_model(inner)

    pane, outer = gl_window(), Outer()
    assert render(pane, outer) == RED
    inner.color = (0.0, 1.0, 0.0)
    if change == "invalidate":
        Stagehall.invalidate(inner)
    assert render(pane, outer) == GREEN
    assert (outer.draws, inner.draws, inner.inits) == (2, 2, 1)


@native
def test_spline_pictures_follow_its_data(gl_window, sample_spline_points):
    """A curve drawn in a window shows what a new curve with the same data
    shows, whatever changed it, without being invalidated."""
    pane = gl_window(size=(96, 96))

    def picture(model):
        pane.make_current()
        glViewport(0, 0, 96, 96)
        glClearColor(0, 0, 0, 1)
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT)
        for mode in (GL_PROJECTION, GL_MODELVIEW):
            glMatrixMode(mode)
            glLoadIdentity()
        glOrtho(-1.5, 1.5, -1.5, 1.5, -3, 3)
        glRotatef(30, 1, 1, 0)
        draw_model(model)
        glReadBuffer(GL_BACK)
        return bytes(bytearray(glReadPixels(0, 0, 96, 96, GL_RGB, GL_UNSIGNED_BYTE)))

    points = sample_spline_points
    curve = Swoopline.Swoopline()
    curve.invalidate = lambda: None             # the framework must notice by itself
    empty = picture(curve)
    for n in range(1, len(points) + 1):
        curve.add_point(points[n - 1])
        assert picture(curve) == picture(Swoopline.Swoopline(points[:n])), n
    assert picture(curve) != empty
    curve.set_data(points[2:])
    assert picture(curve) == picture(Swoopline.Swoopline(points[2:]))
    curve.set_data([])
    assert picture(curve) == empty


def test_init_once_per_context(gl_window):
    model = Flat()
    first, second = gl_window(), gl_window()
    for pane in (first, second, first, second):
        assert render(pane, model) == RED
    assert (model.inits, model.draws) == (2, 2)
    model.invalidate()
    for pane in (first, second):
        render(pane, model)
    assert (model.inits, model.draws) == (2, 4)


class SkipsBaseInit(Flat):
    def __init__(self):
        self.color, self.fail, self.calls = (1.0, 0.0, 0.0), False, {"init": 0, "draw": 0}


class NotAModel(object):
    __init__ = SkipsBaseInit.__dict__["__init__"]
    draws = Counted.__dict__["draws"]
    draw_scene = Flat.__dict__["draw_scene"]


@pytest.mark.parametrize("cls", [SkipsBaseInit, NotAModel])
def test_models_without_framework_set_up(gl_window, cls):
    model = cls()
    assert render(gl_window(), model) == RED
    assert model.draws == 1
    if isinstance(model, Model):
        assert model.inits == 1 and model.pQuadric is not None


@pytest.mark.parametrize("fail", ["in glBegin", "after glEnd"])
@pytest.mark.parametrize("recorded", [True, False])
def test_failing_draw_scene_leaves_gl_clean(gl_window, recorded, fail):
    pane, model = gl_window(), Flat()
    model.use_display_list = recorded
    model.fail = fail
    pane.make_current()
    glMatrixMode(GL_MODELVIEW)
    queries = (GL_MATRIX_MODE, GL_MODELVIEW_STACK_DEPTH, GL_PROJECTION_STACK_DEPTH,
               GL_ATTRIB_STACK_DEPTH)
    before = [int(glGetIntegerv(q)) for q in queries]
    with pytest.raises(RuntimeError, match="broken model"):
        draw_model(model)
    assert [int(glGetIntegerv(q)) for q in queries] == before
    assert glGetError() == 0
    with pytest.raises(GLError):  # PyOpenGL's error checks are back on
        glEnable(GL_INVALID_ENUM)
    assert glGetError() == 0
    # The half-recorded list is never replayed: the next drawing is whole.
    model.fail, model.color = False, (0.0, 1.0, 0.0)
    assert render(pane, model) == GREEN


def test_framepane_kept_alive_with_float_width(gl_window):
    from OpenGL.GLUT import GLUT_WINDOW_HEIGHT, GLUT_WINDOW_WIDTH, glutGet

    gl_window()  # makes sure the window is closed after the test
    Framepane("float width", View(Flat(), CAM), window_size=(96.6, 48), window_pos=(10, 20))
    gc.collect()
    pane = [p for p in Stagehall.panes() if p.title == "float width"][-1]
    try:
        pane.make_current()
        assert (glutGet(GLUT_WINDOW_WIDTH), glutGet(GLUT_WINDOW_HEIGHT)) == (97, 48)
    finally:
        pane.close()
    assert pane not in Stagehall.panes()


def test_view_follows_window_shape_and_draws_through_framepane(gl_window):
    model = Flat()
    view = View(model, dict(CAM))
    pane = gl_window(view, size=(200, 100))
    pane.display()
    assert glGetIntegerv(GL_DEPTH_BITS) > 0
    proj = np.array(glGetDoublev(GL_PROJECTION_MATRIX))
    assert proj[1][1] / proj[0][0] == pytest.approx(2.0)
    assert view.aspect == pytest.approx(2.0)
    assert (model.inits, model.draws, pane.frames) == (1, 1, 1)


def test_view_as_model_of_another_view(gl_window):
    model = Flat()
    inner = View(model, dict(CAM))
    outer = View(inner, dict(CAM, eye=[5, 5, 5]))
    own, external = gl_window(inner), gl_window(outer)
    for pane in (own, external, external):
        pane.display()
    # The view itself is drawn afresh each frame; its model is recorded per context.
    assert (model.inits, model.draws) == (2, 2)


def test_camera_controls():
    view = View(Flat(), dict(CAM))
    view.reshape(100, 100)
    distance = np.linalg.norm(view.eye - view.center)
    view.orbit(40, -25)
    assert np.linalg.norm(view.eye - view.center) == pytest.approx(distance)
    assert not np.allclose(view.eye, CAM["eye"])
    assert np.dot(view.up, view.eye - view.center) == pytest.approx(0, abs=1e-9)
    view.zoom(0.5)
    assert np.linalg.norm(view.eye - view.center) == pytest.approx(distance / 2)
    eye, center = view.eye.copy(), view.center.copy()
    view.pan(10, 5)
    assert np.allclose(view.eye - eye, view.center - center)
    assert not np.allclose(view.center, center)
    assert view.keyboard(b"r", 0, 0)
    assert np.allclose(view.eye, CAM["eye"]) and np.allclose(view.center, CAM["center"])


def assert_orthonormal_frame(view, distance, orbited=True):
    forward, right, up = view._frame()
    assert np.linalg.norm(view.eye - view.center) == pytest.approx(distance, rel=1e-9)
    frame = np.array([forward, right, up])
    np.testing.assert_allclose(frame.dot(frame.T), np.eye(3), atol=1e-9)
    if orbited:  # the camera's own up vector, not only the frame's
        assert np.linalg.norm(view.up) == pytest.approx(1.0)
        assert abs(np.dot(view.up, forward)) < 1e-9


@pytest.mark.parametrize("eye, up", [
    ([0, 5, 0], [0, 1, 0]), ([0, -5, 0], [0, 1, 0]),      # eye on the up axis
    ([0, 0, 4], [0, 0, 2]), ([2, 2, 2], [0, 1, 0]), ([1e-12, 3, 0], [0, 1, 0]),
])
def test_orbit_keeps_distance_and_frame_at_every_angle(eye, up):
    view = View(Flat(), dict(CAM, eye=eye, up=up))
    view.reshape(100, 100)
    distance = np.linalg.norm(eye)
    for dx, dy in [(0, 30), (0, 150), (45, 0), (0, 180), (7, -333), (-90, 45), (0, 0)]:
        view.orbit(dx, dy)
        assert_orthonormal_frame(view, distance)
    start = view.eye.copy()
    view.orbit(0, 360 / View.ORBIT_DEGREES_PER_PIXEL)  # a whole turn comes back
    np.testing.assert_allclose(view.eye, start, atol=1e-9)
    view.reset()
    center = view.center.copy()
    view.pan(10, 5)                                     # panning works at the pole too
    assert np.linalg.norm(view.center - center) > 0.01
    assert_orthonormal_frame(view, distance, orbited=False)


def read_png(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        tag = data[pos + 4:pos + 8]
        chunks[tag] = chunks.get(tag, b"") + data[pos + 8:pos + 8 + length]
        pos += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, colour) == (8, 2)
    raw = zlib.decompress(chunks[b"IDAT"])
    rows = [raw[y * (3 * width + 1):(y + 1) * (3 * width + 1)] for y in range(height)]
    assert {row[0] for row in rows} == {0}  # unfiltered rows
    pixels = np.frombuffer(b"".join(row[1:] for row in rows), np.uint8)
    return width, height, pixels.reshape(height, width, 3).astype(int)


def is_red(px):
    return (px[..., 0] > 150) & (px[..., 1] < 60) & (px[..., 2] < 60)


def is_light_grey(px):
    return (px.min(axis=-1) > 150) & (px.max(axis=-1) - px.min(axis=-1) < 20)


@pytest.mark.parametrize("module, size, check", [
    ("Quiltsheet", (512, 512), lambda px: len(np.unique(px.reshape(-1, 3), axis=0)) > 1000),
    ("Swoopline", (512, 512), lambda px: is_red(px).sum() > 100 and is_light_grey(px).sum() > 100),
])
def test_snapshot_tool(x_display, tmp_path, module, size, check):
    proc = subprocess.run(
        [sys.executable, str(REPO / "tools" / "snapshot.py"), module, str(tmp_path),
         "--frames", "2"],
        env=subprocess_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [str(tmp_path / (module + ".png"))]
    width, height, px = read_png(tmp_path / (module + ".png"))
    assert (width, height) == size
    assert check(px)


def test_snapshot_reports_failing_scene(x_display, tmp_path):
    script = tmp_path / "Broken.py"
    script.write_text(
        "from Stagehall import Model, View, Framepane\n"
        "from Sketchkit import *\n"
        "class Broken(Model):\n"
        "    def draw_scene(self):\n"
        "        raise ValueError('no picture')\n"
        "def main():\n"
        "    glutInit()\n"
        "    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA)\n"
        "    Framepane('Broken', View(Broken(), %r), window_size=(32, 32))\n"
        "    glutMainLoop()\n" % CAM)
    env = subprocess_env()
    env["PYTHONPATH"] += ":" + str(tmp_path)
    proc = subprocess.run(
        [sys.executable, str(REPO / "tools" / "snapshot.py"), "Broken", str(tmp_path / "out")],
        env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode != 0 and proc.stdout == ""
    assert "no picture" in proc.stderr


def test_q_leaves_main_loop(x_display):
    proc = run_python("""
        import Sketchkit, Stagehall, Swoopline

        def draw_then_press_q(view):
            draw(view)
            Stagehall.panes()[0]._on_keyboard(b"q", 0, 0)

        Sketchkit.glutInit()
        Sketchkit.glutInit()  # freeglut would end the process on a real second init
        draw, Stagehall.View.draw = Stagehall.View.draw, draw_then_press_q
        Swoopline.main()
        print(Stagehall.panes())
        """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["[]"]
