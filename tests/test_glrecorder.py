"""The framework's GL call recorder: what it replaces and puts back, how it
normalises arguments, and its use on the native modules."""

import types

import numpy as np
import pytest
from OpenGL import GL, GLU, GLUT

import Quiltsheet
import Sketchkit
import Swoopline
from Glrecorder import plain, recording

from gl_context import Boom, assert_balanced


def user_module():
    """A module of the kind users write: GL names among everything else."""
    m = types.ModuleType("user_scene")
    vars(m).update(glBegin=GL.glBegin, glVertex3f=GL.glVertex3f, gluSphere=GLU.gluSphere,
                   glutInit=GLUT.glutInit, GL_LINES=GL.GL_LINES, glMystery=42,
                   GLUquadric=type("GLUquadric", (object,), {}), global_state=len,
                   drawCheckerBoard=Sketchkit.drawCheckerBoard, draw_it=repr,
                   np=np, gl=GL)
    return m


@pytest.mark.parametrize("as_dict", [False, True])
def test_replaces_gl_functions_and_aids_and_restores_them_after_an_error(as_dict):
    m = user_module()
    before = dict(vars(m))
    with pytest.raises(Boom):
        with recording(vars(m) if as_dict else m) as rec:
            assert sorted(rec.replaced) == ["drawCheckerBoard", "glBegin", "glVertex3f",
                                            "gluSphere", "glutInit"]
            assert all(vars(m)[k] is v for k, v in before.items() if k not in rec.replaced)
            m.glBegin(m.GL_LINES)
            m.drawCheckerBoard(scale=[2, 2])
            m.glVertex3f(np.float32(0.5), np.int64(2), 3)
            raise Boom()
    assert vars(m) == before and all(vars(m)[k] is v for k, v in before.items())
    assert rec.calls == [("glBegin", ("GL_LINES",), {}),
                         ("drawCheckerBoard", (), {"scale": [2, 2]}),
                         ("glVertex3f", (0.5, 2, 3), {})]
    assert [type(a) for a in rec.calls[2].args] == [float, int, int]
    assert type(rec.raw[2].args[0]) is np.float32 and rec.raw[0].args[0] is GL.GL_LINES


def test_normalised_values():
    value = {"a": [np.arange(3.0).reshape(1, 3), (GL.GL_TRIANGLES, np.bool_(True))],
             "b": b"title", "c": GL.GL_ENABLE_BIT | GL.GL_CURRENT_BIT}
    assert plain(value) == {"a": [[[0.0, 1.0, 2.0]], ("GL_TRIANGLES", True)],
                            "b": b"title", "c": int(GL.GL_ENABLE_BIT | GL.GL_CURRENT_BIT)}
    assert type(plain(value)["a"][1][1]) is bool


def test_options_returns_names_and_failure():
    m = user_module()
    rec = recording(m, names=["glBegin", "global_state"], returns={"global_state": 7})
    with rec:
        assert m.global_state([1, 2]) == 7 and m.glVertex3f is GL.glVertex3f
        rec.fail_at("glBegin", 2, Boom("second"))
        m.glBegin(1)
        with pytest.raises(Boom, match="second"):
            m.glBegin(2)
        m.glBegin(3)   # the failure happens once
    assert rec.names() == ["global_state", "glBegin", "glBegin", "glBegin"]
    assert rec.args("glBegin") == [(1,), (2,), (3,)] and rec.count("glBegin") == 3
    with pytest.raises(AttributeError, match="glNothing"):
        recording(m, names=["glBegin", "glNothing"]).start()
    assert m.glBegin is GL.glBegin
    started = recording(m).start()
    with pytest.raises(RuntimeError):
        started.start()
    started.stop()
    assert m.glBegin is GL.glBegin


@pytest.mark.parametrize("module, draw", [
    (Quiltsheet, lambda: Quiltsheet.Quiltsheet(np.array(
        [(i, j, i * j) for i in range(4) for j in range(4)], float), (3, 3)).draw_scene()),
    (Swoopline, lambda: Swoopline.Swoopline([([0, 0, 0], [1, 0, 0]), ([1, 1, 0], [0, 1, 0])],
                                            5).draw_scene()),
])
def test_native_modules_draw_into_the_recorder(module, draw):
    before = dict(vars(module))
    with recording(module) as rec:
        draw()
        rec.fail_at("glVertex3f", 3, Boom())
        with pytest.raises(Boom):
            draw()
    assert all(vars(module)[k] is v for k, v in before.items())
    assert "draw3DCoordinateAxesQuadrics" in rec.names() and rec.count("glBegin") >= 2
    assert all(type(a) in (float, int, str) for c in rec.calls for a in c.args)
    assert_balanced(rec.calls)
