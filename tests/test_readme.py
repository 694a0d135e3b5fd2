"""The Python examples of the README and of the PyPI description run as
written: every python block of a file in order, in one namespace, with the
windows rendered off-screen (the framework's snapshot mode); the test
functions a block defines are called with the fixtures they name. A block
directly after an HTML comment is not run. (test_packaging.py runs mypy on
the same blocks.)"""

import re
import sys

import pytest

from conftest import PY2, REPO, run_process, subprocess_env

DOCS = ("README.md", "docs/pypi.md")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)


def code_blocks(doc, lang="python"):
    """(line number of the first line, code) of the blocks of that language
    that are meant to run."""
    with open(str(REPO / doc), "rb") as f:
        text = f.read().decode("utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        before = text[:match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        if match.group(1) == lang and not before.startswith("<!--"):
            blocks.append((text.count("\n", 0, match.start()) + 2, match.group(2)))
    return blocks


RUNNER = r"""
import contextlib, inspect, sys, types
sys.path.insert(0, sys.argv[1])
import Glrecorder, Stagehall
from test_readme import code_blocks

shots = Stagehall.snapshot_mode(frames=1)
fixtures = {"gl_recorder": contextlib.contextmanager(Glrecorder._gl_recorder)}
module = sys.modules["readme"] = types.ModuleType("readme")
for line, code in code_blocks(sys.argv[2]):
    known = set(vars(module))
    exec(compile("\n" * (line - 1) + code, sys.argv[2], "exec"), vars(module))
    for name in sorted(set(vars(module)) - known):
        if name.startswith("test_"):
            test = vars(module)[name]
            with contextlib.ExitStack() as stack:
                test(**{p: stack.enter_context(fixtures[p]())
                        for p in inspect.signature(test).parameters})
            print("passed", name)
assert not shots.errors, shots.errors
print("windows", ", ".join(title for title, *_ in shots.images))
"""


@pytest.mark.skipif(PY2, reason="the examples are written for Python 3")
@pytest.mark.parametrize("doc", DOCS)
def test_examples_run_as_written(doc, x_display, tmp_path):
    assert len(code_blocks(doc)) >= 3
    proc = run_process([sys.executable, "-c", RUNNER, str(REPO / "tests"), doc],
                       env=subprocess_env(), cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # Each file shows a test function and a window of a user's own model.
    assert "passed test_" in proc.stdout and "Triangle" in proc.stdout, proc.stdout
