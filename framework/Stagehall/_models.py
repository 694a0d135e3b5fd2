"""Models and their recorded drawing: the base class ``Model``, the
framework's record of each model (per context: init done, display list,
whether the list still matches the model) and the drawing through it."""

from __future__ import absolute_import, division

import sys
import weakref

from . import _state


class Model(object):
    """Base class of every scene drawn by the framework."""

    # Set to False by models whose drawing changes from frame to frame.
    use_display_list = True

    def __init__(self):
        # Created in init(): a quadric needs the GL libraries loaded.
        self.pQuadric = None

    def init(self):
        """Called once per OpenGL context, with it current, before the first draw."""
        # A quadric lives in client memory and serves every context; keeping
        # it leaves the model unchanged, so no context records it again.
        if getattr(self, "pQuadric", None) is None:
            self.pQuadric = new_quadric()

    def draw_scene(self):
        """Issue the OpenGL commands of the scene; the base class draws nothing."""

    def invalidate(self):
        """Have the drawing recorded again in every window, after a data change."""
        invalidate(self)


# The framework's quadrics, which keep GLU's default settings unless a
# program changes them: weak references that free each with its last user.
_quadrics = {}


def new_quadric():
    """A GLU quadric, freed when the last reference to it goes."""
    import ctypes
    from OpenGL.GLU import gluDeleteQuadric, gluNewQuadric

    quadric = gluNewQuadric()
    address = ctypes.cast(quadric, ctypes.c_void_p).value
    if not address:
        return quadric

    def free(ref, address=address, pointer=type(quadric)):
        _quadrics.pop(address, None)
        gluDeleteQuadric(ctypes.cast(address, pointer))

    _quadrics[address] = weakref.ref(quadric, free)
    return quadric


def is_framework_quadric(quadric):
    """Whether ``quadric`` is one of new_quadric()'s."""
    import ctypes

    try:
        address = ctypes.cast(quadric, ctypes.c_void_p).value
    except (ctypes.ArgumentError, TypeError):
        return False
    ref = _quadrics.get(address)
    return ref is not None and ref() is quadric


class _Record(object):
    """What the framework knows about one model, per OpenGL context.

    A record lives as long as its model and holds no reference to it, so
    a model that goes takes its record along; its display lists are
    deleted the next time their context is current.
    """

    def __init__(self):
        self.initialised = set()
        self.lists = {}        # context -> display-list name
        self.fresh = set()     # contexts whose list matches the model's data
        # context -> (fingerprint of the model, [(model, fingerprint)] of the
        # models inlined into its list), as they were when it was recorded
        self.prints = {}
        # Records of models whose display lists have this one's drawing inlined.
        self.containers = weakref.WeakSet()
        _records.add(self)

    def forget(self, ctx):
        self.initialised.discard(ctx)
        self.lists.pop(ctx, None)
        self.fresh.discard(ctx)
        self.prints.pop(ctx, None)


_records = weakref.WeakSet()
# Models that refuse new attributes keep their record here, by id: while a
# weak reference says the model lives, or, for a model that refuses weak
# references too, with the model itself until nothing else holds it.
_weak_records = {}     # id -> (weak reference to the model, record)
_held_records = {}     # id -> (model, record)
_held_sweep_at = [64]
# context -> display lists of records that are gone
_dead_lists = {}
_list_owners = set()   # weak references to the records that own lists
# (record, inlined models) of the models being compiled, outermost first.
_recording = []
_RECORD_ATTR = "_stagehall_record"


def _record_of(model, create=True):
    rec = getattr(model, _RECORD_ATTR, None)
    if isinstance(rec, _Record):
        return rec
    key = id(model)
    entry = _weak_records.get(key)
    if entry is not None and entry[0]() is model:
        return entry[1]
    entry = _held_records.get(key)
    if entry is not None and entry[0] is model:
        return entry[1]
    if not create:
        return None
    rec = _Record()
    try:
        setattr(model, _RECORD_ATTR, rec)
        if getattr(model, _RECORD_ATTR, None) is rec:
            return rec
    except (AttributeError, TypeError):
        pass
    try:
        _weak_records[key] = (weakref.ref(model, lambda ref: _drop_weak(key, ref)), rec)
    except TypeError:
        if len(_held_records) >= _held_sweep_at[0]:
            _sweep_held()
        _held_records[key] = (model, rec)
    return rec


def _drop_weak(key, ref):
    entry = _weak_records.get(key)
    if entry is not None and entry[0] is ref:
        del _weak_records[key]


def _sweep_held():
    """Drop the records of held models that nothing else refers to: the
    entry's tuple and the call's argument are their only references.
    Run when their number has doubled, so it costs O(1) a model."""
    for key in list(_held_records):
        if sys.getrefcount(_held_records[key][0]) <= 2:
            del _held_records[key]
    _held_sweep_at[0] = max(64, 2 * len(_held_records))


def _new_list(rec, ctx):
    from OpenGL.GL import glGenLists

    if not rec.lists:
        lists = rec.lists

        def owner_gone(ref):
            _list_owners.discard(ref)
            for context, name in lists.items():
                _dead_lists.setdefault(context, []).append(name)

        _list_owners.add(weakref.ref(rec, owner_gone))
    name = rec.lists[ctx] = glGenLists(1)
    return name


def free_dead_lists(ctx):
    """Delete the display lists of the context ``ctx``, now current, whose
    models are gone."""
    names = _dead_lists.pop(ctx, None)
    if names:
        from OpenGL.GL import glDeleteLists

        for name in names:
            glDeleteLists(name, 1)


def forget_context(ctx):
    """The context ``ctx`` is gone, and its display lists with it."""
    _dead_lists.pop(ctx, None)
    for rec in list(_records):
        rec.forget(ctx)


