"""
Sprigrule: a plant grown from a one-rule L-system and drawn by a 3-D turtle.

    plant = Sprigrule({"init": "F", "rule": "F->F[+F]F[-F]F", "depth": 2,
                       "angle": 25.0, "growth_factor": 0.5,
                       "init_angle_axis": {"angle": 90, "axis": [0, 0, 1]}})
    plant.draw_scene()   # with a GL context current; no init() needed

Turtle symbols: "F" draws a segment, "f" moves without drawing, "+" and "-"
turn by the angle about the turtle's z axis, "&" and "^" pitch about its y
axis, "[" and "]" save and restore the turtle; other symbols are only
rewritten. The turtle starts at the origin heading along +x, so the plant
grows in the xy plane until "init_angle_axis" turns it (90 degrees about z
stands it up along +y).
"""

from __future__ import division

import math
import numbers

import numpy as np

from OpenGL.GL import (
    GL_CURRENT_BIT, GL_DEPTH_TEST, GL_ENABLE_BIT, GL_FLOAT, GL_LIGHTING,
    GL_LINE_BIT, GL_LINES, GL_TEXTURE_2D, GL_VERTEX_ARRAY,
    GL_CLIENT_VERTEX_ARRAY_BIT, glColor3f, glDisable, glDrawArrays,
    glEnable, glEnableClientState, glLineWidth, glPopAttrib,
    glPopClientAttrib, glPopMatrix, glPushAttrib, glPushClientAttrib,
    glPushMatrix, glVertexPointer)

__all__ = ["Sprigrule"]

try:
    _TEXT = (str, unicode)  # noqa: F821  (Python 2)
except NameError:
    _TEXT = (str,)

REQUIRED_KEYS = ("init", "rule", "depth", "angle", "growth_factor", "init_angle_axis")

# Length of one segment before any rewriting; each generation multiplies it
# by growth_factor, which at 0.5 keeps a doubling stem at the same height.
BASE_LENGTH = 0.5

# The rewritten string grows geometrically; refuse what would not fit in memory.
MAX_SYMBOLS = 2000000

FLOAT32_MAX = float(np.finfo(np.float32).max)

STEM_COLOR = (0.45, 0.29, 0.14)
TIP_COLOR = (0.22, 0.68, 0.2)
# Stem width by bracket depth; deeper branches are thinner.
STEM_WIDTHS = (3.0, 2.0, 1.5)
TIP_WIDTH = 1.5


def _number(params, key):
    value = params[key]
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("Sprigrule: %r must be a number, got %r" % (key, value))
    if math.isinf(value) or math.isnan(value):
        raise ValueError("Sprigrule: %r must be finite, got %r" % (key, value))
    return float(value)


def _parse_rule(rule):
    if not isinstance(rule, _TEXT):
        raise TypeError("Sprigrule: 'rule' must be a string 'PRED->SUCC', got %r" % (rule,))
    if "->" not in rule:
        raise ValueError("Sprigrule: 'rule' must have the form 'PRED->SUCC', got %r" % rule)
    pred, succ = (part.strip() for part in rule.split("->", 1))
    if len(pred) != 1:
        raise ValueError(
            "Sprigrule: the rule's predecessor must be one symbol, got %r" % pred)
    return pred, succ


def _direction(v):
    """v scaled to unit length, also where its squared length would
    overflow or underflow; None for the zero vector."""
    v = np.asarray(v, dtype=float)
    largest = np.max(np.abs(v))
    if not largest > 0.0:
        return None
    v = v / largest
    return v / math.sqrt(np.dot(v, v))


def rotation_matrix(angle_deg, axis):
    """3x3 matrix of a right-handed rotation by angle_deg about axis."""
    x, y, z = _direction(axis)
    a = math.radians(angle_deg)
    c, s, t = math.cos(a), math.sin(a), 1.0 - math.cos(a)
    return np.array([
        [t * x * x + c, t * x * y - s * z, t * x * z + s * y],
        [t * x * y + s * z, t * y * y + c, t * y * z - s * x],
        [t * x * z - s * y, t * y * z + s * x, t * z * z + c],
    ])


