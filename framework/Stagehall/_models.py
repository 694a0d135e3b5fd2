"""Models and their recorded drawing: the base class ``Model``, the
framework's record of each model (per context: init done, display list,
whether the list still matches the model) and the drawing through it."""

from __future__ import absolute_import, division

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
        from OpenGL.GLU import gluNewQuadric

        # A quadric lives in client memory and serves every context; keeping
        # it leaves the model unchanged, so no context records it again.
        if getattr(self, "pQuadric", None) is None:
            self.pQuadric = gluNewQuadric()

    def draw_scene(self):
        """Issue the OpenGL commands of the scene; the base class draws nothing."""

    def invalidate(self):
        """Have the drawing recorded again in every window, after a data change."""
        invalidate(self)


class _Record(object):
    """What the framework knows about one model, per OpenGL context."""

    def __init__(self):
        self.initialised = set()
        self.lists = {}        # context -> display-list name
        self.fresh = set()     # contexts whose list matches the model's data
        # context -> [(model, fingerprint)] of the model and of every model
        # inlined into its list, as they were when the list was recorded
        self.prints = {}
        # Records of models whose display lists have this one's drawing inlined.
        self.containers = weakref.WeakSet()


# Models that refuse new attributes keep their record here, with the model
# itself so that its id cannot be reused.
_detached_records = {}
# (record, inlined models) of the models being compiled, outermost first.
_recording = []
_RECORD_ATTR = "_stagehall_record"


def _record_of(model, create=True):
    rec = getattr(model, _RECORD_ATTR, None)
    if rec is None:
        rec = _detached_records.get(id(model), (None, None))[1]
    if rec is None and create:
        rec = _Record()
        try:
            setattr(model, _RECORD_ATTR, rec)
        except (AttributeError, TypeError):
            _detached_records[id(model)] = (model, rec)
    return rec


def _size(value):
    return len(value) if isinstance(value, (list, tuple, dict)) else -1


def _fingerprint(model):
    """The model's attributes: each value itself (held, so that its id is not
    reused) and the length of the containers among them."""
    try:
        items = vars(model).items()
    except TypeError:
        return ()
    return [(key, value, _size(value)) for key, value in items if key != _RECORD_ATTR]


def _unchanged(model, fingerprint):
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
    from OpenGL.GL import GL_COMPILE, glCallList, glEndList, glGenLists, glNewList

    ctx = _state.current_context
    rec = init_model(model)

    if _recording or ctx is None or not getattr(model, "use_display_list", True):
        with _GLGuard():
            model.draw_scene()
        if _recording:
            entry = (model, _fingerprint(model))
            for outer, inlined in _recording:
                rec.containers.add(outer)
                inlined.append(entry)
        return

    name = rec.lists.get(ctx)
    if name is None or ctx not in rec.fresh or not all(
            _unchanged(m, fp) for m, fp in rec.prints[ctx]):
        rec.fresh.discard(ctx)
        if name is None:
            name = rec.lists[ctx] = glGenLists(1)
        inlined = []
        _recording.append((rec, inlined))
        try:
            with _GLGuard(name):
                glNewList(name, GL_COMPILE)
                model.draw_scene()
                glEndList()
        finally:
            _recording.pop()
        rec.prints[ctx] = [(model, _fingerprint(model))] + inlined
        rec.fresh.add(ctx)
    glCallList(name)


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
