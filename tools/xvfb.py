"""Private Xvfb X server for drawing without a screen (snapshot tool, tests).

    with ensure_display():      # starts Xvfb only when DISPLAY is unset
        ...                     # DISPLAY now names a working server
"""

import atexit
import contextlib
import ctypes
import os
import select
import signal
import socket
import subprocess
import tempfile
import time

SCREEN = "1280x1024x24"


class XvfbError(RuntimeError):
    pass


def _wait_for_number(fd, proc, deadline):
    """Read the display number that Xvfb writes to fd once it is listening."""
    text = b""
    while not text.endswith(b"\n"):
        if proc.poll() is not None:
            raise XvfbError("Xvfb exited with status %s" % proc.returncode)
        if time.monotonic() > deadline:
            raise XvfbError("Xvfb did not start in time")
        if select.select([fd], [], [], 0.1)[0]:
            chunk = os.read(fd, 32)
            if not chunk:
                raise XvfbError("Xvfb closed its display pipe")
            text += chunk
    return int(text)


def _accepts_connections(number):
    with socket.socket(socket.AF_UNIX) as sock:
        try:
            sock.connect("/tmp/.X11-unix/X%d" % number)
            return True
        except OSError:
            return False


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
    read_fd, write_fd = os.pipe()
    log = tempfile.TemporaryFile()
    # A sanitizer preload meant for the interpreter has no business in the server.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    try:
        # -displayfd: Xvfb picks a free number and writes it once it listens.
        proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-noreset", "-screen", "0", screen,
             "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=log, env=env,
            preexec_fn=_die_with_parent)
    except OSError:
        os.close(read_fd)
        os.close(write_fd)
        raise
    os.close(write_fd)
    atexit.register(stop, proc)
    deadline = time.monotonic() + timeout
    try:
        number = _wait_for_number(read_fd, proc, deadline)
        while not _accepts_connections(number):
            if time.monotonic() > deadline:
                raise XvfbError("Xvfb :%d accepts no connections" % number)
            time.sleep(0.05)
    except XvfbError as err:
        stop(proc)
        log.seek(0)
        raise XvfbError("%s\n%s" % (err, log.read().decode(errors="replace"))) from None
    finally:
        os.close(read_fd)
        log.close()
    return ":%d" % number, proc


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
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
