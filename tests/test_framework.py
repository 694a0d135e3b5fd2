"""The viewer framework on a real OpenGL context: display-list recording,
per-context init, recovery from failing drawings, windows, the camera, the
main loop and GLUT's life cycle, and the snapshot tool."""

from __future__ import division

import gc
import math
import struct
import subprocess
import sys
import textwrap
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
import Swoopline
from Stagehall import Framepane, Model, View, draw_model

from conftest import REPO, subprocess_env

CAM = {"eye": [0, 0, 4], "center": [0, 0, 0], "up": [0, 1, 0],
       "fovy": 30, "aspect": 1.0, "near": 0.1, "far": 100.0}


def run(args, env=None, timeout=300):
    """(exit status, stdout, stderr) of a child process."""
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=env or subprocess_env(), cwd=str(REPO))
    out, err = proc.communicate(**({"timeout": timeout} if sys.version_info[0] > 2 else {}))
    return proc.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def run_python(code):
    return run([sys.executable, "-c", textwrap.dedent(code)])


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
    assert all(row[:1] == b"\0" for row in rows)  # unfiltered rows
    pixels = np.frombuffer(b"".join(row[1:] for row in rows), np.uint8)
    return width, height, pixels.reshape(height, width, 3).astype(int)


def is_red(px):
    return (px[..., 0] > 150) & (px[..., 1] < 60) & (px[..., 2] < 60)


def is_light_grey(px):
    return (px.min(axis=-1) > 150) & (px.max(axis=-1) - px.min(axis=-1) < 20)


SCENE = """
from OpenGL.GL import *
from Stagehall import Model, View, Framepane
from Sketchkit import *

class Scene(Model):
    def init(self):
        Model.init(self)
        glClearColor(1.0, 1.0, 1.0, 1.0)   # white, as Spirelet's init chooses

    def draw_scene(self):
        %(draw)s

def main():
    glutInit()
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA)
    Framepane("Scene", View(Scene(), %(cam)r), window_size=(32, 32))
    glutMainLoop()
"""
TRIANGLE = ("glColor3f(1, 0, 0); glBegin(GL_TRIANGLES); glVertex3f(-1, -1, 0); "
            "glVertex3f(1, -1, 0); glVertex3f(0, 1, 0); glEnd()")


@pytest.fixture
def scene_env(tmp_path):
    """Environment of a child process that finds a pure-Python scene module
    Scene (a red triangle on white) and, with make(draw), another drawing."""
    def make(draw=TRIANGLE):
        (tmp_path / "Scene.py").write_bytes((SCENE % {"draw": draw, "cam": CAM}).encode())
        return env
    env = subprocess_env()
    env["PYTHONPATH"] += ":" + str(tmp_path)
    make()
    env["make"] = make
    return env


def snapshot_tool(env, module, outdir, *options):
    env = dict((k, v) for k, v in env.items() if k != "make")
    return run([sys.executable, str(REPO / "tools" / "snapshot.py"), module, str(outdir)]
               + list(options), env=env)


@pytest.mark.parametrize("module, size, check", [
    ("Quiltsheet", (512, 512), lambda px: len(np.unique(px.reshape(-1, 3), axis=0)) > 1000),
    ("Swoopline", (512, 512), lambda px: is_red(px).sum() > 100 and is_light_grey(px).sum() > 100),
])
def test_snapshot_tool(x_display, tmp_path, module, size, check):
    status, out, err = snapshot_tool(subprocess_env(), module, tmp_path, "--frames", "2")
    assert status == 0, err
    assert out.splitlines() == [str(tmp_path / (module + ".png"))]
    width, height, px = read_png(tmp_path / (module + ".png"))
    assert (width, height) == size
    assert check(px)


def test_snapshot_of_first_frame_shows_init_colours(x_display, scene_env, tmp_path):
    pictures = []
    for frames in ("1", "3"):
        status, out, err = snapshot_tool(scene_env, "Scene", tmp_path / frames, "--frames", frames)
        assert status == 0, err
        pictures.append(read_png(tmp_path / frames / "Scene.png")[2])
    np.testing.assert_array_equal(pictures[0], pictures[1])
    assert tuple(pictures[0][0, 0]) == (255, 255, 255) and is_red(pictures[0]).sum() > 20


def test_snapshot_reports_failing_scene(x_display, scene_env, tmp_path):
    scene_env["make"]("raise ValueError('no picture')")
    status, out, err = snapshot_tool(scene_env, "Scene", tmp_path / "out")
    assert status != 0 and out == ""
    assert "no picture" in err


