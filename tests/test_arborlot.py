"""Tests of the Arborlot garden module: its texts and globals, the scene
object, init(), and the recorded drawing of the garden."""

from __future__ import division

import numpy as np
import pytest

import Arborlot as ar_mod
import Drifteye
import Quiltsheet
import Sketchkit
import Sprigrule
import Stagehall
import Swoopline
from Arborlot import Arborlot

from conftest import ORDERED_DICTS, PY2, items_in_order, unbound_wording
from gl_context import Boom, Recorder, assert_balanced, typed

CLASS_DOC = ("\n    Scene with multiple 3D L-System and a checkerboard as ground-plane\n"
             "    subscene_list is a list of dictionaries that contains the (x, y) position \n"
             "    on the ground plane and the L-system.\n    ")
DRAW_DOC = ("\n        Draw the Arborlot here. A sample solution is provided. You can\n"
            "        build on top of it or replace it with your own approach.\n        ")
NINE = tuple(np.zeros((2, 2)) for _ in range(9))


def test_module_class_and_method_texts():
    assert ar_mod.__doc__ == "\nArborlot\n" and ar_mod.__test__ == {}
    assert Arborlot.__doc__ == CLASS_DOC and Arborlot.__module__ == "Arborlot"
    assert Arborlot.__bases__ == (Stagehall.Model,)
    methods = [n for n in vars(Arborlot) if not n.startswith("__") or n == "__init__"]
    in_order = ["__init__", "init", "add_subscene", "draw_scene"]
    assert methods == in_order if ORDERED_DICTS else sorted(methods) == sorted(in_order)
    for name in methods:
        f = vars(Arborlot)[name]
        assert f.__qualname__ == "Arborlot." + name
        assert f.__doc__ == (DRAW_DOC if name == "draw_scene" else None)


def test_module_globals_follow_the_import_order():
    import OpenGL.GL
    expected = {"np": np}
    for mod in (OpenGL.GL, Sketchkit):          # the later star import wins
        for name in getattr(mod, "__all__", None) or [n for n in vars(mod) if n[0] != "_"]:
            expected[name] = getattr(mod, name)
    expected.update(Model=Stagehall.Model, Sprigrule=Sprigrule.Sprigrule,
                    Quiltsheet=Quiltsheet.Quiltsheet, Drifteye=Drifteye.Drifteye,
                    Swoopline=Swoopline.Swoopline)
    g = vars(ar_mod)
    assert [n for n, v in expected.items() if g.get(n, object()) is not v] == []


# ---------------------------------------------------------------------------
# The scene object
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("build", [lambda t, l: Arborlot(t, l),
                                   lambda t, l: Arborlot(subscene_list=l, terrain_model=t)])
def test_terrain_and_list_are_kept_by_reference(build):
    terrain, mine, entry = object(), [{"pos": [0, 0, 0]}], object()
    scene = build(terrain, mine)
    assert scene.terrain_model is terrain and scene.subscene_list is mine
    assert scene.add_subscene(entry) is None and scene.add_subscene(subscene=7) is None
    assert mine[1:] == [entry, 7] and mine[1] is entry
    # Without a list, every scene gets a new one of its own; None is kept.
    assert Arborlot.__init__.__defaults__ == ([],)
    a, b = Arborlot(terrain), Arborlot(terrain_model=terrain)
    a.add_subscene(entry)
    assert type(b.subscene_list) is list and (a.subscene_list, b.subscene_list) == ([entry], [])
    assert Arborlot.__init__.__defaults__ == ([],) and Arborlot(terrain, None).subscene_list is None


class Part(object):
    """A terrain, plant, subscene entry or base class that records its init()
    and draw_scene() calls in ``calls``; raises ``fail`` when given one."""

    def __init__(self, calls, name, result=None, fail=None):
        self.calls, self.name, self.result, self.fail = calls, name, result, fail

    def init(self, *args):
        self.calls.append((self.name + ".init", args))
        if self.fail:
            raise self.fail

    def draw_scene(self, *args):
        self.calls.append((self.name, args))
        if self.fail:
            raise self.fail
        return self.result() if callable(self.result) else self.result


@pytest.mark.parametrize("terrain, entries, expected", [
    (None, [], []),
    (None, ["e1"], ["e1"]),
    ("terrain", ["dict", "e1", "dict", "e2"], ["terrain", "e1", "e2"]),
    ("terrain", ["e1", "e2!", "e3"], ["terrain", "e1", "e2!"]),
    ("terrain!", ["e1"], ["terrain!"]),
])
def test_init(monkeypatch, terrain, entries, expected):
    calls, boom = [], Boom()
    scene = Arborlot(Part(calls, terrain, fail="!" in terrain and boom) if terrain else object())
    monkeypatch.setattr(ar_mod, "Model", Part(calls, "Model"))
    for e in entries:  # a plain dict is never initialised, whatever its model holds
        scene.add_subscene({"pos": [0, 0, 0], "model": Part(calls, "model")} if e == "dict"
                           else Part(calls, e, fail="!" in e and boom))
    if "!" in "".join(expected):
        with pytest.raises(Boom) as info:
            scene.init()
        assert info.value is boom
    else:
        assert scene.init() is None
    assert calls == [("Model.init", (scene,))] + [(n + ".init", ()) for n in expected]


