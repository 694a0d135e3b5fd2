"""The guards of the native kernels, against the plain-Python renditions
(bench/renditions.py) under what an adversary or a tracing tool does: keys
whose __eq__ runs code during a look-up, wrappers installed before the
modules are imported, PyOpenGL's own logging and dispatch tables, number
subclasses, a caller's open glBegin, signals and other threads.

Each case runs in a fresh interpreter with a real GL context, so that the
kernels run where nothing stops them, and so that a crash is a failed test.
The child prints what both sides did; they must agree.
"""

import json
import sys

import numpy
import pytest

from conftest import REPO, SANITIZED, run_python

PRELUDE = r"""
import json, sys
sys.path.insert(0, %(bench)r)
import numpy as np

def context():
    from Sketchkit import glutInit, glutInitDisplayMode, GLUT_DOUBLE, GLUT_RGBA
    import Stagehall
    glutInit()
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA)
    class Blank(object):
        def apply(self, w, h): pass
        def draw(self): pass
    pane = Stagehall.Framepane("guards", Blank(), window_size=(64, 64))
    pane.make_current()
    return pane

def surface_points():
    return np.array([(i, j, (0.0, -2.0, 2.0, -3.0)[j]) for i in range(4) for j in range(4)])

SPLINE = [([1, 0, 0], [0, 1, 0]), ([0, 1, 0], [-1, 0, 0]), ([0, 0, 0], [-1, 0, 0]), ([0, 0, 1], [1, 1, 1])]

def sides():
    import Quiltsheet, Swoopline, Spirelet, renditions
    return [("native", Quiltsheet.Quiltsheet, Swoopline.Swoopline, Spirelet.Spirelet),
            ("rendition", renditions.PyQuiltsheet, renditions.PySwoopline, renditions.PySpirelet)]

def report(**what):
    print(json.dumps(what, sort_keys=True))
""" % {"bench": str(REPO / "bench")}


def child(body, timeout=120):
    proc = run_python(PRELUDE + body, timeout=timeout)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


# What each side draws, once through every module; `calls` counts what the
# set-up sees (wrappers, log records, a dispatch entry, __float__ calls).
DRAW_ALL = r"""
pane = context()
counts = {}
for side, Q, S, P in sides():
    del calls[:]
    q = Q(surface_points(), (4, 4))
    q.draw_scene(False)
    q.evaluate([1.5, 1.5])
    S(SPLINE, 9).draw_scene(False)
    P().drawSpirelet(1)
    counts[side] = len(calls)
report(**counts)
"""

SETUPS = {
    # a tracing tool's wrappers, installed before the modules are imported
    "wrappers": r"""
import OpenGL.GL as GL, Sketchkit
calls = []
def wrap(owner, name):
    f = getattr(owner, name)
    def traced(*a, **k):
        calls.append(name)
        return f(*a, **k)
    setattr(owner, name, traced)
for name in ("glVertex3f", "glColor3f", "glBegin", "glEnd", "glPushMatrix", "glPopMatrix", "glPushAttrib",
             "glPopAttrib", "glNormal3f", "glVertex", "glScale", "glTranslate", "glRotate", "glTranslatef"):
    wrap(GL, name)
wrap(np, "dot")
wrap(np, "min")
wrap(np.linalg, "norm")
wrap(Sketchkit, "sqrt")
""",
    # PyOpenGL's own call log
    "logging": r"""
import logging, OpenGL
OpenGL.FULL_LOGGING = True
calls = []
class Count(logging.Handler):
    def emit(self, record):
        calls.append(record.getMessage())
logging.getLogger("OpenGL.calltrace").addHandler(Count())
import OpenGL.GL
""",
    # an entry of the table glVertex dispatches through
    "dispatch": r"""
import OpenGL.GL.exceptional as exceptional
calls = []
base = exceptional.glVertexDispatch[3]
def glVertex3d(*a):
    calls.append(a)
    return base(*a)
exceptional.glVertexDispatch[3] = glVertex3d
""",
    # NumPy 1's Python wrapper of dot handed another implementation
    "numpy-1-wrapper": r"""
calls = []
cell = dict(zip(np.dot.__code__.co_freevars, np.dot.__closure__))["implementation"]
real = cell.cell_contents
def dot(*a):
    calls.append("dot")
    return real(*a)
cell.cell_contents = dot
""",
    # numbers whose conversion to a C number is theirs
    "number-subclass": r"""
calls = []
class Half(int):
    def __float__(self):
        calls.append("__float__")
        return 0.5
""",
}


