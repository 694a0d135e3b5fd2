"""GLUT: finding the library, initialisation, the main loop, timers and
shutdown. GLUT is initialised once per process and stays up; the main loop
returns when it is left or the last window closes."""

from __future__ import absolute_import, division

import atexit
import ctypes
import ctypes.util
import numbers
import os
import sys
import time
import traceback

from . import _state

_clock = getattr(time, "monotonic", time.time)



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


NO_DISPLAY = (
    "no window can be opened: %s. To get pictures without a display, run "
    "`geomviews-snapshot MODULE [OUTDIR]` (it starts a private X server and writes "
    "one PNG file per window), or run the program under `xvfb-run`.")


def _argv(args):
    """glutInit's arguments as a list of strings: (), (count, values),
    (values,) or the values themselves."""
    if not args:
        return []
    if isinstance(args[0], numbers.Integral):
        args = args[1:]
    elif len(args) == 1 and not isinstance(args[0], (bytes, str, type(u""))):
        args = args[0]
    return [a.decode("utf-8", "replace") if isinstance(a, bytes) else str(a) for a in args]


def _program_name():
    """What GLUT calls the program in its messages: the script's own name."""
    script = sys.argv[0] if sys.argv else ""
    if script in ("", "-c", "-m"):
        script = sys.executable or "python"
    return os.path.basename(script)


def _library(name):
    path = ctypes.util.find_library(name)
    try:
        return ctypes.CDLL(path) if path else None
    except OSError:
        return None


def display_problem(display=None):
    """Why GLUT could not open the X display (``display``, else the one
    DISPLAY names), or None when it can. freeglut ends the process instead
    of failing; this asks Xlib first."""
    name = display or os.environ.get("DISPLAY")
    if not name:
        return "DISPLAY is not set"
    x11 = _library("X11")
    if x11 is None:
        return None  # GLUT will tell
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(name.encode("utf-8"))
    if not connection:
        return "the X display %r cannot be opened" % name
    try:
        gl = _library("GL")
        if gl is not None and hasattr(gl, "glXQueryExtension"):
            gl.glXQueryExtension.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
            if not gl.glXQueryExtension(connection, None, None):
                return "the X display %r has no OpenGL (GLX) extension" % name
    finally:
        x11.XCloseDisplay(connection)
    return None


def glut_init(*args):
    """``glutInit()`` that may be called any number of times.

    freeglut ends the process on a second initialisation; here later calls
    return at once while GLUT is up. Where freeglut would end the process
    because no X display can be opened, raises RuntimeError. Without
    arguments GLUT knows the program by the name of its script.
    """
    from OpenGL.GLUT import special

    if _glut_up():
        return list(args)
    argv = _argv(args)
    display = None
    if "-display" in argv[1:-1]:
        display = argv[argv.index("-display", 1) + 1]
    problem = display_problem(display)
    if problem:
        raise RuntimeError(NO_DISPLAY % problem)
    special.INITIALIZED = False  # PyOpenGL would skip the call after a shutdown
    result = (_pyopengl_glut_init or special.glutInit)(*(args or (_program_name(),)))
    _watch_glut()
    return result


def _raise_alone(exc):
    """Raise exc without the exception being handled as its context."""
    exc.__cause__ = None
    exc.__suppress_context__ = True
    raise exc


if sys.version_info[0] >= 3:
    def _reraise(exc_info):
        raise exc_info[1].with_traceback(exc_info[2])
else:
    exec("def _reraise(exc_info):\n    raise exc_info[0], exc_info[1], exc_info[2]\n")


def _stop_loop_with(exc_info):
    """End the main loop with a KeyboardInterrupt or SystemExit caught in a
    GLUT callback (sys.exc_info()); the loop raises it once it has closed
    the windows."""
    if _state.pending is None:
        _state.pending = exc_info
    leave_main_loop()


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
    _state.timers.append(timer)
    return timer


