"""Plain-Python renditions of the Quiltsheet, Swoopline, Spirelet and Arborlot
scene classes, written statement by statement after their algorithms, with
the same mends as the native modules.

They serve as the reference that the native modules are compared with (the
differential test and the bench), so they use the module globals exactly as
the native modules do: a test may replace or delete a global here (a GL
function, ``np``, ``sqrt`` ...) just as in a native module. The mends work
only through private references taken at import, so they add no call that a
substituted global or a recording ``__getattribute__`` could observe.

Runs on Python 2.7 as well as 3.x.
"""
from __future__ import division

import math as _math
import numbers as _numbers

import numpy as _numpy

import numpy as np
from numpy import transpose
from numpy.linalg import inv
from numpy import arccos as acos
from numpy import pi
from Stagehall import Model
from OpenGL.GL import *  # noqa: F401,F403
from OpenGL.GLU import *  # noqa: F401,F403
from Sketchkit import *  # noqa: F401,F403

# Private references for the mends: a module global of the same name (a test
# may set one) must not change them or see them called.
_range = range  # the modules take the builtin range once, at import
_len = len
_float = float
_type = type
_list = list
_abs = abs
_max = max
_isinstance = isinstance
_int = int
_bool = bool
try:
    _INTS = (int, long, bool)  # noqa: F821 (Python 2)
    _EXACT_INTS = (int, long)  # noqa: F821
except NameError:
    _INTS = (int, bool)
    _EXACT_INTS = (int,)
_issubclass = issubclass
_all = all
_any = any
_enumerate = enumerate
_BaseException = BaseException
_Exception = Exception
_TypeError = TypeError
_ValueError = ValueError
_RuntimeError = RuntimeError
_object_getattribute = object.__getattribute__
_G = globals()
_MISSING = object()
_NO_LIST = []  # never handed out


def _ulp(x):
    try:
        return _math.ulp(x)
    except AttributeError:  # Python < 3.9
        return _float(_numpy.spacing(_abs(x)))


def _finite(x):
    return not (_math.isinf(x) or _math.isnan(x))


def _close_opened(opened):
    # Mend: close what a drawing call opened, innermost first, through the
    # same module globals; the exception that interrupted it wins.
    while opened:
        name = opened.pop()
        try:
            _G[name]()
        except _BaseException:
            pass


# ---------------------------------------------------------------------------
# Quiltsheet


def _flat(hi, lo):
    try:
        h = _float(hi)
        l = _float(lo)
    except _Exception:
        return False
    if not (_finite(h) and _finite(l)):
        return False
    return h - l <= 128 * _ulp(_max(_abs(h), _abs(l)))


def _half_like(d):
    return _numpy.full(_numpy.shape(d), 0.5)


def _cell(X, c, r):
    if _type(X) is _numpy.ndarray and X.ndim == 2 and X.dtype == _numpy.float64:
        rows, cols = X.shape
        if not (r + 1 < rows and c + 1 < cols) and (c + 1 < rows and r + 1 < cols):
            return c, r
    return r, c


