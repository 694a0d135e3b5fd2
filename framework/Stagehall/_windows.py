"""Windows: ``Framepane``, a GLUT window showing one view, and the list of
open windows."""

from __future__ import absolute_import, division

import itertools

from . import _state
from ._glut import _forget_windows, _glut_up, _report, glut_init, leave_main_loop, _watch_glut
from ._models import init_model

try:
    _TEXT = (str, unicode)  # noqa: F821  (Python 2)
except NameError:
    _TEXT = (str,)


def _raise_alone(exc):
    """Raise exc without the exception being handled as its context."""
    exc.__cause__ = None
    exc.__suppress_context__ = True
    raise exc



_pane_serials = itertools.count(1)


def panes():
    """The open panes, oldest first."""
    return list(_state.panes)


def request_redisplay():
    """Ask every open window to draw again (for instance after a data change)."""
    if _state.panes:
        from OpenGL.GLUT import glutPostWindowRedisplay

        if not _glut_up():  # GLUT was shut down under us
            _forget_windows()
            return
        for pane in _state.panes:
            glutPostWindowRedisplay(pane.window)
        _state.work = True


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
        _state.panes.append(self)

    def make_current(self):
        """Make this window's GL context the current one."""
        from OpenGL.GLUT import glutSetWindow

        glutSetWindow(self.window)
        _state.current_context = self.context

    def display(self):
        """Draw one frame: init the view's models, clear, apply the view, draw, swap."""
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
        if _state.snapshot is not None and self not in _state.snapshot.done:
            if self.frames >= _state.snapshot.frames:
                _state.snapshot.capture(self)
            else:
                glutPostRedisplay()
                _state.work = True
        glutSwapBuffers()
        if _state.snapshot is not None and all(p in _state.snapshot.done for p in _state.panes):
            leave_main_loop()

    def request_redisplay(self):
        from OpenGL.GLUT import glutPostWindowRedisplay

        glutPostWindowRedisplay(self.window)
        _state.work = True

    def close(self):
        """Destroy the window (GLUT completes it in its event loop)."""
        from OpenGL.GLUT import glutDestroyWindow

        if self in _state.panes:
            _state.panes.remove(self)
            if _glut_up():
                _state.closing.append(self)
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
        from OpenGL.GLUT import glutPostRedisplay

        self.width, self.height = width, height
        glutPostRedisplay()
        _state.work = True

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
        for registry in (_state.panes, _state.closing):
            if self in registry:
                registry.remove(self)
        _state.retired.append(self)


def _pair(name, value):
    try:
        first, second = value
        return (first + 0, second + 0)  # numbers only, float or int
    except (TypeError, ValueError):
        _raise_alone(TypeError("Framepane: %s must be a pair of numbers, got %r"
                               % (name, value)))
