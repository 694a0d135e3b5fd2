# Types of the L-system plant.

from collections.abc import Sequence
from typing import Any, TypedDict

import numpy as np
from numpy.typing import NDArray

__all__ = ["Sprigrule"]

class AngleAxis(TypedDict):
    angle: float
    axis: Sequence[float] | NDArray[Any]

class PlantParams(TypedDict):
    """The parameter dictionary of a Sprigrule (a plain dict at run time;
    import it under typing.TYPE_CHECKING)."""

    init: str
    rule: str
    depth: int
    angle: float
    growth_factor: float
    init_angle_axis: AngleAxis

REQUIRED_KEYS: tuple[str, ...]
BASE_LENGTH: float
MAX_SYMBOLS: int
STEM_COLOR: tuple[float, float, float]
TIP_COLOR: tuple[float, float, float]
STEM_WIDTHS: tuple[float, ...]
TIP_WIDTH: float

def rotation_matrix(angle_deg: float, axis: Sequence[float] | NDArray[Any]) -> NDArray[np.float64]: ...
def rewrite(axiom: str, pred: str, succ: str, depth: int) -> str: ...
def interpret(text: str, angle_deg: float, length: float) -> tuple[
    NDArray[np.float64], NDArray[np.float64], NDArray[np.int_], NDArray[np.bool_]]: ...

class Sprigrule:
    params: PlantParams
    pred: str
    succ: str
    angle: float
    growth_factor: float
    rotation: NDArray[np.float64]
    depth: int
    string: str
    segment_length: float
    starts: NDArray[np.float64]
    ends: NDArray[np.float64]
    levels: NDArray[np.int_]
    tips: NDArray[np.bool_]
    def __init__(self, params: PlantParams) -> None: ...
    def bounds(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
    def draw_scene(self) -> None: ...
