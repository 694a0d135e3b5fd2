"""
Stagehall: scene base class, camera view and GLUT windows for the viewers.

Three roles meet here:

* A *model* is anything with ``draw_scene()`` and, optionally, ``init()``.
  Scene classes derive from ``Model``. The framework calls ``init()`` once per
  OpenGL context before the first drawing there, then records ``draw_scene()``
  in a display list of that context and replays the list on later frames.
  The list is recorded again when the model's attributes change (another
  object bound, or a list, tuple or dict of different length), so appending
  to a model's data shows without further ado. Changes it cannot see, such as
  values written into an existing array, need ``invalidate(model)`` (or
  ``model.invalidate()``). A model whose drawing changes every frame sets
  ``use_display_list = False`` and is drawn directly each time.

* A *view* is what a ``Framepane`` shows. The window relies on two methods:

  - ``view.apply(width, height)``: load the projection and the camera
    transform for a window of that many pixels (matrix mode left at
    GL_MODELVIEW);
  - ``view.draw()``: draw the scene, normally ``draw_model(self.model)``;

  and calls these, when present:

  - ``view.init()``, once per window before its first frame is cleared, so
    that the models' ``init()`` (which may choose the clear colour) runs
    first; ``View.init()`` is ``init_model(self.model)``;
  - ``view.mouse(button, state, x, y)``, ``view.motion(x, y)`` and
    ``view.keyboard(key, x, y)``, each returning True when the window must be
    redrawn. Without ``keyboard()``, the window itself quits on q or Escape.

  ``View`` implements this for a fixed model and a mouse-driven camera; a
  fly-through camera can implement it too. ``View`` is also a model
  (``draw_scene()`` shows its model and its own camera), so one view can look
  at another.

* A ``Framepane`` is a GLUT window on a view. The framework keeps every window
  alive (``panes()``); the caller may drop the object.

GLUT is initialised once per process and stays up: freeglut's own main loop
shuts it down when it returns, and the GL stack does not survive a second
initialisation. So ``glutInit`` and ``glutMainLoop`` (those of ``OpenGL.GLUT``
and the ones ``Sketchkit`` exports) are the framework's ``glut_init()`` and
``main_loop()``: the loop returns when ``leave_main_loop()`` is called or the
last window closes, closes the windows still open, and the next viewer in the
same process starts afresh. ``shutdown()`` (also run at exit) ends GLUT.

Snapshot mode (``snapshot_mode()``), for running without a person watching:
every window renders a few frames, its pixels are captured, and the main loop
is left so that the caller's ``glutMainLoop()`` returns.

Runs on Python 2.7 and 3. OpenGL is imported only where it is used, so that
models can be built and tested without a display.
"""

from __future__ import division

import atexit
import ctypes
import ctypes.util
import itertools
import math
import sys
import time
import traceback
import weakref

import numpy as np

__all__ = ["Model", "View", "Framepane", "CAMERA_KEYS", "draw_model", "init_model",
           "invalidate", "request_redisplay", "leave_main_loop", "panes",
           "snapshot_mode", "in_snapshot_mode", "glut_init", "main_loop", "shutdown",
           "add_timer"]

CAMERA_KEYS = ("eye", "center", "up", "fovy", "aspect", "near", "far")

_clock = getattr(time, "monotonic", time.time)
try:
    _TEXT = (str, unicode)  # noqa: F821  (Python 2)
except NameError:
    _TEXT = (str,)


def _raise_alone(exc):
    """Raise exc without the exception being handled as its context."""
    exc.__cause__ = None
    exc.__suppress_context__ = True
    raise exc


# ---------------------------------------------------------------------------
# Models and their recorded drawing
# ---------------------------------------------------------------------------

class Model(object):
    """Base class of every scene drawn by the framework."""

    # Set to False by models whose drawing changes from frame to frame.
    use_display_list = True

    def __init__(self):
        # Created in init(): a quadric needs the GL libraries loaded.
        self.pQuadric = None

    def init(self):
        """Called once per OpenGL context, with it current, before the first draw."""
        from OpenGL.GLU import gluNewQuadric

        # A quadric lives in client memory and serves every context; keeping
        # it leaves the model unchanged, so no context records it again.
        if getattr(self, "pQuadric", None) is None:
            self.pQuadric = gluNewQuadric()

    def draw_scene(self):
        """Issue the OpenGL commands of the scene; the base class draws nothing."""

    def invalidate(self):
        """Have the drawing recorded again in every window, after a data change."""
        invalidate(self)


