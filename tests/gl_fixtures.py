"""Fixtures for tests that draw with real OpenGL: an X display (a private
Xvfb when DISPLAY is unset), GLUT initialised once per process, and windows.

freeglut ends the process on a second glutInit(), so code that runs a viewer's
main() must run in a child process; the display fixture exports DISPLAY so
that children find the server.
"""

import importlib.util
from pathlib import Path

import pytest

__all__ = ["x_display", "glut", "gl_window", "BlankView"]

_XVFB_PATH = Path(__file__).resolve().parent.parent / "tools" / "xvfb.py"
_spec = importlib.util.spec_from_file_location("xvfb", _XVFB_PATH)
xvfb = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(xvfb)


@pytest.fixture(scope="session")
def x_display():
    """Name of a working X display, also in os.environ["DISPLAY"]."""
    with xvfb.ensure_display() as name:
        yield name


@pytest.fixture(scope="session")
def glut(x_display):
    from Sketchkit import GLUT_DOUBLE, GLUT_RGBA, glutInit, glutInitDisplayMode

    glutInit()
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA)
    yield
    # Let go of the X server before it stops: Xlib ends the process when its
    # server vanishes under an open connection.
    from OpenGL.platform import PLATFORM

    PLATFORM.GLUT.glutExit()


class BlankView(object):
    """The least a Framepane needs of a view."""

    def apply(self, width, height):
        pass

    def draw(self):
        pass


@pytest.fixture
def gl_window(glut):
    """Factory opening a Framepane (its context current); closed after the test."""
    import Stagehall
    from OpenGL.GLUT import glutMainLoopEvent

    opened = []

    def open_window(view=None, title="test", size=(64, 64)):
        pane = Stagehall.Framepane(title, view or BlankView(), window_size=size)
        opened.append(pane)
        pane.make_current()
        return pane

    yield open_window
    for pane in opened:
        pane.close()
    glutMainLoopEvent()
