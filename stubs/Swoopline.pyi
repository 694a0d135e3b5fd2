"""
Swoopline
---------------
This file implements the class Swoopline. This module is used by the
Drifteye class which uses it for generating the flythrough curve.

Where to add code?
add_point(self, data_point): compute the coefficient matrix for the last curve
                             segment
evaluate_curve_segment(self, segNo, t): return a tuple of (point, tangent) for
    a given curve segment segNo and parameter t in [0, 1].

Once this module has been implemented run SwooplineTest for performing
some basic correctness tests. You can add more tests to that file (note this is
 NOT part of the assignment) for ensuring correctness of your implementation.
"""

from collections.abc import Iterable, Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray
from Stagehall import Model

# (point, tangent): d[0] is the point, d[1] the tangent.
_DataPoint = Sequence[ArrayLike]

class Swoopline(Model):
    """
    Implementation of Swoopline. The class can be instantiated with a
    sequence of points representing curve segments. In addition to that new
    points can also be added by calling add_point() function with a data point.
    Whenever a Swoopline segment needs to be evaluated for some parameter
    t in [0, 1], the function evaluate_curve_segment(segNo, t) is called with
    the curve segment number (0-based) and the parameter.

    Since the evaluate_curve_segment function will be called very often we need to build
    the coefficient matrix for each curve segment as they are created. Therefore
    the coefficient matrices are built in add_point and in the evaluate_curve_segment
    function it is used with the current parameter.

    This class is derived from the Model class defined in Stagehall
    This allows Swooplines to be rendered using Display List automatically.
    Display List allows OpenGL to evaluate all the draw instructions and store
    them in memory for later usage.
    The draw_scene() function does the actual rendering of the curve.
    """

    num_samples_rendering: int
    B_Hermite: NDArray[np.float64]
    coeff_matrix: list[NDArray[np.float64]]
    point_tangent_list: list[_DataPoint]

    def __init__(self, data_points: Iterable[_DataPoint] | None = None,
                 num_samples_rendering: int = 101) -> None:
        """
        A set of data points can be optionally provided during instantiaion.
        The format is a list of tuples, where each tuple consists of a point
        and tangent at that point. Both point and tangents are represented by
        arrays.
        [(p0, m0), (p1, m1), (p2, m2)] where point p0 = [x0, y0, z0] and
        m0 = [mx0, my0, mz0] the tangent at p0, and so on.
        """

    def set_data(self, point_tangent_list: Iterable[_DataPoint]) -> None: ...

    def add_point(self, data_point: _DataPoint) -> None:
        """
        The basis vector for every curve segment is computed here and stored in
        coeff_matrix.
        """

    def evaluate_curve_segment(
            self, segNo: int, t: float
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]] | None:
        """
        Returns a tuple of (point, tangent) where point and tangent are
        1D arrays for parameter t in [0, 1]
        """

    def draw_scene(self, bDrawCoord: bool = True) -> None:
        """
        Draw the sequence of Swoopline segments and tangents at the endpoints.
        """

def main() -> None: ...