class _Record(object):
    """What the framework knows about one model, per OpenGL context."""

    def __init__(self):
        self.initialised = set()
        self.lists = {}        # context -> display-list name
        self.fresh = set()     # contexts whose list matches the model's data
        # context -> [(model, fingerprint)] of the model and of every model
        # inlined into its list, as they were when the list was recorded
        self.prints = {}
        # Records of models whose display lists have this one's drawing inlined.
        self.containers = weakref.WeakSet()


# Models that refuse new attributes keep their record here, with the model
# itself so that its id cannot be reused.
_detached_records = {}
# (record, inlined models) of the models being compiled, outermost first.
_recording = []
# The framework's id of the current context: the serial of the Framepane made
# current last (None outside any window).
_current_context = None
_RECORD_ATTR = "_stagehall_record"


def _record_of(model, create=True):
    rec = getattr(model, _RECORD_ATTR, None)
    if rec is None:
        rec = _detached_records.get(id(model), (None, None))[1]
    if rec is None and create:
        rec = _Record()
        try:
            setattr(model, _RECORD_ATTR, rec)
        except (AttributeError, TypeError):
            _detached_records[id(model)] = (model, rec)
    return rec


def _size(value):
    return len(value) if isinstance(value, (list, tuple, dict)) else -1


def _fingerprint(model):
    """The model's attributes: each value itself (held, so that its id is not
    reused) and the length of the containers among them."""
    try:
        items = vars(model).items()
    except TypeError:
        return ()
    return [(key, value, _size(value)) for key, value in items if key != _RECORD_ATTR]


def _unchanged(model, fingerprint):
    try:
        items = vars(model).items()
    except TypeError:
        return True
    n = 0
    for key, value in items:
        if key == _RECORD_ATTR:
            continue
        if n == len(fingerprint):
            return False
        old_key, old_value, old_size = fingerprint[n]
        if old_value is not value or old_key != key or old_size != _size(value):
            return False
        n += 1
    return n == len(fingerprint)


def init_model(model):
    """Call ``model.init()`` unless the current context has seen it already.

    A ``Model`` whose overriding ``init()`` skipped the base class gets its
    quadric all the same.
    """
    ctx = _current_context
    rec = _record_of(model)
    if ctx not in rec.initialised:
        init = getattr(model, "init", None)
        if init is not None:
            init()
        if isinstance(model, Model) and getattr(model, "pQuadric", None) is None:
            Model.init(model)
        rec.initialised.add(ctx)
    return rec


def draw_model(model):
    """Draw ``model`` in the current window.

    Calls its ``init()`` first if this context has not seen it yet, then
    replays its display list, recording ``draw_scene()`` into it when the list
    is missing or stale. Inside another model's recording the drawing is
    inlined into that list, which then goes stale with this model too.
    If ``draw_scene()`` raises, the list is closed and stays stale, the matrix
    and attribute stacks are restored, GL errors are cleared and the exception
    propagates.
    """
    from OpenGL.GL import GL_COMPILE, glCallList, glEndList, glGenLists, glNewList

    ctx = _current_context
    rec = init_model(model)

    if _recording or ctx is None or not getattr(model, "use_display_list", True):
        with _GLGuard():
            model.draw_scene()
        if _recording:
            entry = (model, _fingerprint(model))
            for outer, inlined in _recording:
                rec.containers.add(outer)
                inlined.append(entry)
        return

    name = rec.lists.get(ctx)
    if name is None or ctx not in rec.fresh or not all(
            _unchanged(m, fp) for m, fp in rec.prints[ctx]):
        rec.fresh.discard(ctx)
        if name is None:
            name = rec.lists[ctx] = glGenLists(1)
        inlined = []
        _recording.append((rec, inlined))
        try:
            with _GLGuard(name):
                glNewList(name, GL_COMPILE)
                model.draw_scene()
                glEndList()
        finally:
            _recording.pop()
        rec.prints[ctx] = [(model, _fingerprint(model))] + inlined
        rec.fresh.add(ctx)
    glCallList(name)


