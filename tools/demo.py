#!/usr/bin/env python3
"""Command-line demo: builds the sample surface and spline and prints evaluations.

Usage: demo.py [patch|spline]   (no argument runs both)
Needs the built modules and the framework on the path, as `make demo` arranges.
No display is needed.
"""

import sys

import numpy as np


def fmt(values):
    # Round-off below 1e-12 would only clutter the output.
    return "(" + ", ".join("%.6g" % (0.0 if abs(v) < 1e-12 else float(v)) for v in values) + ")"


def patch_demo():
    from Quiltsheet import Quiltsheet

    heights = [0, -2, 2, -3]
    points = np.array([[i, j, heights[j]] for i in range(4) for j in range(4)],
                      dtype=float)
    sheet = Quiltsheet(points)

    print("Quiltsheet through a 4x4 grid, heights %s along t" % heights)
    v = sheet.evaluate([1.5, 1.5])
    print("  evaluate([1.5, 1.5]):")
    print("    point      %s" % fmt(v[0:3]))
    print("    d/ds       %s" % fmt(v[3:6]))
    print("    d/dt       %s" % fmt(v[6:9]))
    print("  corners, beside the control points they interpolate:")
    for s, t in ((0, 0), (0, 3), (3, 0), (3, 3)):
        print("    (%d, %d) -> %s   control point %2d %s"
              % (s, t, fmt(sheet.evaluate([s, t])[0:3]), 4 * s + t, fmt(points[4 * s + t])))

    samples = sheet.get_samples((4, 4))
    print("  get_samples((4, 4)): %d arrays of shape %s" % (len(samples), samples[0].shape))
    for name, arr in zip(("X", "Y", "Z", "DsX", "DsY", "DsZ", "DtX", "DtY", "DtZ"), samples):
        print("    %-3s min %9.4f  max %9.4f" % (name, arr.min(), arr.max()))
    print("  Z over the grid (rows s, columns t):")
    for row in samples[2]:
        print("    " + " ".join("%9.4f" % z for z in row))


def spline_demo():
    from Swoopline import Swoopline

    c, s = np.cos(np.pi / 4), np.sin(np.pi / 4)
    data = [
        ([1, 0, 0], [0, 1, 0]),
        ([c, s, 0], [-c, s, 0]),
        ([0, 1, 0], [-1, 0, 0]),
        ([0, 0, 0], [-1, 0, 0]),
        ([0, 0, 1], [1, 0, 0]),
        ([0, 1, 1], [1, 1, 1]),
    ]
    curve = Swoopline()
    for point_tangent in data:
        curve.add_point(point_tangent)

    print("Swoopline through %d data points, %d segments"
          % (len(curve.point_tangent_list), len(curve.coeff_matrix)))
    for seg in range(len(curve.coeff_matrix)):
        for t in (0, 0.25, 0.5, 0.75, 1):
            point, tangent = curve.evaluate_curve_segment(seg, t)
            print("  segment %d, t=%-4g point %s  tangent %s" % (seg, t, fmt(point), fmt(tangent)))


DEMOS = {"patch": patch_demo, "spline": spline_demo}


def main(argv):
    names = argv or list(DEMOS)
    unknown = [n for n in names if n not in DEMOS]
    if unknown:
        sys.exit("unknown scene %s; choose from %s" % (", ".join(unknown), ", ".join(DEMOS)))
    for i, name in enumerate(names):
        if i:
            print()
        DEMOS[name]()


if __name__ == "__main__":
    main(sys.argv[1:])