def test_init_reads_the_terrain_afresh(monkeypatch):
    calls = []
    terrains = [Part(calls, "tested"), Part(calls, "called")]

    class Reading(Arborlot):
        terrain_model = property(lambda self: terrains.pop(0), lambda self, v: None)
    scene = Reading(None)
    monkeypatch.setattr(ar_mod, "Model", Part(calls, "Model"))
    scene.init()
    assert [n for n, _ in calls] == ["Model.init", "called.init"] and terrains == []


class Touchy(object):
    """Its init cannot even be looked up."""
    init = property(lambda self: {}["init"])


# 2.7's hasattr() says False for any Exception, 3's only for AttributeError.
@pytest.mark.parametrize("where", ["terrain", "entry"])
def test_init_looks_for_init_as_hasattr_does(monkeypatch, where):
    scene = Arborlot(Touchy() if where == "terrain" else None, [Touchy()] if where == "entry" else [])
    monkeypatch.setattr(ar_mod, "Model", Part([], "Model"))
    try:
        found = hasattr(Touchy(), "init")
    except KeyError:
        with pytest.raises(KeyError):
            scene.init()
    else:
        assert not found and scene.init() is None


# ---------------------------------------------------------------------------
# Drawing
# ---------------------------------------------------------------------------

def garden(monkeypatch, terrain=lambda: NINE, fail=None):
    rec = Recorder(monkeypatch, ar_mod, ("glPushMatrix", "glPopMatrix", "glScalef", "glRotate",
                                         "glTranslate", "draw3DCoordinateAxesQuadrics"))
    monkeypatch.setattr(ar_mod, "drawCheckerBoard",
                        lambda *a, **k: rec.calls.append(("drawCheckerBoard", (a, k))))
    scene = Arborlot(Part(rec.calls, "terrain", terrain, fail))
    scene.pQuadric = object()
    return rec, scene


def exact(calls):
    return [(n, typed(list(a)) if n != "drawCheckerBoard" else
             (typed(a[0]), [(k, typed(v)) for k, v in items_in_order(a[1])])) for n, a in calls]


@pytest.mark.parametrize("positions", [
    [], [[1, 2, 3]],
    [(1.5, -2, 0.25), np.array([0.5, 1.0, 2.0]), [4, 5, 6, 7]],
    [[1, 1, 0], [1, 1, 0], np.array([3, -1, 2])],
])
def test_draw_scene_trace(monkeypatch, positions):
    rec, scene = garden(monkeypatch)
    board = {"scale": [8, 8], "check_colors": [[0.8, 0.8, 0.8], [0.2, 0.2, 0.2]]}
    expected = [("glPushMatrix", ()), ("glScalef", (0.25, 0.25, 0.25)),
                ("draw3DCoordinateAxesQuadrics", (scene.pQuadric,)), ("glPopMatrix", ()),
                ("glPushMatrix", ()), ("glRotate", (-90, 1, 0, 0)),
                ("drawCheckerBoard", ((), board)), ("glPopMatrix", ()),
                ("glPushMatrix", ()), ("terrain", (False,)), ("glPopMatrix", ())]
    for i, pos in enumerate(positions):
        scene.add_subscene({"pos": pos, "model": Part(rec.calls, "plant%d" % i), "other": None})
        expected += [("glPushMatrix", ()), ("glTranslate", (pos[0], pos[1], pos[2])),
                     ("plant%d" % i, ()), ("glPopMatrix", ())]
    for _ in range(2):  # the second call gets new lists, whatever became of the first
        del rec.calls[:]
        assert scene.draw_scene() is None
        assert exact(rec.calls) == exact(expected)
        assert rec.args("draw3DCoordinateAxesQuadrics")[0][0] is scene.pQuadric
        assert rec.args("terrain")[0][0] is False
        assert rec.names().count("glPushMatrix") == len(positions) + 3
        assert_balanced(rec.calls)
        used = rec.args("drawCheckerBoard")[0][1]
        used["scale"].append(1), used["check_colors"][1].append(5)


