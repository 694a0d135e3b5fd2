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
# Plain-Python renditions (bench/renditions.py)
# ---------------------------------------------------------------------------

from OpenGL.GLU import gluNewQuadric  # noqa: E402
from Sprigrule import Sprigrule  # noqa: E402

from renditions import PyArborlot, PyQuiltsheet, PySpirelet, PySwoopline  # noqa: E402

# The renditions draw as well.
PyQuiltsheetDrawing, PySwooplineDrawing = PyQuiltsheet, PySwoopline


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
