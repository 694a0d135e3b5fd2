"""
Sketchkit: small drawing aids for the scene modules, meant for star import.

The star import also brings the GLUT names that a viewer's main() needs
(glutInit, glutInitDisplayMode, GLUT_DOUBLE, GLUT_RGBA, glutMainLoop) and a
float sqrt. Importing it needs no display: the drawing functions require a
current OpenGL context only when they are called.

The axes and the checkerboard are drawn from vertex arrays made once, a few
GL calls each, the same picture as the quadric and immediate-mode calls
they stand for.
"""

from __future__ import division

import math
from math import sqrt

import numpy as np

# First: it lets PyOpenGL find GLUT, and GLUT's life cycle is the framework's.
import Stagehall as _stagehall
from Stagehall._models import is_framework_quadric as _is_framework_quadric
from OpenGL.GL import (
    GL_ALL_ATTRIB_BITS, GL_C3F_V3F, GL_C4F_N3F_V3F, GL_CLIENT_VERTEX_ARRAY_BIT, GL_QUADS,
    GL_TRIANGLES, glColor3f, glDrawArrays, glInterleavedArrays, glNormal3f, glPopAttrib,
    glPopClientAttrib, glPopMatrix, glPushAttrib, glPushClientAttrib, glPushMatrix, glRotatef,
    glTranslatef)
from OpenGL.GLU import gluCylinder, gluNewQuadric, gluSphere
from OpenGL.GLUT import GLUT_DOUBLE, GLUT_RGBA, glutInitDisplayMode

__all__ = [
    "draw3DCoordinateAxesQuadrics", "drawCheckerBoard",
    "glutInit", "glutInitDisplayMode", "GLUT_DOUBLE", "GLUT_RGBA",
    "glutMainLoop", "sqrt",
]

_own_quadric = None

# Calling glutInit() again is harmless, where freeglut would end the process;
# glutMainLoop() returns when the viewer's windows are closed or q is pressed,
# and GLUT stays up for the next viewer (see Stagehall).
glutInit = _stagehall.glut_init
glutMainLoop = _stagehall.main_loop


def _quadric():
    global _own_quadric
    if _own_quadric is None:
        _own_quadric = gluNewQuadric()
    return _own_quadric


# Rotation (angle, axis) that turns the +z axis onto each coordinate axis.
_AXES = (
    ((1.0, 0.0, 0.0), 90.0, (0.0, 1.0, 0.0)),
    ((0.0, 1.0, 0.0), -90.0, (1.0, 0.0, 0.0)),
    ((0.0, 0.0, 1.0), 0.0, (0.0, 0.0, 1.0)),
)
_CENTRE_COLOR = (0.9, 0.9, 0.9)
_SLICES = 12
# Rows of the axes array: those quarter-turn rotations, exactly.
_TURNS = {90.0: np.array([[0, 0, 1], [0, 1, 0], [-1, 0, 0]], float),
          -90.0: np.array([[1, 0, 0], [0, 0, 1], [0, -1, 0]], float),
          0.0: np.eye(3)}


# ---------------------------------------------------------------------------
# What GLU draws for a quadric with its default settings (filled, smooth
# normals, pointing outwards, no texture), in single precision as GLU
# computes it, as triangles in the order GL splits its fans and quad strips.
# ---------------------------------------------------------------------------

def _circle(n, turn):
    """sin and cos, as floats, of turn * pi * i / n for i = 0..n."""
    angles = np.array([np.float32(turn * math.pi * i / n) for i in range(n + 1)], np.float32)
    return (np.sin(angles.astype(float)).astype(np.float32),
            np.cos(angles.astype(float)).astype(np.float32))


def _fan(points):
    """Triangles of a triangle fan, as GL draws it."""
    return [p for i in range(1, len(points) - 1)
            for p in (points[0], points[i], points[i + 1])]


