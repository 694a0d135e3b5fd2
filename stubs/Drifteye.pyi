# Types of the fly-through camera.

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray
from Stagehall import CamSpec, Drawable, Model
from Swoopline import Swoopline

__all__ = ["Drifteye", "flight_path"]

_Vector = Sequence[float] | NDArray[Any]
_Array = NDArray[np.float64]

SPEED: float
TIMER_MS: int
MAX_STEP: float
SAMPLES_PER_SEGMENT: int
FRUSTUM_DEPTH: float
FRUSTUM_COLOR: tuple[float, float, float]

def flight_path(eye: _Vector, center: _Vector, up: _Vector) -> list[tuple[_Array, _Array]]: ...

class Drifteye(Model):
    scene: Drawable
    cam_spec: CamSpec
    curve: Swoopline
    clock: Callable[[], float]
    speed: float
    aspect: float
    up: _Array
    distance: float
    paused: bool
    def __init__(self, scene: Drawable, cam_spec: CamSpec, curve: Swoopline,
                 clock: Callable[[], float] = ..., speed: float = ...) -> None: ...
    @property
    def length(self) -> float: ...
    def location(self, distance: float | None = None) -> tuple[int, float]: ...
    def pose(self, distance: float | None = None) -> tuple[_Array, _Array, _Array]: ...
    def update(self) -> None: ...
    def toggle_pause(self) -> None: ...
    def init(self) -> None: ...
    def apply(self, width: int, height: int) -> None: ...
    def draw(self) -> None: ...
    def keyboard(self, key: bytes, x: int, y: int) -> bool: ...
    def draw_scene(self) -> None: ...
    def frustum_lines(self) -> list[tuple[_Array, _Array]]: ...
    def draw_frustum(self) -> None: ...
