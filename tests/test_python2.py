"""What the modules do as Python 2.7 modules: Swoopline's classic division
against the true division of the others, implicit relative imports, the
metaclass and the classic classes of a Model base, the print statement of
Spirelet's import guard, and 2.7's wording of argument errors."""

import json
import math
import operator
import os
import re
import shutil

import numpy as np
import pytest

import Quiltsheet as qs_mod
import Spirelet as sp_mod
import Swoopline as sw_mod

from conftest import PY2, run_python
from gl_context import SP_NAMES, SW_NAMES, Recorder

pytestmark = pytest.mark.skipif(not PY2, reason="Python 2.7 semantics")


def error_of(fn, *args):
    with pytest.raises(Exception) as info:
        fn(*args)
    return info.value


class Quotient(object):
    """A value that divides through one operator only; records the divisors."""

    __array_ufunc__ = None  # NumPy's scalars leave the division to the object

    def __init__(self, value):
        self.value, self.divisors = np.asarray(value, float), []

    def divide(self, other):
        self.divisors.append(other)
        return self.value / other

    def __array__(self, dtype=None):
        return self.value


class OnlyDiv(Quotient):
    def __div__(self, other):  # classic division
        return self.divide(other)


class OnlyTruediv(Quotient):
    def __truediv__(self, other):
        return self.divide(other)


@pytest.mark.parametrize("op", ["div", "truediv"])
def test_swoopline_divides_classically_and_spirelet_truly(monkeypatch, op):
    # Swoopline: the unit tangent of its red lines, tangent / norm(tangent)
    Kind = OnlyDiv if op == "div" else OnlyTruediv
    rec = Recorder(monkeypatch, sw_mod, SW_NAMES)
    tangents = []

    class Curve(sw_mod.Swoopline):
        def evaluate_curve_segment(self, segNo, t):
            tangents.append(Kind([0.0, 3.0, 4.0]))
            return np.array([1.0, 2.0, 3.0]), tangents[-1]

    curve = Curve([([0, 0, 0], [1, 0, 0]), ([1, 0, 0], [1, 0, 0])], 2)
    if op == "div":
        curve.draw_scene(False)
        assert [q.divisors for q in tangents[-2:]] == [[5.0], [5.0]]
        np.testing.assert_allclose(rec.args("glVertex3f")[-1], [1.0, 2.3, 3.4])
    else:
        expected = error_of(operator.div, Kind([0.0, 3.0, 4.0]), np.float64(5.0))
        actual = error_of(curve.draw_scene, False)
        assert (type(actual), str(actual)) == (type(expected), str(expected))

    # Spirelet: the height of its unit triangle, sqrt(3) / 2.0
    rec = Recorder(monkeypatch, sp_mod, SP_NAMES)
    roots = []
    monkeypatch.setattr(sp_mod, "sqrt", lambda x: roots.append(Kind(math.sqrt(x))) or roots[-1])
    if op == "truediv":
        sp_mod.Spirelet().basicTriangle()
        assert roots[0].divisors == [2.0] and rec.args("glVertex")[2][1] == math.sqrt(3) / 2.0
    else:
        expected = error_of(operator.truediv, Kind(math.sqrt(3)), 2.0)
        actual = error_of(sp_mod.Spirelet().basicTriangle)
        assert (type(actual), str(actual)) == (type(expected), str(expected))


def test_main_of_swoopline_divides_pi_classically(monkeypatch):
    views, quarters = [], []

    class Pi(object):
        def __div__(self, other):
            quarters.append(other)
            return math.pi / other

    class FakeNumpy(object):
        pi = Pi()

        def __getattr__(self, name):
            return getattr(np, name)

    monkeypatch.setattr(sw_mod, "np", FakeNumpy())
    for name in ("glutInit", "glutInitDisplayMode", "glutMainLoop", "Framepane"):
        monkeypatch.setattr(sw_mod, name, lambda *args, **kw: None)
    monkeypatch.setattr(sw_mod, "View", lambda model, cam: views.append(model))
    sw_mod.main()
    assert quarters == [4, 4, 4, 4] and all(type(q) is int for q in quarters)
    c, s = np.cos(math.pi / 4), np.sin(math.pi / 4)
    assert views[0].point_tangent_list[1] == ([c, s, 0], [-c, s, 0])


