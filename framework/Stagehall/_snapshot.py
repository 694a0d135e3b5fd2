"""Snapshot mode: every window renders a few frames, its picture is
captured and the main loop is left, for running without a person watching."""

from __future__ import absolute_import, division

import sys

import numpy as np

from . import _state
from ._glut import leave_main_loop


class _Snapshot(object):
    def __init__(self, frames, timeout):
        self.frames = frames
        self.timeout = timeout
        self.done = set()
        self.images = []   # (title, width, height, RGB bytes, top row first)
        self.errors = []

    def capture(self, pane):
        from OpenGL.GL import (GL_BACK, GL_FRONT, GL_PACK_ALIGNMENT, GL_RGB,
                               GL_UNSIGNED_BYTE, glPixelStorei, glReadBuffer, glReadPixels)
        from OpenGL.GLUT import GLUT_WINDOW_DOUBLEBUFFER, glutGet

        # Called before the swap: the finished frame is in the back buffer.
        glReadBuffer(GL_BACK if glutGet(GLUT_WINDOW_DOUBLEBUFFER) else GL_FRONT)
        glPixelStorei(GL_PACK_ALIGNMENT, 1)
        w, h = pane.width, pane.height
        data = glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE)
        if not isinstance(data, bytes):
            data = np.ascontiguousarray(data, dtype=np.uint8).tobytes()
        stride = 3 * w
        rows = b"".join(data[y * stride:(y + 1) * stride] for y in reversed(range(h)))
        self.images.append((pane.title, w, h, rows))
        self.done.add(pane)

    def expire(self):
        sys.stderr.write("Stagehall: snapshot timed out after %g s; windows not drawn: %s\n"
                         % (self.timeout,
                            ", ".join(repr(p.title) for p in _state.panes if p not in self.done)))
        self.errors.append("timeout")
        leave_main_loop()


def snapshot_mode(frames=3, timeout=60.0):
    """Switch the framework to off-screen capture and return the collector.

    From now on every window draws ``frames`` frames, then its picture is
    captured; once every window has one, the main loop is left. The returned
    object's ``images`` lists (title, width, height, RGB bytes with the top
    row first) and its ``errors`` is non-empty if drawing failed or the
    windows of a main loop took longer than ``timeout`` seconds.
    """
    if frames < 1:
        raise ValueError("snapshot_mode: frames must be at least 1")
    _state.snapshot = _Snapshot(int(frames), float(timeout))
    return _state.snapshot


def in_snapshot_mode():
    """Whether windows are being captured rather than shown to a person
    (an animation may then hold still, so that every frame is the same)."""
    return _state.snapshot is not None
