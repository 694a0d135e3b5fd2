# Types of the framework's drawing aids and of the GLUT names it re-exports.

from collections.abc import Sequence
from typing import Any

__all__ = [
    "draw3DCoordinateAxesQuadrics", "drawCheckerBoard",
    "glutInit", "glutInitDisplayMode", "GLUT_DOUBLE", "GLUT_RGBA",
    "glutMainLoop", "sqrt",
]

GLUT_DOUBLE: int
GLUT_RGBA: int

def draw3DCoordinateAxesQuadrics(quadric: Any = None) -> None: ...
def drawCheckerBoard(scale: Sequence[int] = (8, 8),
                     check_colors: Sequence[Sequence[float]] = ...) -> None: ...
def glutInit(*args: Any) -> Any: ...
def glutInitDisplayMode(mode: int) -> None: ...
def glutMainLoop() -> None: ...
def sqrt(x: float, /) -> float: ...
