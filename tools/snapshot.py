#!/usr/bin/env python3
"""Render the windows of a scene module off-screen and save them as PNG files:
the framework's geomviews-snapshot command, run from this checkout.

Usage: snapshot.py MODULE [OUTDIR] [--frames N]

The built modules and framework/ are found on PYTHONPATH, else in this
checkout's build/modules and framework.
"""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.append(os.path.join(ROOT, "build", "modules"))
sys.path.append(os.path.join(ROOT, "framework"))

from Stagehall._command import main  # noqa: E402  (found through the path set above)

if __name__ == "__main__":
    sys.exit(main())
