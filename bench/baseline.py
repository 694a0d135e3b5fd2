"""The plain-C drawing baseline (bench/gl_baseline.c) through ctypes.

The library is built with the modules (build/bench/) and draws on whatever
GL context is current in this process, so it can be timed next to the
native modules on the same window.

PyOpenGL's error checking, as measured by counting the calls of its error
checker's check function: after every GL call its wrapper calls
glGetError, except between glBegin and glEnd (glBegin is not followed by a
check, glEnd is); GLU calls (gluNewQuadric, gluSphere, gluCylinder) are not
checked at all. The C code makes the same checks; error_checks() counts them,
and checks_of() counts PyOpenGL's, so the two can be compared.
"""

import ctypes
import os

import numpy as np

LIBRARY = "libbench_gl_baseline.so"

_c_double_p = ctypes.POINTER(ctypes.c_double)


def _candidates():
    if os.environ.get("BENCH_GL_BASELINE"):
        yield os.environ["BENCH_GL_BASELINE"]
    try:  # the build that the native modules come from
        import Quiltsheet
        yield os.path.join(os.path.dirname(os.path.abspath(Quiltsheet.__file__)), "..", "bench", LIBRARY)
    except ImportError:
        pass
    yield os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", LIBRARY)


def load():
    """The library, with PyOpenGL's error checking mirrored (importing
    OpenGL.GL first, so that its GL library is the one in use)."""
    import OpenGL.GL  # noqa: F401
    from OpenGL.raw.GL import _errors
    for path in _candidates():
        if os.path.exists(path):
            lib = ctypes.CDLL(os.path.normpath(path))
            break
    else:
        raise ImportError("%s not found; run make build" % LIBRARY)
    lib.bl_set_error_checking.argtypes = [ctypes.c_int]
    lib.bl_set_error_checking.restype = None
    lib.bl_error_checks.argtypes = []
    lib.bl_error_checks.restype = ctypes.c_ulong
    lib.bl_patch_coefficients.argtypes = [_c_double_p, _c_double_p]
    lib.bl_patch_coefficients.restype = None
    lib.bl_patch_draw.argtypes = [_c_double_p, ctypes.c_int, ctypes.c_int]
    lib.bl_spirelet.argtypes = [ctypes.c_int]
    lib.bl_spline_coefficients.argtypes = [_c_double_p, ctypes.c_int, _c_double_p]
    lib.bl_spline_coefficients.restype = None
    lib.bl_spline_draw.argtypes = [_c_double_p, ctypes.c_int, ctypes.c_int]
    lib.bl_garden_draw.argtypes = [_c_double_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                   ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    for f in (lib.bl_patch_draw, lib.bl_spirelet, lib.bl_spline_draw, lib.bl_garden_draw):
        f.restype = ctypes.c_uint
    lib.bl_set_error_checking(1 if _errors._error_checker else 0)
    return lib


_lib = None


def lib():
    global _lib
    if _lib is None:
        _lib = load()
    return _lib


def _raise_for(code):
    if code:
        from OpenGL.error import GLError
        raise GLError(code, None)


def _pointer(array):
    return array.ctypes.data_as(_c_double_p)


def error_checks():
    """glGetError calls the C code has made so far."""
    return lib().bl_error_checks()


def checks_of(draw):
    """glGetError calls that PyOpenGL's wrappers make while ``draw()`` runs."""
    from OpenGL.raw.GL import _errors
    checker, count = _errors._error_checker, [0]
    if not checker:
        draw()
        return 0
    get_errors = checker._getErrors

    def counted():
        count[0] += 1
        return get_errors()

    saved = checker.__dict__.copy()
    checker._registeredChecker = counted
    if checker._currentChecker is saved["_registeredChecker"]:
        checker._currentChecker = counted
    try:
        draw()
    finally:
        checker.__dict__.clear()
        checker.__dict__.update(saved)
    return count[0]


class Patch(object):
    """Quiltsheet.draw_scene(False) in C, for the given control points."""

    def __init__(self, data_points, num_samples_rendering=(34, 34)):
        points = np.ascontiguousarray(data_points, dtype=float)
        if points.shape != (16, 3):
            raise ValueError("16 control points of three coordinates expected")
        self.mat = np.empty((3, 4, 4))
        lib().bl_patch_coefficients(_pointer(points), _pointer(self.mat))
        self._m, self._n = (int(v) for v in num_samples_rendering)
        self._mat = _pointer(self.mat)
        self._draw = lib().bl_patch_draw

    def draw_scene(self):
        _raise_for(self._draw(self._mat, self._m, self._n))


class Spline(object):
    """Swoopline.draw_scene(False) in C, for the given (point, tangent) pairs."""

    def __init__(self, data_points, num_samples_rendering=101):
        data = np.ascontiguousarray([[p, m] for p, m in data_points], dtype=float)
        if data.ndim != 3 or data.shape[1:] != (2, 3):
            raise ValueError("(point, tangent) pairs of three coordinates expected")
        self.segments = max(len(data) - 1, 0)
        self.coeff = np.empty((max(self.segments, 1), 3, 4))
        lib().bl_spline_coefficients(_pointer(data), len(data), _pointer(self.coeff))
        self._samples = int(num_samples_rendering)
        self._coeff = _pointer(self.coeff)
        self._draw = lib().bl_spline_draw

    def draw_scene(self):
        _raise_for(self._draw(self._coeff, self.segments, self._samples))


class Spirelet(object):
    """Spirelet.drawSpirelet(level) in C."""

    def __init__(self):
        self._draw = lib().bl_spirelet

    def drawSpirelet(self, level):
        _raise_for(self._draw(level))


class Garden(object):
    """Arborlot.draw_scene() in C for a garden without plants: axes,
    checkerboard and the terrain ``Patch``, the first two from the arrays
    the framework draws them from."""

    def __init__(self, terrain):
        import Sketchkit

        self.terrain = terrain
        self._draw = lib().bl_garden_draw
        self.axes = Sketchkit._axes_array()
        (self.board,) = Sketchkit._board_slices(8, 8, ((0.8, 0.8, 0.8), (0.2, 0.2, 0.2)))
        self._arrays = (self.axes.ctypes.data, len(self.axes),
                        self.board.ctypes.data, len(self.board))

    def draw_scene(self):
        t = self.terrain
        _raise_for(self._draw(t._mat, t._m, t._n, *self._arrays))
