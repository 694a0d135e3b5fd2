"""The viewers' main() functions with recording substitutes for GLUT and the
framework, running the modules as the main program, the pyramid's guarded
PyOpenGL import, and the direct GL calls of the drawing against PyOpenGL's."""

import ast

import numpy as np
import pytest
from OpenGL import GL
import OpenGL.GLUT

import Arborlot as ar_mod
import Quiltsheet as qs_mod
import Sketchkit
import Spirelet as sp_mod
import Sprigrule as pl_mod
import Stagehall
import Swoopline as sw_mod
import Drifteye as de_mod

from conftest import (ORDERED_DICTS, PY2, make_sample_spline_points, make_sample_surface_points,
                      run_python)

# Distinct bits, so the or of the right constants is the only way to get a value.
CONSTS = {"GLUT_DOUBLE": 1 << 3, "GLUT_RGBA": 1 << 6, "GLUT_RGB": 1 << 9, "GLUT_DEPTH": 1 << 12}
LOOP_RESULT = "what the main loop returned"
PLANT = {"init": "F", "rule": "F->FF-[-F+F+F]+[+F-F-F]", "depth": 3, "angle": 22.5,
         "growth_factor": 0.5, "init_angle_axis": {"angle": 90, "axis": [0, 0, 1]}}


class Token(object):
    def __init__(self, *args, **kwargs):
        pass


class Trace(list):
    """Calls as (name, args, kwargs, result)."""

    def stub(self, name, make=None):
        def call(*args, **kwargs):
            result = make(*args, **kwargs) if make else None
            self.append((name, args, kwargs, result))
            return result
        return call


def substitute(monkeypatch, trace, module=None, garden=False, loop=lambda: LOOP_RESULT):
    """Recorders for GLUT, View, Framepane (and, for the garden, its outside
    classes) wherever a viewer's main() can find them: the modules they come
    from and the already imported module's globals."""
    values = dict(CONSTS, glutInit=trace.stub("glutInit"),
                  glutInitDisplayMode=trace.stub("glutInitDisplayMode"),
                  glutMainLoop=trace.stub("glutMainLoop", loop),
                  View=trace.stub("View", Token), Framepane=trace.stub("Framepane", Token))
    for place in [OpenGL.GLUT, Sketchkit, Stagehall] + ([module] if module else []):
        for name, value in values.items():
            if name in vars(place):
                monkeypatch.setattr(place, name, value)
    if garden:
        for place in (pl_mod, qs_mod, sw_mod, de_mod):
            name = place.__name__
            make = Token if place is de_mod else getattr(place, name)
            for where in (place, module) if module else (place,):
                monkeypatch.setattr(where, name, trace.stub(name, make))
        if module:
            monkeypatch.setattr(module, "Arborlot", trace.stub("Arborlot", module.Arborlot))


class Res(object):
    """Stands for the object that the k-th recorded call returned."""

    def __init__(self, k):
        self.k = k


def same(got, want, trace):
    """got is want: the result of an earlier call for Res, accepted by a
    check function, or equal with the same types and key order."""
    if isinstance(want, Res):
        return got is trace[want.k][3]
    if callable(want):
        return want(got)
    if isinstance(want, (dict, list, tuple)):
        if type(got) is not type(want) or len(got) != len(want):
            return False
        if isinstance(want, dict):
            keys = (list(got) == list(want)) if ORDERED_DICTS else (sorted(got) == sorted(want))
            return keys and all(same(got[k], want[k], trace) for k in want)
        return all(same(g, w, trace) for g, w in zip(got, want))
    return type(got) is type(want) and got == want


def sample_sheet_points(points):
    np.testing.assert_array_equal(points, make_sample_surface_points())
    return (points.dtype == np.float64 and points[5].tolist() == [1, 1, -2]
            and points[14].tolist() == [3, 2, 2])


def sample_sheet(sheet):
    return (type(sheet) is qs_mod.Quiltsheet and sheet.num_samples_rendering == (34, 34)
            and sample_sheet_points(sheet.data_points))


