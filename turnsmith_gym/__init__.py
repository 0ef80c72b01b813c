"""Gymnasium environments for turnsmith's cubes.

Importing this package registers ``Cube3x3-v0`` and ``Cube2x2-v0``, so
``gymnasium.make("turnsmith_gym:Cube3x3-v0")`` and
``gymnasium.make_vec("turnsmith_gym:Cube3x3-v0", num_envs=n,
vectorization_mode="vector_entry_point")`` find them."""

from gymnasium.envs.registration import register, registry

from turnsmith_gym.envs import CubeEnv, CubeVectorEnv

__all__ = ["CubeEnv", "CubeVectorEnv"]

# Episodes end after this many moves unless the cube is solved first: a few
# times the longest distance (14 quarter turns on the 2x2, 26 on the 3x3).
MAX_EPISODE_STEPS = {2: 50, 3: 100}

for _cube_type, _steps in MAX_EPISODE_STEPS.items():
    _id = f"Cube{_cube_type}x{_cube_type}-v0"
    if _id not in registry:
        register(id=_id, entry_point="turnsmith_gym.envs:CubeEnv",
                 vector_entry_point="turnsmith_gym.envs:CubeVectorEnv",
                 max_episode_steps=_steps, kwargs={"cube_type": _cube_type})