EXIT_SCRIPTS = {
    "window, no main loop": """
        from OpenGL.GLUT import glutInit
        import Stagehall
        glutInit()
        Stagehall.Framepane("t", Stagehall.View(Stagehall.Model(), %(cam)r), window_size=(64, 64))
        """,
    "main loop left": """
        import Stagehall, Scene
        Stagehall.add_timer(50, Stagehall.leave_main_loop)
        Scene.main()
        """,
    "snapshot, then a window": """
        import Stagehall, Scene
        shots = Stagehall.snapshot_mode()
        Scene.main()
        assert len(shots.images) == 1 and not shots.errors, shots.errors
        Stagehall.Framepane("t", Stagehall.View(Scene.Scene(), %(cam)r))
        """,
    "GLUT only": """
        import Sketchkit
        Sketchkit.glutInit()
        """,
    "plain GLUT window": """
        import Stagehall
        from OpenGL.GLUT import *
        glutInit()
        glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA)
        glutCreateWindow(b"plain")
        def display():
            glutSwapBuffers()
            Stagehall.leave_main_loop()
        glutDisplayFunc(display)
        glutMainLoop()      # freeglut's own, for a window not the framework's
        """,
}


@pytest.mark.parametrize("name", sorted(EXIT_SCRIPTS))
def test_process_with_windows_exits_cleanly(x_display, scene_env, name):
    env = dict((k, v) for k, v in scene_env.items() if k != "make")
    status, out, err = run([sys.executable, "-c",
                            textwrap.dedent(EXIT_SCRIPTS[name]) % {"cam": CAM}], env=env)
    assert status == 0, err
    assert "Traceback" not in err, err


@pytest.mark.parametrize("modules", [("Arborlot", "Spirelet"), ("Spirelet", "Arborlot"),
                                     ("Quiltsheet", "Swoopline", "Quiltsheet")])
def test_viewers_one_after_another(x_display, modules):
    """Quiltsheet and Arborlot take glutInit from OpenGL.GLUT, the others
    from Sketchkit; each viewer's windows close when its loop ends."""
    status, out, err = run_python("""
        import sys, Stagehall
        for name in %r:
            shots = Stagehall.snapshot_mode(frames=1)
            __import__(name).main()
            print("%%s %%s %%s %%d" %% (name, [i[0] for i in shots.images], shots.errors,
                                     len(Stagehall.panes())))
        """ % (modules,))
    assert status == 0, err
    titles = {"Arborlot": ["Arborlot", "External Camera View"]}
    assert out.splitlines() == ["%s %s [] 0" % (m, titles.get(m, [m])) for m in modules]


class Failing(Model):
    def __init__(self):
        Model.__init__(self)
        self.state = {"draws": 0, "error": ValueError("first")}

    def draw_scene(self):
        self.state["draws"] += 1
        raise self.state["error"]


def test_failing_drawing_reported_once_per_error(glut, capsys):
    from OpenGL.GLUT import glutTimerFunc
    from Sketchkit import glutMainLoop

    model = Failing()
    Framepane("failing", View(model, CAM), window_size=(32, 32))

    def tick(value):
        if model.state["draws"] >= 30:
            Stagehall.leave_main_loop()
            return
        if model.state["draws"] >= 15:
            model.state["error"] = KeyError("second")
        Stagehall.request_redisplay()
        glutTimerFunc(1, tick, 0)

    glutTimerFunc(1, tick, 0)
    glutMainLoop()
    err = capsys.readouterr().err
    assert model.state["draws"] >= 30
    assert err.count("Traceback") == 2 and "first" in err and "second" in err, err
    assert Stagehall.panes() == []


def test_main_loop_refusals_are_exceptions(gl_window):
    for pane in Stagehall.panes():
        pane.close()
    with pytest.raises(RuntimeError, match="no window"):
        Stagehall.main_loop()
    gl_window()
    nested = []

    def nest():
        try:
            Stagehall.main_loop()
        except RuntimeError as exc:
            nested.append(str(exc))
        Stagehall.leave_main_loop()

    Stagehall.add_timer(0, nest)
    Stagehall.main_loop()
    assert len(nested) == 1 and "already running" in nested[0]
    assert Stagehall.panes() == []


def test_glut_library_found_by_name(x_display, scene_env):
    """Older PyOpenGL releases miss e.g. libglut.so.3.12, even for functions
    imported before the framework."""
    env = dict((k, v) for k, v in scene_env.items() if k != "make")
    status, out, err = run([sys.executable, "-c", textwrap.dedent("""
        from OpenGL.platform import PLATFORM
        PLATFORM.GLUT = None
        from OpenGL.GLUT import glutInitDisplayMode
        assert not glutInitDisplayMode
        import Stagehall, Scene
        shots = Stagehall.snapshot_mode(frames=1)
        Scene.main()
        print("%d %s" % (len(shots.images), shots.errors))
        """)], env=env)
    assert status == 0, err
    assert out.split() == ["1", "[]"]


def test_q_leaves_main_loop(x_display):
    status, out, err = run_python("""
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
    assert status == 0, err
    assert out.splitlines() == ["[]"]
