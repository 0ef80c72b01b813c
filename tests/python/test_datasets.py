"""The training-set examples on small sizes: examples/dataset.py's shards, and
the same shards made by examples/dataset_dask.py on a two-worker cluster."""
import importlib
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import turnsmith

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
# Three shards, the last one short; lengths 1..4, so every length turns up.
STATES, SHARD, MAX_LENGTH = 300, 128, 4
ARGS = ["--states", str(STATES), "--shard-size", str(SHARD), "--max-length", str(MAX_LENGTH)]
STICKERS = {3: 54, 2: 24}
FILES = ("states", "lengths", "last_moves")


@pytest.fixture
def dataset(np, monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    return importlib.import_module("dataset")


@pytest.fixture
def dask_ready():
    if importlib.util.find_spec("distributed") is None:
        # The test command installs the dask extra: without it there, the
        # set-up is broken, not the machine short of an optional package.
        if os.environ.get("CI") == "true":
            pytest.fail("distributed is not importable, though the test environment installs the dask extra")
        pytest.skip("needs the dask extra: pip install '.[dask]'")


@pytest.fixture
def scheduler(request, dask_ready):
    """The address of a two-worker cluster of processes started here, or None
    for the example's own LocalCluster."""
    if request.param == "own":
        yield None
        return
    from distributed import LocalCluster

    # Started before the examples folder is on sys.path: the workers have
    # dataset.py only if the example sends it.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        yield cluster.scheduler_address


def shard_files(out):
    return sorted(path.name for path in out.iterdir())


def read_shards(np, out):
    """Every shard's (states, lengths, last moves), in shard order."""
    count = len(list(out.glob("shard-*-states.npy")))
    return [tuple(np.load(out / f"shard-{i:05d}-{name}.npy") for name in FILES) for i in range(count)]


def check_shards(np, out, cube):
    shards = read_shards(np, out)
    assert [len(states) for states, _, _ in shards] == [SHARD, SHARD, STATES - 2 * SHARD]
    for shard in shards:
        states, lengths, last_moves = shard
        assert [a.dtype for a in shard] == [np.uint8] * 3
        assert states.shape == (len(states), STICKERS[cube])
        assert lengths.shape == last_moves.shape == (len(states),)
    states, lengths, last_moves = (np.concatenate(column) for column in zip(*shards))
    assert set(np.unique(lengths)) == set(range(1, MAX_LENGTH + 1))
    assert last_moves.max() <= 11
    # Every row is a reachable state (from_sticker_array checks that).
    turnsmith.CubeBatch.from_sticker_array(states, cube)
    # A scramble of one move is that move turned on the solved cube.
    one = lengths == 1
    turned = turnsmith.CubeBatch(int(one.sum()), cube)
    turned.apply_move_indexes(last_moves[one].astype(np.uint64))
    np.testing.assert_array_equal(turned.to_sticker_bytes(), states[one])
    # No move follows its own inverse, so no scramble of two moves is solved.
    solved = turnsmith.CubeBatch(1, cube).to_sticker_bytes()[0]
    assert not (states[lengths <= 2] == solved).all(axis=1).any()


@pytest.mark.parametrize("cube", [3, 2])
def test_shards(np, dataset, tmp_path, cube):
    assert dataset.main([*ARGS, "--cube", str(cube), "--seed", "5", "--out", str(tmp_path)]) == 0
    assert shard_files(tmp_path) == sorted(f"shard-{i:05d}-{name}.npy" for i in range(3) for name in FILES)
    check_shards(np, tmp_path, cube)


def test_seeded(np, dataset, tmp_path):
    runs = {name: tmp_path / name for name in ("first", "again", "other", "shorter")}
    for name, seed, states in [("first", 5, STATES), ("again", 5, STATES), ("other", 6, STATES),
                               ("shorter", 5, SHARD)]:
        dataset.main([*ARGS, "--states", str(states), "--seed", str(seed), "--out", str(runs[name])])
    first, again, other, shorter = (read_shards(np, out) for out in runs.values())
    for a, b in zip(first, again, strict=True):
        for x, y in zip(a, b):
            np.testing.assert_array_equal(x, y)
    assert not any(np.array_equal(a[0], b[0]) for a, b in zip(first, other))
    assert not np.array_equal(first[0][0], first[1][0])
    # A shard depends on its index, not on how many follow it.
    np.testing.assert_array_equal(shorter[0][0], first[0][0])


def test_refuses_earlier_shards(dataset, tmp_path):
    dataset.main([*ARGS, "--out", str(tmp_path)])
    with pytest.raises(SystemExit) as raised:
        dataset.main([*ARGS, "--states", "10", "--out", str(tmp_path)])
    assert raised.value.code == 2


@pytest.mark.parametrize("scheduler", ["own", "given"], indirect=True)
def test_dask_matches(np, scheduler, dataset, tmp_path):
    """Two worker processes, of the example's LocalCluster or of one given by
    --scheduler, write the bytes of dataset.py."""
    args = [*ARGS, "--cube", "2", "--seed", "11"]
    dataset.main([*args, "--out", str(tmp_path / "local")])
    cluster = ["--scheduler", scheduler] if scheduler else ["--workers", "2"]
    done = subprocess.run([sys.executable, str(EXAMPLES / "dataset_dask.py"), *args, *cluster,
                           "--out", str(tmp_path / "dask")],
                          cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"{STATES} states in 3 shards")
    check_shards(np, tmp_path / "dask", 2)
    names = shard_files(tmp_path / "local")
    assert shard_files(tmp_path / "dask") == names
    for name in names:
        assert (tmp_path / "dask" / name).read_bytes() == (tmp_path / "local" / name).read_bytes(), name
