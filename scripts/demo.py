"""The main job: show turnsmith at work on single cubes and on a batch."""

import turnsmith as t

cube = t.Cube3x3()
cube.do_r_move()
print(f"after R: corners={cube.corners:#x} solved={cube.is_solved()}")
