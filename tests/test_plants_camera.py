"""The garden's L-system plant (Sprigrule) and fly-through camera (Drifteye)."""

from __future__ import division

import copy
import sys

import numpy as np
import pytest
from OpenGL import GL

import Drifteye as de_mod
import Sprigrule as sp_mod
import Stagehall
from Drifteye import Drifteye
from Sprigrule import Sprigrule
from Swoopline import Swoopline

from conftest import REPO, run_process, subprocess_env
from gl_context import Boom, Recorder, assert_balanced, gl_state, near, read_png

PLANT = {"init": "F", "rule": "F->FF-[-F+F+F]+[+F-F-F]", "depth": 3, "angle": 22.5,
         "growth_factor": 0.5, "init_angle_axis": {"angle": 90, "axis": [0, 0, 1]}}
CAM = {"eye": [0, 4.5, 4], "center": [0, 2, 0], "up": [0, 1, 0], "fovy": 40,
       "aspect": 1.0, "near": 0.1, "far": 100.0}
FLAT = {"angle": 0, "axis": [0, 0, 1]}
DROP = object()


def plant(**changes):
    params = dict(PLANT, **changes)
    return Sprigrule(params)


# ---------------------------------------------------------------------------
# Plant
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("init, rule, depth, expected", [
    ("F", "F->F+F", 0, "F"),
    ("F", "F->F+F", 1, "F+F"),
    ("F", "F->F+F", 2, "F+F+F+F"),
    ("X", "X -> F[X]", 2, "F[F[X]]"),        # other symbols kept; spaces ignored
])
def test_rewriting(init, rule, depth, expected):
    assert plant(init=init, rule=rule, depth=depth).string == expected


def test_sample_plant_segments_size_and_tips():
    p = plant()
    assert len(p.starts) == 8 ** 3                 # each F becomes eight
    low, high = p.bounds()
    assert 1.0 < high[1] - low[1] < 2.5 and low[1] >= 0  # grows upwards from its foot
    assert np.allclose(p.starts[:, 2], 0) and np.allclose(p.ends[:, 2], 0)
    # Every F of the generation before the last grows two branches, each tipped.
    assert p.tips.sum() == 128


def test_turtle_turns_and_brackets():
    p = plant(init="F+F[+F]F", rule="F->F", depth=0, angle=90, init_angle_axis=FLAT)
    L = p.segment_length
    ends = [(L, 0), (L, L), (0, L), (L, 2 * L)]   # the branch turns left, then back
    np.testing.assert_allclose(p.ends[:, :2], ends, atol=1e-12)
    np.testing.assert_allclose(p.starts[3, :2], (L, L), atol=1e-12)
    assert p.tips.tolist() == [False, False, True, True]
    assert p.levels.tolist() == [0, 0, 1, 0]
    pitched = plant(init="F&F", rule="F->F", depth=0, angle=90, init_angle_axis=FLAT)
    np.testing.assert_allclose(pitched.ends[1], (L, 0, -L), atol=1e-12)  # & turns x to -z


def test_rotation_and_growth_factor():
    up = plant(init="F", rule="F->FF", depth=0)           # 90 degrees about z
    np.testing.assert_allclose(up.ends[0], (0, up.segment_length, 0), atol=1e-12)
    lengths = [plant(rule="F->FF", depth=d, growth_factor=0.8).segment_length for d in (1, 2)]
    assert lengths[1] == pytest.approx(0.8 * lengths[0])


@pytest.mark.parametrize("change, error, words", [
    ({"rule": DROP}, ValueError, "lacks 'rule'"),
    ({"rule": "FF"}, ValueError, "PRED->SUCC"),
    ({"rule": "FG->F"}, ValueError, "one symbol"),
    ({"depth": -1}, ValueError, "negative"),
    ({"depth": 1.5}, TypeError, "integer"),
    ({"angle": "22"}, TypeError, "'angle' must be a number"),
    ({"growth_factor": 0}, ValueError, "positive"),
    ({"init_angle_axis": {"angle": 90}}, ValueError, "'axis'"),
    ({"init_angle_axis": {"angle": 90, "axis": [0, 0, 0]}}, ValueError, "zero vector"),
    ({"init_angle_axis": {"angle": 90, "axis": [0, 1]}}, ValueError, "three"),
    ({"init": "F]", "depth": 0}, ValueError, "without a matching"),
    ({"depth": 40}, ValueError, "beyond"),
])
def test_invalid_parameters(change, error, words):
    params = {k: v for k, v in dict(copy.deepcopy(PLANT), **change).items() if v is not DROP}
    with pytest.raises(error, match=words):
        Sprigrule(params)


