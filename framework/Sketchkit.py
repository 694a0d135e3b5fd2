"""
Sketchkit: small drawing aids for the scene modules, meant for star import.

The star import also brings the GLUT names that a viewer's main() needs
(glutInit, glutInitDisplayMode, GLUT_DOUBLE, GLUT_RGBA, glutMainLoop) and a
float sqrt. Importing it needs no display: the drawing functions require a
current OpenGL context only when they are called.
"""

from __future__ import division

from math import sqrt

# First: it lets PyOpenGL find GLUT, and GLUT's life cycle is the framework's.
import Stagehall as _stagehall
from OpenGL.GL import (
    GL_ALL_ATTRIB_BITS, GL_QUADS, glBegin, glColor3f, glEnd, glNormal3f,
    glPopAttrib, glPopMatrix, glPushAttrib, glPushMatrix, glRotatef,
    glTranslatef, glVertex3f)
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


def draw3DCoordinateAxesQuadrics(quadric=None):
    """Draw unit axes x (red), y (green), z (blue) as arrows from the origin."""
    if quadric is None:
        quadric = _quadric()
    glPushAttrib(GL_ALL_ATTRIB_BITS)
    glPushMatrix()
    try:
        glColor3f(0.9, 0.9, 0.9)
        gluSphere(quadric, 0.06, 12, 12)
        for color, angle, axis in _AXES:
            glPushMatrix()
            try:
                glColor3f(*color)
                glRotatef(angle, *axis)
                gluCylinder(quadric, 0.03, 0.03, 0.8, 12, 1)
                glTranslatef(0.0, 0.0, 0.8)
                gluCylinder(quadric, 0.07, 0.0, 0.2, 12, 1)
            finally:
                glPopMatrix()
    finally:
        glPopMatrix()
        glPopAttrib()


def drawCheckerBoard(scale=(8, 8), check_colors=((0.8, 0.8, 0.8), (0.2, 0.2, 0.2))):
    """Draw scale[0] x scale[1] unit checks in the z = 0 plane, centred on the origin."""
    columns, rows = int(scale[0]), int(scale[1])
    x0, y0 = -columns / 2.0, -rows / 2.0
    glPushAttrib(GL_ALL_ATTRIB_BITS)
    glBegin(GL_QUADS)
    try:
        glNormal3f(0.0, 0.0, 1.0)
        for i in range(columns):
            for j in range(rows):
                glColor3f(*check_colors[(i + j) % 2])
                x, y = x0 + i, y0 + j
                glVertex3f(x, y, 0.0)
                glVertex3f(x + 1.0, y, 0.0)
                glVertex3f(x + 1.0, y + 1.0, 0.0)
                glVertex3f(x, y + 1.0, 0.0)
    finally:
        glEnd()
        glPopAttrib()
