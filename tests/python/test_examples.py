"""The scripts under examples/, run at small sizes: what they print must hold
up against single cubes and against a breadth-first search in plain Python."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

import turnsmith
from cubehelpers import MOVE_METHODS

pytest.importorskip("numpy")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
COUNTS_3X3 = [1, 12, 114, 1068, 10011]


def load(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_main(name, args, capsys):
    code = load(name).main(args)
    return code, capsys.readouterr().out


def table_counts(out):
    """The new-position column of bfs.py's table, by depth."""
    rows = [line.split() for line in out.splitlines()[1:]]
    assert [int(row[0]) for row in rows] == list(range(len(rows)))
    return [int(row[1].replace(",", "")) for row in rows]


def bfs_single_cubes(depth):
    """Level sizes to `depth` with single cubes and a set of words."""
    seen = {turnsmith.Cube3x3().to_words()}
    level, counts = list(seen), [1]
    for _ in range(depth):
        found = set()
        for words in level:
            for method in MOVE_METHODS:
                cube = turnsmith.Cube3x3.from_words(*words)
                getattr(cube, method)()
                found.add(cube.to_words())
        level = found - seen
        seen |= found
        counts.append(len(level))
    return counts


@pytest.mark.parametrize("length, seed", [(5, 3), (7, 0)])
def test_beam_search_solves_a_seeded_scramble(capsys, length, seed):
    code, out = run_main("beam_search", ["--scramble-length", str(length), "--seed", str(seed)], capsys)
    assert code == 0, out
    scramble = re.search(r"^scramble .*?: (.*)$", out, re.M).group(1)
    solution = re.search(r"^solution .*?: (.*)$", out, re.M).group(1)
    assert len(scramble.split()) == length
    cube = turnsmith.Cube3x3()
    cube.do_moves(scramble)
    assert not cube.is_solved()
    cube.do_moves(solution)
    assert cube.is_solved()
    # The same seed draws the same scramble.
    assert run_main("beam_search", ["--scramble-length", str(length), "--seed", str(seed)], capsys)[1] \
        .startswith(f"scramble ({length} moves, seed {seed}): {scramble}\n")


def test_beam_search_fails_when_the_depth_runs_out(capsys):
    code, out = run_main("beam_search", ["--scramble-length", "7", "--max-depth", "3"], capsys)
    assert code == 1
    assert "no solution within 3 moves" in out


def test_bfs_counts_match_single_cubes_and_known_counts(capsys):
    code, out = run_main("bfs", ["--depth", "4"], capsys)
    assert code == 0
    counts = table_counts(out)
    assert counts[:4] == bfs_single_cubes(3)
    assert counts == COUNTS_3X3


@pytest.mark.parametrize("name, args, first_line", [
    ("beam_search", ["--scramble-length", "4", "--seed", "1"], "scramble (4 moves, seed 1): "),
    ("bfs", ["--depth", "2"], "depth  new positions"),
])
def test_examples_run_as_commands(name, args, first_line):
    done = subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(first_line)