class PyQuiltsheet(Model):

    def __init__(self, data_points, num_samples_rendering=(34, 34)):
        Model.__init__(self)
        self.data_points = data_points
        self.num_samples_rendering = num_samples_rendering
        self.B = np.linalg.inv([[0, 1, 8, 27], [0, 1, 4, 9], [0, 1, 2, 3], [1, 1, 1, 1]])
        self.MatX = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, 0], (4, 4)), self.B))
        self.MatY = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, 1], (4, 4)), self.B))
        self.MatZ = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, 2], (4, 4)), self.B))

    def evaluate(self, st_param):
        s = st_param[0]
        t = st_param[1]
        assert 0.0 <= s and s <= 3.0 and 0.0 <= t and t <= 3.0
        S = [s * s * s, s * s, s, 1]
        T = [t * t * t, t * t, t, 1]
        dS = [3 * s * s, 2 * s, 1, 0]
        dT = [3 * t * t, 2 * t, 1, 0]
        x = np.dot(S, np.dot(self.MatX, T))
        y = np.dot(S, np.dot(self.MatY, T))
        z = np.dot(S, np.dot(self.MatZ, T))
        dsx = np.dot(dS, np.dot(self.MatX, T))
        dsy = np.dot(dS, np.dot(self.MatY, T))
        dsz = np.dot(dS, np.dot(self.MatZ, T))
        dtx = np.dot(S, np.dot(self.MatX, dT))
        dty = np.dot(S, np.dot(self.MatY, dT))
        dtz = np.dot(S, np.dot(self.MatZ, dT))
        return [x, y, z, dsx, dsy, dsz, dtx, dty, dtz]

    def get_samples(self, samples=(7, 7)):
        assert samples[0] >= 2 and samples[1] >= 2
        X = np.zeros(samples)
        Y = np.zeros(samples)
        Z = np.zeros(samples)
        DsX = np.zeros(samples)
        DsY = np.zeros(samples)
        DsZ = np.zeros(samples)
        DtX = np.zeros(samples)
        DtY = np.zeros(samples)
        DtZ = np.zeros(samples)
        for i in _range(samples[0]):
            for j in _range(samples[1]):
                p = self.evaluate([3.0 * i / (samples[0] - 1.0), 3.0 * j / (samples[1] - 1.0)])
                X[i][j] = p[0]
                Y[i][j] = p[1]
                Z[i][j] = p[2]
                DsX[i][j] = p[3]
                DsY[i][j] = p[4]
                DsZ[i][j] = p[5]
                DtX[i][j] = p[6]
                DtY[i][j] = p[7]
                DtZ[i][j] = p[8]
        return (X, Y, Z, DsX, DsY, DsZ, DtX, DtY, DtZ)

    def set_color_from_XYZ(self, x, y, z):
        assert 0.0 <= x and x <= 1.0 and 0.0 <= y and y <= 1.0 and 0.0 <= z and z <= 1.0
        glColor3f(x, y, z)

    def draw_scene(self, bDrawCoordAxes=True):
        opened = []
        try:
            result = self.get_samples(self.num_samples_rendering)
            if bDrawCoordAxes is True:
                glPushMatrix()
                opened.append("glPopMatrix")
                glScalef(0.25, 0.25, 0.25)
                draw3DCoordinateAxesQuadrics()
                opened.pop()
                glPopMatrix()
            X = result[0]
            Y = result[1]
            Z = result[2]
            # Mend: a coordinate that is flat within rounding noise sits at
            # 0.5 instead of dividing zero (or noise) by zero (or noise).
            lo = np.min(X)
            d = X - lo
            hi = np.max(X)
            lo2 = np.min(X)
            rng = hi - lo2
            Xnorm = _half_like(d) if _flat(hi, lo2) else d / rng
            lo = np.min(Y)
            d = Y - lo
            hi = np.max(Y)
            lo2 = np.min(Y)
            rng = hi - lo2
            Ynorm = _half_like(d) if _flat(hi, lo2) else d / rng
            lo = np.min(Z)
            d = Z - lo
            hi = np.max(Z)
            lo2 = np.min(Z)
            rng = hi - lo2
            Znorm = _half_like(d) if _flat(hi, lo2) else d / rng
            glPushMatrix()
            opened.append("glPopMatrix")
            glPushAttrib(GL_ALL_ATTRIB_BITS)
            opened.append("glPopAttrib")
            glDisable(GL_CULL_FACE)
            glTranslatef(-0.5, -0.5, -0.5)
            m = self.num_samples_rendering[0]
            for c in _range(m - 1):
                n = self.num_samples_rendering[1]
                for r in _range(n - 1):
                    # Mend: where [r][c] lies outside a grid of unequal
                    # sides, the cell [c][r], which the loop never reaches.
                    a, b = _cell(Xnorm, c, r)
                    glBegin(GL_TRIANGLES)
                    opened.append("glEnd")
                    self.set_color_from_XYZ(Xnorm[a][b], Ynorm[a][b], Znorm[a][b])
                    glVertex3f(Xnorm[a][b], Ynorm[a][b], Znorm[a][b])
                    self.set_color_from_XYZ(Xnorm[a + 1][b], Ynorm[a + 1][b], Znorm[a + 1][b])
                    glVertex3f(Xnorm[a + 1][b], Ynorm[a + 1][b], Znorm[a + 1][b])
                    self.set_color_from_XYZ(Xnorm[a + 1][b + 1], Ynorm[a + 1][b + 1], Znorm[a + 1][b + 1])
                    glVertex3f(Xnorm[a + 1][b + 1], Ynorm[a + 1][b + 1], Znorm[a + 1][b + 1])
                    self.set_color_from_XYZ(Xnorm[a][b], Ynorm[a][b], Znorm[a][b])
                    glVertex3f(Xnorm[a][b], Ynorm[a][b], Znorm[a][b])
                    self.set_color_from_XYZ(Xnorm[a + 1][b + 1], Ynorm[a + 1][b + 1], Znorm[a + 1][b + 1])
                    glVertex3f(Xnorm[a + 1][b + 1], Ynorm[a + 1][b + 1], Znorm[a + 1][b + 1])
                    self.set_color_from_XYZ(Xnorm[a][b + 1], Ynorm[a][b + 1], Znorm[a][b + 1])
                    glVertex3f(Xnorm[a][b + 1], Ynorm[a][b + 1], Znorm[a][b + 1])
                    opened.pop()
                    glEnd()
            opened.pop()
            glPopAttrib()
            opened.pop()
            glPopMatrix()
        except _BaseException:
            _close_opened(opened)
            raise
        return result


