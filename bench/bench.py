"""Speed of the native Quiltsheet and Swoopline modules against a plain-Python
rendition of the same algorithms (written below with NumPy, as a user would
otherwise write them).

Run from the repository root with the development path:

    PYTHONPATH=build/modules:framework .venv/bin/python bench/bench.py

For every figure it prints the time per call of the native module and of the
plain-Python rendition, their ratio and the target ratio.
"""

import argparse
import sys
import timeit

import numpy as np

try:
    from Quiltsheet import Quiltsheet
    from Swoopline import Swoopline
except ImportError as exc:  # the point of the bench is the native modules
    sys.stderr.write("bench: cannot import the native modules: %s\n"
                     "bench: build them and run with PYTHONPATH=build/modules:framework\n" % exc)
    sys.exit(1)


# ---------------------------------------------------------------------------
# Plain-Python renditions
# ---------------------------------------------------------------------------

class PyQuiltsheet(object):
    """Bicubic patch through a 4x4 grid of control points, in plain Python."""

    def __init__(self, data_points, num_samples_rendering=(34, 34)):
        self.data_points = data_points
        self.num_samples_rendering = num_samples_rendering
        self.B = np.linalg.inv([[0, 1, 8, 27], [0, 1, 4, 9], [0, 1, 2, 3], [1, 1, 1, 1]])
        self.MatX = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, 0], (4, 4)), self.B))
        self.MatY = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, 1], (4, 4)), self.B))
        self.MatZ = np.dot(np.transpose(self.B), np.dot(np.reshape(data_points[:, 2], (4, 4)), self.B))

    def evaluate(self, st_param):
        s = st_param[0]
        t = st_param[1]
        assert 0.0 <= s <= 3.0 and 0.0 <= t <= 3.0
        S = [s * s * s, s * s, s, 1]
        T = [t * t * t, t * t, t, 1]
        dS = [3 * s * s, 2 * s, 1, 0]
        dT = [3 * t * t, 2 * t, 1, 0]
        x = np.dot(S, np.dot(self.MatX, T))
        y = np.dot(S, np.dot(self.MatY, T))
        z = np.dot(S, np.dot(self.MatZ, T))
        dsx = np.dot(dS, np.dot(self.MatX, T))
        dsy = np.dot(dS, np.dot(self.MatY, T))
        dsz = np.dot(dS, np.dot(self.MatZ, T))
        dtx = np.dot(S, np.dot(self.MatX, dT))
        dty = np.dot(S, np.dot(self.MatY, dT))
        dtz = np.dot(S, np.dot(self.MatZ, dT))
        return [x, y, z, dsx, dsy, dsz, dtx, dty, dtz]

    def get_samples(self, samples=(7, 7)):
        assert samples[0] >= 2 and samples[1] >= 2
        X = np.zeros(samples)
        Y = np.zeros(samples)
        Z = np.zeros(samples)
        DsX = np.zeros(samples)
        DsY = np.zeros(samples)
        DsZ = np.zeros(samples)
        DtX = np.zeros(samples)
        DtY = np.zeros(samples)
        DtZ = np.zeros(samples)
        for i in range(samples[0]):
            for j in range(samples[1]):
                p = self.evaluate([3.0 * i / (samples[0] - 1.0), 3.0 * j / (samples[1] - 1.0)])
                X[i][j] = p[0]
                Y[i][j] = p[1]
                Z[i][j] = p[2]
                DsX[i][j] = p[3]
                DsY[i][j] = p[4]
                DsZ[i][j] = p[5]
                DtX[i][j] = p[6]
                DtY[i][j] = p[7]
                DtZ[i][j] = p[8]
        return (X, Y, Z, DsX, DsY, DsZ, DtX, DtY, DtZ)