class _GLGuard(object):
    """On an exception, put the GL state back as the drawing found it.

    With ``list_name``, a display list is being compiled: it is closed.
    """

    def __init__(self, list_name=None):
        self.list_name = list_name

    def __enter__(self):
        from OpenGL.GL import (GL_ATTRIB_STACK_DEPTH, GL_MATRIX_MODE,
                               GL_MODELVIEW_STACK_DEPTH, GL_PROJECTION_STACK_DEPTH,
                               glGetIntegerv)
        self.state = [int(glGetIntegerv(q)) for q in (
            GL_MATRIX_MODE, GL_MODELVIEW_STACK_DEPTH, GL_PROJECTION_STACK_DEPTH,
            GL_ATTRIB_STACK_DEPTH)]
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            return False
        from OpenGL.GL import (GL_ATTRIB_STACK_DEPTH, GL_MODELVIEW,
                               GL_MODELVIEW_STACK_DEPTH, GL_PROJECTION,
                               GL_PROJECTION_STACK_DEPTH, glGetIntegerv,
                               glMatrixMode, glPopAttrib, glPopMatrix)
        from OpenGL.raw.GL import _errors
        from OpenGL.raw.GL.VERSION.GL_1_0 import glEnd, glEndList, glGetError

        checker = _errors._error_checker
        # Either call may be out of place: checks stay off (as inside glBegin)
        # and the errors are drained below.
        if checker:
            checker.onBegin()
        glEnd()
        if self.list_name is not None:
            glEndList()  # left stale: recorded again before any replay
        if checker:
            checker.onEnd()
        for _ in range(32):
            if not glGetError():
                break
        mode, modelview, projection, attrib = self.state
        for stack, query, depth in ((GL_MODELVIEW, GL_MODELVIEW_STACK_DEPTH, modelview),
                                    (GL_PROJECTION, GL_PROJECTION_STACK_DEPTH, projection)):
            glMatrixMode(stack)
            for _ in range(int(glGetIntegerv(query)) - depth):
                glPopMatrix()
        for _ in range(int(glGetIntegerv(GL_ATTRIB_STACK_DEPTH)) - attrib):
            glPopAttrib()
        glMatrixMode(mode)
        return False


def invalidate(model):
    """Mark the recorded drawing of ``model`` stale in every context.

    Needs no GL context; the lists are recorded again at their next use, and
    every window is asked to redraw.
    """
    rec = _record_of(model, create=False)
    pending, seen = [rec] if rec is not None else [], set()
    while pending:
        rec = pending.pop()
        if id(rec) not in seen:
            seen.add(id(rec))
            rec.fresh.clear()
            pending.extend(rec.containers)
    request_redisplay()


# ---------------------------------------------------------------------------
# The camera view
# ---------------------------------------------------------------------------

def _unit(v):
    n = np.linalg.norm(v)
    return v / n if n > 0 else v


def _rotate(v, axis, degrees):
    """Rotate v about the unit vector axis (Rodrigues' formula)."""
    a = math.radians(degrees)
    return (v * math.cos(a) + np.cross(axis, v) * math.sin(a)
            + axis * np.dot(axis, v) * (1.0 - math.cos(a)))


def _perpendicular(v):
    """A unit vector perpendicular to the unit vector v."""
    axis = np.zeros(3)
    axis[int(np.argmin(np.abs(v)))] = 1.0
    return _unit(axis - np.dot(axis, v) * v)


