"""
Stagehall: scene base class, camera view and window panes for the viewers.

A scene derives from Model and draws itself in draw_scene(); a View pairs a
scene with a camera; a Framepane shows a View. OpenGL is imported only where
it is used, so that models can be built and tested without a display.
"""

__all__ = ["Model", "View", "Framepane", "CAMERA_KEYS"]

CAMERA_KEYS = ("eye", "center", "up", "fovy", "aspect", "near", "far")


class Model(object):
    """Base class of every scene drawn by the framework."""

    def __init__(self):
        # Created in init(): a quadric needs the GL libraries loaded.
        self.pQuadric = None

    def init(self):
        """Called once, with an OpenGL context current, before the first draw."""
        from OpenGL.GLU import gluNewQuadric

        self.pQuadric = gluNewQuadric()

    def draw_scene(self):
        """Issue the OpenGL commands of the scene; the base class draws nothing."""


class View(object):
    """A model seen through a camera described by a cam_spec dictionary."""

    def __init__(self, model, cam_spec):
        if not isinstance(cam_spec, dict):
            raise TypeError(
                "View: cam_spec must be a dict, not %s" % type(cam_spec).__name__)
        missing = [key for key in CAMERA_KEYS if key not in cam_spec]
        if missing:
            raise ValueError(
                "View: cam_spec lacks the key(s) %s; it needs %s"
                % (", ".join(repr(k) for k in missing),
                   ", ".join(repr(k) for k in CAMERA_KEYS)))
        for key in ("eye", "center", "up"):
            if len(cam_spec[key]) != 3:
                raise ValueError(
                    "View: cam_spec[%r] must have three components" % key)
        self.model = model
        self.cam_spec = cam_spec

    def apply_projection(self, aspect=None):
        """Load the perspective projection; aspect overrides the camera's."""
        from OpenGL.GL import glLoadIdentity, glMatrixMode, GL_PROJECTION
        from OpenGL.GLU import gluPerspective

        cam = self.cam_spec
        glMatrixMode(GL_PROJECTION)
        glLoadIdentity()
        gluPerspective(cam["fovy"], cam["aspect"] if aspect is None else aspect,
                       cam["near"], cam["far"])

    def apply_camera(self):
        """Load the look-at transform into the modelview matrix."""
        from OpenGL.GL import glLoadIdentity, glMatrixMode, GL_MODELVIEW
        from OpenGL.GLU import gluLookAt

        cam = self.cam_spec
        glMatrixMode(GL_MODELVIEW)
        glLoadIdentity()
        gluLookAt(*(list(cam["eye"]) + list(cam["center"]) + list(cam["up"])))

    def draw(self):
        self.model.draw_scene()


# Callers drop the Framepane they create, so the framework holds every pane.
_panes = []


class Framepane(object):
    """A top-level window showing one View.

    For now it records its settings only; no window is opened.
    """

    def __init__(self, title, view, window_size=(640, 480), window_pos=None):
        if not isinstance(title, str):
            raise TypeError(
                "Framepane: title must be a str, not %s" % type(title).__name__)
        self.title = title
        self.view = view
        self.window_size = _pair("window_size", window_size)
        self.window_pos = None if window_pos is None else _pair("window_pos", window_pos)
        _panes.append(self)


def panes():
    """The panes created so far, oldest first."""
    return list(_panes)


def _pair(name, value):
    try:
        first, second = value
        return (first + 0, second + 0)  # numbers only, float or int
    except (TypeError, ValueError):
        raise TypeError("Framepane: %s must be a pair of numbers, got %r"
                        % (name, value)) from None
