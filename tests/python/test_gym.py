"""turnsmith_gym: Gymnasium's checks, random rollouts replayed on plain cubes
turned by their named move methods, autoresets that touch only the cubes
whose episode ended, and seeded runs that do not depend on the workers."""

import warnings

import pytest

import turnsmith
from cubehelpers import MOVE_METHODS, require_gymnasium, run_script

require_gymnasium()
import gymnasium as gym  # noqa: E402
import numpy as np  # noqa: E402
from gymnasium.utils.env_checker import check_env  # noqa: E402
from gymnasium.vector import AutoresetMode  # noqa: E402

import turnsmith_gym  # noqa: E402

CLASSES = {2: turnsmith.Cube2x2, 3: turnsmith.Cube3x3}
OBSERVATIONS = [("stickers", None), ("one_hot", "float32"), ("one_hot", "float16"), ("one_hot", "uint8"),
                ("words", None)]


def observation_options(kind, dtype):
    return {"observation": kind, **({"one_hot_dtype": dtype} if dtype else {})}


def expected_observation(cube, kind):
    """What a cube should be seen as, from its sticker list and words."""
    if kind == "words":
        return np.array(cube.to_words(), np.uint64)
    stickers = np.array(cube.to_sticker_array())
    return stickers if kind == "stickers" else np.eye(6)[stickers].ravel()


def cube_from_observation(cube_type, row, kind):
    cls = CLASSES[cube_type]
    if kind == "words":
        return cls.from_words(*map(int, row))
    stickers = row if kind == "stickers" else np.asarray(row, np.float32).reshape(-1, 6).argmax(1)
    return cls.from_sticker_array([int(s) for s in stickers])


def turned(cube, move):
    getattr(cube, MOVE_METHODS[move])()
    return cube


@pytest.mark.parametrize("cube_type", [2, 3])
@pytest.mark.parametrize("kind, dtype", OBSERVATIONS)
def test_single_environment_passes_gymnasiums_checker(cube_type, kind, dtype):
    env = gym.make(f"turnsmith_gym:Cube{cube_type}x{cube_type}-v0", render_mode="ansi",
                   **observation_options(kind, dtype))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env.unwrapped)
    observation, _ = env.reset(seed=3)
    assert env.render() == str(cube_from_observation(cube_type, observation, kind))


@pytest.mark.parametrize("cube_type", [2, 3])
@pytest.mark.parametrize("kind, dtype", OBSERVATIONS)
def test_vector_environment_spaces_and_seeding(cube_type, kind, dtype):
    envs = gym.make_vec(f"turnsmith_gym:Cube{cube_type}x{cube_type}-v0", num_envs=5,
                        vectorization_mode="vector_entry_point", **observation_options(kind, dtype))
    assert isinstance(envs.unwrapped, turnsmith_gym.CubeVectorEnv)
    assert envs.unwrapped.options.max_episode_steps == turnsmith_gym.MAX_EPISODE_STEPS[cube_type]
    assert envs.action_space == gym.spaces.MultiDiscrete([12] * 5)
    assert envs.single_observation_space == gym.make(f"turnsmith_gym:Cube{cube_type}x{cube_type}-v0",
                                                     **observation_options(kind, dtype)).observation_space
    first, _ = envs.reset(seed=11)
    again, _ = envs.reset(seed=11)
    assert first in envs.observation_space
    np.testing.assert_array_equal(first, again)
    assert not np.array_equal(envs.reset(seed=12)[0], first)
    envs.action_space.seed(1)
    observations, rewards, terminated, truncated, _ = envs.step(envs.action_space.sample())
    assert observations in envs.observation_space
    assert rewards.shape == terminated.shape == truncated.shape == (5,)
    assert terminated.dtype == truncated.dtype == np.bool_


def test_replayed_single_rollout_matches_plain_cubes():
    """A random policy on the single environment, through gymnasium.make's
    wrappers, against a plain cube turned by its move methods."""
    env = gym.make("turnsmith_gym:Cube2x2-v0", scramble="moves", scramble_depth=1, max_episode_steps=6,
                   move_reward=-0.5, observation="words")
    rng = np.random.default_rng(2)
    ends = []
    observation, _ = env.reset(seed=2)
    for episode in range(100):
        if episode:
            observation, _ = env.reset()
        cube = cube_from_observation(2, observation, "words")
        for step in range(1, 7):
            move = int(rng.integers(12))
            observation, reward, terminated, truncated, _ = env.step(move)
            turned(cube, move)
            np.testing.assert_array_equal(observation, expected_observation(cube, "words"))
            assert (reward, terminated, truncated) == (-0.5, cube.is_solved(), step == 6)
            if terminated or truncated:
                ends.append(terminated)
                break
    assert True in ends and False in ends


@pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP])
@pytest.mark.parametrize("cube_type, kind, dtype", [(2, "stickers", None), (3, "one_hot", "float32"),
                                                    (2, "words", None)])