def _parse_rotation(spec):
    if not isinstance(spec, dict) or "angle" not in spec or "axis" not in spec:
        raise ValueError(
            "Sprigrule: 'init_angle_axis' must be a dict with 'angle' and 'axis', got %r"
            % (spec,))
    angle = _number(spec, "angle")
    try:
        axis = np.array(spec["axis"], dtype=float)
    except (TypeError, ValueError):
        axis = None
    if axis is None:
        raise TypeError("Sprigrule: init_angle_axis['axis'] must be three numbers, got %r"
                        % (spec["axis"],))
    if axis.shape != (3,) or not np.all(np.isfinite(axis)):
        raise ValueError("Sprigrule: init_angle_axis['axis'] must be three finite numbers, "
                         "got %r" % (spec["axis"],))
    if _direction(axis) is None:
        raise ValueError("Sprigrule: init_angle_axis['axis'] must not be the zero vector")
    return rotation_matrix(angle, axis)


def rewrite(axiom, pred, succ, depth):
    """axiom rewritten depth times, every pred replaced by succ in parallel.

    The work is linear in the symbols of the result, whatever the depth:
    the expansion of one pred is built once per generation while it grows
    at least twofold, in closed form when succ holds a single pred, and not
    at all once the string stops changing.
    """
    copies = axiom.count(pred)
    if depth == 0 or copies == 0 or succ == pred:
        return axiom
    inner = succ.count(pred)
    others = len(succ) - inner
    # The length of one pred's expansion after each generation, up to depth
    # or until it outgrows the limit.
    size, generation = 1, 0
    while generation < depth and size <= MAX_SYMBOLS:
        if inner == 1:
            size, generation = 1 + depth * others, depth
        elif inner == 0:
            size, generation = others, depth
        else:
            size, generation = others + inner * size, generation + 1
    if len(axiom) - copies + copies * size > MAX_SYMBOLS:
        raise ValueError("Sprigrule: depth %d grows the string beyond %d symbols"
                         % (depth, MAX_SYMBOLS))
    if inner == 0:
        expansion = succ
    elif inner == 1:
        before, after = succ.split(pred)
        expansion = before * depth + pred + after * depth
    else:
        expansion = pred
        for _ in range(depth):
            expansion = succ.replace(pred, expansion)
    return axiom.replace(pred, expansion)


def interpret(text, angle_deg, length):
    """Walk the turtle over text.

    Returns (starts, ends, levels, tips): segment end points (n x 3 arrays),
    the bracket depth of each segment and whether it ends a branch.
    """
    turn = {"+": rotation_matrix(angle_deg, (0, 0, 1)),
            "-": rotation_matrix(-angle_deg, (0, 0, 1)),
            "&": rotation_matrix(angle_deg, (0, 1, 0)),
            "^": rotation_matrix(-angle_deg, (0, 1, 0))}
    pos = np.zeros(3)
    frame = np.eye(3)          # columns: heading, left, up
    last = None                # segment whose end is the turtle's position
    stack = []
    starts, ends, levels, tips = [], [], [], []
    for symbol in text:
        if symbol == "F" or symbol == "f":
            new = pos + length * frame[:, 0]
            if symbol == "F":
                if last is not None:
                    tips[last] = False
                starts.append(pos)
                ends.append(new)
                levels.append(len(stack))
                tips.append(True)
                last = len(tips) - 1
            else:
                last = None
            pos = new
        elif symbol in turn:
            frame = frame.dot(turn[symbol])
        elif symbol == "[":
            stack.append((pos, frame, last))
        elif symbol == "]":
            if not stack:
                raise ValueError("Sprigrule: ']' without a matching '[' in the rewritten string")
            pos, frame, last = stack.pop()
    if stack:
        raise ValueError("Sprigrule: %d '[' left unclosed in the rewritten string" % len(stack))
    shape = (len(starts), 3)
    return (np.array(starts, dtype=float).reshape(shape),
            np.array(ends, dtype=float).reshape(shape),
            np.array(levels, dtype=int), np.array(tips, dtype=bool))


def _segment_length(growth_factor, depth):
    try:
        length = BASE_LENGTH * growth_factor ** depth
    except OverflowError:
        length = float("inf")
    if length == float("inf"):
        raise ValueError("Sprigrule: 'growth_factor' %r to the power 'depth' %d is beyond the "
                         "range of floats" % (growth_factor, depth))
    return length


