"""Speed of the native Quiltsheet, Swoopline, Spirelet and Arborlot modules against a
plain-Python rendition of the same algorithms (written below with NumPy, as a
user would otherwise write them).

The drawing figures need an OpenGL context: the bench opens a hidden GLUT
window, on a private Xvfb when DISPLAY is unset (Mesa renders either way).

Run from the repository root with the development path:

    PYTHONPATH=build/modules:framework .venv/bin/python bench/bench.py

For every figure it prints the time per call of the native module and of the
plain-Python rendition, their ratio and the target ratio.
"""

import argparse
import os
import sys
import timeit

import numpy as np

try:
    from Arborlot import Arborlot
    from Quiltsheet import Quiltsheet
    from Spirelet import Spirelet
    from Swoopline import Swoopline
except ImportError as exc:  # the point of the bench is the native modules
    sys.stderr.write("bench: cannot import the native modules: %s\n"
                     "bench: build them and run with PYTHONPATH=build/modules:framework\n" % exc)
    sys.exit(1)


# ---------------------------------------------------------------------------
# Plain-Python renditions
# ---------------------------------------------------------------------------

class PyQuiltsheet(object):
    """Bicubic patch through a 4x4 grid of control points, in plain Python."""

    def __init__(self, data_points, num_samples_rendering=(34, 34)):
        self.data_points = data_points
        self.num_samples_rendering = num_samples_rendering
        self.B = np.linalg.inv([[0, 1, 8, 27], [0, 1, 4, 9], [0, 1, 2, 3], [1, 1, 1, 1]])
        self.MatX = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, 0], (4, 4)), self.B))
        self.MatY = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, 1], (4, 4)), self.B))
        self.MatZ = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, 2], (4, 4)), self.B))

    def evaluate(self, st_param):
        s = st_param[0]
        t = st_param[1]
        assert 0.0 <= s <= 3.0 and 0.0 <= t <= 3.0
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
        for i in range(samples[0]):
            for j in range(samples[1]):
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


class PySwoopline(object):
    """Piecewise cubic Hermite spline, in plain Python."""

    def __init__(self, data_points=None, num_samples_rendering=101):
        self.num_samples_rendering = num_samples_rendering
        self.B_Hermite = np.linalg.inv([[0, 1, 0, 3], [0, 1, 0, 2], [0, 1, 1, 1], [1, 1, 0, 0]])
        self.coeff_matrix = []
        self.point_tangent_list = []
        if data_points is None:
            return
        self.set_data(data_points)

    def set_data(self, point_tangent_list):
        self.point_tangent_list = []
        self.coeff_matrix = []
        for data_point in point_tangent_list:
            self.add_point(data_point)

    def add_point(self, data_point):
        self.point_tangent_list.append(data_point)
        if len(self.point_tangent_list) < 2:
            return
        p0 = self.point_tangent_list[-2][0]
        m0 = self.point_tangent_list[-2][1]
        p1 = self.point_tangent_list[-1][0]
        m1 = self.point_tangent_list[-1][1]
        G_Hermite = np.transpose([p0, p1, m0, m1])
        self.coeff_matrix.append(np.dot(G_Hermite, self.B_Hermite))

    def evaluate_curve_segment(self, segNo, t):
        if len(self.coeff_matrix) < 1:
            return None
        p = np.dot(self.coeff_matrix[segNo], [t * t * t, t * t, t, 1])
        m = np.dot(self.coeff_matrix[segNo], [3 * t * t, 2 * t, 1, 0])
        return (p, m)


# ---------------------------------------------------------------------------
# Plain-Python renditions of the drawing (same GL calls in the same order)
# ---------------------------------------------------------------------------