class PySwoopline(object):
    """Piecewise cubic Hermite spline, in plain Python."""

    def __init__(self, data_points=None, num_samples_rendering=101):
        self.num_samples_rendering = num_samples_rendering
        self.B_Hermite = np.linalg.inv([[0, 1, 0, 3], [0, 1, 0, 2], [0, 1, 1, 1], [1, 1, 0, 0]])
        self.coeff_matrix = []
        self.point_tangent_list = []
        if data_points is None:
            return
        self.set_data(data_points)

    def set_data(self, point_tangent_list):
        self.point_tangent_list = []
        self.coeff_matrix = []
        for data_point in point_tangent_list:
            self.add_point(data_point)

    def add_point(self, data_point):
        self.point_tangent_list.append(data_point)
        if len(self.point_tangent_list) < 2:
            return
        p0 = self.point_tangent_list[-2][0]
        m0 = self.point_tangent_list[-2][1]
        p1 = self.point_tangent_list[-1][0]
        m1 = self.point_tangent_list[-1][1]
        G_Hermite = np.transpose([p0, p1, m0, m1])
        self.coeff_matrix.append(np.dot(G_Hermite, self.B_Hermite))

    def evaluate_curve_segment(self, segNo, t):
        if len(self.coeff_matrix) < 1:
            return None
        p = np.dot(self.coeff_matrix[segNo], [t * t * t, t * t, t, 1])
        m = np.dot(self.coeff_matrix[segNo], [3 * t * t, 2 * t, 1, 0])
        return (p, m)


# ---------------------------------------------------------------------------
# Sample data (the documented sample surface and spline)
# ---------------------------------------------------------------------------

def sample_surface_points():
    pts = np.zeros((16, 3))
    heights = (0, -2, 2, -3)
    for i in range(4):
        for j in range(4):
            pts[4 * i + j] = (i, j, heights[j])
    return pts


def sample_spline_points():
    c, s = np.cos(np.pi / 4), np.sin(np.pi / 4)
    return [([1, 0, 0], [0, 1, 0]), ([c, s, 0], [-c, s, 0]), ([0, 1, 0], [-1, 0, 0]),
            ([0, 0, 0], [-1, 0, 0]), ([0, 0, 1], [1, 0, 0]), ([0, 1, 1], [1, 1, 1])]


def best_per_call(stmt, env, number, repeat):
    """Best of ``repeat`` timings of ``number`` executions of the statement
    ``stmt`` (a string, so that no wrapper call is timed), in seconds."""
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number


def fmt(seconds):
    if seconds < 1e-3:
        return "%8.2f us" % (seconds * 1e6)
    return "%8.2f ms" % (seconds * 1e3)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=7, help="best of N (default 7)")
    ap.add_argument("--quick", action="store_true", help="fewer calls per timing")
    args = ap.parse_args(argv)
    scale = 10 if args.quick else 1

    pts = sample_surface_points()
    q_nat, q_py = Quiltsheet(pts), PyQuiltsheet(pts)
    spl = sample_spline_points()
    s_nat, s_py = Swoopline(spl), PySwoopline(spl)

    # The two renditions must agree before their speeds are compared.
    np.testing.assert_allclose(q_nat.evaluate([1.2, 2.7]), q_py.evaluate([1.2, 2.7]), atol=1e-12)
    for a, b in zip(q_nat.get_samples((34, 34)), q_py.get_samples((34, 34))):
        np.testing.assert_allclose(a, b, atol=1e-12)
    for a, b in zip(s_nat.evaluate_curve_segment(2, 0.3), s_py.evaluate_curve_segment(2, 0.3)):
        np.testing.assert_allclose(a, b, atol=1e-12)

    env = {"q_nat": q_nat, "q_py": q_py, "s_nat": s_nat, "s_py": s_py, "st": [1.2, 2.7]}
    figures = [
        # name, native statement, plain-Python statement, calls per timing
        # (native, plain Python), target ratio
        ("Quiltsheet.evaluate([1.2, 2.7])",
         "q_nat.evaluate(st)", "q_py.evaluate(st)", 200000 // scale, 20000 // scale, 30),
        ("Quiltsheet.get_samples((34, 34))",
         "q_nat.get_samples((34, 34))", "q_py.get_samples((34, 34))", 200 // scale or 1, 5, 100),
        ("Swoopline.evaluate_curve_segment(2, 0.3)",
         "s_nat.evaluate_curve_segment(2, 0.3)", "s_py.evaluate_curve_segment(2, 0.3)",
         500000 // scale, 50000 // scale, 20),
    ]

    print("%-42s %11s %11s %9s %8s" % ("figure (time per call)", "native", "python", "ratio", "target"))
    ok = True
    for name, nat, py, n_nat, n_py, target in figures:
        t_nat = best_per_call(nat, env, n_nat, args.repeat)
        t_py = best_per_call(py, env, n_py, args.repeat)
        ratio = t_py / t_nat
        met = ratio >= target
        ok = ok and met
        print("%-42s %11s %11s %8.1fx %6dx  %s"
              % (name, fmt(t_nat), fmt(t_py), ratio, target, "met" if met else "NOT MET"))
    print("all targets met" if ok else "some targets not met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
