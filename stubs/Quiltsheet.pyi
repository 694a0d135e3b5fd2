"""
Quiltsheet
---------------
This file implements the Quiltsheet class. Code needs to be added in
evaluate(st_param): returns a list of point and tangent values for a given
                    parameter [s, t]

"""

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray
from Stagehall import Model

# X, Y, Z, DsX, DsY, DsZ, DtX, DtY, DtZ over the (s, t) grid.
_Samples = tuple[NDArray[np.float64], ...]

class Quiltsheet(Model):
    """
    Bicubic surface patch defined by 16 points. The 16 points on a 4x4 (s, t)
    grid is provided during instantiation.
    """

    data_points: NDArray[Any]
    num_samples_rendering: tuple[int, int]
    B: NDArray[np.float64]
    MatX: NDArray[np.float64]
    MatY: NDArray[np.float64]
    MatZ: NDArray[np.float64]

    def __init__(self, data_points: NDArray[Any],
                 num_samples_rendering: tuple[int, int] = (34, 34)) -> None:
        """
        data_points is in row major order, namely the 16 rows of the array
        correspond to (s,t) values (0,0), (0,1),(0,2), (0,3), (1, 0), (1,1),...
        and so on.
        num_samples_rendering refers to the number of samples that would be used
        by the draw_scene() function when rendering the patch
        """

    def evaluate(self, st_param: Sequence[float] | NDArray[Any]) -> list[float]:
        """
        st_param = [s, t] where
        s in [0, 3] and t in [0, 3]
        For a given set of parameters return
        [x(s,t), y(s,t), z(s,t),
        dsx(s,t), dsy(s,t), dsz(s,t),
        dtx(s,t), dty(s,t), dtz(s,t)]
        """

    def get_samples(self, samples: tuple[int, int] = (7, 7)) -> _Samples:
        """
        Returns an array of values. samples is a tuple that has to be at least (2, 2)
        """

    def set_color_from_XYZ(self, x: float, y: float, z: float) -> None:
        """
        set_color_from_XYZ is the default color scheme for rendering
        quiltsheets. It takes  x, y, z values that are in [0, 1] and sets
        the color based on the normalized XYZ coordinate
        """

    def draw_scene(self, bDrawCoordAxes: bool = True) -> _Samples:
        """
        drawing meshes with normalized values is more generic because the caller
        can then approrpriately scale and translate the mesh.
        """

def main() -> None: ...