from OpenGL.GL import (GL_ALL_ATTRIB_BITS, GL_AMBIENT, GL_CONSTANT_ATTENUATION,  # noqa: E402
                       GL_CULL_FACE, GL_DEPTH_TEST, GL_DIFFUSE, GL_FRONT_AND_BACK, GL_LESS,
                       GL_LIGHT0, GL_LIGHT_MODEL_LOCAL_VIEWER, GL_LIGHTING, GL_LINE_STRIP,
                       GL_LINEAR_ATTENUATION, GL_LINES, GL_NORMALIZE, GL_POSITION,
                       GL_QUADRATIC_ATTENUATION, GL_SHININESS, GL_SMOOTH, GL_SPECULAR,
                       GL_SPOT_DIRECTION, GL_TRIANGLES, GL_TRUE, glBegin, glClearColor,
                       glClearDepth, glColor3f, glDepthFunc, glDisable, glEnable, glEnd,
                       glLightf, glLightfv, glLightModelf, glMaterialfv, glNormal3f,
                       glPopAttrib, glPopMatrix, glPushAttrib, glPushMatrix, glRotate, glScale,
                       glScalef, glShadeModel, glTranslate, glTranslatef, glVertex, glVertex3f)
from OpenGL.GLU import gluNewQuadric, gluSphere  # noqa: E402
from numpy import arccos as acos, pi  # noqa: E402
from Sketchkit import draw3DCoordinateAxesQuadrics, drawCheckerBoard, sqrt  # noqa: E402
from Sprigrule import Sprigrule  # noqa: E402
from Stagehall import Model  # noqa: E402

CELL = ((0, 0), (1, 0), (1, 1), (0, 0), (1, 1), (0, 1))


class PyQuiltsheetDrawing(PyQuiltsheet):
    def set_color_from_XYZ(self, x, y, z):
        assert 0.0 <= x and x <= 1.0 and 0.0 <= y and y <= 1.0 and 0.0 <= z and z <= 1.0
        glColor3f(x, y, z)

    def draw_scene(self, bDrawCoordAxes=True):
        result = self.get_samples(self.num_samples_rendering)
        if bDrawCoordAxes is True:
            glPushMatrix()
            glScalef(0.25, 0.25, 0.25)
            draw3DCoordinateAxesQuadrics()
            glPopMatrix()
        X, Y, Z = result[0], result[1], result[2]
        Xnorm = (X - np.min(X)) / (np.max(X) - np.min(X))
        Ynorm = (Y - np.min(Y)) / (np.max(Y) - np.min(Y))
        Znorm = (Z - np.min(Z)) / (np.max(Z) - np.min(Z))
        glPushMatrix()
        glPushAttrib(GL_ALL_ATTRIB_BITS)
        glDisable(GL_CULL_FACE)
        glTranslatef(-0.5, -0.5, -0.5)
        for c in range(self.num_samples_rendering[0] - 1):
            for r in range(self.num_samples_rendering[1] - 1):
                glBegin(GL_TRIANGLES)
                for da, db in CELL:
                    a, b = r + da, c + db
                    self.set_color_from_XYZ(Xnorm[a][b], Ynorm[a][b], Znorm[a][b])
                    glVertex3f(Xnorm[a][b], Ynorm[a][b], Znorm[a][b])
                glEnd()
        glPopAttrib()
        glPopMatrix()
        return result


class PySwooplineDrawing(PySwoopline):
    def draw_scene(self, bDrawCoord=True):
        NSeg = len(self.point_tangent_list) - 1
        if NSeg < 1 or len(self.coeff_matrix) < 1:
            return
        if bDrawCoord is True:
            glPushMatrix()
            glScalef(0.2, 0.2, 0.2)
            draw3DCoordinateAxesQuadrics()
            glPopMatrix()
        glPushAttrib(GL_ALL_ATTRIB_BITS)
        glColor3f(0.8, 0.8, 0.8)
        glBegin(GL_LINE_STRIP)
        for segNo in range(NSeg):
            for t in np.linspace(0, 1, self.num_samples_rendering):
                pt, tangent = self.evaluate_curve_segment(segNo, t)
                glVertex3f(pt[0], pt[1], pt[2])
        glEnd()
        glPopAttrib()
        glPushAttrib(GL_ALL_ATTRIB_BITS)
        glColor3f(1.0, 0.2, 0.2)
        ends = [(segNo, 0) for segNo in range(NSeg)] + [(NSeg - 1, 1)]
        for segNo, t in ends:
            pt, tangent = self.evaluate_curve_segment(segNo, t)
            glBegin(GL_LINES)
            glVertex3f(pt[0], pt[1], pt[2])
            n = tangent / np.linalg.norm(tangent)
            pt2 = pt + n * 0.5
            glVertex3f(pt2[0], pt2[1], pt2[2])
            glEnd()
        glPopAttrib()