class View(object):
    """A model seen through a camera described by a cam_spec dictionary.

    Mouse: left drag orbits around the centre, right drag or the wheel zooms,
    middle drag pans. Keys: r resets the camera, q or Escape leaves the main
    loop. The aspect ratio follows the window's shape.
    """

    # Shown as a model, a view draws its camera, which moves with the mouse.
    use_display_list = False

    ORBIT_DEGREES_PER_PIXEL = 0.5
    ZOOM_PER_PIXEL = 0.01
    WHEEL_STEP = 0.9

    def __init__(self, model, cam_spec):
        if not isinstance(cam_spec, dict):
            raise TypeError(
                "View: cam_spec must be a dict, not %s" % type(cam_spec).__name__)
        missing = [key for key in CAMERA_KEYS if key not in cam_spec]
        if missing:
            raise ValueError(
                "View: cam_spec lacks the key(s) %s; it needs %s"
                % (", ".join(repr(k) for k in missing),
                   ", ".join(repr(k) for k in CAMERA_KEYS)))
        for key in ("eye", "center", "up"):
            if len(cam_spec[key]) != 3:
                raise ValueError(
                    "View: cam_spec[%r] must have three components" % key)
        self.model = model
        self.cam_spec = cam_spec
        self.aspect = float(cam_spec["aspect"])
        self.height = 0
        self._drag = None
        self.reset()

    def reset(self):
        """Put the camera back where cam_spec places it."""
        self.eye = np.array(self.cam_spec["eye"], dtype=float)
        self.center = np.array(self.cam_spec["center"], dtype=float)
        self.up = np.array(self.cam_spec["up"], dtype=float)

    def reshape(self, width, height):
        """Follow the window's shape: the aspect ratio becomes width / height."""
        self.height = height
        if width > 0 and height > 0:
            self.aspect = width / float(height)

    def init(self):
        init_model(self.model)

    def apply(self, width, height):
        from OpenGL.GL import GL_MODELVIEW, GL_PROJECTION, glLoadIdentity, glMatrixMode
        from OpenGL.GLU import gluLookAt, gluPerspective

        self.reshape(width, height)
        cam = self.cam_spec
        glMatrixMode(GL_PROJECTION)
        glLoadIdentity()
        gluPerspective(cam["fovy"], self.aspect, cam["near"], cam["far"])
        glMatrixMode(GL_MODELVIEW)
        glLoadIdentity()
        up = self._frame()[2]
        gluLookAt(*(list(self.eye) + list(self.center) + list(up)))

    def draw(self):
        draw_model(self.model)

    # Seen from another view ------------------------------------------------

    def draw_scene(self):
        """Draw the model and, in yellow, the camera's viewing pyramid."""
        from OpenGL.GL import (GL_CURRENT_BIT, GL_ENABLE_BIT, GL_LIGHTING, GL_LINES,
                               glBegin, glColor3f, glDisable, glEnd, glPopAttrib,
                               glPushAttrib, glVertex3f)

        draw_model(self.model)
        forward, right, up = self._frame()
        depth = 0.2 * np.linalg.norm(self.center - self.eye)
        half_h = depth * math.tan(math.radians(self.cam_spec["fovy"]) / 2.0)
        half_w = half_h * self.aspect
        corners = [self.eye + depth * forward + sx * half_w * right + sy * half_h * up
                   for sx, sy in ((-1, -1), (1, -1), (1, 1), (-1, 1))]
        glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT)
        glDisable(GL_LIGHTING)
        glColor3f(1.0, 0.85, 0.1)
        glBegin(GL_LINES)
        try:
            for i, corner in enumerate(corners):
                glVertex3f(*self.eye)
                glVertex3f(*corner)
                glVertex3f(*corner)
                glVertex3f(*corners[(i + 1) % 4])
        finally:
            glEnd()
            glPopAttrib()

    # Camera motion -------------------------------------------------------

    def _frame(self):
        """Orthonormal forward, right and up vectors of the camera.

        An up vector along the line of sight gives no frame of its own; any
        perpendicular one stands in for it.
        """
        forward = _unit(self.center - self.eye)
        if not np.any(forward):
            forward = np.array([0.0, 0.0, -1.0])
        up = self.up - np.dot(self.up, forward) * forward
        if np.linalg.norm(up) <= 1e-9 * max(np.linalg.norm(self.up), 1e-300):
            up = _perpendicular(forward)
        up = _unit(up)
        return forward, np.cross(forward, up), up

    def orbit(self, dx, dy):
        """Turn the eye around the centre by a drag of (dx, dy) pixels: across
        about the camera's up vector, up and down about its right vector."""
        forward, right, up = self._frame()
        distance = np.linalg.norm(self.eye - self.center)
        yaw = -dx * self.ORBIT_DEGREES_PER_PIXEL
        forward, right = _rotate(forward, up, yaw), _rotate(right, up, yaw)
        pitch = -dy * self.ORBIT_DEGREES_PER_PIXEL
        forward, up = _rotate(forward, right, pitch), _rotate(up, right, pitch)
        # Rounding is not left to accumulate over many drags.
        forward = _unit(forward)
        self.up = _unit(up - np.dot(up, forward) * forward)
        self.eye = self.center - distance * forward

    def zoom(self, factor):
        """Scale the eye's distance from the centre by factor."""
        offset = (self.eye - self.center) * factor
        if np.linalg.norm(offset) > 1e-6:
            self.eye = self.center + offset

    def pan(self, dx, dy):
        """Slide eye and centre so that the scene follows a drag of (dx, dy) pixels."""
        _, right, up = self._frame()
        distance = np.linalg.norm(self.eye - self.center)
        per_pixel = (2.0 * distance * math.tan(math.radians(self.cam_spec["fovy"]) / 2.0)
                     / max(self.height, 1))
        shift = (-dx * right + dy * up) * per_pixel
        self.eye = self.eye + shift
        self.center = self.center + shift

    # Input from the window -------------------------------------------------

    def mouse(self, button, state, x, y):
        from OpenGL.GLUT import GLUT_DOWN

        if button in (3, 4):  # freeglut reports the wheel as buttons 3 and 4
            if state == GLUT_DOWN:
                self.zoom(self.WHEEL_STEP if button == 3 else 1.0 / self.WHEEL_STEP)
                return True
            return False
        self._drag = (button, x, y) if state == GLUT_DOWN else None
        return False

    def motion(self, x, y):
        from OpenGL.GLUT import GLUT_LEFT_BUTTON, GLUT_MIDDLE_BUTTON, GLUT_RIGHT_BUTTON

        if self._drag is None:
            return False
        button, x0, y0 = self._drag
        self._drag = (button, x, y)
        dx, dy = x - x0, y - y0
        if button == GLUT_LEFT_BUTTON:
            self.orbit(dx, dy)
        elif button == GLUT_RIGHT_BUTTON:
            self.zoom(math.exp(dy * self.ZOOM_PER_PIXEL))
        elif button == GLUT_MIDDLE_BUTTON:
            self.pan(dx, dy)
        else:
            return False
        return True

    def keyboard(self, key, x, y):
        if key in (b"r", b"R"):
            self.reset()
            return True
        if key in (b"q", b"Q", b"\x1b"):
            leave_main_loop()
            return False
        # other keys go to the model looked at, e.g. a camera's pause key
        handler = getattr(self.model, "keyboard", None)
        return bool(handler(key, x, y)) if handler is not None else False