def _size(value):
    return len(value) if isinstance(value, (list, tuple, dict)) else -1


def _fingerprint(model):
    """The model's attributes: each value itself (held, so that its id is not
    reused) and the length of the containers among them; None for a model
    without attributes of its own."""
    try:
        items = vars(model).items()
    except TypeError:
        return None
    return [(key, value, _size(value)) for key, value in items if key != _RECORD_ATTR]


def _unchanged(model, fingerprint):
    if fingerprint is None:
        return True
    try:
        items = vars(model).items()
    except TypeError:
        return True
    n = 0
    for key, value in items:
        if key == _RECORD_ATTR:
            continue
        if n == len(fingerprint):
            return False
        old_key, old_value, old_size = fingerprint[n]
        if old_value is not value or old_key != key or old_size != _size(value):
            return False
        n += 1
    return n == len(fingerprint)


def init_model(model):
    """Call ``model.init()`` unless the current context has seen it already.

    A ``Model`` whose overriding ``init()`` skipped the base class gets its
    quadric all the same.
    """
    ctx = _state.current_context
    rec = _record_of(model)
    if ctx not in rec.initialised:
        init = getattr(model, "init", None)
        if init is not None:
            init()
        if isinstance(model, Model) and getattr(model, "pQuadric", None) is None:
            Model.init(model)
        rec.initialised.add(ctx)
    return rec


def draw_model(model):
    """Draw ``model`` in the current window.

    Calls its ``init()`` first if this context has not seen it yet, then
    replays its display list, recording ``draw_scene()`` into it when the list
    is missing or stale. Inside another model's recording the drawing is
    inlined into that list, which then goes stale with this model too.
    If ``draw_scene()`` raises, the list is closed and stays stale, the matrix
    and attribute stacks are restored, GL errors are cleared and the exception
    propagates.
    """
    from OpenGL.GL import GL_COMPILE, glCallList, glEndList, glNewList

    ctx = _state.current_context
    rec = init_model(model)

    if _recording or ctx is None or not getattr(model, "use_display_list", True):
        with _GLGuard():
            model.draw_scene()
        if _recording:
            fingerprint = _fingerprint(model)
            for outer, inlined in _recording:
                rec.containers.add(outer)
                if fingerprint is not None:
                    inlined.append((model, fingerprint))
        return

    name = rec.lists.get(ctx)
    if name is None or ctx not in rec.fresh or not _still_fresh(model, rec.prints[ctx]):
        rec.fresh.discard(ctx)
        if name is None:
            name = _new_list(rec, ctx)
        inlined = []
        _recording.append((rec, inlined))
        try:
            with _GLGuard(name):
                glNewList(name, GL_COMPILE)
                model.draw_scene()
                glEndList()
        finally:
            _recording.pop()
        rec.prints[ctx] = (_fingerprint(model), inlined)
        rec.fresh.add(ctx)
    glCallList(name)


def _still_fresh(model, prints):
    own, inlined = prints
    return _unchanged(model, own) and all(_unchanged(m, fp) for m, fp in inlined)


class _GLGuard(object):
    """On an exception, put the GL state back as the drawing found it.

    With ``list_name``, a display list is being compiled: it is closed.
    """

    def __init__(self, list_name=None):
        self.list_name = list_name

    def __enter__(self):
        from OpenGL.GL import (GL_ATTRIB_STACK_DEPTH, GL_MATRIX_MODE,
                               GL_MODELVIEW_STACK_DEPTH, GL_PROJECTION_STACK_DEPTH,
                               glGetIntegerv)
        self.state = [int(glGetIntegerv(q)) for q in (
            GL_MATRIX_MODE, GL_MODELVIEW_STACK_DEPTH, GL_PROJECTION_STACK_DEPTH,
            GL_ATTRIB_STACK_DEPTH)]
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            return False
        from OpenGL.GL import (GL_ATTRIB_STACK_DEPTH, GL_MODELVIEW,
                               GL_MODELVIEW_STACK_DEPTH, GL_PROJECTION,
                               GL_PROJECTION_STACK_DEPTH, glGetIntegerv,
                               glMatrixMode, glPopAttrib, glPopMatrix)
        from OpenGL.raw.GL import _errors
        from OpenGL.raw.GL.VERSION.GL_1_0 import glEnd, glEndList, glGetError

        checker = _errors._error_checker
        # Either call may be out of place: checks stay off (as inside glBegin)
        # and the errors are drained below.
        if checker:
            checker.onBegin()
        glEnd()
        if self.list_name is not None:
            glEndList()  # left stale: recorded again before any replay
        if checker:
            checker.onEnd()
        for _ in range(32):
            if not glGetError():
                break
        mode, modelview, projection, attrib = self.state
        for stack, query, depth in ((GL_MODELVIEW, GL_MODELVIEW_STACK_DEPTH, modelview),
                                    (GL_PROJECTION, GL_PROJECTION_STACK_DEPTH, projection)):
            glMatrixMode(stack)
            for _ in range(int(glGetIntegerv(query)) - depth):
                glPopMatrix()
        for _ in range(int(glGetIntegerv(GL_ATTRIB_STACK_DEPTH)) - attrib):
            glPopAttrib()
        glMatrixMode(mode)
        return False


def invalidate(model):
    """Mark the recorded drawing of ``model`` stale in every context.

    Needs no GL context; the lists are recorded again at their next use, and
    every window is asked to redraw.
    """
    rec = _record_of(model, create=False)
    pending, seen = [rec] if rec is not None else [], set()
    while pending:
        rec = pending.pop()
        if id(rec) not in seen:
            seen.add(id(rec))
            rec.fresh.clear()
            pending.extend(rec.containers)
    from ._windows import request_redisplay
    request_redisplay()
