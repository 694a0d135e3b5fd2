"""Speed of the native Quiltsheet, Swoopline, Spirelet and Arborlot modules
against the plain-Python renditions (bench/renditions.py) and, for drawing,
against a plain-C baseline that issues the same GL calls (bench/gl_baseline.c,
built by `make build`, loaded through bench/baseline.py).

The drawing figures run on one hidden GLUT window, on a private Xvfb when
DISPLAY is unset; the native, Python and C draws share its context. Each
drawing is timed twice: one draw after a glFinish (the time to issue it, on
an idle GL) and a frame of draws followed by a glFinish (the time until the
picture is done). A last
group replaces the GL names that a routine calls by a Python function that
does nothing, in the native module and in the renditions alike, so that
what remains is the cost of the code around the GL calls.

Before timing, the bench checks that the three sides draw the same (what
reaches the pipeline, captured in GL_FEEDBACK mode with colours) and that the
C code makes as many glGetError checks as PyOpenGL's wrappers do.

Run from the repository root with the development path:

    PYTHONPATH=build/modules:framework .venv/bin/python bench/bench.py [--quick]

Each figure is the best of several timings, per call. A target that is
missed is reported, not treated as a failure; the exit status is non-zero
only when a check fails.
"""

import argparse
import contextlib
import ctypes
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import baseline  # noqa: E402
from renditions import PyArborlot, PyQuiltsheet, PySpirelet, PySwoopline  # noqa: E402

# The GL and GLU names each timed routine calls.
QS_NAMES = ("glPushMatrix", "glPopMatrix", "glScalef", "glTranslatef", "glPushAttrib",
            "glPopAttrib", "glDisable", "glBegin", "glEnd", "glVertex3f", "glColor3f",
            "draw3DCoordinateAxesQuadrics")
SW_NAMES = ("glPushMatrix", "glPopMatrix", "glScalef", "glPushAttrib", "glPopAttrib",
            "glColor3f", "glBegin", "glEnd", "glVertex3f", "draw3DCoordinateAxesQuadrics")
SP_NAMES = ("glBegin", "glEnd", "glNormal3f", "glVertex", "glPushMatrix", "glPopMatrix",
            "glScale", "glTranslate", "glRotate")

TOLERANCE = 1e-6
FRAME = 10  # draws per frame in the frame figures


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


# ---------------------------------------------------------------------------
# GL
# ---------------------------------------------------------------------------

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


def set_lighting(lit):
    from OpenGL.GL import GL_LIGHTING, glDisable, glEnable
    (glEnable if lit else glDisable)(GL_LIGHTING)


def feedback(draw, lit):
    """Everything ``draw`` sends down the pipeline, from GL_FEEDBACK with
    colours, as one flat array (tokens, window coordinates, RGBA). A 1x1
    viewport keeps window coordinates in [0, 1], so one tolerance fits all."""
    from OpenGL import GL
    # The raw entry points: PyOpenGL's wrappers would import submodules into
    # OpenGL.GL and so change what a later star import of it brings.
    from OpenGL.raw.GL.VERSION import GL_1_0 as raw
    GL.glPushAttrib(GL.GL_ALL_ATTRIB_BITS)
    set_lighting(lit)
    GL.glViewport(0, 0, 1, 1)
    GL.glMatrixMode(GL.GL_PROJECTION)
    GL.glPushMatrix()
    GL.glLoadIdentity()
    GL.glOrtho(-8, 8, -8, 8, -8, 8)
    GL.glMatrixMode(GL.GL_MODELVIEW)
    GL.glPushMatrix()
    GL.glLoadIdentity()
    GL.glRotated(30, 1, 1, 0)  # no plane of the scenes seen edge-on
    buf = (ctypes.c_float * (1 << 21))()
    raw.glFeedbackBuffer(len(buf), GL.GL_3D_COLOR, buf)
    raw.glRenderMode(GL.GL_FEEDBACK)
    try:
        draw()
    finally:
        count = raw.glRenderMode(GL.GL_RENDER)
        GL.glPopMatrix()
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glPopMatrix()
        GL.glMatrixMode(GL.GL_MODELVIEW)
        GL.glPopAttrib()
    if count < 0:
        raise RuntimeError("feedback buffer overflow")
    return np.ctypeslib.as_array(buf)[:count].astype(float)


