"""
Drifteye: a camera that flies along a closed Hermite spline through a scene.

    cam = Drifteye(scene, cam_spec, Swoopline())
    Framepane("Fly-through", cam)                  # cam is the window's view
    Framepane("Outside", View(cam, other_spec))    # cam is also a model

The camera fills the empty spline with a loop of data points that starts at
cam_spec["eye"], heading for cam_spec["center"], dives into the scene,
sweeps past its middle three times and climbs back to the start. It moves at a constant speed along
the loop, timed by the clock rather than by frames, and looks along the
spline's tangent. Space pauses and resumes; q or Escape leaves the viewer.
Seen from another view it draws the scene, its flight path and itself as a
small viewing pyramid. In the framework's snapshot mode it stays at the start
of the loop, so that pictures do not depend on the machine's speed.
"""

from __future__ import division

import math
import sys
import time
import traceback

import numpy as np

from OpenGL.GL import (
    GL_CURRENT_BIT, GL_ENABLE_BIT, GL_LIGHTING, GL_LINE_BIT, GL_LINES,
    GL_MODELVIEW, GL_PROJECTION, glBegin, glColor3f, glDisable, glEnd,
    glLineWidth, glLoadIdentity, glMatrixMode, glPopAttrib, glPushAttrib,
    glVertex3f)
from OpenGL.GLU import gluLookAt, gluPerspective
import Stagehall
from Stagehall import (Model, add_timer, draw_model, init_model, leave_main_loop, panes,
                       request_redisplay)
from Stagehall._camera import camera_up, check_cam_spec, norm as _norm, unit as _unit

__all__ = ["Drifteye", "flight_path"]

# The loop, laid out for the garden's camera (eye (0, 4.5, 4) looking at
# (0, 2, 0), y up) and moved onto any other camera's eye. Seen from above it
# is a trefoil: three nearly straight legs, each passing OUTER - INNER beside
# the middle (where the plant stands), joined by looping turns outside, so the
# camera, looking along its path, meets the garden on every leg. It cruises
# low, climbs behind the start and dives from the eye towards the centre.
TEMPLATE_EYE = np.array([0.0, 4.5, 4.0])
OUTER, INNER = 2.8, 1.8    # INNER > OUTER / 2 makes the turns loop
CRUISE_HEIGHT = 1.1
CLIMB_LEAD = 0.3           # the climb peaks this much parameter before the eye
CLIMB_SHARPNESS = 4
LOOP_POINTS = 16


def _trefoil(s):
    """Point and derivative (x, z) of the trefoil at parameter s."""
    a, b = OUTER, INNER
    point = np.array([a * math.cos(s) + b * math.cos(2 * s), a * math.sin(s) - b * math.sin(2 * s)])
    deriv = np.array([-a * math.sin(s) - 2 * b * math.sin(2 * s),
                      a * math.cos(s) - 2 * b * math.cos(2 * s)])
    return point, deriv


def _template_loop():
    """(point, tangent) pairs of the loop in the template's coordinates."""
    a, b = OUTER, INNER
    radius = _norm(TEMPLATE_EYE[[0, 2]])
    # Where the trefoil crosses the eye's circle heading inwards.
    s0 = math.acos((radius ** 2 - a * a - b * b) / (2 * a * b)) / 3.0
    p0, _ = _trefoil(s0)
    turn = math.atan2(p0[0], p0[1])
    c, s = math.cos(turn), math.sin(turn)
    spin = np.array([[c, -s], [s, c]])     # puts the start on the +z axis
    top, norm = TEMPLATE_EYE[1], 1.0 + math.cos(CLIMB_LEAD)
    step = 2 * math.pi / LOOP_POINTS
    loop = []
    for k in range(LOOP_POINTS):
        u = k * step
        flat, dflat = _trefoil(s0 + u)
        x, z = spin.dot(flat)
        dx, dz = spin.dot(dflat)
        base = (1.0 + math.cos(u + CLIMB_LEAD)) / norm
        y = CRUISE_HEIGHT + (top - CRUISE_HEIGHT) * base ** CLIMB_SHARPNESS
        dy = ((top - CRUISE_HEIGHT) * CLIMB_SHARPNESS * base ** (CLIMB_SHARPNESS - 1)
              * -math.sin(u + CLIMB_LEAD) / norm)
        # Hermite tangents span one segment's step of the trefoil's parameter.
        loop.append((np.array([x, y, z]), step * np.array([dx, dy, dz])))
    return loop


