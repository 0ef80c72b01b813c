"""Eight threads mixing every public call on shared objects for a bounded time.

The mix and its checks live in stress.py (also a script for longer runs);
TURNSMITH_STRESS_SECONDS sets the length of the run here.
"""

import os

import pytest

np = pytest.importorskip("numpy")

import turnsmith  # noqa: E402
from cubehelpers import fresh, words  # noqa: E402
from stress import (  # noqa: E402
    Ledger, Violation, World, all_ops, run_stress, successor_origin, world_problems,
)
from turnsmith import Cube2x2, Cube3x3, CubeBatch  # noqa: E402

SECONDS = float(os.environ.get("TURNSMITH_STRESS_SECONDS", "3"))
THREADS = 8


def test_the_mix_covers_every_public_call():
    kinds = {op.kind for op in all_ops(THREADS)}
    for cls in (Cube3x3, Cube2x2):
        public = {name for name in dir(cls) if not name.startswith("_")} | {"str"}
        assert {f"{cls.__name__}.{name}" for name in public} <= kinds
    batch_calls = {name for name in dir(CubeBatch) if not name.startswith("_")}
    batch_calls |= {"len()", "[i]", "[out of range]", "iter", "str"}
    for size in ("3x3", "2x2"):
        assert {f"CubeBatch[{size}].{name}" for name in batch_calls} <= kinds
        set_calls = {name for name in dir(turnsmith.StateSet) if not name.startswith("_")} - {"cube_type"}
        assert {f"CubeBatch[{size}].StateSet.{name}" for name in set_calls} <= kinds
    assert set(turnsmith.__all__) - {"Cube3x3", "Cube2x2", "CubeBatch"} == {
        "get_next_states", "inverse_scramble"}
    assert {"get_next_states(list[Cube3x3])", "get_next_states(list[Cube2x2])",
            "inverse_scramble"} <= kinds


def test_shared_objects_stay_consistent_under_many_threads():
    result = run_stress(SECONDS, THREADS, seed=7)
    print(result.summary())
    assert result.ok, result.summary() + "\n" + "\n".join(result.errors + result.violations)
    # Every call got through at least once, so none of them went unchecked.
    assert [kind for kind in result.kinds if result.succeeded(kind) < 1] == []


def test_the_after_checks_notice_a_turn_nobody_recorded():
    world = World()
    assert world_problems(world, Ledger(world)) == []
    cube = world.cubes[Cube2x2][1]
    batch = world.batches[Cube3x3][1]
    cube.do_f_move()
    batch.apply_move_indexes(np.array([12, 4], dtype=np.uint64))
    problems = world_problems(world, Ledger(world))
    assert len(problems) == 2
    assert problems[0].startswith("Cube2x2 1: corner parity")
    assert problems[1].startswith(f"CubeBatch[3x3] of {len(batch)}, cube 1: corner parity")

    recorded = Ledger(world)
    recorded.cube(cube, 1)
    recorded.batch(batch, [0, 1])
    assert world_problems(world, recorded) == []


def test_the_ledger_forgets_the_parity_of_a_randomized_batch_alone():
    world = World()
    batch = world.randomized[Cube2x2]
    batch.randomize(seed=1)
    worker = Ledger(world)
    assert any("corner parity" in p for p in world_problems(world, worker))
    worker.forget(batch)
    merged = Ledger(world)
    merged.merge(worker)
    assert world_problems(world, merged) == []
    world.batches[Cube2x2][1].apply_move_indexes(np.array([4], dtype=np.uint64))
    assert len(world_problems(world, merged)) == 1


def test_successor_rows_must_share_one_origin():
    rows = CubeBatch(2, 3)
    rows.apply_move_indexes(np.array([8], dtype=np.uint64))
    successors = rows.get_next_states()
    assert successor_origin(successors[:12]) == words(rows[0]) == words(fresh(Cube3x3, [8]))
    assert successor_origin(successors[12:]) == words(rows[1]) == words(Cube3x3())
    mixed = successors[:12].copy()
    mixed[5] = successors[17]       # same move, other cube
    with pytest.raises(Violation, match="2 different states"):
        successor_origin(mixed)
