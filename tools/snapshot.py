#!/usr/bin/env python3
"""Render the windows of a scene module off-screen and save them as PNG files.

Usage: snapshot.py MODULE [OUTDIR] [--frames N]

Imports MODULE (for example Quiltsheet), switches the viewer framework to
snapshot mode and runs MODULE.main(): every window draws N frames (default 3),
then its picture is written to OUTDIR/<window title>.png (OUTDIR defaults to
./snapshots) and the main loop ends. Prints the path of each PNG, one per line,
and nothing else on stdout. Starts a private Xvfb when DISPLAY is unset.
The built modules and framework/ are found on PYTHONPATH, else in this
checkout's build/modules and framework.
"""

from __future__ import print_function

import argparse
import contextlib
import errno
import importlib
import os
import struct
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.append(os.path.join(ROOT, "build", "modules"))
sys.path.append(os.path.join(ROOT, "framework"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import xvfb  # noqa: E402  (found through the path set above)


def write_png(path, width, height, rgb):
    """Write 8-bit RGB pixels (top row first) as a PNG file."""
    stride = 3 * width
    raw = b"".join(b"\0" + rgb[y * stride:(y + 1) * stride] for y in range(height))

    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data
                + struct.pack(">I", zlib.crc32(tag + data) & 0xffffffff))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 6))
                + chunk(b"IEND", b""))


def file_name(title, taken):
    base = title.replace(os.sep, "_") or "window"
    name, n = base, 1
    while name in taken:
        n += 1
        name = "%s (%d)" % (base, n)
    taken.add(name)
    return name + ".png"


@contextlib.contextmanager
def stdout_to_stderr():
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("module")
    parser.add_argument("outdir", nargs="?", default="snapshots")
    parser.add_argument("--frames", type=int, default=3)
    args = parser.parse_args(argv)
    if args.frames < 1:
        parser.error("--frames must be at least 1")

    with stdout_to_stderr(), xvfb.ensure_display():
        import Stagehall

        try:
            scene = importlib.import_module(args.module)
            shots = Stagehall.snapshot_mode(frames=args.frames)
            scene.main()
        finally:
            # GLUT lets go of the X server before a private one stops.
            Stagehall.shutdown()

    if shots.errors:
        return "snapshot: drawing failed (%s)" % "; ".join(shots.errors)
    if not shots.images:
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


if __name__ == "__main__":
    sys.exit(main())