# ---------------------------------------------------------------------------
# Swoopline


def _instance_dict(obj):
    # read without going through a __getattribute__ of the class
    try:
        return _object_getattribute(obj, "__dict__")
    except _Exception:
        return None


def _spline_snapshot(obj):
    d = _instance_dict(obj)
    if d is None:
        return None
    P = d.get("point_tangent_list", _MISSING)
    C = d.get("coeff_matrix", _MISSING)
    if _type(P) is not _list or _type(C) is not _list:
        return None
    return (P, _len(P), C, _len(C))


def _spline_changed(obj, snap, added_points):
    if snap is None:
        return False
    P, n_points, C, n_coeffs = snap
    d = _instance_dict(obj)
    return (d.get("point_tangent_list", _MISSING) is not P or d.get("coeff_matrix", _MISSING) is not C
            or _len(P) != n_points + added_points or _len(C) != n_coeffs)


def _spline_restore(obj, snap):
    P, n_points, C, n_coeffs = snap
    d = _instance_dict(obj)
    d["point_tangent_list"] = P
    d["coeff_matrix"] = C
    del P[n_points:]
    del C[n_coeffs:]


def _remove_if_last(seq, item):
    if _type(seq) is _list and seq and seq[-1] is item:
        del seq[-1]


_CHANGED = "the spline was changed while a data point was being added"
_ANOTHER = "another call is changing the spline"
# Mend: splines an add_point or set_data is changing; set_data lets its own
# add_point calls in (one at a time).
_BUSY = []
_LET_IN = [None]


class _Changing(object):
    def __init__(self, spline):
        self.spline = None
        if _any(s is spline for s in _BUSY):
            if _LET_IN[0] is not spline:
                raise _RuntimeError(_ANOTHER)
            _LET_IN[0] = None
            return
        _BUSY.append(spline)
        self.spline = spline

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.spline is not None:
            for i, s in _enumerate(_BUSY):
                if s is self.spline:
                    del _BUSY[i]
                    break


def _is_zero_vector(v):
    try:
        return _bool((_numpy.asarray(v) == 0).all())
    except _Exception:
        return False


_REAL_SCALARS = (_float, _numpy.integer, _numpy.floating, _numpy.bool_)


def _safe_length(v, length):
    # Mend: numpy's norm squares the components, which underflows to 0 or
    # overflows to inf for tiny or huge finite tangents. It reads only plain
    # real numbers, so that it warns of nothing and runs no code of theirs.
    if not (_isinstance(length, _REAL_SCALARS) or _type(length) in _INTS):
        return length
    f = _float(length)
    if f != 0.0 and not _math.isinf(f):
        return length
    try:
        a = _numpy.asarray(v)
    except _Exception:
        return length
    if a.ndim != 1 or a.size == 0 or a.dtype.kind not in "biuf":
        return length
    a = a.astype(_float)
    if not _all(_finite(x) for x in a.flat):
        return length
    scale = _float(_numpy.max(_numpy.abs(a)))
    if scale == 0.0:
        return length
    u = a / scale
    return _math.sqrt(_float(_numpy.dot(u.ravel(), u.ravel()))) * scale