def sample_curve(curve):
    assert type(curve) is sw_mod.Swoopline and curve.num_samples_rendering == 101
    for got, want in zip(curve.point_tangent_list, make_sample_spline_points()):
        np.testing.assert_allclose(np.array(got, float), np.array(want, float), rtol=0, atol=1e-15)
    return len(curve.point_tangent_list) == 6 and len(curve.coeff_matrix) == 5


def cam(eye, center, fovy, near, far):
    return {"eye": eye, "center": center, "up": [0, 1, 0], "fovy": fovy, "aspect": 1.0,
            "near": near, "far": far}


def viewer(title, mode, model, camera, **window):
    return [("glutInit", (), {}), ("glutInitDisplayMode", (mode,), {}), ("View", (model, camera), {}),
            ("Framepane", (title, Res(2)), window), ("glutMainLoop", (), {})]


RGBA = CONSTS["GLUT_DOUBLE"] | CONSTS["GLUT_RGBA"]
SIZE2 = (768.0, 480)
EXPECTED = {
    "Quiltsheet": viewer("Quiltsheet", RGBA, sample_sheet, cam([2, 2, 2], [0, 0, 0], 30, 0.01, 200.0),
                         window_size=(512, 512), window_pos=(520, 0)),
    "Swoopline": viewer("Swoopline", RGBA, sample_curve, cam([0, 0, 4], [0, 0, 0], 30, 0.01, 200.0),
                        window_size=(512, 512)),
    "Spirelet": viewer("Spirelet", CONSTS["GLUT_DOUBLE"] | CONSTS["GLUT_RGB"] | CONSTS["GLUT_DEPTH"],
                       lambda o: type(o) is sp_mod.Spirelet,
                       cam([0, -1, 1.5], [0, 0, 0], 40, 0.01, 200.0),
                       window_size=(512, 512), window_pos=(520, 0)),
    "Arborlot": [
        ("glutInit", (), {}), ("glutInitDisplayMode", (RGBA,), {}),
        ("Sprigrule", (PLANT,), {}), ("Quiltsheet", (sample_sheet_points,), {}),
        ("Arborlot", (Res(3), [{"pos": [0, 0, 0], "model": Res(2)}]), {}),
        ("Swoopline", (), {}),
        ("Drifteye", (Res(4), cam([0, 4.5, 4], [0, 2, 0], 40, 0.1, 100.0), Res(5)), {}),
        ("Framepane", ("Arborlot", Res(6)), {"window_size": SIZE2, "window_pos": (320, 0)}),
        ("View", (Res(6), cam([5, 5, 5], [0, 1, 0], 60, 0.1, 200.0)), {}),
        ("Framepane", ("External Camera View", Res(8)),
         {"window_size": SIZE2, "window_pos": (320, 520)}),
        ("glutMainLoop", (), {})],
}
MODULES = [qs_mod, sw_mod, sp_mod, ar_mod]


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_main_call_sequence(monkeypatch, module):
    trace = Trace()
    substitute(monkeypatch, trace, module, garden=module is ar_mod)
    assert module.main() is None
    expected = EXPECTED[module.__name__]
    assert [c[0] for c in trace] == [e[0] for e in expected]
    for k, (call, want) in enumerate(zip(trace, expected)):
        assert same(call[1], want[1], trace) and same(call[2], want[2], trace), (k, call)
    assert module.main.__doc__ is None
    reference = {}
    exec("def main():\n    pass\n", reference)
    with pytest.raises(TypeError) as expected:
        reference["main"](1)
    with pytest.raises(TypeError) as actual:
        module.main(1)
    assert str(actual.value) == str(expected.value)


