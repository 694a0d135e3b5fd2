"""
Arborlot
"""

from typing import Any

from Stagehall import Model

# {"pos": [x, y, z], "model": an object with draw_scene()}
_Subscene = dict[str, Any]

class Arborlot(Model):
    """
    Scene with multiple 3D L-System and a checkerboard as ground-plane
    subscene_list is a list of dictionaries that contains the (x, y) position
    on the ground plane and the L-system.
    """

    terrain_model: Any
    subscene_list: list[_Subscene]

    def __init__(self, terrain_model: Any,
                 subscene_list: list[_Subscene] | None = []) -> None: ...
    def init(self) -> None: ...
    def add_subscene(self, subscene: _Subscene) -> None: ...

    def draw_scene(self) -> None:
        """
        Draw the Arborlot here. A sample solution is provided. You can
        build on top of it or replace it with your own approach.
        """

def main() -> None: ...
