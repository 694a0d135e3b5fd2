"""Fixtures for tests that draw with real OpenGL: an X display (a private
Xvfb when DISPLAY is unset), GLUT initialised once per process, and windows.

GLUT stays initialised for the whole session (the framework never shuts it
down before exit); the display fixture exports DISPLAY so that child
processes find the server.
"""

import os
import sys

import pytest

__all__ = ["x_display", "glut", "gl_window", "BlankView"]

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))
try:
    import xvfb
finally:
    del sys.path[0]


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
    import Stagehall

    Stagehall.shutdown()


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
