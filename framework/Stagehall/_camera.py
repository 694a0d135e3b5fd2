"""The camera: ``View``, a model seen through a camera described by a
cam_spec dictionary and moved with the mouse."""

from __future__ import absolute_import, division

import math

import numpy as np

from ._glut import leave_main_loop
from ._models import draw_model, init_model

CAMERA_KEYS = ("eye", "center", "up", "fovy", "aspect", "near", "far")


def _by_largest(v):
    """v as floats, its largest magnitude, and v divided by that (None
    where it is 0, infinite or NaN): squares of the scaled v can neither
    overflow nor underflow."""
    v = np.asarray(v, dtype=float)
    largest = float(np.max(np.abs(v))) if v.size else 0.0
    return v, largest, (v / largest if 0.0 < largest < float("inf") else None)


def norm(v):
    """Length of v, also where its square would overflow or underflow."""
    _, largest, scaled = _by_largest(v)
    return largest if scaled is None else largest * math.sqrt(np.dot(scaled, scaled))


def unit(v):
    """v scaled to unit length (the zero vector stays as it is)."""
    v, _, scaled = _by_largest(v)
    return v if scaled is None else scaled / math.sqrt(np.dot(scaled, scaled))


def camera_up(forward, up, fallback=None):
    """The unit vector nearest ``up`` that is perpendicular to the unit
    vector ``forward``. An ``up`` along the line of sight gives none of its
    own: the part of ``fallback`` perpendicular to ``forward`` stands in,
    else any perpendicular vector."""
    up = np.asarray(up, dtype=float)
    across = up - np.dot(up, forward) * forward
    if norm(across) > 1e-9 * norm(up):
        return unit(across)
    if fallback is not None:
        across = fallback - np.dot(fallback, forward) * forward
        if norm(across) > 1e-9 * norm(fallback):
            return unit(across)
    return _perpendicular(forward)


def check_cam_spec(cam_spec, who):
    """Refuse a camera dictionary that is not one, lacks a key, or whose
    "eye", "center" or "up" is not three finite numbers."""
    if not isinstance(cam_spec, dict):
        raise TypeError("%s: cam_spec must be a dict, not %s" % (who, type(cam_spec).__name__))
    missing = [key for key in CAMERA_KEYS if key not in cam_spec]
    if missing:
        raise ValueError("%s: cam_spec lacks the key(s) %s; it needs %s"
                         % (who, ", ".join(repr(k) for k in missing),
                            ", ".join(repr(k) for k in CAMERA_KEYS)))
    for key in ("eye", "center", "up"):
        value = cam_spec[key]
        try:
            vector = np.array(value, dtype=float)
        except (TypeError, ValueError):
            vector = None
        if vector is None:
            raise TypeError("%s: cam_spec[%r] must be three numbers, got %r" % (who, key, value))
        if vector.shape != (3,):
            raise ValueError("%s: cam_spec[%r] must have three components, got %r"
                             % (who, key, value))
        if not np.all(np.isfinite(vector)):
            raise ValueError("%s: cam_spec[%r] must be finite, got %r" % (who, key, value))



def _rotate(v, axis, degrees):
    """Rotate v about the unit vector axis (Rodrigues' formula)."""
    a = math.radians(degrees)
    return (v * math.cos(a) + np.cross(axis, v) * math.sin(a)
            + axis * np.dot(axis, v) * (1.0 - math.cos(a)))


def _perpendicular(v):
    """A unit vector perpendicular to the unit vector v."""
    axis = np.zeros(3)
    axis[int(np.argmin(np.abs(v)))] = 1.0
    return unit(axis - np.dot(axis, v) * v)


