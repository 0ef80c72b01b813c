"""Gymnasium environments over turnsmith cubes: one cube (`CubeEnv`) or a
whole `CubeBatch` stepped by single library calls (`CubeVectorEnv`)."""

from __future__ import annotations

import operator
from typing import Any, Callable, Literal, NamedTuple, SupportsIndex

import gymnasium as gym
import numpy as np
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

import turnsmith

MOVES = 12
COLOURS = 6
STICKERS = {2: 24, 3: 54}
CUBE_CLASSES: dict[int, Callable[[], Any]] = {2: turnsmith.Cube2x2, 3: turnsmith.Cube3x3}
SCRAMBLES = ("moves", "avoid_inverse", "canonical", "uniform")
OBSERVATIONS = ("stickers", "one_hot", "words")
# A scramble depth: one number of moves, or the inclusive range to draw from.
Depth = SupportsIndex | tuple[SupportsIndex, SupportsIndex]


class Observation(NamedTuple):
    """How one observation kind reads a single cube and a whole batch."""

    space: spaces.Box
    of_cube: Callable[[Any], np.ndarray]
    of_batch: Callable[[turnsmith.CubeBatch], np.ndarray]


def sticker_bytes(cube: Any) -> np.ndarray:
    # bytearray turns the colour list into bytes faster than np.array does,
    # and frombuffer over it gives a fresh, writeable array.
    return np.frombuffer(bytearray(cube.to_sticker_array()), np.uint8)


def make_observation(kind: str, cube_type: int, one_hot_dtype: Any) -> Observation:
    stickers = STICKERS[cube_type]
    if kind == "stickers":
        return Observation(spaces.Box(0, COLOURS - 1, (stickers,), np.uint8), sticker_bytes,
                           lambda batch: batch.to_sticker_bytes())
    if kind == "one_hot":
        dtype = np.dtype(one_hot_dtype)
        CUBE_CLASSES[cube_type]().to_one_hot(dtype)  # a dtype the library cannot write fails here
        return Observation(spaces.Box(0, 1, (stickers * COLOURS,), dtype),
                           lambda cube: cube.to_one_hot(dtype), lambda batch: batch.to_one_hot(dtype))
    if kind == "words":
        # A 2x2 batch's words come as a flat array: one word per cube.
        words = 2 if cube_type == 3 else 1
        return Observation(spaces.Box(0, np.iinfo(np.uint64).max, (words,), np.uint64),
                           lambda cube: np.array(cube.to_words(), np.uint64),
                           lambda batch: batch.to_words().reshape(len(batch), words))
    raise ValueError(f"observation must be one of {', '.join(OBSERVATIONS)}, not {kind!r}")


class Options:
    """The constructor options that both environments share, checked once."""

    def __init__(self, cube_type: Literal[2, 3], observation: str, one_hot_dtype: Any, scramble: str,
                 scramble_depth: Depth, move_reward: float,
                 max_episode_steps: int | None, render_mode: str | None) -> None:
        if cube_type not in STICKERS:
            raise ValueError(f"cube_type must be 2 or 3, not {cube_type!r}")
        if scramble not in SCRAMBLES:
            raise ValueError(f"scramble must be one of {', '.join(SCRAMBLES)}, not {scramble!r}")
        if isinstance(scramble_depth, (tuple, list)):
            low, high = map(operator.index, scramble_depth)
        else:
            low = high = operator.index(scramble_depth)
        if not 0 <= low <= high:
            raise ValueError(f"scramble_depth must be n >= 0 or (low, high) with 0 <= low <= high, "
                             f"not {scramble_depth!r}")
        if max_episode_steps is not None and max_episode_steps < 1:
            raise ValueError(f"max_episode_steps must be None or at least 1, not {max_episode_steps!r}")
        if render_mode not in (None, "ansi"):
            raise ValueError(f"render_mode must be None or 'ansi', not {render_mode!r}")
        self.cube_type: Literal[2, 3] = cube_type
        self.observation = make_observation(observation, cube_type, one_hot_dtype)
        self.scramble = scramble
        self.depths = (low, high)
        self.move_reward = float(move_reward)
        self.max_episode_steps = max_episode_steps

    def draw(self, batch: turnsmith.CubeBatch, rows: Any, count: int, rng: np.random.Generator) -> None:
        """Redraws the selected rows of `batch` (`count` of them) from `rng`
        alone, so a seeded run does not depend on the library's workers."""
        seed = int(rng.integers(0, 2**64, dtype=np.uint64))
        if self.scramble == "uniform":
            batch.randomize(seed=seed, rows=rows)
            return
        lengths = rng.integers(self.depths[0], self.depths[1] + 1, size=count, dtype=np.int64)
        batch.scramble_with_moves(lengths, seed=seed, avoid_inverse=self.scramble == "avoid_inverse",
                                  canonical=self.scramble == "canonical", rows=rows)