SPEED = 1.2            # model units per second
TIMER_MS = 16
MAX_STEP = 0.25        # seconds; a longer stall is not flown through in one jump
SAMPLES_PER_SEGMENT = 64
LOOK_AHEAD = 0.02      # model units: where the path's turn is read
FRUSTUM_DEPTH = 0.5
FRUSTUM_COLOR = (0.1, 0.85, 1.0)


def flight_path(eye, center, up):
    """Closed loop of (point, tangent) data points; the last repeats the first.

    The first heads from the eye straight for the centre, so the first
    picture shows what the camera dictionary frames.
    """
    eye = np.asarray(eye, dtype=float)
    center = np.asarray(center, dtype=float)
    ey = _unit(np.asarray(up, dtype=float))
    back = eye - center
    back = back - np.dot(back, ey) * ey
    radius = _norm(back)
    if radius > 1e-9:
        ez, scale = back / radius, radius / _norm(TEMPLATE_EYE[[0, 2]])
    else:
        # Eye straight above the centre: any horizontal direction will do.
        ez = _unit(np.cross(ey, [1.0, 0.0, 0.0]))
        if _norm(ez) < 0.5:
            ez = _unit(np.cross(ey, [0.0, 0.0, 1.0]))
        scale = 1.0
    ex = np.cross(ey, ez)

    def place(v):
        # Horizontal extent follows the eye's distance; heights stay as laid out.
        return scale * (v[0] * ex + v[2] * ez) + v[1] * ey

    data = [(eye + place(point - TEMPLATE_EYE), place(tangent))
            for point, tangent in _template_loop()]
    heading = _unit(center - eye)
    if _norm(heading) > 0:
        data[0] = (eye.copy(), heading * _norm(data[0][1]))
    data.append((data[0][0].copy(), data[0][1].copy()))
    return data


def _snapshot_active():
    return Stagehall.in_snapshot_mode()


class _FlightPath(object):
    """The spline as a model of its own, so its drawing is recorded once."""

    def __init__(self, curve):
        self.curve = curve

    def draw_scene(self):
        # The garden draws axes already; the spline's own would sit on top.
        self.curve.draw_scene(False)