def sub(*args):
    pass


@contextlib.contextmanager
def substituted(modules, names, fn=sub):
    """The module globals ``names`` of every module replaced by ``fn``."""
    saved = [(m, n, m.__dict__[n]) for m in modules for n in names if n in m.__dict__]
    for m in modules:
        for n in names:
            setattr(m, n, fn)
    try:
        yield
    finally:
        for m in modules:
            for n in names:
                delattr(m, n)
        for m, n, v in saved:
            setattr(m, n, v)


# ---------------------------------------------------------------------------
# Checks
# ---------------------------------------------------------------------------

class Checks(object):
    def __init__(self):
        self.failed = []

    def report(self, name, ok, detail):
        print("  %-58s %s" % (name, ("ok  " if ok else "FAILED  ") + detail))
        if not ok:
            self.failed.append(name)

    def close(self, name, a, b, atol):
        try:
            for x, y in zip(a, b):
                np.testing.assert_allclose(x, y, rtol=0, atol=atol)
        except AssertionError:
            self.report(name, False, "values differ")
            return
        self.report(name, True, "")

    def same_drawing(self, name, draws, lit):
        """The feedback of every draw equals that of the first within TOLERANCE."""
        ref = feedback(draws[0][1], lit)
        for label, draw in draws[1:]:
            got = feedback(draw, lit)
            what = "%s: %s vs %s" % (name, label, draws[0][0])
            if got.shape != ref.shape:
                self.report(what, False, "%d vs %d feedback values" % (got.size, ref.size))
                continue
            diff = float(np.max(np.abs(got - ref))) if ref.size else 0.0
            self.report(what, diff <= TOLERANCE and ref.size > 0,
                        "%d values, max difference %.1e" % (ref.size, diff))

    def same_error_checks(self, name, c_draw, py_draw):
        """The C code calls glGetError as often as PyOpenGL's wrappers do."""
        before = baseline.error_checks()
        c_draw()
        c_checks = baseline.error_checks() - before
        py_checks = baseline.checks_of(py_draw)
        self.report("%s: glGetError calls, C vs PyOpenGL" % name, c_checks == py_checks,
                    "%d vs %d" % (c_checks, py_checks))

    def same_calls(self, name, modules, names, native, python):
        """With the names replaced by a counting function, both sides make
        the same number of calls, and some."""
        counts = []
        for draw in (native, python):
            n = [0]

            def count(*args):
                n[0] += 1
            with substituted(modules, names, count):
                draw()
            counts.append(n[0])
        self.report("%s: substituted calls, native vs python" % name,
                    counts[0] == counts[1] and counts[0] > 0, "%d vs %d" % tuple(counts))


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

def per_call(stmt, env, repeat, budget, setup="pass", single=False):
    """Best of ``repeat`` timings, per call, in seconds; each timing runs the
    statement (a string, so that no wrapper call is timed) as many times as
    fit in about ``budget`` seconds. ``setup`` runs before each timing.

    single: every timing is one call, and there are as many of them as fit
    in ``repeat`` budgets (at least ``repeat``). For drawing: a draw that
    follows a glFinish meets an idle GL, whatever ran before it."""
    timer = timeit.Timer(stmt, setup, globals=env)
    one = timer.timeit(1)
    # Warmed up for as long as a timing lasts: the GL driver builds its
    # code for a new drawing state during the first draws.
    one = min(one, timer.timeit(max(1, int(budget / max(one, 1e-9)))))
    if single:
        count = min(max(repeat, int(repeat * budget / max(one, 1e-9))), 5000)
        return min(timer.repeat(count, 1))
    number = max(1, int(budget / max(one, 1e-9)))
    return min(timer.repeat(repeat, number)) / number


