"""
Stagehall: scene base class, camera view and GLUT windows for the viewers.

Three roles meet here:

* A *model* is anything with ``draw_scene()`` and, optionally, ``init()``.
  Scene classes derive from ``Model``. The framework calls ``init()`` once per
  OpenGL context before the first drawing there, then records ``draw_scene()``
  in a display list of that context and replays the list on later frames.
  The list is recorded again when the model's attributes change (another
  object bound, or a list, tuple or dict of different length), so appending
  to a model's data shows without further ado. Changes it cannot see, such as
  values written into an existing array, need ``invalidate(model)`` (or
  ``model.invalidate()``). A model whose drawing changes every frame sets
  ``use_display_list = False`` and is drawn directly each time. What the
  framework keeps of a model (its record, display lists, quadric) goes when
  the model goes.

* A *view* is what a ``Framepane`` shows. The window relies on two methods:

  - ``view.apply(width, height)``: load the projection and the camera
    transform for a window of that many pixels (matrix mode left at
    GL_MODELVIEW);
  - ``view.draw()``: draw the scene, normally ``draw_model(self.model)``;

  and calls these, when present:

  - ``view.init()``, once per window before its first frame is cleared, so
    that the models' ``init()`` (which may choose the clear colour) runs
    first; ``View.init()`` is ``init_model(self.model)``;
  - ``view.mouse(button, state, x, y)``, ``view.motion(x, y)`` and
    ``view.keyboard(key, x, y)``, each returning True when the window must be
    redrawn. Without ``keyboard()``, the window itself quits on q or Escape.

  ``View`` implements this for a fixed model and a mouse-driven camera; a
  fly-through camera can implement it too. ``View`` is also a model
  (``draw_scene()`` shows its model and its own camera), so one view can look
  at another.

* A ``Framepane`` is a GLUT window on a view. The framework keeps every window
  alive (``panes()``); the caller may drop the object. ``save_png(path)``
  writes a frame of it to a PNG file. A window closed while a frame is being
  drawn (``close()`` or ``glutDestroyWindow``, PyOpenGL's included) closes
  once that frame is done; closing it again does nothing.

GLUT is initialised once per process and stays up: freeglut's own main loop
shuts it down when it returns, and the GL stack does not survive a second
initialisation. So ``glutInit`` and ``glutMainLoop`` (those of ``OpenGL.GLUT``
and the ones ``Sketchkit`` exports) are the framework's ``glut_init()`` and
``main_loop()``: the loop returns when ``leave_main_loop()`` is called or the
last window closes, closes the windows still open, and the next viewer in the
same process starts afresh. ``shutdown()`` (also run at exit) ends GLUT.
A KeyboardInterrupt or SystemExit raised in a callback ends the loop, which
raises it to its caller. Without an X display, ``glut_init()`` raises
RuntimeError where freeglut would end the process.

Snapshot mode (``snapshot_mode()``), for running without a person watching:
every window renders a few frames, its pixels are captured, and the main loop
is left so that the caller's ``glutMainLoop()`` returns. The command
``geomviews-snapshot`` (``python -m Stagehall``) runs a module's ``main()``
that way and writes the pictures.

Runs on Python 2.7 and 3. OpenGL is imported only where it is used, so that
models can be built and tested without a display.

One file per job: ``_models`` (models, their records and display lists),
``_camera`` (``View``), ``_glut`` (GLUT start-up, main loop, timers),
``_windows`` (``Framepane``), ``_snapshot`` (snapshot mode, PNG files);
``_state`` holds what they share; ``_command`` and ``_xvfb`` make the
snapshot command. The public names are this package's.
"""

from __future__ import absolute_import

from ._models import Model, draw_model, init_model, invalidate
from ._camera import CAMERA_KEYS, View
from ._glut import add_timer, glut_init, leave_main_loop, main_loop, shutdown
from ._windows import Framepane, panes, request_redisplay
from ._snapshot import in_snapshot_mode, snapshot_mode
from . import _glut, _windows

__all__ = ["Model", "View", "Framepane", "CAMERA_KEYS", "draw_model", "init_model",
           "invalidate", "request_redisplay", "leave_main_loop", "panes",
           "snapshot_mode", "in_snapshot_mode", "glut_init", "main_loop", "shutdown",
           "add_timer"]

# Where users meet them, in reprs, pickles and documentation.
for _name in __all__:
    if hasattr(globals()[_name], "__module__"):
        globals()[_name].__module__ = __name__
del _name

_glut._take_over_glut()
_windows._take_over_destroy()