# ---------------------------------------------------------------------------
# GLUT: library, initialisation, main loop, timers
# ---------------------------------------------------------------------------

def _find_glut():
    """Hand PyOpenGL the GLUT library where it did not find it itself.

    Older PyOpenGL releases look only for libglut.so.N with a one-digit N, and
    miss e.g. libglut.so.3.12. GLUT functions that PyOpenGL bound before this
    runs are its placeholders for missing functions; pointed at the library,
    they resolve at their first call.
    """
    try:
        from OpenGL.platform import PLATFORM, baseplatform
    except ImportError:
        return
    try:
        if getattr(PLATFORM, "GLUT", None) is not None:
            return
    except Exception:
        return
    lib = None
    for name in (ctypes.util.find_library("glut"), "libglut.so.3", "libglut.so",
                 ctypes.util.find_library("freeglut")):
        if name:
            try:
                lib = ctypes.CDLL(name, mode=ctypes.RTLD_GLOBAL)
                break
            except OSError:
                pass
    if lib is None:
        return
    PLATFORM.GLUT = lib
    placeholder = getattr(baseplatform, "_NullFunctionPointer", None)
    if placeholder is None:
        return
    modules = [module for name, module in list(sys.modules.items())
               if module is not None and name.startswith(("OpenGL.GLUT", "OpenGL.raw.GLUT"))]
    for module in modules:
        for value in list(vars(module).values()):
            if isinstance(value, placeholder) and getattr(value, "DLL", lib) is None:
                value.DLL = lib
    # The callback setters call the library directly; those made without it
    # stand on a stub that raises.
    special = sys.modules.get("OpenGL.GLUT.special")
    if special is None:
        return
    special.GLUT = lib
    for name, value in list(vars(special).items()):
        if name.startswith("_base_glut") and value is None:
            setattr(special, name, getattr(lib, name[len("_base_"):], None))
    for module in modules:
        for value in list(vars(module).values()):
            if (isinstance(value, special.GLUTCallback)
                    and getattr(value.wrappedOperation, "__name__", None) == "failFunction"):
                value.wrappedOperation = getattr(lib, "glut%sFunc" % value.typeName,
                                                 value.wrappedOperation)


_find_glut()

_pyopengl_glut_init = None
_glut_watched = False      # exit hook installed, window-close action set
_loop_running = False
_foreign_loop = False      # freeglut's own glutMainLoop (windows not ours)
_leave = False
_work = False              # a redisplay was posted since the last loop pass
_timers = []
_IDLE_WAIT = 0.005         # seconds; the longest an idle loop pass sleeps


def _glut_up():
    from OpenGL.GLUT import GLUT_INIT_STATE, glutGet

    return bool(glutGet(GLUT_INIT_STATE))


def _watch_glut():
    """Set-up for an initialised GLUT, done once."""
    global _glut_watched
    from OpenGL.GLUT import (GLUT_ACTION_CONTINUE_EXECUTION, GLUT_ACTION_ON_WINDOW_CLOSE,
                             glutSetOption)

    # Without this, freeglut ends the process when a window is closed.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_CONTINUE_EXECUTION)
    if not _glut_watched:
        _glut_watched = True
        # freeglut's own exit handler destroys the windows after the
        # interpreter is gone, calling their Python close callbacks. Run at
        # the latest when the first window opens, this handler comes before
        # that of a private X server started earlier.
        atexit.register(_shutdown_at_exit)


def glut_init(*args):
    """``glutInit()`` that may be called any number of times.

    freeglut ends the process on a second initialisation; here later calls
    return at once while GLUT is up.
    """
    from OpenGL.GLUT import special

    if _glut_up():
        return list(args)
    special.INITIALIZED = False  # PyOpenGL would skip the call after a shutdown
    result = (_pyopengl_glut_init or special.glutInit)(*args)
    _watch_glut()
    return result


class _Timer(object):
    def __init__(self, due, callback):
        self.due, self.callback, self.active = due, callback, True

    def cancel(self):
        self.active = False