class CubeEnv(gym.Env[np.ndarray, np.int64]):
    """One cube; an action is a move index (0 U, 1 U', 2 D, ... 11 B')."""

    metadata = {"render_modes": ["ansi"], "render_fps": 10}

    def __init__(self, cube_type: Literal[2, 3] = 3, observation: str = "stickers", one_hot_dtype: Any = "float32",
                 scramble: str = "canonical", scramble_depth: Depth = (1, 20),
                 move_reward: float = -1.0, max_episode_steps: int | None = None,
                 render_mode: str | None = None) -> None:
        self.options = Options(cube_type, observation, one_hot_dtype, scramble, scramble_depth, move_reward,
                               max_episode_steps, render_mode)
        self.render_mode = render_mode
        self.observation_space = self.options.observation.space
        self.action_space = spaces.Discrete(MOVES)
        self.cube = CUBE_CLASSES[cube_type]()
        self.steps = 0
        # Bound once: a step is a handful of calls.
        self._observe = self.options.observation.of_cube
        self._reward = self.options.move_reward
        self._limit = max_episode_steps or 0

    def reset(self, *, seed: int | None = None,
              options: dict[str, Any] | None = None) -> tuple[np.ndarray, dict[str, Any]]:
        super().reset(seed=seed)
        # A batch of one draws the state, so that a cube starts as the same
        # row of a vector environment would.
        batch = turnsmith.CubeBatch(1, self.options.cube_type)
        self.options.draw(batch, slice(None), 1, self.np_random)
        self.cube = batch[0]
        self.steps = 0
        return self._observe(self.cube), {}

    def step(self, action: Any) -> tuple[np.ndarray, float, bool, bool, dict[str, Any]]:
        self.cube.apply_move_index(action)
        self.steps += 1
        return (self._observe(self.cube), self._reward, self.cube.is_solved(),
                self.steps == self._limit, {})

    def render(self) -> str | None:
        return str(self.cube) if self.render_mode == "ansi" else None


class CubeVectorEnv(VectorEnv[np.ndarray, np.ndarray, np.ndarray]):
    """`num_envs` cubes in one `CubeBatch`; every step turns, checks and reads
    them all with one library call each, and redraws only the cubes whose
    episode ended (on the next step, or the same one: `autoreset_mode`)."""

    metadata = {"render_modes": ["ansi"], "render_fps": 10, "autoreset_mode": AutoresetMode.NEXT_STEP}

    def __init__(self, num_envs: int = 1, cube_type: Literal[2, 3] = 3, observation: str = "stickers",
                 one_hot_dtype: Any = "float32", scramble: str = "canonical",
                 scramble_depth: Depth = (1, 20), move_reward: float = -1.0,
                 max_episode_steps: int | None = None, render_mode: str | None = None,
                 autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP) -> None:
        self.options = Options(cube_type, observation, one_hot_dtype, scramble, scramble_depth, move_reward,
                               max_episode_steps, render_mode)
        mode = AutoresetMode(autoreset_mode)
        if mode == AutoresetMode.DISABLED:
            raise ValueError("autoreset_mode must be NEXT_STEP or SAME_STEP")
        self.metadata = {**self.metadata, "autoreset_mode": mode}
        self.num_envs = num_envs
        self.render_mode = render_mode
        self.single_observation_space = self.options.observation.space
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.single_action_space = spaces.Discrete(MOVES)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self.batch = turnsmith.CubeBatch(num_envs, self.options.cube_type)
        self.steps = np.zeros(num_envs, np.int64)
        self.ended = np.zeros(num_envs, bool)
        self._observe = self.options.observation.of_batch

    def reset(self, *, seed: int | None = None,
              options: dict[str, Any] | None = None) -> tuple[np.ndarray, dict[str, Any]]:
        super().reset(seed=seed)
        self.options.draw(self.batch, slice(None), self.num_envs, self.np_random)
        self.steps[:] = 0
        self.ended[:] = False
        return self._observe(self.batch), {}

    def step(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        if self.metadata["autoreset_mode"] == AutoresetMode.SAME_STEP:
            return self._step_same(actions)
        ended = self.ended
        restart = ended.any()
        moves = np.where(ended, -1, actions) if restart else actions
        self.batch.apply_moves(moves)
        if restart:
            self._redraw(ended)
        self.steps += 1
        terminated, truncated = self._ends()
        rewards = np.full(self.num_envs, self.options.move_reward, np.float32)
        if restart:
            # A restarted cube's step is its reset: no move, no reward, no end.
            self.steps[ended] = 0
            rewards[ended] = 0
            terminated[ended] = truncated[ended] = False
        self.ended = terminated | truncated
        return self._observe(self.batch), rewards, terminated, truncated, {}

    def _step_same(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        self.batch.apply_moves(actions)
        self.steps += 1
        terminated, truncated = self._ends()
        rewards = np.full(self.num_envs, self.options.move_reward, np.float32)
        observations = self._observe(self.batch)
        ended = terminated | truncated
        infos: dict[str, Any] = {}
        if ended.any():
            # Gymnasium's convention: an object array holding a final
            # observation where the mask is set, None elsewhere.
            final = np.full(self.num_envs, None, object)
            for i in np.flatnonzero(ended):
                final[i] = observations[i]
            infos = {"final_obs": final, "_final_obs": ended, "final_info": {}, "_final_info": ended}
            self._redraw(ended)
            self.steps[ended] = 0
            observations = self._observe(self.batch)
        return observations, rewards, terminated, truncated, infos

    def _ends(self) -> tuple[np.ndarray, np.ndarray]:
        limit = self.options.max_episode_steps
        truncated = self.steps >= limit if limit else np.zeros(self.num_envs, bool)
        return self.batch.is_solved(), truncated

    def _redraw(self, rows: np.ndarray) -> None:
        self.options.draw(self.batch, rows, int(np.count_nonzero(rows)), self.np_random)

    def render(self) -> tuple[str, ...] | None:
        if self.render_mode != "ansi":
            return None
        return tuple(str(cube) for cube in self.batch)