def test_pos_items_are_read_in_order(monkeypatch):
    rec, scene = garden(monkeypatch)

    class Pos(object):
        def __getitem__(self, i):
            rec.calls.append(("pos", (i,)))
            return float(i)

    scene.add_subscene({"pos": Pos(), "model": Part(rec.calls, "plant")})
    scene.draw_scene()
    assert rec.names()[-6:] == ["pos", "pos", "pos", "glTranslate", "plant", "glPopMatrix"]
    assert rec.args("pos") == [(0,), (1,), (2,)] and rec.args("glTranslate") == [(0.0, 1.0, 2.0)]


def reference_unpack(value):
    X, Y, Z, DsX, DsY, DsZ, DtX, DtY, DtZ = value


@pytest.mark.parametrize("make", [
    lambda: NINE[:8], lambda: list(NINE) + [0], lambda: list(NINE[:1]), lambda: 5, lambda: None,
    lambda: iter(range(10)), lambda: (i for i in range(8)),
], ids=["8", "10", "1", "int", "None", "iter10", "gen8"])
def test_terrain_results_that_do_not_unpack(monkeypatch, make):
    with pytest.raises((ValueError, TypeError)) as expected:
        reference_unpack(make())
    rec, scene = garden(monkeypatch, terrain=make)
    scene.add_subscene({"pos": [0, 0, 0], "model": Part(rec.calls, "plant")})
    with pytest.raises(type(expected.value)) as actual:
        scene.draw_scene()
    assert str(actual.value) == str(expected.value)
    assert "plant" not in rec.names()
    assert_balanced(rec.calls)


FAILURES = {  # case: (error, the subscenes after one that draws fine)
    "terrain": (Boom, []), "axes": (Boom, []), "no quadric": (AttributeError, []),
    "plant": (Boom, [{"pos": [1, 2, 3], "model": "fail"}, {"pos": [0, 0, 0], "model": "ok"}]),
    "no pos": (KeyError, [{"model": "ok"}]),
    "no model": (KeyError, [{"pos": [1, 2, 3]}]),
    "short pos": (IndexError, [{"pos": [1, 2], "model": "ok"}]),
}
LOOKUPS = {"no pos": lambda e: e["pos"], "no model": lambda e: e["model"],
           "short pos": lambda e: e["pos"][2]}


@pytest.mark.parametrize("case", FAILURES)
def test_failures_propagate_and_pop_every_push(monkeypatch, case):
    error, entries = FAILURES[case]
    boom = Boom(case)
    rec, scene = garden(monkeypatch, fail=boom if case == "terrain" else None)
    scene.add_subscene({"pos": [0, 0, 0], "model": Part(rec.calls, "first")})
    for entry in entries:
        if "model" in entry:
            entry["model"] = Part(rec.calls, "later", fail=entry["model"] == "fail" and boom)
        scene.add_subscene(entry)
    if case == "axes":
        rec.error = boom
        rec.fail_at("draw3DCoordinateAxesQuadrics", 1)
    if case == "no quadric":
        del scene.pQuadric
    with pytest.raises(error) as info:
        scene.draw_scene()
    assert info.value is boom or error is not Boom
    if case in LOOKUPS:  # the same error as Python's own lookups on that entry
        with pytest.raises(error) as expected:
            LOOKUPS[case](entries[-1])
        assert info.value.args == expected.value.args
    assert rec.names().count("later") == (case == "plant")
    assert ("first" in rec.names()) == (case not in ("terrain", "axes", "no quadric"))
    assert_balanced(rec.calls)
    if case == "no quadric":
        assert rec.names() == ["glPushMatrix", "glScalef", "glPopMatrix"]


REFERENCE = '''
class Arborlot(Model):
    def __init__(self, terrain_model, subscene_list=[]): pass
    def init(self): pass
    def add_subscene(self, subscene): pass
    def draw_scene(self): pass
'''
WRONG = [lambda C, o: C(), lambda C, o: C(1, [], 3), lambda C, o: C(1, bogus=1),
         lambda C, o: C(1, terrain_model=1), lambda C, o: C(subscene_list=[]),
         lambda C, o: o.init(1), lambda C, o: o.add_subscene(), lambda C, o: o.add_subscene(1, 2),
         lambda C, o: o.add_subscene(scene=1), lambda C, o: o.draw_scene(False),
         lambda C, o: C.draw_scene()]


@pytest.mark.parametrize("call", WRONG)
def test_wrong_calls_match_interpreter_wording(call):
    ns = {"Model": Stagehall.Model, "__name__": "Arborlot"}
    exec(REFERENCE, ns)
    with pytest.raises(TypeError) as expected:
        call(ns["Arborlot"], ns["Arborlot"](None, []))
    with pytest.raises(TypeError) as actual:
        call(Arborlot, Arborlot(None, []))
    assert str(actual.value) == unbound_wording(str(expected.value))