def py_initGL():
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
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, [0.0, 0.9, 0.9, 1.0])
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, [0.9, 0.0, 0.0, 1.0])
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, [0.1, 0.1, 0.1, 1.0])
    glMaterialfv(GL_FRONT_AND_BACK, GL_SHININESS, [128, 128.0, 128, 1])


class PySpirelet(Model):
    """Koch tetrahedron fractal, in plain Python."""

    def init(self):
        Model.init(self)
        py_initGL()

    def draw_scene(self):
        glLightfv(GL_LIGHT0, GL_POSITION, [-0.2, -0.1, 1.0, 1.0])
        glPushMatrix()
        glTranslate(0, 0, 0.5)
        glScalef(0.0625, 0.0625, 0.0625)
        gluSphere(self.pQuadric, 0.5, 20, 20)
        glPopMatrix()
        glPushMatrix()
        glTranslate(-0.5, -sqrt(3) / 4, 0)
        self.drawSpirelet(3)
        glPopMatrix()

    def basicTriangle(self):
        glNormal3f(0, 0, 1)
        glVertex(0, 0, 0)
        glVertex(1.0, 0, 0)
        glVertex(0.5, sqrt(3) / 2.0, 0)

    def drawSpirelet(self, level):
        if level == 0:
            glBegin(GL_TRIANGLES)
            self.basicTriangle()
            glEnd()
            return
        glPushMatrix()
        glScale(1 / 3, 1 / 3, 1 / 3)
        self.drawSpirelet(level - 1)
        for x, y in ((1.0, 0.0), (2.0, 0.0), (0.5, sqrt(3) / 2.0), (1.5, sqrt(3) / 2.0),
                     (1.0, sqrt(3) * 2 / 2.0)):
            glPushMatrix()
            glTranslate(x, y, 0.0)
            self.drawSpirelet(level - 1)
            glPopMatrix()
        for x, y in ((1, 0), (2, 0), (1.5, sqrt(3) / 2)):
            glPushMatrix()
            glTranslate(x, y, 0)
            self.drawTetrahedronWithoutBase(level)
            glPopMatrix()
        glPopMatrix()

    def drawTetrahedronWithoutBase(self, level):
        glPushMatrix()
        glTranslate(-1, 0, 0)
        glPushMatrix()
        glTranslate(1, 0, 0)
        glRotate(60, 0.0, 0.0, 1.0)
        glRotate(acos(1 / 3) * 180 / pi, 1.0, 0.0, 0.0)
        self.drawSpirelet(level - 1)
        glPopMatrix()
        glPushMatrix()
        glTranslate(1, 0, 0)
        glRotate(-60, 0.0, 0.0, 1.0)
        glTranslate(-1, 0, 0)
        glRotate(acos(1 / 3) * 180 / pi, 1.0, 0.0, 0.0)
        self.drawSpirelet(level - 1)
        glPopMatrix()
        glPushMatrix()
        glTranslate(1.5, sqrt(3.0) / 2, 0)
        glRotate(180, 0.0, 0.0, 1.0)
        glRotate(acos(1 / 3) * 180 / pi, 1.0, 0.0, 0.0)
        self.drawSpirelet(level - 1)
        glPopMatrix()
        glPopMatrix()


class PyArborlot(Model):
    """The garden scene, in plain Python."""

    def __init__(self, terrain_model, subscene_list=None):
        Model.__init__(self)
        self.terrain_model = terrain_model
        self.subscene_list = [] if subscene_list is None else subscene_list

    def draw_scene(self):
        glPushMatrix()
        glScalef(0.25, 0.25, 0.25)
        draw3DCoordinateAxesQuadrics(self.pQuadric)
        glPopMatrix()
        glPushMatrix()
        glRotate(-90, 1, 0, 0)
        drawCheckerBoard(scale=[8, 8], check_colors=[[0.8, 0.8, 0.8], [0.2, 0.2, 0.2]])
        glPopMatrix()
        glPushMatrix()
        X, Y, Z, DsX, DsY, DsZ, DtX, DtY, DtZ = self.terrain_model.draw_scene(False)
        glPopMatrix()
        for scene in self.subscene_list:
            glPushMatrix()
            pos = scene["pos"]
            glTranslate(pos[0], pos[1], pos[2])
            scene["model"].draw_scene()
            glPopMatrix()


