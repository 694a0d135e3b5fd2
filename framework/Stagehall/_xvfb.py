"""Private Xvfb X server for drawing without a screen (the snapshot
command, the tests, the bench).

    with ensure_display():      # starts Xvfb only when DISPLAY is unset
        ...                     # DISPLAY now names a working server
"""

import atexit
import contextlib
import ctypes
import errno
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

__all__ = ["SCREEN", "XvfbError", "start", "stop", "ensure_display"]

SCREEN = "1280x1024x24"

_clock = getattr(time, "monotonic", time.time)


class XvfbError(RuntimeError):
    pass


def _server():
    """The Xvfb program, or None."""
    for folder in os.environ.get("PATH", os.defpath).split(os.pathsep):
        path = os.path.join(folder, "Xvfb")
        if os.access(path, os.X_OK):
            return path
    return None


def _wait_for_number(fd, proc, deadline):
    """Read the display number that Xvfb writes to fd once it is listening."""
    text = b""
    while not text.endswith(b"\n"):
        if proc.poll() is not None:
            raise XvfbError("Xvfb exited with status %s" % proc.returncode)
        if _clock() > deadline:
            raise XvfbError("Xvfb did not start in time")
        try:
            ready = select.select([fd], [], [], 0.1)[0]
        except (OSError, select.error) as err:  # 2.7 does not retry on EINTR
            if err.args[0] != errno.EINTR:
                raise
            ready = []
        if ready:
            chunk = os.read(fd, 32)
            if not chunk:
                raise XvfbError("Xvfb closed its display pipe")
            text += chunk
    return int(text)


def _accepts_connections(number):
    sock = socket.socket(socket.AF_UNIX)
    try:
        sock.connect("/tmp/.X11-unix/X%d" % number)
        return True
    except (OSError, socket.error):
        return False
    finally:
        sock.close()


def _die_with_parent():
    # Runs in the child before exec: if this process dies without cleaning up
    # (a crash, or Xlib's exit() when the server vanishes), the server ends too.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def start(screen=SCREEN, timeout=30.0):
    """Start Xvfb on a free display number and return (":N", process).

    The server accepts connections when this returns; stop() ends it (it is
    also ended when the interpreter exits).
    """
    if _server() is None:
        raise XvfbError("Xvfb is not installed (Debian: apt-get install xvfb)")
    read_fd, write_fd = os.pipe()
    log = tempfile.TemporaryFile()
    devnull = open(os.devnull, "r+b")
    # A sanitizer preload meant for the interpreter has no business in the server.
    env = dict((k, v) for k, v in os.environ.items() if k != "LD_PRELOAD")
    if sys.version_info[0] >= 3:
        keep_fd = {"pass_fds": (write_fd,)}
    else:
        keep_fd = {"close_fds": False}  # 2.7's pipe ends are inherited
    try:
        # -displayfd: Xvfb picks a free number and writes it once it listens.
        proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-noreset", "-screen", "0", screen,
             "-nolisten", "tcp"],
            stdin=devnull, stdout=devnull, stderr=log, env=env,
            preexec_fn=_die_with_parent, **keep_fd)
    except OSError:
        os.close(read_fd)
        os.close(write_fd)
        log.close()
        raise
    finally:
        devnull.close()
    os.close(write_fd)
    atexit.register(stop, proc)
    deadline = _clock() + timeout
    failure = None
    try:
        number = _wait_for_number(read_fd, proc, deadline)
        while not _accepts_connections(number):
            if _clock() > deadline:
                raise XvfbError("Xvfb :%d accepts no connections" % number)
            time.sleep(0.05)
    except XvfbError as err:
        stop(proc)
        log.seek(0)
        failure = XvfbError("%s\n%s" % (err, log.read().decode("utf-8", "replace")))
    finally:
        os.close(read_fd)
        log.close()
    if failure is not None:
        raise failure
    return ":%d" % number, proc


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        deadline = _clock() + 5
        while proc.poll() is None and _clock() < deadline:
            time.sleep(0.02)
        if proc.poll() is None:
            proc.kill()
            proc.wait()


@contextlib.contextmanager
def ensure_display(screen=SCREEN):
    """Yield the X display to use, starting a private Xvfb if DISPLAY is unset.

    The private server's name is put in os.environ["DISPLAY"] for the duration,
    so that child processes find it too.
    """
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    name, proc = start(screen)
    os.environ["DISPLAY"] = name
    try:
        yield name
    finally:
        os.environ.pop("DISPLAY", None)
        stop(proc)
