"""Helpers shared by the drawing tests: GL call recorders, a bracket checker,
feedback-mode capture on a real context, the snapshot tool and a small PNG
reader, and the camera projection of the documented viewers."""

import ctypes
import struct
import sys
import zlib

import numpy as np

from conftest import REPO, run_process, subprocess_env

OPENERS = {"glPushMatrix": "glPopMatrix", "glPushAttrib": "glPopAttrib", "glBegin": "glEnd"}
CLOSERS = set(OPENERS.values())
# The GL names each module draws with (replaced by recorders).
QS_NAMES = ("glPushMatrix", "glPopMatrix", "glScalef", "glTranslatef", "glPushAttrib",
            "glPopAttrib", "glDisable", "glBegin", "glEnd", "glVertex3f", "glColor3f",
            "draw3DCoordinateAxesQuadrics")
SW_NAMES = ("glPushMatrix", "glPopMatrix", "glScalef", "glPushAttrib", "glPopAttrib",
            "glColor3f", "glBegin", "glEnd", "glVertex3f", "draw3DCoordinateAxesQuadrics")
SP_NAMES = ("glBegin", "glEnd", "glNormal3f", "glVertex", "glPushMatrix", "glPopMatrix",
            "glScale", "glScalef", "glTranslate", "glRotate", "glLightfv", "gluSphere")


class Boom(Exception):
    """Raised on purpose in the middle of a drawing."""


class Recorder(object):
    """Replaces the named globals of a module by functions that append
    (name, args) to ``calls``; ``fail_at(name, n)`` makes the n-th call
    (1-based) of ``name`` raise ``self.error`` after it is recorded."""

    def __init__(self, monkeypatch, module, names):
        self.calls = []
        self.error = Boom("midway")
        self._fail = None
        for name in names:
            monkeypatch.setattr(module, name, self._recorder(name))

    def _recorder(self, name):
        def record(*args, **kwargs):
            assert not kwargs, (name, kwargs)
            self.calls.append((name, args))
            self.tick(name)
        return record

    def tick(self, name):
        if self._fail and self._fail[0] == name:
            self._fail[1] -= 1
            if self._fail[1] == 0:
                raise self.error

    def fail_at(self, name, n):
        self._fail = [name, n]

    def names(self):
        return [name for name, _ in self.calls]

    def args(self, name):
        return [args for n, args in self.calls if n == name]


def assert_balanced(calls):
    """Every push and glBegin is closed, innermost first; returns the
    deepest nesting seen."""
    stack, deepest = [], 0
    for i, call in enumerate(calls):
        name = call[0]
        if name in OPENERS:
            stack.append(OPENERS[name])
            deepest = max(deepest, len(stack))
        elif name in CLOSERS:
            assert stack and stack[-1] == name, "call %d: %s closes %s" % (i, name, stack[-1:])
            stack.pop()
    assert not stack, "left open: %s" % stack
    return deepest


def typed(value):
    """A value with the Python type of every part, for exact comparisons."""
    if isinstance(value, (list, tuple)):
        return (type(value), [typed(v) for v in value])
    return (type(value), value)


# ---------------------------------------------------------------------------
# Real OpenGL
# ---------------------------------------------------------------------------

def gl_state():
    from OpenGL.GL import (GL_ATTRIB_STACK_DEPTH, GL_MODELVIEW_STACK_DEPTH, glGetError,
                           glGetIntegerv)
    return (int(glGetIntegerv(GL_MODELVIEW_STACK_DEPTH)),
            int(glGetIntegerv(GL_ATTRIB_STACK_DEPTH)), int(glGetError()))