def _strip(points):
    """Triangles of a quad strip, as GL draws it."""
    return [p for i in range(0, len(points) - 3, 2)
            for p in (points[i + 2], points[i], points[i + 3],
                      points[i], points[i + 1], points[i + 3])]


def _sphere(radius, slices, stacks):
    """(normal, vertex) pairs of gluSphere's triangles."""
    f32 = np.float32
    sin_a, cos_a = _circle(slices, 2)
    sin_a[slices], cos_a[slices] = sin_a[0], cos_a[0]
    sin_n, cos_n = _circle(stacks, 1)           # of the normals
    sin_v = (radius * sin_n.astype(float)).astype(f32)
    cos_v = (radius * cos_n.astype(float)).astype(f32)
    sin_v[0] = sin_v[stacks] = 0                 # the poles are points

    def ring(j, order):
        return [((sin_a[i] * sin_n[j], cos_a[i] * sin_n[j], cos_n[j]),
                 (sin_v[j] * sin_a[i], sin_v[j] * cos_a[i], cos_v[j])) for i in order]

    top = [((sin_a[0] * sin_n[0], cos_a[0] * sin_n[0], cos_n[0]), (0.0, 0.0, radius))]
    last = stacks % (slices + 1)   # GLU indexes the slices by the stack count here
    bottom = [((sin_a[last] * sin_n[stacks], cos_a[last] * sin_n[stacks], cos_n[stacks]),
               (0.0, 0.0, -radius))]
    triangles = _fan(top + ring(1, range(slices, -1, -1)))
    triangles += _fan(bottom + ring(stacks - 1, range(slices + 1)))
    for j in range(1, stacks - 1):
        upper, lower = ring(j + 1, range(slices + 1)), ring(j, range(slices + 1))
        triangles += _strip([p for pair in zip(upper, lower) for p in pair])
    return triangles


def _cylinder(base, top, height, slices):
    """(normal, vertex) pairs of gluCylinder's triangles, one stack."""
    f32 = np.float32
    fall = f32(base - top)
    length = f32(math.sqrt(float(fall * fall) + height * height))
    z_normal, xy_normal = f32(fall / length), f32(height / float(length))
    sin_a, cos_a = _circle(slices, 2)
    sin_a[slices], cos_a[slices] = sin_a[0], cos_a[0]
    low, high = f32(base), f32(base - float(fall))
    points = []
    for i in range(slices + 1):
        normal = (f32(xy_normal * sin_a[i]), f32(xy_normal * cos_a[i]), z_normal)
        points.append((normal, (low * sin_a[i], low * cos_a[i], 0.0)))
        points.append((normal, (high * sin_a[i], high * cos_a[i], f32(height))))
    return _strip(points)


def _build_axes():
    """The axes as interleaved colour, normal, vertex rows (GL_C4F_N3F_V3F)."""
    rows = []

    def add(triangles, color, turn=np.eye(3), lift=0.0):
        for normal, vertex in triangles:
            point = np.array(vertex, float) + (0.0, 0.0, lift)
            rows.append(tuple(color) + (1.0,) + tuple(turn.dot(np.array(normal, float)))
                        + tuple(turn.dot(point)))

    add(_sphere(0.06, _SLICES, _SLICES), _CENTRE_COLOR)
    for color, angle, _ in _AXES:
        add(_cylinder(0.03, 0.03, 0.8, _SLICES), color, _TURNS[angle])
        add(_cylinder(0.07, 0.0, 0.2, _SLICES), color, _TURNS[angle], 0.8)
    return np.array(rows, np.float32)


_axes = []


def _axes_array():
    """The interleaved array the axes are drawn from (made on first use)."""
    if not _axes:
        _axes.append(_build_axes())
    return _axes[0]