def add_timer(milliseconds, callback):
    """Call ``callback()`` once, after that many milliseconds, from the main
    loop; returns a handle with ``cancel()`` and ``active``.

    A timer belongs to the main loop it runs in: one still pending when that
    loop ends is cancelled. (GLUT's own timers would outlive the windows and
    call into Python objects that PyOpenGL frees with them.)
    """
    timer = _Timer(_clock() + milliseconds / 1000.0, callback)
    _timers.append(timer)
    return timer


def _run_timers():
    now = _clock()
    due = [t for t in _timers if t.due <= now or not t.active]
    for timer in due:
        _timers.remove(timer)
    for timer in sorted(due, key=lambda t: t.due):
        if timer.active:
            timer.active = False
            try:
                timer.callback()
            except Exception:
                _report(None, "timer", "running the timer %r" % (timer.callback,))


def _cancel_timers():
    for timer in _timers:
        timer.active = False
    del _timers[:]


def _idle_wait():
    global _work
    if _work:
        _work = False
        return
    wait = _IDLE_WAIT
    if _timers:
        wait = min(wait, min(t.due for t in _timers) - _clock())
    if wait > 0:
        time.sleep(wait)


def main_loop():
    """``glutMainLoop()`` of the framework.

    Runs GLUT's events, the redisplays and the timers until
    ``leave_main_loop()`` is called or no window of the framework is left,
    then closes the windows still open and returns; GLUT stays initialised
    for the next viewer. Raises RuntimeError, where freeglut would end the
    process, when GLUT is not initialised, no window is open or the loop is
    already running.
    """
    global _loop_running, _leave
    from OpenGL.GLUT import glutGetWindow, glutMainLoopEvent

    if _loop_running or _foreign_loop:
        raise RuntimeError("glutMainLoop: the main loop is already running")
    if not _glut_up():
        raise RuntimeError("glutMainLoop: GLUT is not initialised; call glutInit() first")
    _watch_glut()
    if not _panes:
        if glutGetWindow():
            return _run_foreign_loop()
        raise RuntimeError("glutMainLoop: no window is open")
    _loop_running, _leave = True, False
    if _snapshot is not None:
        add_timer(_snapshot.timeout * 1000, _snapshot.expire)
    try:
        while _panes and not _leave:
            glutMainLoopEvent()
            del _retired[:]
            _run_timers()
            if _panes and not _leave:
                _idle_wait()
    finally:
        _loop_running = False
        _cancel_timers()
        for pane in list(_panes):
            pane.close()
        if _glut_up():
            glutMainLoopEvent()  # completes the destruction of the windows
        del _retired[:]


def _run_foreign_loop():
    """freeglut's own loop, for windows opened without the framework; it
    shuts GLUT down when it returns."""
    global _foreign_loop
    from OpenGL.GLUT import special
    from OpenGL.platform import PLATFORM

    _foreign_loop = True
    try:
        PLATFORM.GLUT.glutMainLoop()
    finally:
        _foreign_loop = False
        special.INITIALIZED = False
        _forget_windows()


def leave_main_loop():
    """Make the running main loop return; it closes every window as it ends."""
    global _leave
    _leave = True
    if _foreign_loop:
        from OpenGL.GLUT import glutLeaveMainLoop

        glutLeaveMainLoop()


def _forget_windows():
    del _panes[:]
    del _closing[:]
    del _retired[:]
    _cancel_timers()


def shutdown():
    """Close every window and shut GLUT down (done at exit by itself).

    Call it before the X server goes away. GLUT can be initialised again
    afterwards, but the GL stack does not reliably survive that.
    """
    from OpenGL.GLUT import glutMainLoopEvent, special
    from OpenGL.platform import PLATFORM

    if _loop_running or _foreign_loop:
        raise RuntimeError("Stagehall.shutdown: the main loop is running")
    if _glut_up():
        for pane in list(_panes):
            pane.close()
        glutMainLoopEvent()
        PLATFORM.GLUT.glutExit()
        special.INITIALIZED = False
    _forget_windows()


def _shutdown_at_exit():
    try:
        if not _loop_running and not _foreign_loop and _glut_up():
            shutdown()
    except Exception:
        traceback.print_exc()


def _take_over_glut():
    """Make ``OpenGL.GLUT.glutInit`` and ``glutMainLoop`` the framework's, for
    the viewers that import them from there."""
    global _pyopengl_glut_init
    try:
        import OpenGL.GLUT as glut
    except ImportError:
        return
    if glut.glutInit is not glut_init:
        _pyopengl_glut_init = glut.glutInit
        glut.glutInit = glut_init
        glut.glutMainLoop = main_loop


# ---------------------------------------------------------------------------
# Windows
# ---------------------------------------------------------------------------