QNEW = r'''
import json
import numpy as np
import Swoopline

class Quotient(object):
    __array_ufunc__ = None
    def __init__(self, value):
        self.value = np.asarray(value, float)
    def __array__(self, dtype=None):
        return self.value

class OnlyDiv(Quotient):
    def __div__(self, other):
        return self.value / other

class OnlyTruediv(Quotient):
    def __truediv__(self, other):
        return self.value / other

for name in dir(Swoopline):
    if name.startswith("gl") or name.startswith("draw3D"):
        setattr(Swoopline, name, lambda *args: None)
vertices = []
Swoopline.glVertex3f = lambda *args: vertices.append(args)

def outcome(f):
    try:
        return [float(x) for x in f()]
    except Exception as e:
        return "%s: %s" % (type(e).__name__, e)

out = []
for Kind in (OnlyDiv, OnlyTruediv):
    class Curve(Swoopline.Swoopline):
        def evaluate_curve_segment(self, segNo, t):
            return np.array([1.0, 2.0, 3.0]), Kind([0.0, 3.0, 4.0])
    def native():
        Curve([([0, 0, 0], [1, 0, 0]), ([1, 0, 0], [1, 0, 0])], 2).draw_scene(False)
        return vertices[-1]
    # the end of the tangent line as Python code divides: pt + tangent / length * 0.5
    literal = lambda: np.array([1.0, 2.0, 3.0]) + Kind([0.0, 3.0, 4.0]) / np.float64(5.0) * 0.5
    out.append([outcome(native), outcome(literal)])
print(json.dumps(out))
'''


def test_swoopline_divides_truly_under_qnew():
    """-Qnew makes every `/` true division, as it does in Python code."""
    runs = []
    for flags in ([], ["-Qnew"]):
        proc = run_python(QNEW, *flags)
        assert proc.returncode == 0, proc.stderr
        runs.append(json.loads(proc.stdout))
    for (native_div, literal_div), (native_true, literal_true) in runs:
        assert native_div == literal_div and native_true == literal_true
    # each flag lets exactly the other kind of quotient through
    assert [[isinstance(r, list) for r, _ in run] for run in runs] == [[True, False], [False, True]]


RELATIVE = r'''
import json, sys
sys.path.insert(0, %r)
import pkg.Quiltsheet, pkg.Twin, pkg.Stagehall, Stagehall
q, local = pkg.Quiltsheet, pkg.Stagehall.Model
print(json.dumps([q.__name__, q.Model is local, pkg.Twin.Model is local,
                  q.Quiltsheet.__bases__ == (local,), q.Quiltsheet.__module__,
                  q.Quiltsheet(q.np.zeros((16, 3))).made_by, local is not Stagehall.Model]))
'''