class Figure(object):
    def __init__(self, name, native, python, c=None, target=None, lit=None, substitute=None,
                 frame=None):
        """target: ("py/nat", minimum), ("nat/C", maximum) or None; lit: GL
        lighting on or off while timed (None: left alone); substitute:
        (modules, names) replaced by ``sub`` while timed; frame: time that
        many calls and a glFinish, per call."""
        self.name, self.native, self.python, self.c = name, native, python, c
        self.target, self.lit, self.substitute = target, lit, substitute
        self.frame = frame
        if frame:
            self.native, self.python, self.c = (
                "for _ in range(%d): %s\nglFinish()" % (frame, stmt) if stmt else None
                for stmt in (native, python, c))


def fmt(seconds):
    if seconds is None:
        return "-"
    if seconds < 1e-3:
        return "%.2f us" % (seconds * 1e6)
    return "%.2f ms" % (seconds * 1e3)


def fmt_ratio(r):
    return "-" if r is None else "%.2fx" % r


ROW = "%-44s %11s %11s %11s %8s %7s  %s"


def run(group, tag, figures, env, args, setup, results, single=False):
    print("\n" + group)
    for f in figures:
        if f.lit is not None:
            set_lighting(f.lit)
        # Whichever side is timed first after a change of drawing meets a
        # slower GL for a while, and a shared machine adds bursts of its
        # own: each side is timed in both orders (ABBA), several times,
        # and its best counts.
        best = [None, None, None]
        with substituted(*f.substitute) if f.substitute else contextlib.nullcontext():
            for order in ((0, 1, 2), (2, 1, 0)) * args.rounds:
                for i in order:
                    stmt = (f.native, f.python, f.c)[i]
                    if stmt:
                        t = per_call(stmt, env, args.repeat, args.budget, setup, single)
                        best[i] = t if best[i] is None else min(best[i], t)
        t_nat, t_py, t_c = best
        if f.frame:
            t_nat, t_py, t_c = (t / f.frame if t else None for t in (t_nat, t_py, t_c))
        py_nat = t_py / t_nat
        nat_c = t_nat / t_c if t_c else None
        verdict = "-"
        if f.target:
            kind, bound = f.target
            value = py_nat if kind == "py/nat" else nat_c
            met = value >= bound if kind == "py/nat" else value <= bound
            verdict = "%s %s %gx  %s" % (kind, ">=" if kind == "py/nat" else "<=", bound,
                                         "met" if met else "NOT MET")
            results.append(("%s [%s]" % (f.name.strip(), tag), kind, value, bound, met))
        print(ROW % (f.name, fmt(t_nat), fmt(t_py), fmt(t_c), fmt_ratio(py_nat),
                     fmt_ratio(nat_c), verdict))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=None, help="best of N (default 7, 5 with --quick)")
    ap.add_argument("--quick", action="store_true", help="shorter timings")
    ap.add_argument("--rounds", type=int, default=None,
                    help="each side timed in 2N passes, N in each order (default 3, 1 with --quick)")
    args = ap.parse_args(argv)
    if args.repeat is None:
        args.repeat = 5 if args.quick else 7
    if args.rounds is None:
        args.rounds = 1 if args.quick else 3
    args.budget = 0.01 if args.quick else 0.1  # seconds per timing

    pts, spl = sample_surface_points(), sample_spline_points()
    checks = Checks()
    print("checks")

    # -- evaluation ---------------------------------------------------------
    q_nat, q_py = Quiltsheet(pts), PyQuiltsheet(pts)
    s_nat, s_py = Swoopline(spl), PySwoopline(spl)
    checks.close("Quiltsheet.evaluate: native vs python",
                 q_nat.evaluate([1.2, 2.7]), q_py.evaluate([1.2, 2.7]), 1e-12)
    checks.close("Quiltsheet.get_samples: native vs python",
                 q_nat.get_samples((34, 34)), q_py.get_samples((34, 34)), 1e-12)
    checks.close("Swoopline.evaluate_curve_segment: native vs python",
                 s_nat.evaluate_curve_segment(2, 0.3), s_py.evaluate_curve_segment(2, 0.3), 1e-12)

    # -- drawing --------------------------------------------------------------
    open_gl_window()
    from OpenGL.GL import GL_RENDERER, glFinish, glGetString
    k_nat, k_py = Spirelet(), PySpirelet()
    for k in (k_nat, k_py):
        k.init()  # lighting and materials, as the viewer sets them up
    g_nat, g_py = Arborlot(Quiltsheet(pts), []), PyArborlot(PyQuiltsheet(pts), [])
    for g in (g_nat, g_py):
        g.init()
    q_c, s_c = baseline.Patch(pts), baseline.Spline(spl)
    k_c, g_c = baseline.Spirelet(), baseline.Garden(baseline.Patch(pts))
    env = {"q_nat": q_nat, "q_py": q_py, "q_c": q_c, "s_nat": s_nat, "s_py": s_py, "s_c": s_c,
           "k_nat": k_nat, "k_py": k_py, "k_c": k_c, "g_nat": g_nat, "g_py": g_py, "g_c": g_c,
           "st": [1.2, 2.7], "glFinish": glFinish}

    drawings = [
        ("Quiltsheet.draw_scene(False)", False, lambda: q_nat.draw_scene(False),
         lambda: q_py.draw_scene(False), q_c.draw_scene),
        ("Spirelet.drawSpirelet(3)", True, lambda: k_nat.drawSpirelet(3),
         lambda: k_py.drawSpirelet(3), lambda: k_c.drawSpirelet(3)),
        ("Swoopline.draw_scene(False)", False, lambda: s_nat.draw_scene(False),
         lambda: s_py.draw_scene(False), s_c.draw_scene),
        ("Arborlot.draw_scene()", False, g_nat.draw_scene, g_py.draw_scene, g_c.draw_scene),
    ]
    for name, lit, nat, py, c in drawings:
        checks.same_drawing(name, [("native", nat), ("python", py), ("C", c)], lit)
        checks.same_error_checks(name, c, py)

    qs_mods = [sys.modules[Quiltsheet.__module__], sys.modules[PyQuiltsheet.__module__]]
    sw_mods = [sys.modules[Swoopline.__module__], sys.modules[PySwoopline.__module__]]
    sp_mods = [sys.modules[Spirelet.__module__], sys.modules[PySpirelet.__module__]]
    for (name, _, nat, py, _), mods, names in zip(drawings, (qs_mods, sp_mods, sw_mods),
                                                  (QS_NAMES, SP_NAMES, SW_NAMES)):
        checks.same_calls(name, mods, names, nat, py)

    # -- timings --------------------------------------------------------------
    from OpenGL.raw.GL import _errors
    overhead = per_call("f()", {"f": baseline.lib().bl_error_checks}, args.repeat, args.budget)
    print("\nGL: %s; PyOpenGL error checking %s; each C figure includes a ctypes call of %s"
          % (glGetString(GL_RENDERER).decode(errors="replace"),
             "on" if _errors._error_checker else "off", fmt(overhead)))
    print(ROW % ("figure (time per call)", "native", "python", "C", "py/nat", "nat/C", "target"))
    results = []
    # Evaluation: 10% below the figures the kernels reached (60x, 1600x, 22x);
    # drawing: at most a tenth slower than the same GL calls from C.
    run("evaluation, no GL", "eval", [
        Figure("Quiltsheet.evaluate([1.2, 2.7])", "q_nat.evaluate(st)", "q_py.evaluate(st)",
               target=("py/nat", 54)),
        Figure("Quiltsheet.get_samples((34, 34))", "q_nat.get_samples((34, 34))",
               "q_py.get_samples((34, 34))", target=("py/nat", 1440)),
        Figure("Swoopline.evaluate_curve_segment(2, 0.3)", "s_nat.evaluate_curve_segment(2, 0.3)",
               "s_py.evaluate_curve_segment(2, 0.3)", target=("py/nat", 19.8)),
        # The caller still holds the previous result when the next call comes,
        # so its arrays cannot be recycled: every call allocates two arrays.
        Figure("  ... while the caller holds the last result",
               "r = s_nat.evaluate_curve_segment(2, 0.3)", "r = s_py.evaluate_curve_segment(2, 0.3)"),
    ], env, args, "pass", results)

    # Single draws, each after a glFinish: none meets the GL work of another.
    run("real GL, hidden 512x512 window", "GL", [
        Figure("Quiltsheet.draw_scene(False) (34, 34)", "q_nat.draw_scene(False)",
               "q_py.draw_scene(False)", "q_c.draw_scene()", target=("nat/C", 1.1), lit=False),
        Figure("Spirelet.drawSpirelet(3), lit", "k_nat.drawSpirelet(3)", "k_py.drawSpirelet(3)",
               "k_c.drawSpirelet(3)", target=("nat/C", 1.1), lit=True),
        Figure("Swoopline.draw_scene(False) six points", "s_nat.draw_scene(False)",
               "s_py.draw_scene(False)", "s_c.draw_scene()", target=("nat/C", 1.1), lit=False),
        Figure("Arborlot.draw_scene(), no plants", "g_nat.draw_scene()", "g_py.draw_scene()",
               "g_c.draw_scene()", target=("nat/C", 1.1), lit=False),
    ], env, args, "glFinish()", results, single=True)

    # A frame's worth of draws and the wait for the picture: Python's work
    # overlaps the rasteriser's, as in a viewer that does not replay lists.
    run("real GL, %d draws then glFinish, per draw" % FRAME, "frame", [
        Figure("Quiltsheet.draw_scene(False) (34, 34)", "q_nat.draw_scene(False)",
               "q_py.draw_scene(False)", "q_c.draw_scene()", target=("nat/C", 1.1), lit=False,
               frame=FRAME),
        Figure("Spirelet.drawSpirelet(3), lit", "k_nat.drawSpirelet(3)", "k_py.drawSpirelet(3)",
               "k_c.drawSpirelet(3)", target=("nat/C", 1.1), lit=True, frame=FRAME),
        Figure("Swoopline.draw_scene(False) six points", "s_nat.draw_scene(False)",
               "s_py.draw_scene(False)", "s_c.draw_scene()", target=("nat/C", 1.1), lit=False,
               frame=FRAME),
        Figure("Arborlot.draw_scene(), no plants", "g_nat.draw_scene()", "g_py.draw_scene()",
               "g_c.draw_scene()", target=("nat/C", 1.1), lit=False, frame=FRAME),
    ], env, args, "glFinish()", results, single=True)

    run("GL names replaced by a Python function that does nothing", "substituted", [
        Figure("Quiltsheet.draw_scene(False) (34, 34)", "q_nat.draw_scene(False)",
               "q_py.draw_scene(False)", target=("py/nat", 2), substitute=(qs_mods, QS_NAMES)),
        Figure("Swoopline.draw_scene(False) six points", "s_nat.draw_scene(False)",
               "s_py.draw_scene(False)", target=("py/nat", 2), substitute=(sw_mods, SW_NAMES)),
        Figure("Spirelet.drawSpirelet(3)", "k_nat.drawSpirelet(3)", "k_py.drawSpirelet(3)",
               target=("py/nat", 1), substitute=(sp_mods, SP_NAMES)),
    ], env, args, "pass", results)

    met = [r for r in results if r[4]]
    missed = ["%s (%s %.2fx, target %s %gx)" % (n, k, v, ">=" if k == "py/nat" else "<=", b)
              for n, k, v, b, ok in results if not ok]
    print("\ntargets met: %d of %d" % (len(met), len(results)))
    if missed:
        print("not met: " + "; ".join(missed))
    if checks.failed:
        print("checks FAILED: " + "; ".join(checks.failed))
    close_gl_window()
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