@pytest.mark.parametrize("fail", [None, 2])
def test_plant_drawing_trace(gl_recorder, fail):
    p = plant()
    rec = gl_recorder(sp_mod)
    if fail:
        rec.fail_at("glDrawArrays", fail, Boom("midway"))
        with pytest.raises(Boom):
            p.draw_scene()
    else:
        p.draw_scene()
    assert_balanced(rec.calls)
    assert rec.names().count("glPushClientAttrib") == rec.names().count("glPopClientAttrib") == 1
    if not fail:
        assert sum(args[2] for args in rec.args("glDrawArrays")) == 2 * len(p.starts)
        colours = {args for args in rec.args("glColor3f")}
        assert sp_mod.TIP_COLOR in colours and sp_mod.STEM_COLOR in colours


def test_plant_on_real_context_leaves_state(gl_window):
    gl_window()
    before = gl_state() + (int(GL.glGetIntegerv(GL.GL_CLIENT_ATTRIB_STACK_DEPTH)),)
    plant().draw_scene()
    assert gl_state() + (int(GL.glGetIntegerv(GL.GL_CLIENT_ATTRIB_STACK_DEPTH)),) == before


# ---------------------------------------------------------------------------
# Camera
# ---------------------------------------------------------------------------

class Clock(object):
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


@pytest.fixture
def cam():
    return Drifteye(object(), CAM, Swoopline(), clock=Clock())


def test_flight_path_closed_loop_from_eye(cam):
    data = cam.curve.point_tangent_list
    assert len(cam.curve.coeff_matrix) == len(data) - 1 >= 8
    for first, last in zip(data[0], data[-1]):
        np.testing.assert_array_equal(first, last)
    np.testing.assert_array_equal(data[0][0], CAM["eye"])
    ts = np.linspace(0, 1, 50)
    pts = np.array([cam.curve.evaluate_curve_segment(s, t)[0]
                    for s in range(len(data) - 1) for t in ts])
    # Around the middle and over the board, clear of the ground and the plant.
    angles = np.degrees(np.arctan2(pts[:, 0], pts[:, 2]))
    assert np.histogram(angles, bins=12, range=(-180, 180))[0].min() > 0
    assert np.abs(pts[:, [0, 2]]).max() < 6 and pts[:, 1].min() > 0.6
    assert np.hypot(pts[:, 0], pts[:, 2])[pts[:, 1] < 2.0].min() > 0.8


def test_pose_looks_along_path(cam):
    eye, center, up = cam.pose(0.0)
    np.testing.assert_allclose(eye, CAM["eye"])
    heading = np.subtract(CAM["center"], CAM["eye"])
    np.testing.assert_allclose(center - eye, heading / np.linalg.norm(heading), atol=1e-12)
    np.testing.assert_array_equal(up, [0, 1, 0])
    for d in np.linspace(0.3, cam.length, 7):
        eye, center, _ = cam.pose(d)
        seg, t = cam.location(d)
        _, tangent = cam.curve.evaluate_curve_segment(seg, t)
        np.testing.assert_allclose(center - eye, tangent / np.linalg.norm(tangent), atol=1e-9)
        np.testing.assert_allclose(cam.pose(d + cam.length)[0], eye, atol=1e-9)
        # Constant speed: a short step in distance is as long in space.
        assert np.linalg.norm(cam.pose(d + 0.01)[0] - eye) == pytest.approx(0.01, rel=0.02)


