"""Windows: ``Framepane``, a GLUT window showing one view, the list of open
windows, and the framework's ``glutDestroyWindow``."""

from __future__ import absolute_import, division

import itertools
import sys
import types

from . import _state
from ._glut import (_forget_windows, _glut_up, _raise_alone, _report, _stop_loop_with,
                    _watch_glut, glut_init, leave_main_loop)
from ._models import forget_context, free_dead_lists, init_model
from ._snapshot import read_frame, write_png

try:
    _TEXT = (str, unicode)  # noqa: F821  (Python 2)
except NameError:
    _TEXT = (str,)

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
    """A top-level GLUT window showing one view (see the package docstring).

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
        free_dead_lists(self.context)

    def _draw_frame(self):
        """Init the view's models, clear, apply the view and draw; the frame
        is left in the back buffer, this window current."""
        from OpenGL.GL import (GL_COLOR_BUFFER_BIT, GL_DEPTH_BUFFER_BIT, GL_MODELVIEW,
                               glClear, glMatrixMode, glViewport)
        from OpenGL.GLUT import glutGetWindow

        self.make_current()
        init_model(self.view)
        glViewport(0, 0, self.width, self.height)
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT)
        self.view.apply(self.width, self.height)
        glMatrixMode(GL_MODELVIEW)
        self.view.draw()
        if glutGetWindow() != self.window:  # the drawing chose another window
            self.make_current()

    def display(self):
        """Draw one frame: init the view's models, clear, apply the view, draw, swap.

        Windows closed while it draws (``close()``, ``glutDestroyWindow``),
        this one included, close once the frame is done.
        """
        from OpenGL.GLUT import glutPostWindowRedisplay, glutSwapBuffers

        snapshot = _state.snapshot
        _state.drawing += 1
        try:
            self._draw_frame()
            self.frames += 1
            if snapshot is not None and self not in snapshot.done:
                if self.frames >= snapshot.frames:
                    snapshot.capture(self)
                else:
                    glutPostWindowRedisplay(self.window)
                    _state.work = True
            glutSwapBuffers()
        finally:
            _drawing_done()
        if snapshot is not None and all(p in snapshot.done for p in _state.panes):
            leave_main_loop()

    def save_png(self, path):
        """Draw a frame of this window now and write it to ``path`` as a PNG
        file (8-bit RGB, the window's size); returns ``path``.

        Works with or without a running main loop, inside a drawing of
        another window, and for a window that is covered or off the screen.
        An exception of the drawing propagates, and no file is written.
        """
        from OpenGL.GLUT import glutGetWindow, glutSetWindow

        if self not in _state.panes:
            raise RuntimeError("Framepane.save_png: the window %r is closed" % self.title)
        window, context = glutGetWindow(), _state.current_context
        _state.drawing += 1
        try:
            self._draw_frame()
            rgb = read_frame(self.width, self.height)
        finally:
            if window and window != self.window and window not in _state.destroyed:
                glutSetWindow(window)
                _state.current_context = context
            _drawing_done()
        write_png(path, self.width, self.height, rgb)
        return path

    def request_redisplay(self):
        from OpenGL.GLUT import glutPostWindowRedisplay

        glutPostWindowRedisplay(self.window)
        _state.work = True

    def close(self):
        """Destroy the window (GLUT completes it in its event loop); during
        a drawing, once the drawing is done. Closing it again does nothing."""
        if self not in _state.panes:
            return
        if _state.drawing:
            if self not in _state.deferred:
                _state.deferred.append(self)
            return
        _state.panes.remove(self)
        if _glut_up():
            _state.closing.append(self)
            _destroy(self.window)

    # GLUT callbacks: an exception escaping one would end the process, and
    # ctypes drops a KeyboardInterrupt or SystemExit; the main loop raises it.

    def _guarded(self, key, doing, action):
        """Run action(); an error is reported once (until ``key`` next
        succeeds) and drawing goes on, an interrupt or exit ends the loop."""
        try:
            action()
        except Exception:
            _report(self, key, doing % (self.title,))
        except BaseException:
            _stop_loop_with(sys.exc_info())
        else:
            self._reported.pop(key, None)

    def _on_display(self):
        self._guarded("display", "drawing window %r", self.display)

    def _on_reshape(self, width, height):
        self.width, self.height = width, height
        self.request_redisplay()

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
        def forward():
            if handler is not None and handler(*args):
                self.request_redisplay()
        self._guarded("input", "handling input in window %r", forward)

    def _on_close(self):
        for registry in (_state.panes, _state.closing, _state.deferred):
            while self in registry:
                registry.remove(self)
        _state.destroyed.add(self.window)
        _state.retired.append(self)
        forget_context(self.context)


def _drawing_done():
    """One drawing less; after the outermost, the closes it asked for."""
    _state.drawing -= 1
    while _state.deferred and not _state.drawing:
        item = _state.deferred.pop(0)
        if isinstance(item, Framepane):
            item.close()
        else:
            destroy_window(item)


def destroy_window(window):
    """``glutDestroyWindow`` of the framework (PyOpenGL's, wherever a program
    holds it, comes here).

    A framework window is closed as by ``close()``; during a drawing any
    window is destroyed once the drawing is done; a window destroyed
    already is left alone (freeglut would free it twice).
    """
    window = int(window)
    for pane in _state.panes:
        if pane.window == window:
            pane.close()
            return
    if window in _state.destroyed or not _glut_up():
        return
    if _state.drawing:
        if window not in _state.deferred:
            _state.deferred.append(window)
        return
    _destroy(window)


def _destroy(window):
    _state.destroyed.add(window)
    _pyopengl_destroy(window)


def _pyopengl_destroy(window):
    from OpenGL.GLUT import glutDestroyWindow

    glutDestroyWindow(window)


def _destroy_trampoline(window):
    return _stagehall_destroy_window(window)  # noqa: F821  (a global of OpenGL.GLUT.special)


def _take_over_destroy():
    """Route PyOpenGL's ``glutDestroyWindow`` to ``destroy_window``.

    Its function object is also in the globals of every module that imported
    it before the framework, so its code is what changes; the original code
    stays available to the framework.
    """
    global _pyopengl_destroy
    special = sys.modules.get("OpenGL.GLUT.special")
    function = getattr(special, "glutDestroyWindow", None)
    if not isinstance(function, types.FunctionType):
        return
    original = getattr(special, "_stagehall_original_destroy", None)
    if original is None:
        original = types.FunctionType(function.__code__, function.__globals__,
                                      function.__name__, function.__defaults__)
        special._stagehall_original_destroy = original
        function.__code__ = _destroy_trampoline.__code__
    special._stagehall_destroy_window = destroy_window
    _pyopengl_destroy = original


def _pair(name, value):
    try:
        first, second = value
        return (first + 0, second + 0)  # numbers only, float or int
    except (TypeError, ValueError):
        _raise_alone(TypeError("Framepane: %s must be a pair of numbers, got %r"
                               % (name, value)))