@pytest.mark.parametrize("setup", sorted(s for s in SETUPS if s != "number-subclass"))
def test_what_a_guard_must_see(x_display, setup):
    if setup == "numpy-1-wrapper" and not isinstance(numpy.dot, type(child)):
        pytest.skip("NumPy's dot is not a Python wrapper here")
    got = child(SETUPS[setup] + DRAW_ALL)
    assert got["native"] == got["rendition"] > 0, got


def test_a_key_that_swaps_names_during_the_guards_look_up(x_display):
    # its __eq__ puts a recording proxy in np's place from within the first
    # look-up of glVertex3f, which meets it first: a guard that has checked
    # np and goes on to glVertex3f must see what changed
    got = child(r"""
import Swoopline, renditions
calls, swapped = [], []
class Proxy(object):
    def __init__(self, target): self.target = target
    def __getattr__(self, name):
        value = getattr(self.target, name)
        if not callable(value):
            return value
        def spied(*a, **k):
            calls.append(name)
            return value(*a, **k)
        return spied
class Key(str):
    def __hash__(self):
        return hash(self.name)
    def __eq__(self, other):
        if armed and self.module not in swapped:
            swapped.append(self.module)
            self.module.__dict__["np"] = Proxy(np)
        return False
pane = context()
counts = {}
for side, Q, S, P in sides():
    s = S(SPLINE, 9)
    armed = False
    for m in ((Swoopline,) if side == "native" else (renditions,)):
        key = Key("not glVertex3f")
        key.name, key.module = "glVertex3f", m
        value = m.__dict__.pop("glVertex3f")
        m.__dict__[key] = None
        m.__dict__["glVertex3f"] = value
    del calls[:]
    armed = True
    s.draw_scene(False)
    counts[side] = len(calls)
report(**counts)
""")
    assert got["native"] == got["rendition"] > 0, got


def test_number_subclasses_convert_as_ctypes_converts(x_display):
    got = child(SETUPS["number-subclass"] + r"""
pane = context()
counts = {}
for side, Q, S, P in sides():
    del calls[:]
    q = Q(surface_points(), (4, 4))
    q.set_color_from_XYZ(Half(0), Half(1), 0.25)
    counts[side] = len(calls)
report(**counts)
""")
    assert got["native"] == got["rendition"] == 2, got


def test_look_ups_that_drop_what_they_read_do_not_crash():
    # keys of the same hash whose __eq__ takes away what is being looked up:
    # the class's evaluate during sampling, the spline's lists while drawing
    got = child(r"""
class Key(str):
    def __hash__(self):
        return hash(self.name)
    def __eq__(self, other):
        action, self.action = self.action, lambda: None  # once
        action()
        return False
def key(name, action):
    k = Key("trap " + name)
    k.name, k.action = name, action
    return k
import Swoopline, renditions
calls = []
for m in (Swoopline, renditions):
    for name in ("glVertex3f", "glBegin", "glEnd", "glColor3f", "glPushAttrib", "glPopAttrib"):
        setattr(m, name, lambda *a, **k: calls.append(a))
out = {}
for side, Q, S, P in sides():
    def evaluate(self, st):
        return Q.evaluate(self, st)
    # the key ahead of the name where a look-up probes
    trap = key("evaluate", lambda: None)
    Sub = type("Sub", (Q,), {trap: None, "evaluate": evaluate})
    trap.action = lambda: "evaluate" in Sub.__dict__ and delattr(Sub, "evaluate")
    try:
        X = Sub(surface_points()).get_samples((3, 3))[0].tolist()
    except Exception as e:
        X = [type(e).__name__, str(e)]
    s = S(SPLINE, 5)
    d = s.__dict__
    coeffs = d.pop("coeff_matrix")
    d[key("coeff_matrix", lambda: d.update(coeff_matrix=[]))] = None
    d["coeff_matrix"] = coeffs
    del calls[:]
    try:
        s.draw_scene(False)
        result = "drawn"
    except Exception as e:
        result = type(e).__name__
    out[side] = [X, result, len(calls), len(d["coeff_matrix"]), "evaluate" in Sub.__dict__]
report(**out)
""")
    assert got["native"] == got["rendition"], got