def test_imports_try_the_package_first(tmp_path):
    """A copy of the module inside a package imports the package's own
    Stagehall, as `from Stagehall import Model` does in a 2.7 module there."""
    pkg = tmp_path / "pkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_bytes(b"")
    (pkg / "Stagehall.py").write_bytes(
        b"class Model(object):\n    def __init__(self):\n        self.made_by = __name__\n")
    (pkg / "Twin.py").write_bytes(b"from Stagehall import Model\n")
    shutil.copy(qs_mod.__file__, str(pkg / os.path.basename(qs_mod.__file__)))
    proc = run_python(RELATIVE % str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == ["pkg.Quiltsheet", True, True, True, "pkg.Quiltsheet",
                                       "pkg.Stagehall", True]


BASES = r'''
import json, sys, types
import numpy as np
import Stagehall as real
import Sketchkit

class Meta(type):
    made = []
    def __new__(mcls, name, bases, body):
        Meta.made.append(name)
        return type.__new__(mcls, name, bases, body)

%s

fake = types.ModuleType("Stagehall")
fake.__dict__.update((k, v) for k, v in vars(real).items() if not k.startswith("__"))
fake.Model = Model
sys.modules["Stagehall"] = fake
import Quiltsheet, Swoopline, Spirelet, Arborlot
out = {"made": Meta.made}
for m in (Quiltsheet, Swoopline, Spirelet, Arborlot):
    cls = getattr(m, m.__name__)
    out[m.__name__] = [type(cls).__name__, cls.__bases__ == (Model,)]
pts = np.array([(i, j, (0, -2, 2, -3)[j]) for i in range(4) for j in range(4)], float)
sheet = Quiltsheet.Quiltsheet(pts, (3, 3))
curve = Swoopline.Swoopline([([0, 0, 0], [1, 0, 0])])
curve.add_point(data_point=([1, 0, 0], [1, 0, 0]))
garden = Arborlot.Arborlot(sheet)
garden.add_subscene({"pos": [0, 0, 0], "model": curve})
garden.init()
out["objects"] = [type(o).__name__ for o in (sheet, curve, garden, Spirelet.Spirelet())]
out["model"] = [getattr(o, "made", None) for o in (sheet, curve, garden)] + [garden.inited]
out["values"] = [float(sheet.evaluate([1.5, 1.5])[2]), sheet.get_samples((2, 2))[2].tolist(),
                 curve.evaluate_curve_segment(0, 0.5)[0].tolist(), len(garden.subscene_list)]
print(json.dumps(out))
'''

CLASSIC = '''
class Model:
    def __init__(self):
        self.made = True
    def init(self):
        self.inited = True
'''

WITH_META = '''
class Model(object):
    __metaclass__ = Meta
    def __init__(self):
        self.made = True
    def init(self):
        self.inited = True
'''


@pytest.mark.parametrize("model", [CLASSIC, WITH_META], ids=["classic", "__metaclass__"])
def test_scene_classes_take_the_metaclass_of_model(model):
    """A classic Model gives classic scene classes, a Model with __metaclass__
    scene classes made by that metaclass; both work alike."""
    proc = run_python(BASES % model)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.splitlines()[-1])
    meta = "classobj" if model is CLASSIC else "Meta"
    for name in ("Quiltsheet", "Swoopline", "Spirelet", "Arborlot"):
        assert out[name] == [meta, True], name
    # Drifteye, imported by Arborlot, derives from Model too
    assert sorted(out["made"]) == ([] if model is CLASSIC else
                                   ["Arborlot", "Drifteye", "Model", "Quiltsheet", "Spirelet",
                                    "Swoopline"])
    assert out["objects"] == (["instance"] * 4 if model is CLASSIC else
                              ["Quiltsheet", "Swoopline", "Arborlot", "Spirelet"])
    assert out["model"] == [True, True, True, True]
    z = -2.5 * 1.5 ** 3 + 10.5 * 1.5 ** 2 - 10.0 * 1.5
    assert out["values"][0] == pytest.approx(z)
    np.testing.assert_allclose(out["values"][1], [[0, -3], [0, -3]], atol=1e-9)
    assert out["values"][2:] == [[0.5, 0.0, 0.0], 1]


GUARD = r'''
import sys, StringIO
sys.path.insert(0, %r)
name, pending, lost = %r
sys.modules["OpenGL.GL"] = None
out, sys.stdout = sys.stdout, StringIO.StringIO()
if pending == "1":
    print "loading",
captured = sys.stdout
if lost == "1":
    del sys.stdout
try:
    __import__(name)
    outcome = "imported"
except SystemExit as e:
    outcome = "SystemExit(%%r)" %% (e.code,)
except Exception as e:
    outcome = "%%s(%%r)" %% (type(e).__name__, str(e))
sys.stdout = out
print repr((outcome, captured.getvalue()))
'''