def draw3DCoordinateAxesQuadrics(quadric=None):
    """Draw unit axes x (red), y (green), z (blue) as arrows from the origin.

    Without a quadric, or with one of the framework's (a model's
    ``pQuadric``), they come from an array made once; a quadric of the
    caller's own, whose settings may differ, draws them through GLU.
    """
    if quadric is not None and quadric is not _own_quadric and not _is_framework_quadric(quadric):
        return _axes_through_glu(quadric)
    axes = _axes_array()
    glPushAttrib(GL_ALL_ATTRIB_BITS)
    glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT)
    try:
        glInterleavedArrays(GL_C4F_N3F_V3F, 0, axes)
        glDrawArrays(GL_TRIANGLES, 0, len(axes))
    finally:
        glPopClientAttrib()
        glPopAttrib()


def _axes_through_glu(quadric):
    glPushAttrib(GL_ALL_ATTRIB_BITS)
    glPushMatrix()
    try:
        glColor3f(*_CENTRE_COLOR)
        gluSphere(quadric, 0.06, _SLICES, _SLICES)
        for color, angle, axis in _AXES:
            glPushMatrix()
            try:
                glColor3f(*color)
                glRotatef(angle, *axis)
                gluCylinder(quadric, 0.03, 0.03, 0.8, _SLICES, 1)
                glTranslatef(0.0, 0.0, 0.8)
                gluCylinder(quadric, 0.07, 0.0, 0.2, _SLICES, 1)
            finally:
                glPopMatrix()
    finally:
        glPopMatrix()
        glPopAttrib()


# Boards drawn before, by (columns, rows, colours); a board is made in
# slices of at most this many checks, and kept when it has one slice.
_boards = {}
_BOARDS_KEPT = 16
_CHECKS_PER_SLICE = 1 << 16


def _color(check_colors, k):
    try:
        color = tuple(float(c) for c in check_colors[k])
    except (TypeError, ValueError, IndexError):
        color = ()
    if len(color) != 3:
        raise TypeError("drawCheckerBoard: check_colors must be two RGB colours, got %r"
                        % (check_colors,))
    return color


def _board_slice(columns, first, last, rows, colors):
    """Interleaved colour, vertex rows (GL_C3F_V3F) of the checks in the
    columns first..last-1: four corners each, column by column."""
    x0, y0 = -columns / 2.0, -rows / 2.0
    i, j = np.meshgrid(np.arange(first, last), np.arange(rows), indexing="ij")
    i, j = i.ravel(), j.ravel()
    x, y = x0 + i, y0 + j
    data = np.zeros((len(i), 4, 6), np.float32)
    data[:, :, :3] = np.array(colors, np.float32)[(i + j) % 2][:, None, :]
    data[:, :, 3] = np.stack([x, x + 1.0, x + 1.0, x], axis=1)
    data[:, :, 4] = np.stack([y, y, y + 1.0, y + 1.0], axis=1)
    return data.reshape(-1, 6)


def _board_slices(columns, rows, colors):
    """The arrays a board is drawn from."""
    key = (columns, rows, colors)
    board = _boards.get(key)
    if board is not None:
        return board
    step = max(1, _CHECKS_PER_SLICE // max(rows, 1))
    board = [_board_slice(columns, first, min(first + step, columns), rows, colors)
             for first in range(0, columns, step)] if rows > 0 else []
    if len(board) == 1:
        if len(_boards) >= _BOARDS_KEPT:
            _boards.clear()
        _boards[key] = board
    return board


def drawCheckerBoard(scale=(8, 8), check_colors=((0.8, 0.8, 0.8), (0.2, 0.2, 0.2))):
    """Draw scale[0] x scale[1] unit checks in the z = 0 plane, centred on the origin."""
    columns, rows = int(scale[0]), int(scale[1])
    colors = (_color(check_colors, 0), _color(check_colors, 1))
    board = _board_slices(columns, rows, colors)
    glPushAttrib(GL_ALL_ATTRIB_BITS)
    glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT)
    try:
        glNormal3f(0.0, 0.0, 1.0)
        for checks in board:
            glInterleavedArrays(GL_C3F_V3F, 0, checks)
            glDrawArrays(GL_QUADS, 0, len(checks))
    finally:
        glPopClientAttrib()
        glPopAttrib()
