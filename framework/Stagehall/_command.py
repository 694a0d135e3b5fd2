"""geomviews-snapshot MODULE [OUTDIR] [--frames N]

Render the windows that MODULE.main() opens and save each as a PNG file.

MODULE is a module on the Python path, the current directory included (one
of the scene modules, such as Quiltsheet, or one of your own whose main()
opens Framepane windows and enters the main loop), or the path of a .py
file. The framework's snapshot mode is switched on and MODULE.main() runs:
every window draws N frames (default 3), then its picture is written to
OUTDIR/<window title>.png (OUTDIR defaults to ./snapshots) and the main loop
ends. Prints the path of each PNG, one per line, and nothing else on stdout.
Without an X display that can be opened, a private Xvfb server is started
for the run. Also run as ``python -m Stagehall``.
"""

from __future__ import absolute_import, print_function

import argparse
import contextlib
import errno
import importlib
import os
import sys

from . import _xvfb
from ._glut import display_problem, shutdown
from ._snapshot import snapshot_mode, write_png
from ._windows import panes


def file_name(title, taken):
    """A file name for a window title, unique among ``taken``."""
    base = title.replace(os.sep, "_") or "window"
    name, n = base, 1
    while name in taken:
        n += 1
        name = "%s (%d)" % (base, n)
    taken.add(name)
    return name + ".png"


@contextlib.contextmanager
def _stdout_to_stderr():
    """Keep whatever the scene or the libraries print off our stdout."""
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)


@contextlib.contextmanager
def _display():
    """A display GLUT can open: the one DISPLAY names, else a private Xvfb."""
    if display_problem() is None:
        yield
        return
    saved = os.environ.get("DISPLAY")
    name, server = _xvfb.start()
    os.environ["DISPLAY"] = name
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop("DISPLAY", None)
        else:
            os.environ["DISPLAY"] = saved
        _xvfb.stop(server)


def _load(name):
    """Import the module named, or the .py file at that path."""
    if name.endswith(".py") or os.sep in name:
        path = os.path.abspath(name)
        if not os.path.isfile(path):
            raise ImportError("no file %s" % path)
        folder, module = os.path.split(path)
        module = os.path.splitext(module)[0]
        sys.path.insert(0, folder)  # its own imports find its neighbours
        if sys.version_info[0] < 3:
            import imp
            return imp.load_source(module, path)
        from importlib import util
        spec = util.spec_from_file_location(module, path)
        loaded = util.module_from_spec(spec)
        sys.modules[module] = loaded
        spec.loader.exec_module(loaded)
        return loaded
    return importlib.import_module(name)


def main(argv=None):
    """The command's entry point; returns its exit status (or a message,
    for a failure)."""
    parser = argparse.ArgumentParser(
        prog="geomviews-snapshot", description=__doc__.split("\n\n")[1].strip())
    parser.add_argument("module", help="module name, or path of a .py file")
    parser.add_argument("outdir", nargs="?", default="snapshots",
                        help="directory for the PNG files (default: snapshots)")
    parser.add_argument("--frames", type=int, default=3,
                        help="frames drawn before each picture (default: 3)")
    args = parser.parse_args(argv)
    if args.frames < 1:
        parser.error("--frames must be at least 1")
    # As with python -m: a module in the current directory is found.
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())

    left_open = 0
    with _stdout_to_stderr():
        try:
            with _display():
                try:
                    scene = _load(args.module)
                    entry = getattr(scene, "main", None)
                    if not callable(entry):
                        return "snapshot: %s has no main() that opens its windows" % args.module
                    shots = snapshot_mode(frames=args.frames)
                    entry()
                    left_open = len(panes())
                finally:
                    # GLUT lets go of the X server before a private one stops.
                    shutdown()
        except _xvfb.XvfbError as exc:
            return "snapshot: no X display can be opened (%s), and no private one " \
                   "started: %s" % (display_problem(), exc)

    if shots.errors:
        return "snapshot: drawing failed (%s)" % "; ".join(shots.errors)
    if not shots.images:
        if left_open:
            return ("snapshot: %s.main() opened windows but did not enter the main loop "
                    "(glutMainLoop())" % args.module)
        return "snapshot: %s.main() opened no window" % args.module
    try:
        os.makedirs(args.outdir)
    except OSError as err:
        if err.errno != errno.EEXIST or not os.path.isdir(args.outdir):
            raise
    taken = set()
    for title, width, height, rgb in shots.images:
        path = os.path.join(args.outdir, file_name(title, taken))
        write_png(path, width, height, rgb)
        print(path)
    return 0