def test_drawing_inside_the_callers_glbegin(x_display):
    # PyOpenGL raises GLError 1282 at the first glEnd inside the caller's
    # block, turns its checking back on there, and names the arguments as
    # the caller passed them
    got = child(r"""
from OpenGL import GL
from OpenGL.raw.GL import _errors
pane = context()
out = {}
checker = _errors._error_checker
for side, Q, S, P in sides():
    seen = []
    for draw in (lambda: Q(surface_points(), (3, 3)).draw_scene(False), lambda: S(SPLINE, 4).draw_scene(False),
                 lambda: P().drawSpirelet(1)):
        GL.glBegin(GL.GL_TRIANGLES)
        try:
            draw()
            seen.append("no error")
        except GL.GLError as e:
            seen.append([e.err, repr(e.cArguments)])
        seen.append(checker._currentChecker is checker._registeredChecker)
        GL.glEnd() if checker._currentChecker is not checker._registeredChecker else None
        while GL.glGetError():
            pass
    # an attribute stack that overflows in the middle of a drawing
    depth = int(GL.glGetIntegerv(GL.GL_MAX_ATTRIB_STACK_DEPTH))
    for _ in range(depth):
        GL.glPushAttrib(GL.GL_ALL_ATTRIB_BITS)
    try:
        S(SPLINE, 4).draw_scene(False)
    except GL.GLError as e:
        seen.append([e.err, repr(e.cArguments), e.baseOperation.__name__])
    for _ in range(depth):
        GL.glPopAttrib()
    seen.append(int(GL.glGetIntegerv(GL.GL_ATTRIB_STACK_DEPTH)))
    out[side] = seen
report(**out)
""")
    assert got["native"] == got["rendition"], got
    assert got["native"][0][0] == 1282 and "GL_ALL_ATTRIB_BITS" in got["native"][-2][1], got


WORK = {
    "drawSpirelet(7)": "Spirelet.Spirelet().drawSpirelet(7)",
    "get_samples((6000, 6000))": "Quiltsheet.Quiltsheet(surface_points()).get_samples((6000, 6000))",
    # the literal path with builtins for GL: no bytecode runs at all
    "drawSpirelet(7), GL builtins": "\n    ".join(
        ["Spirelet.%s = int" % n for n in ("glPushMatrix", "glPopMatrix", "glBegin", "glEnd")]
        + ["Spirelet.%s = max" % n for n in ("glNormal3f", "glVertex", "glScale", "glTranslate", "glRotate")]
        + ["Spirelet.Spirelet().drawSpirelet(7)"]),
}


@pytest.mark.skipif(SANITIZED, reason="timings mean nothing under the sanitizers")

@pytest.mark.parametrize("work", sorted(WORK))
def test_ctrl_c_and_other_threads_are_served(x_display, work):
    got = child(r"""
import os, signal, threading, time
from OpenGL import GL
import Quiltsheet, Spirelet
pane = context()
ticks, stop = [], []
def ticker():
    while not stop:
        ticks.append(time.time())
        time.sleep(0.01)
threading.Thread(target=ticker).start()
def interrupt():
    time.sleep(0.5)
    sent.append(time.time())
    os.kill(os.getpid(), signal.SIGINT)
sent = []
threading.Thread(target=interrupt).start()
before = int(GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH))
start = time.time()
try:
    %s
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
caught = time.time()
stop.append(1)
gaps = [b - a for a, b in zip(ticks, ticks[1:]) if start + 0.05 < a < sent[0]]
report(outcome=outcome, latency=caught - sent[0], gap=max(gaps),
       depth=int(GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH)) - before)
""" % WORK[work], timeout=180)
    assert got["outcome"] == "interrupted" and got["depth"] == 0, got
    assert got["latency"] < 0.1 and got["gap"] < 0.1, got


def test_kernel_arithmetic_as_numpy_does_it(x_display):
    # tangents of four components (the line's length counts all four) and
    # sample grids of three dimensions, natively and literally
    got = child(r"""
from OpenGL import GL
from OpenGL.raw.GL.VERSION import GL_1_0 as raw
import ctypes
pane = context()
def lines(draw):
    buf = (ctypes.c_float * 4096)()
    raw.glFeedbackBuffer(len(buf), GL.GL_3D, buf)
    raw.glRenderMode(GL.GL_FEEDBACK)
    draw()
    n = raw.glRenderMode(GL.GL_RENDER)
    return [round(v, 3) for v in buf[:n]]
out = {}
for side, Q, S, P in sides():
    s = S([([0, 0, 0, 0], [1, 0, 0, 1]), ([0, 0, 0, 0], [1, 0, 0, 1])], 2)
    GL.glMatrixMode(GL.GL_PROJECTION); GL.glLoadIdentity(); GL.glOrtho(-1, 1, -1, 1, -1, 1)
    GL.glMatrixMode(GL.GL_MODELVIEW); GL.glLoadIdentity()
    out[side] = [lines(lambda: s.draw_scene(False)), [a.shape for a in Q(surface_points()).get_samples((3, 3, 2))]]
    try:
        Q(surface_points(), (3, 3, 2)).draw_scene(False)
    except Exception as e:
        out[side].append(type(e).__name__)
report(**out)
""")
    assert got["native"] == got["rendition"], got
    assert got["native"][1] == [[3, 3, 2]] * 9, got