# Spirelet's guard written as a 2.7 module: the oracle for what it prints.
TWIN = b'''import sys
try:
    from OpenGL.GL import *
    from OpenGL.GLU import *
    from OpenGL.GLUT import *
except:
    print "ERROR: PyOpenGL not installed properly."
    sys.exit(1)
'''


@pytest.mark.parametrize("pending, lost", [("0", "0"), ("1", "0"), ("0", "1")],
                         ids=["plain", "after print x,", "no sys.stdout"])
def test_import_guard_prints_as_the_print_statement(tmp_path, pending, lost):
    (tmp_path / "Twin.py").write_bytes(TWIN)
    results = []
    for name in ("Spirelet", "Twin"):
        proc = run_python(GUARD % (str(tmp_path), (name, pending, lost)))
        assert proc.returncode == 0, proc.stderr
        results.append(proc.stdout)
    assert results[0] == results[1]
    if lost == "1":
        assert "RuntimeError('lost sys.stdout')" in results[0]


def test_argument_errors_in_2_7_words(sample_points, monkeypatch):
    """The 2.7 forms: "takes exactly/at least/at most/no", the count of the
    arguments given including keywords, the positional count checked first,
    keywords as 2.7 writes them: bytes as given, unicode with '?' for what
    ASCII cannot encode, 400 bytes at most."""
    ns = {"Model": object}
    exec("class Q(Model):\n"
         "    def __init__(self, data_points, num_samples_rendering=(34, 34)): pass\n"
         "    def evaluate(self, st_param): pass\n"
         "    def get_samples(self, samples=(7, 7)): pass\n"
         "def initGL(): pass\n"
         "def main(): pass\n", ns)
    sheet, twin = qs_mod.Quiltsheet(sample_points), ns["Q"](sample_points)
    calls = [
        lambda C, o, f: C(),
        lambda C, o, f: o.evaluate(),
        lambda C, o, f: o.evaluate([1, 1], [2, 2], bogus=1),
        lambda C, o, f: o.get_samples((2, 2), (2, 2), samples=1),
        lambda C, o, f: o.evaluate([1, 1], st_param=[1, 1]),
        lambda C, o, f: o.evaluate([1, 1], **{u"st_param": [1, 1]}),
        lambda C, o, f: C(num_samples_rendering=(2, 2)),
        lambda C, o, f: f(1),
        lambda C, o, f: f(a=1),
        lambda C, o, f: f(1, **{u"\xe9": 1}),
        lambda C, o, f: o.evaluate(**{u"\xe9t\xe9": 1}),
        lambda C, o, f: o.evaluate(**{"\xe9t\xe9": 1}),
        lambda C, o, f: o.get_samples(**{"k" * 500: 1}),
    ]
    shape = re.compile(r"^\w+\(\) (takes (exactly|at least|at most) \d arguments? \(\d given\)|"
                       r"takes no arguments \(\d given\)|"
                       r"got multiple values for keyword argument 'st_param'|"
                       "got an unexpected keyword argument '(\\?t\\?|\xe9t\xe9|k{400})')$")
    for call in calls:
        expected = str(error_of(call, ns["Q"], twin, ns["initGL"]))
        assert shape.match(expected), expected
        assert str(error_of(call, qs_mod.Quiltsheet, sheet, sp_mod.initGL)) == expected
    # named by the name it was made with, whatever __name__ says now
    for f in (ns["main"], sp_mod.main):
        monkeypatch.setattr(f, "__name__", "renamed")
    assert str(error_of(lambda: sp_mod.main(x=1))) == str(error_of(lambda: ns["main"](x=1)))
    # and only a byte string is a name
    assert str(error_of(setattr, sp_mod.main, "__name__", u"x")) == str(error_of(setattr, ns["main"], "__name__", u"x"))