# Callers drop the Framepane they create, so the framework holds every pane.
_panes = []
_closing = []  # closed by the program, until GLUT has destroyed them
# Destroyed during this loop pass: their callbacks are still on the C stack.
_retired = []
_pane_serials = itertools.count(1)
_snapshot = None


def panes():
    """The open panes, oldest first."""
    return list(_panes)


def request_redisplay():
    """Ask every open window to draw again (for instance after a data change)."""
    global _work
    if _panes:
        from OpenGL.GLUT import glutPostWindowRedisplay

        if not _glut_up():  # GLUT was shut down under us
            _forget_windows()
            return
        for pane in _panes:
            glutPostWindowRedisplay(pane.window)
        _work = True


def _ensure_glut():
    if not _glut_up():
        glut_init()
    _watch_glut()


class Framepane(object):
    """A top-level GLUT window showing one view (see the module docstring).

    window_size is (width, height) in pixels, numbers that are rounded;
    window_pos, when given, is the position of the window's corner.
    """

    # a muted blue that stays apart from both greys of the checkerboard
    background = (0.32, 0.4, 0.52, 1.0)

    def __init__(self, title, view, window_size=(640, 480), window_pos=None):
        from OpenGL.GL import GL_DEPTH_TEST, glClearColor, glEnable
        from OpenGL.GLUT import (
            GLUT_DEPTH, GLUT_INIT_DISPLAY_MODE, glutCloseFunc, glutCreateWindow,
            glutDisplayFunc, glutGet, glutInitDisplayMode, glutInitWindowPosition,
            glutInitWindowSize, glutKeyboardFunc, glutMotionFunc, glutMouseFunc,
            glutReshapeFunc)

        if not isinstance(title, _TEXT):
            raise TypeError(
                "Framepane: title must be a str, not %s" % type(title).__name__)
        width, height = _pair("window_size", window_size)
        position = None if window_pos is None else _pair("window_pos", window_pos)
        self.title = title
        self.view = view
        self.width, self.height = int(round(width)), int(round(height))
        self.window_size = (self.width, self.height)
        self.window_pos = position and (int(round(position[0])), int(round(position[1])))
        self.frames = 0
        self._reported = {}   # what failed -> the error last reported for it

        _ensure_glut()
        # The depth test needs a depth buffer, whatever mode the caller chose.
        glutInitDisplayMode(glutGet(GLUT_INIT_DISPLAY_MODE) | GLUT_DEPTH)
        glutInitWindowSize(self.width, self.height)
        glutInitWindowPosition(*(self.window_pos or (-1, -1)))
        self.window = glutCreateWindow(
            title if isinstance(title, bytes) else title.encode("utf-8"))
        self.context = next(_pane_serials)
        # The model's init() may choose its own (Spirelet: white).
        glClearColor(*self.background)
        glEnable(GL_DEPTH_TEST)
        # PyOpenGL drops its references to these when asked to destroy the
        # window, but freeglut still calls them until it has done so.
        self._callbacks = [
            glutDisplayFunc(self._on_display), glutReshapeFunc(self._on_reshape),
            glutKeyboardFunc(self._on_keyboard), glutMouseFunc(self._on_mouse),
            glutMotionFunc(self._on_motion), glutCloseFunc(self._on_close)]
        _panes.append(self)

    def make_current(self):
        """Make this window's GL context the current one."""
        global _current_context
        from OpenGL.GLUT import glutSetWindow

        glutSetWindow(self.window)
        _current_context = self.context

    def display(self):
        """Draw one frame: init the view's models, clear, apply the view, draw, swap."""
        global _work
        from OpenGL.GL import (GL_COLOR_BUFFER_BIT, GL_DEPTH_BUFFER_BIT, GL_MODELVIEW,
                               glClear, glMatrixMode, glViewport)
        from OpenGL.GLUT import glutPostRedisplay, glutSwapBuffers

        self.make_current()
        init_model(self.view)
        glViewport(0, 0, self.width, self.height)
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT)
        self.view.apply(self.width, self.height)
        glMatrixMode(GL_MODELVIEW)
        self.view.draw()
        self.frames += 1
        if _snapshot is not None and self not in _snapshot.done:
            if self.frames >= _snapshot.frames:
                _snapshot.capture(self)
            else:
                glutPostRedisplay()
                _work = True
        glutSwapBuffers()
        if _snapshot is not None and all(p in _snapshot.done for p in _panes):
            leave_main_loop()

    def request_redisplay(self):
        global _work
        from OpenGL.GLUT import glutPostWindowRedisplay

        glutPostWindowRedisplay(self.window)
        _work = True

    def close(self):
        """Destroy the window (GLUT completes it in its event loop)."""
        from OpenGL.GLUT import glutDestroyWindow

        if self in _panes:
            _panes.remove(self)
            if _glut_up():
                _closing.append(self)
                glutDestroyWindow(self.window)

    # GLUT callbacks: an exception escaping one would end the process.

    def _on_display(self):
        try:
            self.display()
        except Exception:
            _report(self, "display", "drawing window %r" % self.title)
        else:
            self._reported.pop("display", None)

    def _on_reshape(self, width, height):
        global _work
        from OpenGL.GLUT import glutPostRedisplay

        self.width, self.height = width, height
        glutPostRedisplay()
        _work = True

    def _on_keyboard(self, key, x, y):
        handler = getattr(self.view, "keyboard", None)
        self._forward(handler, key, x, y)
        if handler is None and key in (b"q", b"Q", b"\x1b"):
            leave_main_loop()

    def _on_mouse(self, button, state, x, y):
        self._forward(getattr(self.view, "mouse", None), button, state, x, y)

    def _on_motion(self, x, y):
        self._forward(getattr(self.view, "motion", None), x, y)

    def _forward(self, handler, *args):
        try:
            if handler is not None and handler(*args):
                self.request_redisplay()
        except Exception:
            _report(self, "input", "handling input in window %r" % self.title)
        else:
            self._reported.pop("input", None)

    def _on_close(self):
        for registry in (_panes, _closing):
            if self in registry:
                registry.remove(self)
        _retired.append(self)


