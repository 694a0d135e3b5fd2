"""Snapshot mode: every window renders a few frames, its picture is
captured and the main loop is left, for running without a person watching."""

from __future__ import absolute_import, division

import struct
import sys
import zlib

import numpy as np

from . import _state


def read_frame(width, height):
    """The frame just drawn in the current window, before its swap: RGB
    bytes, 8 bits a channel, the top row first."""
    from OpenGL.GL import (GL_BACK, GL_FRONT, GL_PACK_ALIGNMENT, GL_RGB, GL_UNSIGNED_BYTE,
                           glPixelStorei, glReadBuffer, glReadPixels)
    from OpenGL.GLUT import GLUT_WINDOW_DOUBLEBUFFER, glutGet

    if width <= 0 or height <= 0:
        return b""
    glReadBuffer(GL_BACK if glutGet(GLUT_WINDOW_DOUBLEBUFFER) else GL_FRONT)
    glPixelStorei(GL_PACK_ALIGNMENT, 1)
    data = glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE)
    pixels = np.frombuffer(data if isinstance(data, bytes) else
                           np.ascontiguousarray(data, dtype=np.uint8).tobytes(), np.uint8)
    return pixels.reshape(height, 3 * width)[::-1].tobytes()


def write_png(path, width, height, rgb):
    """Write RGB pixels (8 bits a channel, top row first) as a PNG file."""
    stride = 3 * width
    rows = np.frombuffer(rgb, np.uint8).reshape(height, stride)
    raw = np.zeros((height, stride + 1), np.uint8)   # filter byte 0: rows as they are
    raw[:, 1:] = rows

    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data
                + struct.pack(">I", zlib.crc32(tag + data) & 0xffffffff))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw.tobytes(), 6))
                + chunk(b"IEND", b""))


class _Snapshot(object):
    def __init__(self, frames, timeout):
        self.frames = frames
        self.timeout = timeout
        self.done = set()
        self.images = []   # (title, width, height, RGB bytes, top row first)
        self.errors = []

    def capture(self, pane):
        # Called before the swap: the finished frame is in the back buffer.
        self.images.append((pane.title, pane.width, pane.height,
                            read_frame(pane.width, pane.height)))
        self.done.add(pane)

    def draw_pending(self):
        """Draw a frame of every window still to be captured."""
        for pane in list(_state.panes):
            if _state.leave:
                break
            if pane in _state.panes and pane not in self.done:
                pane._on_display()
                _state.work = True

    def expire(self):
        from ._glut import leave_main_loop

        sys.stderr.write("Stagehall: snapshot gave up after %g s: the drawing of %s did not "
                         "finish\n" % (self.timeout, ", ".join(
                             repr(p.title) for p in _state.panes if p not in self.done)))
        self.errors.append("timeout")
        leave_main_loop()


def snapshot_mode(frames=3, timeout=60.0):
    """Switch the framework to off-screen capture and return the collector.

    From now on every window draws ``frames`` frames, then its picture is
    captured; once every window has one, the main loop is left. The main
    loop draws the frames itself, so that windows covered by others or off
    the screen are captured too. The returned
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