def test_time_pause_and_keys(cam, monkeypatch):
    quits = []
    monkeypatch.setattr(de_mod, "leave_main_loop", lambda: quits.append(1))
    cam.update()
    cam.clock.now += 0.1
    cam.update()
    assert cam.distance == pytest.approx(0.1 * cam.speed)
    cam.clock.now += 0.1                        # flown until the very pause
    assert cam.keyboard(b" ", 0, 0) is True and cam.paused
    cam.clock.now += 0.1
    cam.update()
    assert cam.distance == pytest.approx(0.2 * cam.speed)
    cam.keyboard(b" ", 0, 0)
    cam.clock.now += 5.0                        # a stall is not flown in one jump
    cam.update()
    assert cam.distance == pytest.approx((0.2 + de_mod.MAX_STEP) * cam.speed)
    assert cam.keyboard(b"x", 0, 0) is False and not quits
    cam.keyboard(b"q", 0, 0)
    assert quits


@pytest.mark.parametrize("spec, points, error", [
    ({k: v for k, v in CAM.items() if k != "far"}, [], ValueError),
    (dict(CAM, eye=[0, 1]), [], ValueError),
    ([1, 2], [], TypeError),
    (CAM, [([0, 0, 0], [1, 0, 0])], ValueError),
])
def test_camera_rejects_bad_arguments(spec, points, error):
    with pytest.raises(error):
        Drifteye(object(), spec, Swoopline(points))


CAM_GL = ("gluPerspective", "gluLookAt", "glMatrixMode", "glLoadIdentity",
          "draw_model", "glBegin", "glEnd", "glVertex3f", "glColor3f", "glPushAttrib",
          "glPopAttrib", "glDisable", "glLineWidth")


class PendingTimer(object):
    active = True


@pytest.mark.parametrize("snapshot_on", [False, True])
def test_camera_as_view_and_model(cam, monkeypatch, snapshot_on):
    monkeypatch.setattr(Stagehall, "in_snapshot_mode", lambda: snapshot_on)
    rec = Recorder(monkeypatch, de_mod, CAM_GL)
    timers = []
    monkeypatch.setattr(de_mod, "add_timer", lambda ms, fn: timers.append(ms) or PendingTimer())
    cam.apply(800, 400)
    cam.apply(800, 400)
    assert rec.args("gluPerspective") == [(40, 2.0, 0.1, 100.0)] * 2
    np.testing.assert_allclose(rec.args("gluLookAt")[0], np.concatenate(cam.pose()))
    assert timers == ([] if snapshot_on else [de_mod.TIMER_MS])
    del rec.calls[:]
    cam.draw_scene()
    assert rec.args("draw_model") == [(cam.scene,), (cam._path_model,)]
    assert_balanced(rec.calls)
    vertices = np.array(rec.args("glVertex3f"))
    assert len(vertices) == 2 * len(cam.frustum_lines())
    assert np.linalg.norm(vertices - cam.pose()[0], axis=1).min() == 0


def test_garden_pictures(x_display, tmp_path):
    proc = run_process([sys.executable, str(REPO / "tools" / "snapshot.py"), "Arborlot",
                        str(tmp_path)], env=subprocess_env(), timeout=300)
    assert proc.returncode == 0, proc.stderr
    garden, outside = (read_png(tmp_path / name)
                       for name in ("Arborlot.png", "External Camera View.png"))
    stem, tip, frustum = (np.round(np.multiply(c, 255)) for c in (
        sp_mod.STEM_COLOR, sp_mod.TIP_COLOR, de_mod.FRUSTUM_COLOR))
    for image in (garden, outside):
        assert near(image, stem).sum() > 100 and near(image, tip).sum() > 20
        for check in ((204, 204, 204), (51, 51, 51)):                          # light, dark checks
            assert near(image, check).sum() > 0.05 * image[..., 0].size
        vivid = image.max(axis=-1) - image.min(axis=-1) > 150                  # terrain colours
        assert vivid.sum() > 1000
    assert near(outside, frustum).sum() > 100 and not near(garden, frustum).any()
    assert near(outside, (255, 51, 51)).sum() > 10        # the path's tangent marks