class PySwoopline(Model):

    def __init__(self, data_points=None, num_samples_rendering=101):
        Model.__init__(self)
        self.num_samples_rendering = num_samples_rendering
        self.B_Hermite = inv([[0, 1, 0, 3], [0, 1, 0, 2], [0, 1, 1, 1], [1, 1, 0, 0]])
        self.coeff_matrix = []
        self.point_tangent_list = []
        if data_points is None:
            return
        self.set_data(data_points)

    def set_data(self, point_tangent_list):
        # Mend: all or nothing; on failure the previous lists are put back.
        with _Changing(self):
            d = _instance_dict(self)
            saved = [(k, d.get(k, _MISSING)) for k in ("point_tangent_list", "coeff_matrix")] if d is not None else []
            try:
                self.point_tangent_list = []
                self.coeff_matrix = []
                for data_point in point_tangent_list:
                    add_point = self.add_point
                    _LET_IN[0] = self
                    try:
                        add_point(data_point)
                    finally:
                        _LET_IN[0] = None
            except _BaseException:
                for k, v in saved:
                    if v is _MISSING:
                        d.pop(k, None)
                    else:
                        d[k] = v
                raise

    def add_point(self, data_point):
        # Mend: all or nothing.
        with _Changing(self):
            snap = _spline_snapshot(self)
            points = self.point_tangent_list
            points.append(data_point)
            restored = False
            try:
                if len(self.point_tangent_list) < 2:
                    if _spline_changed(self, snap, 1):
                        _spline_restore(self, snap)
                        restored = True
                        raise _RuntimeError(_CHANGED)
                    return None
                p0 = self.point_tangent_list[-2][0]
                m0 = self.point_tangent_list[-2][1]
                p1 = self.point_tangent_list[-1][0]
                m1 = self.point_tangent_list[-1][1]
                G_Hermite = transpose([p0, p1, m0, m1])
                coeff_matrix = np.dot(G_Hermite, self.B_Hermite)
                if _spline_changed(self, snap, 1):
                    _spline_restore(self, snap)
                    restored = True
                    raise _RuntimeError(_CHANGED)
                self.coeff_matrix.append(coeff_matrix)
            except _BaseException:
                if not restored:
                    _remove_if_last(points, data_point)
                raise

    def evaluate_curve_segment(self, segNo, t):
        if len(self.coeff_matrix) < 1:
            return None
        p = np.dot(self.coeff_matrix[segNo], [t * t * t, t * t, t, 1])
        m = np.dot(self.coeff_matrix[segNo], [3 * t * t, 2 * t, 1, 0])
        return (p, m)

    def draw_scene(self, bDrawCoord=True):
        NSeg = len(self.point_tangent_list) - 1
        if NSeg < 1 or len(self.coeff_matrix) < 1:
            return None
        opened = []
        try:
            if bDrawCoord is True:
                glPushMatrix()
                opened.append("glPopMatrix")
                glScalef(0.2, 0.2, 0.2)
                draw3DCoordinateAxesQuadrics()
                opened.pop()
                glPopMatrix()
            glPushAttrib(GL_ALL_ATTRIB_BITS)
            opened.append("glPopAttrib")
            glColor3f(0.8, 0.8, 0.8)
            glBegin(GL_LINE_STRIP)
            opened.append("glEnd")
            for segNo in _range(NSeg):
                for t in np.linspace(0, 1, self.num_samples_rendering):
                    pt, tangent = self.evaluate_curve_segment(segNo, t)
                    glVertex3f(pt[0], pt[1], pt[2])
            opened.pop()
            glEnd()
            opened.pop()
            glPopAttrib()
            glPushAttrib(GL_ALL_ATTRIB_BITS)
            opened.append("glPopAttrib")
            glColor3f(1.0, 0.2, 0.2)
            for segNo in _range(NSeg):
                pt, tangent = self.evaluate_curve_segment(segNo, 0)
                # Mend: a zero tangent has no direction and gets no line.
                if not _is_zero_vector(tangent):
                    glBegin(GL_LINES)
                    opened.append("glEnd")
                    glVertex3f(pt[0], pt[1], pt[2])
                    length = _safe_length(tangent, np.linalg.norm(tangent))
                    n = tangent / length
                    pt2 = pt + n * 0.5
                    glVertex3f(pt2[0], pt2[1], pt2[2])
                    opened.pop()
                    glEnd()
            pt, tangent = self.evaluate_curve_segment(NSeg - 1, 1)
            if not _is_zero_vector(tangent):
                glBegin(GL_LINES)
                opened.append("glEnd")
                glVertex3f(pt[0], pt[1], pt[2])
                length = _safe_length(tangent, np.linalg.norm(tangent))
                n = tangent / length
                pt2 = pt + n * 0.5
                glVertex3f(pt2[0], pt2[1], pt2[2])
                opened.pop()
                glEnd()
            opened.pop()
            glPopAttrib()
        except _BaseException:
            _close_opened(opened)
            raise
        return None