_timer_errors = {}


def _report(pane, kind, doing):
    """Print the exception being handled, unless the same one was printed
    last for this pane and kind (a failing drawing fails at every frame);
    in snapshot mode, also stop."""
    exc_type, exc, tb = sys.exc_info()
    last = traceback.extract_tb(tb)[-1:]
    key = (exc_type, repr(exc), [tuple(frame)[:3] for frame in last])
    seen = _timer_errors if pane is None else pane._reported
    if seen.get(kind) != key:
        seen[kind] = key
        sys.stderr.write("Stagehall: error while %s (shown once while it recurs):\n" % doing)
        traceback.print_exc()
    if _snapshot is not None:
        _snapshot.errors.append(doing)
        leave_main_loop()


def _pair(name, value):
    try:
        first, second = value
        return (first + 0, second + 0)  # numbers only, float or int
    except (TypeError, ValueError):
        _raise_alone(TypeError("Framepane: %s must be a pair of numbers, got %r"
                               % (name, value)))


# ---------------------------------------------------------------------------
# Snapshot mode
# ---------------------------------------------------------------------------

class _Snapshot(object):
    def __init__(self, frames, timeout):
        self.frames = frames
        self.timeout = timeout
        self.done = set()
        self.images = []   # (title, width, height, RGB bytes, top row first)
        self.errors = []

    def capture(self, pane):
        from OpenGL.GL import (GL_BACK, GL_FRONT, GL_PACK_ALIGNMENT, GL_RGB,
                               GL_UNSIGNED_BYTE, glPixelStorei, glReadBuffer, glReadPixels)
        from OpenGL.GLUT import GLUT_WINDOW_DOUBLEBUFFER, glutGet

        # Called before the swap: the finished frame is in the back buffer.
        glReadBuffer(GL_BACK if glutGet(GLUT_WINDOW_DOUBLEBUFFER) else GL_FRONT)
        glPixelStorei(GL_PACK_ALIGNMENT, 1)
        w, h = pane.width, pane.height
        data = glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE)
        if not isinstance(data, bytes):
            data = np.ascontiguousarray(data, dtype=np.uint8).tobytes()
        stride = 3 * w
        rows = b"".join(data[y * stride:(y + 1) * stride] for y in reversed(range(h)))
        self.images.append((pane.title, w, h, rows))
        self.done.add(pane)

    def expire(self):
        sys.stderr.write("Stagehall: snapshot timed out after %g s; windows not drawn: %s\n"
                         % (self.timeout,
                            ", ".join(repr(p.title) for p in _panes if p not in self.done)))
        self.errors.append("timeout")
        leave_main_loop()


def snapshot_mode(frames=3, timeout=60.0):
    """Switch the framework to off-screen capture and return the collector.

    From now on every window draws ``frames`` frames, then its picture is
    captured; once every window has one, the main loop is left. The returned
    object's ``images`` lists (title, width, height, RGB bytes with the top
    row first) and its ``errors`` is non-empty if drawing failed or the
    windows of a main loop took longer than ``timeout`` seconds.
    """
    global _snapshot
    if frames < 1:
        raise ValueError("snapshot_mode: frames must be at least 1")
    _snapshot = _Snapshot(int(frames), float(timeout))
    return _snapshot


def in_snapshot_mode():
    """Whether windows are being captured rather than shown to a person
    (an animation may then hold still, so that every frame is the same)."""
    return _snapshot is not None


_take_over_glut()