class Sprigrule(object):
    """An L-system plant; the geometry is built once, at construction."""

    def __init__(self, params):
        if not isinstance(params, dict):
            raise TypeError("Sprigrule: params must be a dict, got %s" % type(params).__name__)
        missing = [key for key in REQUIRED_KEYS if key not in params]
        if missing:
            raise ValueError("Sprigrule: params lacks %s; it needs %s"
                             % (", ".join(map(repr, missing)), ", ".join(map(repr, REQUIRED_KEYS))))
        if not isinstance(params["init"], _TEXT):
            raise TypeError("Sprigrule: 'init' must be a string, got %r" % (params["init"],))
        depth = params["depth"]
        if isinstance(depth, bool) or not isinstance(depth, numbers.Integral):
            raise TypeError("Sprigrule: 'depth' must be an integer, got %r" % (depth,))
        if depth < 0:
            raise ValueError("Sprigrule: 'depth' must not be negative, got %d" % depth)
        self.pred, self.succ = _parse_rule(params["rule"])
        self.angle = _number(params, "angle")
        self.growth_factor = _number(params, "growth_factor")
        if self.growth_factor <= 0.0:
            raise ValueError("Sprigrule: 'growth_factor' must be positive, got %r"
                             % params["growth_factor"])
        self.rotation = _parse_rotation(params["init_angle_axis"])
        self.depth = int(depth)
        self.params = params

        self.string = rewrite(params["init"], self.pred, self.succ, self.depth)
        self.segment_length = _segment_length(self.growth_factor, self.depth)
        with np.errstate(over="ignore", invalid="ignore"):  # refused below
            starts, ends, self.levels, self.tips = interpret(
                self.string, self.angle, self.segment_length)
            # Row vectors, so p R^T is R applied to every point.
            self.starts = starts.dot(self.rotation.T)
            self.ends = ends.dot(self.rotation.T)
        # Drawn in single precision.
        if not (np.all(np.abs(self.starts) <= FLOAT32_MAX)
                and np.all(np.abs(self.ends) <= FLOAT32_MAX)):
            raise ValueError("Sprigrule: 'growth_factor' %r makes the plant too large to draw "
                             "at depth %d" % (params["growth_factor"], self.depth))
        self._groups = self._build_groups()

    def _build_groups(self):
        # One vertex array per (width, colour): few GL calls per draw.
        groups = []
        stems = ~self.tips
        for i, width in enumerate(STEM_WIDTHS):
            if i == len(STEM_WIDTHS) - 1:
                mask = stems & (self.levels >= i)
            else:
                mask = stems & (self.levels == i)
            groups.append((width, STEM_COLOR, self._vertices(mask)))
        groups.append((TIP_WIDTH, TIP_COLOR, self._vertices(self.tips)))
        return [g for g in groups if len(g[2])]

    def _vertices(self, mask):
        pairs = np.empty((int(mask.sum()), 2, 3), dtype=np.float32)
        pairs[:, 0] = self.starts[mask]
        pairs[:, 1] = self.ends[mask]
        return np.ascontiguousarray(pairs.reshape(-1, 3))

    def bounds(self):
        """(min corner, max corner) of the drawn segments."""
        if not len(self.starts):
            return np.zeros(3), np.zeros(3)
        pts = np.vstack((self.starts, self.ends))
        return pts.min(axis=0), pts.max(axis=0)

    def draw_scene(self):
        glPushAttrib(GL_CURRENT_BIT | GL_ENABLE_BIT | GL_LINE_BIT)
        glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT)
        glPushMatrix()
        try:
            glDisable(GL_LIGHTING)
            glDisable(GL_TEXTURE_2D)
            glEnable(GL_DEPTH_TEST)
            glEnableClientState(GL_VERTEX_ARRAY)
            for width, color, vertices in self._groups:
                glLineWidth(width)
                glColor3f(*color)
                glVertexPointer(3, GL_FLOAT, 0, vertices)
                glDrawArrays(GL_LINES, 0, len(vertices))
        finally:
            glPopMatrix()
            glPopClientAttrib()
            glPopAttrib()