def _run_timers():
    now = _clock()
    due = [t for t in _state.timers if t.due <= now or not t.active]
    for timer in due:
        _state.timers.remove(timer)
    for timer in sorted(due, key=lambda t: t.due):
        if timer.active:
            timer.active = False
            try:
                timer.callback()
            except Exception:
                _report(None, "timer", "running the timer %r" % (timer.callback,))


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
    if _state.snapshot is not None:
        _state.snapshot.errors.append(doing)
        leave_main_loop()


def _cancel_timers():
    for timer in _state.timers:
        timer.active = False
    del _state.timers[:]


def _idle_wait():
    if _state.work:
        _state.work = False
        return
    wait = _IDLE_WAIT
    if _state.timers:
        wait = min(wait, min(t.due for t in _state.timers) - _clock())
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

    A KeyboardInterrupt or SystemExit raised in a callback (a drawing, a key
    handler) ends the loop like any other way out, and is then raised here,
    as it would be by any Python function (Ctrl-C, ``sys.exit(n)``). One
    raised while no loop ran comes out of the next one at its start.
    """
    from OpenGL.GLUT import glutGetWindow, glutMainLoopEvent

    if _state.loop_running or _state.foreign_loop:
        raise RuntimeError("glutMainLoop: the main loop is already running")
    if not _glut_up():
        raise RuntimeError("glutMainLoop: GLUT is not initialised; call glutInit() first")
    _watch_glut()
    pending, _state.pending = _state.pending, None
    if pending is not None:
        _reraise(pending)
    snapshot = _state.snapshot
    if not _state.panes:
        if snapshot is not None:
            raise RuntimeError("glutMainLoop: snapshot mode captures the framework's windows "
                               "(Framepane), and none is open")
        if glutGetWindow():
            return _run_foreign_loop()
        raise RuntimeError("glutMainLoop: no window is open")
    _state.loop_running, _state.leave = True, False
    if snapshot is not None:
        add_timer(snapshot.timeout * 1000, snapshot.expire)
    try:
        while _state.panes and not _state.leave:
            glutMainLoopEvent()
            del _state.retired[:]
            if snapshot is not None:
                # Drawn here rather than when GLUT asks: GLUT does not ask for
                # a window that is covered or off the screen.
                snapshot.draw_pending()
            _run_timers()
            if _state.panes and not _state.leave:
                _idle_wait()
    finally:
        _state.loop_running = False
        _cancel_timers()
        for pane in list(_state.panes):
            pane.close()
        if _glut_up():
            glutMainLoopEvent()  # completes the destruction of the windows
        del _state.retired[:]
        pending, _state.pending = _state.pending, None
    if pending is not None:
        _reraise(pending)


def _run_foreign_loop():
    """freeglut's own loop, for windows opened without the framework; it
    shuts GLUT down when it returns."""
    from OpenGL.GLUT import special
    from OpenGL.platform import PLATFORM

    _state.foreign_loop = True
    try:
        PLATFORM.GLUT.glutMainLoop()
    finally:
        _state.foreign_loop = False
        special.INITIALIZED = False
        _forget_windows()


def leave_main_loop():
    """Make the running main loop return; it closes every window as it ends."""
    _state.leave = True
    if _state.foreign_loop:
        from OpenGL.GLUT import glutLeaveMainLoop

        glutLeaveMainLoop()


def _forget_windows():
    del _state.panes[:]
    del _state.closing[:]
    del _state.retired[:]
    del _state.deferred[:]
    _state.destroyed.clear()  # a new GLUT numbers its windows afresh
    _cancel_timers()


def shutdown():
    """Close every window and shut GLUT down (done at exit by itself).

    Call it before the X server goes away. GLUT can be initialised again
    afterwards, but the GL stack does not reliably survive that.
    """
    from OpenGL.GLUT import glutMainLoopEvent, special
    from OpenGL.platform import PLATFORM

    if _state.loop_running or _state.foreign_loop:
        raise RuntimeError("Stagehall.shutdown: the main loop is running")
    if _glut_up():
        for pane in list(_state.panes):
            pane.close()
        glutMainLoopEvent()
        PLATFORM.GLUT.glutExit()
        special.INITIALIZED = False
    _forget_windows()


def _shutdown_at_exit():
    try:
        if not _state.loop_running and not _state.foreign_loop and _glut_up():
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
