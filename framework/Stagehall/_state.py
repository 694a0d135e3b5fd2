"""What the parts of the framework share: the windows, the current context
and the state of the main loop. Read and written as attributes of this
module, so that every part sees the same values."""

# Callers drop the Framepane they create, so the framework holds every pane.
panes = []
closing = []        # closed by the program, until GLUT has destroyed them
# Destroyed during this loop pass: their callbacks are still on the C stack.
retired = []

# The framework's id of the current context: the serial of the Framepane made
# current last (None outside any window).
current_context = None

snapshot = None     # the collector of snapshot mode, when it is on

loop_running = False
foreign_loop = False    # freeglut's own glutMainLoop (windows not ours)
leave = False
work = False            # a redisplay was posted since the last loop pass
timers = []

# Closing a window in the middle of a drawing would pull it from under the
# swap that ends the drawing: such closes wait until the drawing is over.
drawing = 0             # depth of the frames being drawn
deferred = []           # panes and window ids to close once drawing is back to 0
destroyed = set()       # window ids handed to GLUT's destroy: never twice

# A KeyboardInterrupt or SystemExit raised in a GLUT callback, as
# sys.exc_info(): ctypes would print and drop it, so the main loop ends and
# raises it instead.
pending = None