def test_a_kernel_goes_on_literally_where_its_guard_stops_holding(x_display):
    # another thread puts a counting wrapper in place of a GL global in the
    # middle of a native drawing (for the spline, inside its line strip):
    # the drawing goes on through the wrapper and leaves GL and PyOpenGL's
    # checker as they were
    got = child(r"""
import threading, time
from OpenGL import GL
from OpenGL.raw.GL import _errors
import Spirelet, Swoopline
pane = context()
out = {}
for module, name, draw in ((Spirelet, "glVertex", lambda: Spirelet.Spirelet().drawSpirelet(5)),
                           (Swoopline, "glVertex3f", lambda: Swoopline.Swoopline(SPLINE, 300000).draw_scene(False))):
    real, calls = getattr(module, name), []
    def counting(*a):
        calls.append(1)
        return real(*a)
    def swap():
        time.sleep(0.05)
        setattr(module, name, counting)
    before = [int(GL.glGetIntegerv(q)) for q in (GL.GL_MODELVIEW_STACK_DEPTH, GL.GL_ATTRIB_STACK_DEPTH)]
    t = threading.Thread(target=swap)
    t.start()
    draw()
    t.join()
    setattr(module, name, real)
    checker = _errors._error_checker
    out[name] = [len(calls) > 0, [int(GL.glGetIntegerv(q)) for q in (GL.GL_MODELVIEW_STACK_DEPTH,
                 GL.GL_ATTRIB_STACK_DEPTH)] == before, int(GL.glGetError()),
                 checker._currentChecker is checker._registeredChecker]
# sampling: an evaluate that narrows the grid takes over; the rows it
# narrows keep zeros where the kernel had gone ahead
import numpy as np, Quiltsheet
sheet, samples = Quiltsheet.Quiltsheet(surface_points()), [2000, 2000]
def narrowing(st, real=sheet.evaluate):
    if samples[1] == 10:  # t was worked out for 10 columns
        return real([st[0], st[1] * 9 / 1999])
    samples[1] = 10
    return real(st)
threading.Thread(target=lambda: (time.sleep(0.05), setattr(sheet, "evaluate", narrowing))).start()
got = np.array(sheet.get_samples(samples))
ref = np.array(Quiltsheet.Quiltsheet(surface_points()).get_samples((2000, 2000)))
whole = np.isclose(got, ref).all(axis=(0, 2))
narrowed = np.isclose(got[:, :, :10], ref[:, :, :10]).all(axis=(0, 2)) & (got[:, :, 10:] == 0).all(axis=(0, 2))
k = int(whole.argmin())
out["sampling"] = [0 < k < 2000, bool(whole[:k].all()), bool(narrowed[k:].all())]
report(**out)
""")
    assert got == {"glVertex": [True, True, 0, True], "glVertex3f": [True, True, 0, True],
                   "sampling": [True, True, True]}, got


def test_kernels_run_where_nothing_stops_them(x_display):
    # once PyOpenGL has loaded its functions (at their first literal calls),
    # the drawings run natively: PyOpenGL's glBegin, whose Python wrapper
    # tells its checker, is then never called through Python
    got = child(r"""
import sys
import Quiltsheet, Swoopline, Spirelet
pane = context()
draws = [lambda: Quiltsheet.Quiltsheet(surface_points(), (5, 5)).draw_scene(False),
         lambda: Swoopline.Swoopline(SPLINE, 7).draw_scene(False), lambda: Spirelet.Spirelet().drawSpirelet(1)]
for draw in draws:
    draw()
seen = []
def profile(frame, event, arg):
    if event == "call" and frame.f_code.co_name == "onBegin":
        seen.append(1)
sys.setprofile(profile)
counts = []
for draw in draws:
    del seen[:]
    draw()
    counts.append(len(seen))
sys.setprofile(None)
report(counts=counts)
""")
    assert got == {"counts": [0, 0, 0]}, got
