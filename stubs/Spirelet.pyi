"""
Created on Sat Feb 14 15:43:06 2015

@author: the Spirelet maintainers
"""

from Stagehall import Model

class Spirelet(Model):
    def init(self) -> None:
        """
        This init method gets called after OpenGL context creation. This is
        because glut doesn't create opengl context until a window is actually
        created. On the other hand python's __init__ gets called during object
        instantiation which might happen before opengl context is created.
        """

    def draw_scene(self) -> None:
        """
        View class takes care of setting the projection matrix and lookat.
        Adding them here would override those calls and won't let mouse/keyboard
        to work...because the mouse and keyboard functions only know about the View's api.
        """

    def basicTriangle(self) -> None: ...
    def drawSpirelet(self, level: int) -> None: ...
    def drawTetrahedronWithoutBase(self, level: int) -> None: ...

def initGL() -> None: ...
def main() -> None: ...
