"""python -m Stagehall MODULE [OUTDIR] [--frames N]: the geomviews-snapshot command."""

import sys

from Stagehall._command import main

sys.exit(main())