class View(object):
    """A model seen through a camera described by a cam_spec dictionary.

    Mouse: left drag orbits around the centre, turning the scene as if its
    near side were held; middle drag pans, the scene following the mouse;
    right drag down or the wheel turned down moves away, up moves nearer.
    Keys: r resets the camera, q or Escape leaves the main loop. The aspect
    ratio follows the window's shape. cam_spec's "eye", "center" and "up"
    must be three finite numbers each.
    """

    # Shown as a model, a view draws its camera, which moves with the mouse.
    use_display_list = False

    ORBIT_DEGREES_PER_PIXEL = 0.5
    ZOOM_PER_PIXEL = 0.01
    WHEEL_STEP = 0.9

    def __init__(self, model, cam_spec):
        check_cam_spec(cam_spec, "View")
        self.model = model
        self.cam_spec = cam_spec
        self.aspect = float(cam_spec["aspect"])
        self.height = 0
        self._drag = None
        self.reset()

    def reset(self):
        """Put the camera back where cam_spec places it."""
        self.eye = np.array(self.cam_spec["eye"], dtype=float)
        self.center = np.array(self.cam_spec["center"], dtype=float)
        self.up = np.array(self.cam_spec["up"], dtype=float)

    def reshape(self, width, height):
        """Follow the window's shape: the aspect ratio becomes width / height."""
        self.height = height
        if width > 0 and height > 0:
            self.aspect = width / float(height)

    def init(self):
        init_model(self.model)

    def apply(self, width, height):
        from OpenGL.GL import GL_MODELVIEW, GL_PROJECTION, glLoadIdentity, glMatrixMode
        from OpenGL.GLU import gluLookAt, gluPerspective

        self.reshape(width, height)
        cam = self.cam_spec
        glMatrixMode(GL_PROJECTION)
        glLoadIdentity()
        gluPerspective(cam["fovy"], self.aspect, cam["near"], cam["far"])
        glMatrixMode(GL_MODELVIEW)
        glLoadIdentity()
        up = self._frame()[2]
        gluLookAt(*(list(self.eye) + list(self.center) + list(up)))

    def draw(self):
        draw_model(self.model)

    # Seen from another view ------------------------------------------------

    def draw_scene(self):
        """Draw the model and, in yellow, the camera's viewing pyramid."""
        from OpenGL.GL import (GL_CURRENT_BIT, GL_ENABLE_BIT, GL_LIGHTING, GL_LINES,
                               glBegin, glColor3f, glDisable, glEnd, glPopAttrib,
                               glPushAttrib, glVertex3f)

        draw_model(self.model)
        forward, right, up = self._frame()
        depth = 0.2 * norm(self.center - self.eye)
        half_h = depth * math.tan(math.radians(self.cam_spec["fovy"]) / 2.0)
        half_w = half_h * self.aspect
        corners = [self.eye + depth * forward + sx * half_w * right + sy * half_h * up
                   for sx, sy in ((-1, -1), (1, -1), (1, 1), (-1, 1))]
        glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT)
        glDisable(GL_LIGHTING)
        glColor3f(1.0, 0.85, 0.1)
        glBegin(GL_LINES)
        try:
            for i, corner in enumerate(corners):
                glVertex3f(*self.eye)
                glVertex3f(*corner)
                glVertex3f(*corner)
                glVertex3f(*corners[(i + 1) % 4])
        finally:
            glEnd()
            glPopAttrib()

    # Camera motion -------------------------------------------------------

    def _frame(self):
        """Orthonormal forward, right and up vectors of the camera.

        An up vector along the line of sight gives no frame of its own; any
        perpendicular one stands in for it.
        """
        forward = unit(self.center - self.eye)
        if not np.any(forward):
            forward = np.array([0.0, 0.0, -1.0])
        up = camera_up(forward, self.up)
        return forward, np.cross(forward, up), up

    def orbit(self, dx, dy):
        """Turn the eye around the centre by a drag of (dx, dy) pixels: across
        about the camera's up vector, up and down about its right vector."""
        forward, right, up = self._frame()
        distance = norm(self.eye - self.center)
        yaw = -dx * self.ORBIT_DEGREES_PER_PIXEL
        forward, right = _rotate(forward, up, yaw), _rotate(right, up, yaw)
        pitch = -dy * self.ORBIT_DEGREES_PER_PIXEL
        forward, up = _rotate(forward, right, pitch), _rotate(up, right, pitch)
        # Rounding is not left to accumulate over many drags.
        forward = unit(forward)
        self.up = unit(up - np.dot(up, forward) * forward)
        self.eye = self.center - distance * forward

    def zoom(self, factor):
        """Scale the eye's distance from the centre by factor."""
        offset = (self.eye - self.center) * factor
        distance = norm(offset)
        # Not nearer than a millionth of the first distance, whatever the
        # scale of the scene, and never onto the centre.
        start = norm(np.subtract(self.cam_spec["eye"], self.cam_spec["center"], dtype=float))
        if max(1e-6 * start, 1e-12 * norm(self.center), 1e-300) < distance < float("inf"):
            self.eye = self.center + offset

    def pan(self, dx, dy):
        """Slide eye and centre so that the scene follows a drag of (dx, dy) pixels."""
        _, right, up = self._frame()
        distance = norm(self.eye - self.center)
        per_pixel = (2.0 * distance * math.tan(math.radians(self.cam_spec["fovy"]) / 2.0)
                     / max(self.height, 1))
        shift = (-dx * right + dy * up) * per_pixel
        self.eye = self.eye + shift
        self.center = self.center + shift

    # Input from the window -------------------------------------------------

    def mouse(self, button, state, x, y):
        from OpenGL.GLUT import GLUT_DOWN

        if button in (3, 4):  # freeglut reports the wheel as buttons 3 and 4
            if state == GLUT_DOWN:
                self.zoom(self.WHEEL_STEP if button == 3 else 1.0 / self.WHEEL_STEP)
                return True
            return False
        self._drag = (button, x, y) if state == GLUT_DOWN else None
        return False

    def motion(self, x, y):
        from OpenGL.GLUT import GLUT_LEFT_BUTTON, GLUT_MIDDLE_BUTTON, GLUT_RIGHT_BUTTON

        if self._drag is None:
            return False
        button, x0, y0 = self._drag
        self._drag = (button, x, y)
        dx, dy = x - x0, y - y0
        if button == GLUT_LEFT_BUTTON:
            self.orbit(dx, dy)
        elif button == GLUT_RIGHT_BUTTON:
            self.zoom(math.exp(dy * self.ZOOM_PER_PIXEL))
        elif button == GLUT_MIDDLE_BUTTON:
            self.pan(dx, dy)
        else:
            return False
        return True

    def keyboard(self, key, x, y):
        if key in (b"r", b"R"):
            self.reset()
            return True
        if key in (b"q", b"Q", b"\x1b"):
            leave_main_loop()
            return False
        # other keys go to the model looked at, e.g. a camera's pause key
        handler = getattr(self.model, "keyboard", None)
        return bool(handler(key, x, y)) if handler is not None else False