def open_gl_window():
    """A hidden 512x512 GLUT window whose context is current; starts a
    private Xvfb first when there is no display."""
    if not os.environ.get("DISPLAY"):
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
        import xvfb
        os.environ["DISPLAY"] = xvfb.start()[0]
    from OpenGL.GLUT import (GLUT_DEPTH, GLUT_DOUBLE, GLUT_RGBA, glutCreateWindow,
                             glutHideWindow, glutInit, glutInitDisplayMode, glutInitWindowSize)
    glutInit()
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA | GLUT_DEPTH)
    glutInitWindowSize(512, 512)
    glutCreateWindow(b"bench")
    glutHideWindow()


def close_gl_window():
    # Let go of the X server before a private one stops with the interpreter.
    from OpenGL.platform import PLATFORM
    PLATFORM.GLUT.glutExit()


def feedback(draw):
    """What ``draw`` sends down the pipeline (GL_FEEDBACK, positions and colours)."""
    from OpenGL.GL import GL_3D_COLOR, GL_FEEDBACK, GL_RENDER, glFeedbackBuffer, glRenderMode
    glFeedbackBuffer(1 << 21, GL_3D_COLOR)
    glRenderMode(GL_FEEDBACK)
    draw()
    out = []
    for record in glRenderMode(GL_RENDER):
        out.append(record[0])
        for v in record[1:]:
            out.extend(v.vertex)
            out.extend(v.color)
    return np.array(out, float)


# ---------------------------------------------------------------------------
# Sample data (the documented sample surface and spline)
# ---------------------------------------------------------------------------

def sample_surface_points():
    pts = np.zeros((16, 3))
    heights = (0, -2, 2, -3)
    for i in range(4):
        for j in range(4):
            pts[4 * i + j] = (i, j, heights[j])
    return pts


def sample_spline_points():
    c, s = np.cos(np.pi / 4), np.sin(np.pi / 4)
    return [([1, 0, 0], [0, 1, 0]), ([c, s, 0], [-c, s, 0]), ([0, 1, 0], [-1, 0, 0]),
            ([0, 0, 0], [-1, 0, 0]), ([0, 0, 1], [1, 0, 0]), ([0, 1, 1], [1, 1, 1])]


PLANT = {"init": "F", "rule": "F->FF-[-F+F+F]+[+F-F-F]", "depth": 3, "angle": 22.5,
         "growth_factor": 0.5, "init_angle_axis": {"angle": 90, "axis": [0, 0, 1]}}


def gardens(pts):
    """The garden of Arborlot.main(), native and in plain Python: the sample
    terrain and one plant (the same plant object) at the origin."""
    plant, quadric = Sprigrule(PLANT), gluNewQuadric()
    native = Arborlot(Quiltsheet(pts), [{"pos": [0, 0, 0], "model": plant}])
    plain = PyArborlot(PyQuiltsheetDrawing(pts), [{"pos": [0, 0, 0], "model": plant}])
    native.pQuadric = plain.pQuadric = quadric
    return native, plain


def best_per_call(stmt, env, number, repeat, setup="pass"):
    """Best of ``repeat`` timings of ``number`` executions of the statement
    ``stmt`` (a string, so that no wrapper call is timed), in seconds;
    ``setup`` runs before each timing."""
    return min(timeit.repeat(stmt, setup, globals=env, number=number, repeat=repeat)) / number