class Drifteye(Model):
    """Fly-through camera: a view for its own window, a model for others."""

    # Its pose changes every frame, so nothing of it may be replayed.
    use_display_list = False

    def __init__(self, scene, cam_spec, curve, clock=getattr(time, "monotonic", time.time),
                 speed=SPEED):
        Model.__init__(self)
        check_cam_spec(cam_spec, "Drifteye")
        if len(getattr(curve, "point_tangent_list", ())):
            raise ValueError("Drifteye: the curve must be empty; it gets the flight path")
        self.scene = scene
        self.cam_spec = cam_spec
        self.curve = curve
        self.clock = clock
        self.speed = float(speed)
        self.aspect = float(cam_spec["aspect"])
        self.up = np.array(cam_spec["up"], dtype=float)
        for data_point in flight_path(cam_spec["eye"], cam_spec["center"], cam_spec["up"]):
            curve.add_point(data_point)
        self._path_model = _FlightPath(curve)
        self._arc = self._arc_table()
        self.distance = 0.0
        self.paused = False
        self._last_time = None
        self._timer = None
        self._timer_error = None

    # Position along the path ----------------------------------------------

    def _arc_table(self):
        """Cumulative arc length at evenly spaced parameters of every segment."""
        ts = np.linspace(0.0, 1.0, SAMPLES_PER_SEGMENT + 1)
        params, lengths, total = [0.0], [0.0], 0.0
        for seg in range(len(self.curve.coeff_matrix)):
            pts = np.array([self.curve.evaluate_curve_segment(seg, t)[0] for t in ts])
            steps = np.linalg.norm(np.diff(pts, axis=0), axis=1)
            cumulative = total + np.cumsum(steps)
            params.extend(seg + ts[1:])
            lengths.extend(cumulative)
            total = cumulative[-1]
        return np.array(params), np.array(lengths)

    @property
    def length(self):
        """Length of the whole loop in model units."""
        return float(self._arc[1][-1])

    def location(self, distance=None):
        """(segment number, t) reached after flying distance (default: so far)."""
        if distance is None:
            distance = self.distance
        params, lengths = self._arc
        u = float(np.interp(distance % self.length, lengths, params))
        seg = min(int(u), len(self.curve.coeff_matrix) - 1)
        return seg, u - seg

    def pose(self, distance=None):
        """(eye, center, up) of the camera, looking along the path's tangent.

        up is cam_spec's, unless the camera looks straight along it (a start
        straight above the centre): then the way the path turns next stands
        in, the up vector the camera gets as it leaves that line.
        """
        if distance is None:
            distance = self.distance
        point, forward = self._point_heading(distance)
        up = self.up
        if _norm(up - np.dot(up, forward) * forward) <= 1e-9 * _norm(up):
            ahead = self._point_heading(distance + LOOK_AHEAD)[1]
            up = camera_up(forward, up, ahead * (1.0 if np.dot(up, forward) < 0 else -1.0))
        return point, point + forward, up

    def _point_heading(self, distance):
        seg, t = self.location(distance)
        point, tangent = self.curve.evaluate_curve_segment(seg, t)
        return np.asarray(point, dtype=float), _unit(np.asarray(tangent, dtype=float))

    # Time -----------------------------------------------------------------

    def update(self):
        """Advance by the clock time since the last update, unless paused."""
        now = self.clock()
        if self._last_time is not None and not self.paused:
            self.distance += self.speed * min(now - self._last_time, MAX_STEP)
        self._last_time = now

    def toggle_pause(self):
        self.update()
        self.paused = not self.paused

    def _start_timer(self):
        # A main loop that ends cancels its timers; a later one restarts it.
        if (self._timer is not None and self._timer.active) or _snapshot_active():
            return
        self._last_time = None
        self._timer = add_timer(TIMER_MS, self._tick)

    def _tick(self):
        if not any(p.view is self for p in panes()):
            return  # its window is closed; showing it again restarts the timer
        try:
            moving = not self.paused
            self.update()
            if moving:
                request_redisplay()
        except Exception:
            # Once, not at every tick.
            error = (type(self), repr(sys.exc_info()[1]))
            if error != self._timer_error:
                self._timer_error = error
                sys.stderr.write("Drifteye: error in the timer:\n")
                traceback.print_exc()
        self._timer = add_timer(TIMER_MS, self._tick)

    # The view of its own window ---------------------------------------------

    def init(self):
        Model.init(self)
        init_model(self.scene)

    def apply(self, width, height):
        self._start_timer()
        if width > 0 and height > 0:
            self.aspect = width / float(height)
        cam = self.cam_spec
        glMatrixMode(GL_PROJECTION)
        glLoadIdentity()
        gluPerspective(cam["fovy"], self.aspect, cam["near"], cam["far"])
        glMatrixMode(GL_MODELVIEW)
        glLoadIdentity()
        eye, center, up = self.pose()
        gluLookAt(*(list(eye) + list(center) + list(up)))

    def draw(self):
        draw_model(self.scene)

    def keyboard(self, key, x, y):
        if key == b" ":
            self.toggle_pause()
            return True
        if key in (b"q", b"Q", b"\x1b"):
            leave_main_loop()
        return False

    # Seen from another view -------------------------------------------------

    def draw_scene(self):
        draw_model(self.scene)
        draw_model(self._path_model)
        self.draw_frustum()

    def frustum_lines(self):
        """Pairs of end points of the viewing pyramid at the current pose."""
        eye, center, up = self.pose()
        forward = _unit(center - eye)
        right = _unit(np.cross(forward, up))
        true_up = np.cross(right, forward)
        half_h = FRUSTUM_DEPTH * math.tan(math.radians(self.cam_spec["fovy"]) / 2.0)
        half_w = half_h * self.aspect
        base = eye + FRUSTUM_DEPTH * forward
        corners = [base + sx * half_w * right + sy * half_h * true_up
                   for sx, sy in ((-1, -1), (1, -1), (1, 1), (-1, 1))]
        lines = []
        for i, corner in enumerate(corners):
            lines.append((eye, corner))
            lines.append((corner, corners[(i + 1) % 4]))
        # A notch above the top edge tells up from down.
        tip = base + 1.5 * half_h * true_up
        lines.append((corners[2], tip))
        lines.append((tip, corners[3]))
        return lines

    def draw_frustum(self):
        lines = self.frustum_lines()
        glPushAttrib(GL_CURRENT_BIT | GL_ENABLE_BIT | GL_LINE_BIT)
        try:
            glDisable(GL_LIGHTING)
            glLineWidth(2.0)
            glColor3f(*FRUSTUM_COLOR)
            glBegin(GL_LINES)
            try:
                for a, b in lines:
                    glVertex3f(*a)
                    glVertex3f(*b)
            finally:
                glEnd()
        finally:
            glPopAttrib()