# ---------------------------------------------------------------------------
# Spirelet


def _check_level(level, minimum):
    # Mend: for levels of the built-in number types, whose == and - are the
    # interpreter's own, those that counting down by one never brings to 0
    # are refused before drawing.
    t = _type(level)
    if t in _EXACT_INTS:
        if level < minimum:
            raise _ValueError("level must be a whole number >= %d, not %r" % (minimum, level))
        return
    if not (t is _float or (t.__module__ == "numpy" and _issubclass(t, (_numpy.integer, _numpy.floating)))):
        return
    f = _float(level)
    if not _finite(f) or f != _math.floor(f) or f < minimum or f >= 2.0 ** 53:
        raise _ValueError("level must be a whole number >= %d and below 2**53, not %r" % (minimum, level))


def initGL():
    glClearColor(1.0, 1.0, 1.0, 1.0)
    glClearDepth(1)
    glDisable(GL_CULL_FACE)
    glEnable(GL_LIGHTING)
    glEnable(GL_NORMALIZE)
    glLightModelf(GL_LIGHT_MODEL_LOCAL_VIEWER, GL_TRUE)
    glLightfv(GL_LIGHT0, GL_POSITION, [0.4, 0.5, 1.0, 1.0])
    glLightfv(GL_LIGHT0, GL_AMBIENT, [1.0, 1.0, 1.0, 1.0])
    glLightfv(GL_LIGHT0, GL_DIFFUSE, [1.0, 1.0, 1.0, 1.0])
    glLightfv(GL_LIGHT0, GL_SPECULAR, [1.0, 1.0, 1.0, 1.0])
    glLightfv(GL_LIGHT0, GL_SPOT_DIRECTION, [0, 0, 1])
    glLightf(GL_LIGHT0, GL_CONSTANT_ATTENUATION, 1)
    glLightf(GL_LIGHT0, GL_LINEAR_ATTENUATION, 0.0)
    glLightf(GL_LIGHT0, GL_QUADRATIC_ATTENUATION, 0.05)
    glEnable(GL_LIGHT0)
    glEnable(GL_DEPTH_TEST)
    glDepthFunc(GL_LESS)
    glShadeModel(GL_SMOOTH)
    matColor = [0.0, 0.9, 0.9, 1.0]
    specColor = [0.9, 0.0, 0.0, 1.0]
    ambColor = [0.1, 0.1, 0.1, 1.0]
    nshininess = [128, 128.0, 128, 1]
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, matColor)
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, specColor)
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, ambColor)
    glMaterialfv(GL_FRONT_AND_BACK, GL_SHININESS, nshininess)