def fmt(seconds):
    if seconds < 1e-3:
        return "%8.2f us" % (seconds * 1e6)
    return "%8.2f ms" % (seconds * 1e3)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=7, help="best of N (default 7)")
    ap.add_argument("--quick", action="store_true", help="fewer calls per timing")
    args = ap.parse_args(argv)
    scale = 10 if args.quick else 1

    pts = sample_surface_points()
    q_nat, q_py = Quiltsheet(pts), PyQuiltsheet(pts)
    spl = sample_spline_points()
    s_nat, s_py = Swoopline(spl), PySwoopline(spl)

    # The two renditions must agree before their speeds are compared.
    np.testing.assert_allclose(q_nat.evaluate([1.2, 2.7]), q_py.evaluate([1.2, 2.7]), atol=1e-12)
    for a, b in zip(q_nat.get_samples((34, 34)), q_py.get_samples((34, 34))):
        np.testing.assert_allclose(a, b, atol=1e-12)
    for a, b in zip(s_nat.evaluate_curve_segment(2, 0.3), s_py.evaluate_curve_segment(2, 0.3)):
        np.testing.assert_allclose(a, b, atol=1e-12)

    env = {"q_nat": q_nat, "q_py": q_py, "s_nat": s_nat, "s_py": s_py, "st": [1.2, 2.7]}
    figures = [
        # name, native statement, plain-Python statement, calls per timing
        # (native, plain Python), target ratio
        ("Quiltsheet.evaluate([1.2, 2.7])",
         "q_nat.evaluate(st)", "q_py.evaluate(st)", 200000 // scale, 20000 // scale, 30),
        ("Quiltsheet.get_samples((34, 34))",
         "q_nat.get_samples((34, 34))", "q_py.get_samples((34, 34))", 200 // scale or 1, 5, 100),
        ("Swoopline.evaluate_curve_segment(2, 0.3)",
         "s_nat.evaluate_curve_segment(2, 0.3)", "s_py.evaluate_curve_segment(2, 0.3)",
         500000 // scale, 50000 // scale, 20),
        # The caller still holds the previous result when the next call comes,
        # so its arrays cannot be recycled: every call allocates two arrays.
        ("  ... while the caller holds the last result",
         "r = s_nat.evaluate_curve_segment(2, 0.3)", "r = s_py.evaluate_curve_segment(2, 0.3)",
         500000 // scale, 50000 // scale, None),
    ]

    # Drawing on a real context; no targets: both sides spend most of their
    # time in the same PyOpenGL calls.
    open_gl_window()
    from OpenGL.GL import glFinish
    env.update(glFinish=glFinish, qd_nat=Quiltsheet(pts), qd_py=PyQuiltsheetDrawing(pts), sd_nat=Swoopline(spl),
               sd_py=PySwooplineDrawing(spl), k_nat=Spirelet(), k_py=PySpirelet())
    for name in ("k_nat", "k_py"):
        env[name].init()
    env["g_nat"], env["g_py"] = gardens(pts)
    for nat, py in (("qd_nat", "qd_py"), ("sd_nat", "sd_py"), ("k_nat", "k_py"), ("g_nat", "g_py")):
        if not np.array_equal(feedback(env[nat].draw_scene), feedback(env[py].draw_scene)):
            raise SystemExit("bench: %s and %s draw differently" % (nat, py))
    figures += [
        ("Quiltsheet.draw_scene() (34, 34)", "qd_nat.draw_scene()", "qd_py.draw_scene()",
         50 // scale or 1, 10 // scale or 1, None),
        ("Swoopline.draw_scene() six points", "sd_nat.draw_scene()", "sd_py.draw_scene()",
         100 // scale or 1, 20 // scale or 1, None),
        ("Spirelet.draw_scene()", "k_nat.draw_scene()", "k_py.draw_scene()",
         20 // scale or 1, 5 // scale or 1, None),
        ("Arborlot.draw_scene() garden frame", "g_nat.draw_scene()", "g_py.draw_scene()",
         50 // scale or 1, 10 // scale or 1, None),
    ]

    print("%-42s %11s %11s %9s %8s" % ("figure (time per call)", "native", "python", "ratio", "target"))
    ok = True
    for name, nat, py, n_nat, n_py, target in figures:
        # drawing: let the GL finish the previous timing's work first
        setup = "glFinish()" if target is None else "pass"
        t_nat = best_per_call(nat, env, n_nat, args.repeat, setup)
        t_py = best_per_call(py, env, n_py, args.repeat, setup)
        ratio = t_py / t_nat
        if target is None:
            print("%-42s %11s %11s %8.1fx %7s" % (name, fmt(t_nat), fmt(t_py), ratio, "-"))
            continue
        met = ratio >= target
        ok = ok and met
        print("%-42s %11s %11s %8.1fx %6dx  %s"
              % (name, fmt(t_nat), fmt(t_py), ratio, target, "met" if met else "NOT MET"))
    print("all targets met" if ok else "some targets not met")
    close_gl_window()
    return 0


if __name__ == "__main__":
    sys.exit(main())
