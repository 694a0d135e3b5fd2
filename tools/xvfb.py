"""The framework's private Xvfb X server (Stagehall._xvfb), for the tests and
the bench, which find this directory first."""

import os
import sys

try:
    from Stagehall._xvfb import *  # noqa: F401,F403
except ImportError:
    sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                 "framework"))
    from Stagehall._xvfb import *  # noqa: F401,F403