def test_replayed_vector_rollout_matches_plain_cubes(mode, cube_type, kind, dtype):
    """Every cube follows its own plain twin; a cube whose episode ended is
    redrawn (on the next step, or this one) and only such cubes are."""
    count, limit = 64, 5
    envs = turnsmith_gym.CubeVectorEnv(count, cube_type, scramble="moves", scramble_depth=(1, 2),
                                       max_episode_steps=limit, autoreset_mode=mode,
                                       **observation_options(kind, dtype))
    observations, _ = envs.reset(seed=5)
    twins = [cube_from_observation(cube_type, row, kind) for row in observations]
    steps, ended = np.zeros(count, int), np.zeros(count, bool)
    rng = np.random.default_rng(5)
    counts = {"solved": 0, "truncated": 0}
    for _ in range(30):
        moves = rng.integers(0, 12, count)
        observations, rewards, terminated, truncated, infos = envs.step(moves)
        for i, cube in enumerate(twins):
            if ended[i]:  # the reset step of next-step autoreset
                assert (rewards[i], terminated[i], truncated[i]) == (0, False, False)
                twins[i], steps[i] = cube_from_observation(cube_type, observations[i], kind), 0
                continue
            turned(cube, moves[i])
            steps[i] += 1
            assert (rewards[i], terminated[i], truncated[i]) == (-1, cube.is_solved(), steps[i] == limit)
            counts["solved"] += terminated[i]
            counts["truncated"] += truncated[i]
            finished = terminated[i] or truncated[i]
            seen = observations[i]
            if mode == AutoresetMode.SAME_STEP:
                assert infos.get("_final_obs", np.zeros(count, bool))[i] == finished
                if finished:
                    seen = infos["final_obs"][i]
                    twins[i], steps[i] = cube_from_observation(cube_type, observations[i], kind), 0
            np.testing.assert_array_equal(seen, expected_observation(cube, kind))
        ended = (terminated | truncated) if mode == AutoresetMode.NEXT_STEP else ended
    assert counts["solved"] and counts["truncated"]


@pytest.mark.parametrize("scramble, depth, expected", [
    ("canonical", 3, {3}),          # canonical scrambles this short are exactly as long as their distance
    ("canonical", (1, 3), {1, 2, 3}),
    ("avoid_inverse", 2, {2}),      # U U is two quarter turns; U U' never comes
    ("moves", 2, {0, 2}),
])
def test_reset_draws_by_the_named_rule(scramble, depth, expected):
    envs = turnsmith_gym.CubeVectorEnv(600, 2, scramble=scramble, scramble_depth=depth)
    envs.reset(seed=4)
    assert set(envs.batch.distances().tolist()) == expected


def test_uniform_reset_ignores_the_depth():
    envs = turnsmith_gym.CubeVectorEnv(600, 2, scramble="uniform", scramble_depth=1)
    envs.reset(seed=4)
    assert envs.batch.distances().max() >= 10


@pytest.mark.parametrize("mode", [None, AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP])
def test_episode_statistics_count_moves(mode):
    vector = mode is not None
    if vector:
        env = gym.wrappers.vector.RecordEpisodeStatistics(
            gym.make_vec("turnsmith_gym:Cube2x2-v0", num_envs=8, vectorization_mode="vector_entry_point",
                         max_episode_steps=4, scramble_depth=1, autoreset_mode=mode))
    else:
        env = gym.wrappers.RecordEpisodeStatistics(gym.make("turnsmith_gym:Cube2x2-v0", max_episode_steps=4,
                                                             scramble_depth=1))
    env.reset(seed=0)
    env.action_space.seed(0)
    lengths = []
    for _ in range(40):
        *_, terminated, truncated, infos = env.step(env.action_space.sample())
        if not vector and (terminated or truncated):
            env.reset()
        if "episode" in infos:
            episode = {key: np.atleast_1d(value) for key, value in infos["episode"].items()}
            done = infos["_episode"] if vector else slice(None)
            lengths += episode["l"][done].tolist()
            np.testing.assert_array_equal(episode["r"][done], -episode["l"][done])
    assert 1 in lengths and 4 in lengths and set(lengths) <= {1, 2, 3, 4}


SEEDED_SCRIPT = """
    import hashlib
    import numpy as np
    import turnsmith_gym
    digest = hashlib.sha256()
    for scramble in ("canonical", "uniform"):
        envs = turnsmith_gym.CubeVectorEnv(3000, 3, scramble=scramble, scramble_depth=(1, 2), max_episode_steps=3)
        digest.update(envs.reset(seed=9)[0].tobytes())
        rng = np.random.default_rng(9)
        for _ in range(8):
            digest.update(envs.step(rng.integers(0, 12, 3000))[0].tobytes())
    single = turnsmith_gym.CubeEnv(3, scramble="uniform")
    digest.update(single.reset(seed=9)[0].tobytes())
    print(digest.hexdigest())
"""


def test_seeded_runs_do_not_depend_on_the_workers():
    assert run_script(SEEDED_SCRIPT, RAYON_NUM_THREADS="1") == run_script(SEEDED_SCRIPT, RAYON_NUM_THREADS="3")


def test_single_environment_starts_as_a_vector_environments_first_cube():
    single = turnsmith_gym.CubeEnv(3, scramble_depth=(5, 9))
    envs = turnsmith_gym.CubeVectorEnv(4, 3, scramble_depth=(5, 9))
    np.testing.assert_array_equal(single.reset(seed=8)[0], envs.reset(seed=8)[0][0])


@pytest.mark.parametrize("options, message", [
    ({"cube_type": 4}, "cube_type must be 2 or 3"),
    ({"observation": "pixels"}, "observation must be one of"),
    ({"observation": "one_hot", "one_hot_dtype": "float64"}, "expected float32, float16 or uint8"),
    ({"scramble": "superflip"}, "scramble must be one of"),
    ({"scramble_depth": (5, 2)}, "scramble_depth must be"),
    ({"max_episode_steps": 0}, "max_episode_steps must be"),
    ({"render_mode": "human"}, "render_mode must be"),
])
def test_bad_options_are_refused(options, message):
    for cls in (turnsmith_gym.CubeEnv, turnsmith_gym.CubeVectorEnv):
        with pytest.raises(ValueError, match=message):
            cls(**options)
