"""
Sketchkit: small drawing aids for the scene modules, meant for star import.

The star import also brings the GLUT names that a viewer's main() needs
(glutInit, glutInitDisplayMode, GLUT_DOUBLE, GLUT_RGBA, glutMainLoop) and a
float sqrt. Importing it needs no display: the drawing functions require a
current OpenGL context only when they are called.
"""

from math import sqrt

from OpenGL.GL import (
    GL_ALL_ATTRIB_BITS, GL_QUADS, glBegin, glColor3f, glEnd, glNormal3f,
    glPopAttrib, glPopMatrix, glPushAttrib, glPushMatrix, glRotatef,
    glTranslatef, glVertex3f)
from OpenGL.GLU import gluCylinder, gluNewQuadric, gluSphere
from OpenGL import GLUT as _GLUT
from OpenGL.GLUT import special as _glut_special
from OpenGL.GLUT import GLUT_DOUBLE, GLUT_RGBA, glutInitDisplayMode, glutMainLoop

__all__ = [
    "draw3DCoordinateAxesQuadrics", "drawCheckerBoard",
    "glutInit", "glutInitDisplayMode", "GLUT_DOUBLE", "GLUT_RGBA",
    "glutMainLoop", "sqrt",
]

_own_quadric = None


def glutInit(*args):
    """Initialise GLUT unless it already is.

    Calling it twice is harmless, where freeglut would end the process. After
    a returning glutMainLoop() has shut GLUT down it initialises GLUT again,
    but the GL stack does not reliably survive that: run one viewer per process.
    """
    if _GLUT.glutGet(_GLUT.GLUT_INIT_STATE):
        return list(args)
    _glut_special.INITIALIZED = False  # PyOpenGL would skip a second call
    return _GLUT.glutInit(*args)


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
