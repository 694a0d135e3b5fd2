"""
Glrecorder: record the OpenGL calls of drawing code instead of making them,
so that a test can check a drawing without a display or a GL context.

    import Quiltsheet
    from Glrecorder import recording

    with recording(Quiltsheet) as rec:
        Quiltsheet.Quiltsheet(points, (3, 3)).draw_scene(False)
    assert rec.count("glBegin") == 4
    assert rec.args("glBegin")[0] == ("GL_TRIANGLES",)

``recording(namespace, ...)`` takes modules, or ``globals()`` dictionaries,
and replaces in each every GL, GLU and GLUT function it holds (a callable
named gl..., glu... or glut...) and the framework's drawing aids (the draw...
functions of Sketchkit) by recorders; the originals are put back when the
block ends, whether it returns or raises. A recorder makes no GL call and
returns None, or the value that ``returns`` gives for its name.

Each call is kept twice: ``raw`` has (name, args, kwargs) as the call was
made, ``calls`` the same with the arguments normalised for comparison: NumPy
scalars become Python numbers, arrays lists, GL constants their names.

Under pytest, the fixture ``gl_recorder`` starts recordings that end with the
test (installed copies register it through the pytest11 entry point):

    def test_mesh(gl_recorder):
        rec = gl_recorder(Quiltsheet)

Runs on Python 2.7 and 3.
"""

import collections
import re
import sys

import numpy as np

__all__ = ["Call", "Recording", "recording", "plain"]

Call = collections.namedtuple("Call", "name args kwargs")

_GL_NAME = re.compile(r"gl(u|ut)?[A-Z]")


def _drawing_aids():
    # Only a module that imported Sketchkit can hold its aids; importing it
    # here would start the framework for code that does not use it.
    sketchkit = sys.modules.get("Sketchkit")
    names = getattr(sketchkit, "__all__", ())
    return frozenset(name for name in names if name.startswith("draw"))


def _gl_constant_type():
    constant = sys.modules.get("OpenGL.constant")
    return getattr(constant, "Constant", None)


def plain(value):
    """value made comparable: GL constants by name, NumPy scalars as Python
    numbers, arrays as (nested) lists, inside tuples, lists and dicts too."""
    constant = _gl_constant_type()
    if constant is not None and isinstance(value, constant):
        return value.name
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, tuple):
        return tuple(plain(v) for v in value)
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return dict((k, plain(v)) for k, v in value.items())
    return value


class Recording(object):
    """The recorders of one or more namespaces; see the module docstring.

    ``names``, when given, lists exactly the globals to replace instead.
    """

    def __init__(self, *namespaces, **options):
        unknown = set(options) - {"names", "returns"}
        if unknown:
            raise TypeError("Recording: unexpected keyword argument(s) %s"
                            % ", ".join(sorted(unknown)))
        self.namespaces = namespaces
        names = options.get("names")
        self.names_given = None if names is None else list(names)
        self.returns = dict(options.get("returns") or {})
        self.calls = []
        self.raw = []
        self.replaced = []
        self._saved = []
        self._fail = {}

    # Putting the recorders in place and taking them out --------------------

    def _targets(self, namespace):
        ns = namespace if isinstance(namespace, dict) else vars(namespace)
        if self.names_given is not None:
            missing = [n for n in self.names_given if n not in ns]
            if missing:
                raise AttributeError("Glrecorder: %r has no %s"
                                     % (getattr(namespace, "__name__", "namespace"),
                                        ", ".join(missing)))
            return list(self.names_given)
        aids = _drawing_aids()
        return sorted(name for name, value in ns.items()
                      if callable(value) and not isinstance(value, type)
                      and (_GL_NAME.match(name) or name in aids))

    def start(self):
        if self._saved:
            raise RuntimeError("Glrecorder: this recording has started already")
        try:
            for namespace in self.namespaces:
                for name in self._targets(namespace):
                    self._swap(namespace, name, self._recorder(name))
        except BaseException:
            self.stop()
            raise
        return self

    def _swap(self, namespace, name, value):
        if isinstance(namespace, dict):
            self._saved.append((namespace, name, namespace[name]))
            namespace[name] = value
        else:
            self._saved.append((namespace, name, getattr(namespace, name)))
            setattr(namespace, name, value)
        self.replaced.append(name)

    def stop(self):
        """Put every original back, the last replaced first."""
        while self._saved:
            namespace, name, original = self._saved.pop()
            if isinstance(namespace, dict):
                namespace[name] = original
            else:
                setattr(namespace, name, original)
        del self.replaced[:]

    def __enter__(self):
        return self.start()

    def __exit__(self, exc_type, exc, tb):
        self.stop()
        return False

    # The recorders ----------------------------------------------------------

    def _recorder(self, name):
        def record(*args, **kwargs):
            self.raw.append(Call(name, args, kwargs))
            self.calls.append(Call(name, plain(args), plain(kwargs)))
            pending = self._fail.get(name)
            if pending is not None:
                pending[0] -= 1
                if pending[0] == 0:
                    del self._fail[name]
                    raise pending[1]
            return self.returns.get(name)
        record.__name__ = str(name)
        return record

    def fail_at(self, name, n, error):
        """Make the n-th call of name from now (1-based) raise error, after
        it is recorded."""
        if n < 1:
            raise ValueError("Glrecorder: fail_at counts calls from 1")
        self._fail[name] = [n, error]

    # What was called --------------------------------------------------------

    def names(self):
        return [call.name for call in self.calls]

    def args(self, name):
        """The normalised positional arguments of every call of name."""
        return [call.args for call in self.calls if call.name == name]

    def count(self, name):
        return sum(1 for call in self.calls if call.name == name)

    def clear(self):
        del self.calls[:]
        del self.raw[:]


def recording(*namespaces, **options):
    """A Recording of the given modules or globals() dictionaries, for a
    with statement (or start() and stop())."""
    return Recording(*namespaces, **options)


def _gl_recorder():
    started = []

    def start(*namespaces, **options):
        rec = Recording(*namespaces, **options).start()
        started.append(rec)
        return rec

    try:
        yield start
    finally:
        while started:
            started.pop().stop()


# The fixture exists where pytest runs: it loads this module as a plugin.
if "pytest" in sys.modules:
    gl_recorder = sys.modules["pytest"].fixture(name="gl_recorder")(_gl_recorder)