class PySpirelet(Model):

    def init(self):
        Model.init(self)
        initGL()

    def draw_scene(self):
        glLightfv(GL_LIGHT0, GL_POSITION, [-0.2, -0.1, 1.0, 1.0])
        opened = []
        try:
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(0, 0, 0.5)
            glScalef(0.0625, 0.0625, 0.0625)
            gluSphere(self.pQuadric, 0.5, 20, 20)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(-0.5, -sqrt(3) / 4, 0)
            self.drawSpirelet(3)
            opened.pop()
            glPopMatrix()
        except _BaseException:
            _close_opened(opened)
            raise

    def basicTriangle(self):
        glNormal3f(0, 0, 1)
        glVertex(0, 0, 0)
        glVertex(1.0, 0, 0)
        glVertex(0.5, sqrt(3) / 2.0, 0)

    def drawSpirelet(self, level):
        _check_level(level, 0)
        opened = []
        try:
            if level == 0:
                glBegin(GL_TRIANGLES)
                opened.append("glEnd")
                self.basicTriangle()
                opened.pop()
                glEnd()
                return None
            glPushMatrix()
            opened.append("glPopMatrix")
            glScale(1 / 3, 1 / 3, 1 / 3)
            self.drawSpirelet(level - 1)
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(1.0, 0.0, 0.0)
            self.drawSpirelet(level - 1)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(2.0, 0.0, 0.0)
            self.drawSpirelet(level - 1)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(0.5, sqrt(3) / 2.0, 0.0)
            self.drawSpirelet(level - 1)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(1.5, sqrt(3) / 2.0, 0.0)
            self.drawSpirelet(level - 1)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(1.0, sqrt(3) * 2 / 2.0, 0.0)
            self.drawSpirelet(level - 1)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(1, 0, 0)
            self.drawTetrahedronWithoutBase(level)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(2, 0, 0)
            self.drawTetrahedronWithoutBase(level)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(1.5, sqrt(3) / 2, 0)
            self.drawTetrahedronWithoutBase(level)
            opened.pop()
            glPopMatrix()
            opened.pop()
            glPopMatrix()
        except _BaseException:
            _close_opened(opened)
            raise

    def drawTetrahedronWithoutBase(self, level):
        _check_level(level, 1)
        opened = []
        try:
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(-1, 0, 0)
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(1, 0, 0)
            glRotate(60, 0.0, 0.0, 1.0)
            glRotate(acos(1 / 3) * 180 / pi, 1.0, 0.0, 0.0)
            self.drawSpirelet(level - 1)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(1, 0, 0)
            glRotate(-60, 0.0, 0.0, 1.0)
            glTranslate(-1, 0, 0)
            glRotate(acos(1 / 3) * 180 / pi, 1.0, 0.0, 0.0)
            self.drawSpirelet(level - 1)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glTranslate(1.5, sqrt(3.0) / 2, 0)
            glRotate(180, 0.0, 0.0, 1.0)
            glRotate(acos(1 / 3) * 180 / pi, 1.0, 0.0, 0.0)
            self.drawSpirelet(level - 1)
            opened.pop()
            glPopMatrix()
            opened.pop()
            glPopMatrix()
        except _BaseException:
            _close_opened(opened)
            raise


# ---------------------------------------------------------------------------
# Arborlot


class PyArborlot(Model):

    def __init__(self, terrain_model, subscene_list=_NO_LIST):
        Model.__init__(self)
        self.terrain_model = terrain_model
        # Mend: a scene built without a list gets a list of its own.
        if subscene_list is _NO_LIST:
            subscene_list = []
        self.subscene_list = subscene_list

    def init(self):
        Model.init(self)
        if hasattr(self.terrain_model, "init"):
            self.terrain_model.init()
        for scene in self.subscene_list:
            if hasattr(scene, "init"):
                scene.init()

    def add_subscene(self, subscene):
        self.subscene_list.append(subscene)

    def draw_scene(self):
        opened = []
        try:
            glPushMatrix()
            opened.append("glPopMatrix")
            glScalef(0.25, 0.25, 0.25)
            draw3DCoordinateAxesQuadrics(self.pQuadric)
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            glRotate(-90, 1, 0, 0)
            drawCheckerBoard(scale=[8, 8], check_colors=[[0.8, 0.8, 0.8], [0.2, 0.2, 0.2]])
            opened.pop()
            glPopMatrix()
            glPushMatrix()
            opened.append("glPopMatrix")
            X, Y, Z, DsX, DsY, DsZ, DtX, DtY, DtZ = self.terrain_model.draw_scene(False)
            opened.pop()
            glPopMatrix()
            for scene in self.subscene_list:
                glPushMatrix()
                opened.append("glPopMatrix")
                pos = scene["pos"]
                glTranslate(pos[0], pos[1], pos[2])
                scene["model"].draw_scene()
                opened.pop()
                glPopMatrix()
        except _BaseException:
            _close_opened(opened)
            raise