def feedback_triangles(draw, size=64, half=2.0):
    """Run ``draw`` in GL_FEEDBACK mode under glOrtho(-half, half) on all
    three axes and an identity modelview; returns the polygons as an array
    (k, 3, 3) of object coordinates recovered from the window coordinates."""
    # The raw entry points: PyOpenGL's wrappers would import submodules into
    # OpenGL.GL and so change what a later star import of it brings.
    from OpenGL import GL
    from OpenGL.raw.GL.VERSION import GL_1_0 as raw
    GL.glViewport(0, 0, size, size)
    GL.glMatrixMode(GL.GL_PROJECTION)
    GL.glPushMatrix()
    GL.glLoadIdentity()
    GL.glOrtho(-half, half, -half, half, -half, half)
    GL.glMatrixMode(GL.GL_MODELVIEW)
    GL.glPushMatrix()
    GL.glLoadIdentity()
    buf = (ctypes.c_float * (1 << 16))()
    raw.glFeedbackBuffer(len(buf), GL.GL_3D, buf)
    raw.glRenderMode(GL.GL_FEEDBACK)
    try:
        draw()
    finally:
        count = raw.glRenderMode(GL.GL_RENDER)
        GL.glPopMatrix()
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glPopMatrix()
        GL.glMatrixMode(GL.GL_MODELVIEW)
    assert count >= 0, "feedback buffer overflow"
    data, polys, i = np.ctypeslib.as_array(buf)[:count].astype(float), [], 0
    while i < count:
        assert data[i] == GL.GL_POLYGON_TOKEN and data[i + 1] == 3, "not a whole triangle"
        polys.append(data[i + 2:i + 11].reshape(3, 3))
        i += 11
    win = np.array(polys).reshape(-1, 3, 3)
    xy = (win[..., :2] / size * 2.0 - 1.0) * half
    z = (1.0 - 2.0 * win[..., 2:]) * half  # glOrtho flips z; depth range [0, 1]
    return np.concatenate([xy, z], axis=-1)


# ---------------------------------------------------------------------------
# Pictures
# ---------------------------------------------------------------------------

def snapshot(module, outdir):
    """Run the snapshot tool on ``module``; returns {file name: RGB array}."""
    proc = run_process(
        [sys.executable, str(REPO / "tools" / "snapshot.py"), module, str(outdir), "--frames", "2"],
        env=subprocess_env(), timeout=300)
    assert proc.returncode == 0, proc.stderr
    paths = proc.stdout.split()
    return {p.rsplit("/", 1)[-1]: read_png(p) for p in paths}


def read_png(path):
    """(height, width, 3) int array of an 8-bit RGB(A) PNG written without
    row filters (as the snapshot tool writes them)."""
    with open(str(path), "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    pos, idat = 8, b""
    while pos < len(data):
        length, tag = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if tag == b"IHDR":
            width, height, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and ctype in (2, 6) and not interlace, (depth, ctype, interlace)
        elif tag == b"IDAT":
            idat += body
        pos += 12 + length
    bpp = 3 if ctype == 2 else 4
    rows = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(height, 1 + width * bpp)
    assert not rows[:, 0].any(), "filtered PNG rows are not supported"
    return rows[:, 1:].reshape(height, width, bpp)[:, :, :3].astype(int)


def project(points, eye, center, up, fovy, size):
    """Window coordinates (x right, y up, in pixels) of ``points`` seen by a
    perspective camera (aspect 1) looking from ``eye`` at ``center``."""
    eye, center, up = (np.asarray(v, float) for v in (eye, center, up))
    f = (center - eye) / np.linalg.norm(center - eye)
    s = np.cross(f, up)
    s /= np.linalg.norm(s)
    u = np.cross(s, f)
    rel = np.asarray(points, float) - eye
    depth = rel.dot(f)
    k = 1.0 / np.tan(np.radians(fovy) / 2.0)
    return np.stack([(k * rel.dot(s) / depth + 1.0) / 2.0 * size,
                     (k * rel.dot(u) / depth + 1.0) / 2.0 * size], axis=-1)


def pixel_centres(rows, cols, height):
    """Window coordinates (y up) of the centres of image pixels."""
    return np.stack([cols + 0.5, height - rows - 0.5], axis=-1)


def near(image, rgb, tol=6):
    """Mask of pixels within ``tol`` of the colour ``rgb`` on every channel."""
    return np.all(np.abs(image - np.asarray(rgb)) <= tol, axis=-1)
