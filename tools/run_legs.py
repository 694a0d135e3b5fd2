"""Run the test suite on every interpreter and print a summary.

Usage: run_legs.py VERSION...   (from `make test`; VERSION like 2.7 or 3.9)

A leg is one interpreter, or one variant of the main one, with make goals
for its set-up and for its tests. Set-ups run in the background, two at a
time (much of their time is spent waiting for the package index), so that
later legs are set up while the current one is tested; their output goes to
build-logs/LEG.log and is shown only on failure. Test
output is shown as it comes. Every leg runs whatever others do; the exit
status is 1 when any failed.
"""

import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LOGS = ROOT / "build-logs"
MAKE = os.environ.get("MAKE", "make")

# The children get their own jobs; the descriptors of a parent jobserver
# are not passed on.
CHILD_ENV = dict(os.environ)
CHILD_ENV["MAKEFLAGS"] = re.sub(r"--jobserver-(auth|fds)=\S+", "",
                                CHILD_ENV.get("MAKEFLAGS", ""))
# Tests share the cores with the next leg's set-up, and OpenBLAS's spinning
# threads then make a 4x4 inverse (NumPy 1) about ten times slower.
CHILD_ENV["OPENBLAS_NUM_THREADS"] = "1"

COUNT = re.compile(r"(\d+) (passed|failed|errors?|skipped)\b")


class Leg:
    def __init__(self, name, tag, setup, test, args=()):
        self.name = name
        self.tag = tag
        self.setup = setup
        self.test = test
        self.args = list(args)
        self.ready = threading.Event()
        self.result = None  # None while it can still pass
        self.counts = {}
        self.setup_time = self.test_time = None
        self.proc = None

    def make(self, goal, **kw):
        cmd = [MAKE, "--no-print-directory", "-C", str(ROOT), goal] + self.args
        self.proc = subprocess.Popen(cmd, env=CHILD_ENV, **kw)
        return self.proc

    def run_setup(self):
        start = time.monotonic()
        log = LOGS / (self.tag + ".log")
        with open(log, "w") as out:
            for goal in self.setup:
                out.write("$ make %s %s\n" % (goal, " ".join(self.args)))
                out.flush()
                step = time.monotonic()
                # Below the tests running beside it, which are the critical path.
                rc = self.make(goal, stdout=out, stderr=subprocess.STDOUT,
                               preexec_fn=lambda: os.nice(10)).wait()
                out.write("$ (make %s: %s)\n" % (goal, seconds(time.monotonic() - step)))
                if rc != 0:
                    self.result = "failed at " + goal
                    break
        self.setup_time = time.monotonic() - start
        self.ready.set()

    def run_tests(self):
        banner("%s: make %s %s" % (self.name, self.test, " ".join(self.args)))
        start = time.monotonic()
        proc = self.make(self.test, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, errors="replace", bufsize=1)
        tail = []
        for line in proc.stdout:
            sys.stdout.write(line)
            tail = (tail + [line])[-30:]
        rc = proc.wait()
        self.test_time = time.monotonic() - start
        # pytest's closing line, e.g. "=== 1 failed, 556 passed in 40.1s ==="
        for line in reversed(tail):
            if " in " in line and COUNT.search(line):
                for n, what in COUNT.findall(line):
                    what = "failed" if what.startswith("error") else what
                    self.counts[what] = self.counts.get(what, 0) + int(n)
                break
        self.result = "passed" if rc == 0 else "failed"


def banner(text):
    print("\n===== %s =====" % text, flush=True)


def show_setup_failure(leg):
    """The first error and what follows it, and the end of the log."""
    log = LOGS / (leg.tag + ".log")
    banner("%s: set-up %s (from %s)" % (leg.name, leg.result, log.relative_to(ROOT)))
    lines = log.read_text(errors="replace").splitlines()
    first = next((i for i, line in enumerate(lines) if re.search(r"\berror\b|^FAILED", line, re.I)),
                 max(len(lines) - 60, 0))
    shown = lines[first:first + 40]
    if len(lines) > first + 50:
        shown += ["[... %d lines ...]" % (len(lines) - first - 50)] + lines[-10:]
    else:
        shown = lines[first:]
    print("\n".join(shown), flush=True)


def find_python(name):
    proc = subprocess.run([str(ROOT / "tools" / "find-python"), name],
                          stdout=subprocess.PIPE, text=True)
    return proc.stdout.strip() if proc.returncode == 0 else None


def numpy1_version():
    for line in (ROOT / "requirements" / "numpy1.txt").read_text().splitlines():
        if line.lower().startswith("numpy=="):
            return line.split("==")[1]
    return "1"


def seconds(t):
    return "-" if t is None else "%ds" % round(t)


def main(versions):
    LOGS.mkdir(exist_ok=True)
    main_version = "%d.%d" % sys.version_info[:2]
    legs = [
        Leg(main_version, "main", ["build", "installed"], "check"),
        Leg(main_version + " ASan/UBSan", "asan", ["build-asan"], "test-asan"),
        Leg("%s NumPy %s" % (main_version, numpy1_version()), "numpy1",
            ["venv-numpy1"], "test-numpy1"),
    ]
    skipped = []
    # 2.7 last: until the runtime layer compiles for it, it fails at build.
    for v in sorted(versions, key=lambda v: v.startswith("2.")):
        name = "python" + v
        if find_python(name) is None:
            print("skipped: %s not found" % name, flush=True)
            skipped.append(v)
            continue
        legs.append(Leg(v, "py" + v.replace(".", ""), ["venv", "build", "installed"],
                        "check", ["PYTHON=" + name]))

    pending = list(legs)
    lock = threading.Lock()

    def set_up_all():
        while True:
            with lock:
                if not pending:
                    return
                leg = pending.pop(0)
            leg.run_setup()

    start = time.monotonic()
    for _ in range(2):
        threading.Thread(target=set_up_all, daemon=True).start()
    try:
        for leg in legs:
            leg.ready.wait()
            if leg.result is None:
                leg.run_tests()
            else:
                show_setup_failure(leg)
    except KeyboardInterrupt:
        for leg in legs:
            if leg.proc and leg.proc.poll() is None:
                leg.proc.terminate()
        raise

    banner("summary")
    row = "%-22s %-20s %7s %7s %8s %8s %8s"
    print(row % ("interpreter", "result", "passed", "failed", "skipped", "set-up", "tests"))
    total = {"passed": 0, "failed": 0, "skipped": 0}
    for leg in legs:
        c = leg.counts
        for k in total:
            total[k] += c.get(k, 0)
        print(row % (leg.name, leg.result,
                     c.get("passed", "-" if not c else 0), c.get("failed", "-" if not c else 0),
                     c.get("skipped", "-" if not c else 0),
                     seconds(leg.setup_time), seconds(leg.test_time)))
    for v in skipped:
        print("%-22s skipped: python%s not found" % (v, v))
    print("wall time %s" % seconds(time.monotonic() - start))
    print("total: %(passed)d passed, %(failed)d failed, %(skipped)d skipped" % total, flush=True)
    return 0 if all(leg.result == "passed" for leg in legs) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