# 2.7 looks for the init function of "__main__" in the file, not initNAME.
@pytest.mark.skipif(PY2, reason="2.7 cannot load an extension module as __main__")
@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_running_as_main_program_calls_main_before_test_is_bound(monkeypatch, module):
    import importlib.util
    found = importlib.util.find_spec(module.__name__)
    fresh = importlib.util.module_from_spec(found)
    fresh.__name__ = "__main__"
    trace = Trace()
    substitute(monkeypatch, trace, garden=module is ar_mod,
               loop=lambda: "__test__" in vars(fresh))
    found.loader.exec_module(fresh)
    # The module's own class is created by the run itself, so it is not recorded.
    names = [e[0] for e in EXPECTED[module.__name__] if e[0] != "Arborlot"]
    assert [c[0] for c in trace] == names and trace[-1][3] is False
    assert fresh.__test__ == {}


@pytest.mark.parametrize("blocked, how", [("OpenGL.GL", "missing"), ("OpenGL.GLU", "missing"),
                                          ("OpenGL.GLUT", "missing"), ("OpenGL.GLUT", "broken")])
def test_pyopengl_guard_prints_and_exits_with_failure(blocked, how):
    proc = run_python("""
        import sys
        blocked, how = %r, %r
        class Broken(object):
            def find_spec(self, name, path=None, target=None):
                if name == blocked:
                    raise RuntimeError("broken " + name)
            find_module = find_spec  # 2.7's finder protocol
        if how == "missing":
            sys.modules[blocked] = None
        else:
            sys.meta_path.insert(0, Broken())
        try:
            import Spirelet
        except SystemExit as exc:
            sys.stderr.write("\\n" + repr((exc.code, "Stagehall" in sys.modules)) + "\\n")
            raise
        """ % (blocked, how))
    assert proc.stdout == "ERROR: PyOpenGL not installed properly.\n"
    code, stagehall = ast.literal_eval(proc.stderr.strip().splitlines()[-1])
    assert code not in (None, 0) and proc.returncode != 0
    assert stagehall is False


# ---------------------------------------------------------------------------
# Direct GL calls against PyOpenGL's own
# ---------------------------------------------------------------------------

SIZE = 128


def render(scene):
    GL.glViewport(0, 0, SIZE, SIZE)
    GL.glClearColor(0, 0, 0, 1)
    GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)
    for mode in (GL.GL_PROJECTION, GL.GL_MODELVIEW):
        GL.glMatrixMode(mode)
        GL.glLoadIdentity()
    GL.glOrtho(-1.5, 1.5, -1.5, 1.5, -3, 3)
    GL.glRotatef(30, 1, 1, 0)
    scene.draw_scene(False)
    GL.glReadBuffer(GL.GL_BACK)
    data = GL.glReadPixels(0, 0, SIZE, SIZE, GL.GL_RGB, GL.GL_UNSIGNED_BYTE)
    return np.frombuffer(bytes(data), np.uint8).reshape(SIZE, SIZE, 3)


@pytest.mark.parametrize("module, make, vertices, lit", [
    (qs_mod, lambda: qs_mod.Quiltsheet(make_sample_surface_points()), 33 * 33 * 6, 1000),
    (sw_mod, lambda: sw_mod.Swoopline(make_sample_spline_points()), 5 * 101 + 6 * 2, 150),
], ids=["Quiltsheet", "Swoopline"])
def test_direct_gl_calls_draw_like_pyopengl(gl_window, monkeypatch, module, make, vertices, lit):
    gl_window(size=(SIZE, SIZE))
    scene = make()
    direct = render(scene)
    assert np.any(direct != 0, axis=-1).sum() > lit
    counts = {"glVertex3f": 0, "glColor3f": 0}

    def through(name, real):
        def call(*a):
            counts[name] += 1
            return real(*a)
        return call
    for name in counts:  # pass-through wrappers: PyOpenGL's own functions, called from Python
        monkeypatch.setattr(module, name, through(name, getattr(module, name)))
    plain = render(scene)
    assert counts["glVertex3f"] == vertices
    assert GL.glGetError() == GL.GL_NO_ERROR
    np.testing.assert_array_equal(plain, direct)
