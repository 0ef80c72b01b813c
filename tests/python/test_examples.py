"""The scripts under examples/, run at small sizes: what they print must hold
up against single cubes and against a breadth-first search in plain Python."""

import collections
import importlib.util
import json
import pathlib
import re
import subprocess
import sys

import pytest

import turnsmith
from cubehelpers import MOVE_METHODS, require_dask, require_gymnasium

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
    ("rl_value_iteration", ["--depth", "2", "--cubes", "100", "--resets", "2"], "explored "),
])
def test_examples_run_as_commands(name, args, first_line):
    if name == "rl_value_iteration":
        require_gymnasium()
    done = subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(first_line)


def test_rl_value_iteration_solves_every_cube_in_its_distance(capsys):
    require_gymnasium()
    code, out = run_main("rl_value_iteration", ["--depth", "4", "--cubes", "1000", "--resets", "30"], capsys)
    assert code == 0, out
    explored = int(re.search(r"^explored ([\d,]+) states", out, re.M).group(1).replace(",", ""))
    solved, cubes, optimal = (int(n.replace(",", "")) for n in
                              re.search(r"solved ([\d,]+) of ([\d,]+), ([\d,]+) in as few", out).groups())
    # Within four quarter turns of solved lie 1 + 12 + 114 + 1068 + 10011
    # 3x3 positions, and no more 2x2 ones.
    assert 100 < explored <= sum(COUNTS_3X3)
    assert solved == cubes == 1000
    assert optimal >= 0.95 * cubes


# ---- evaluate.py -------------------------------------------------------------------

NEAR_DEPTH = 5
HAND_MADE = 60
NOTATION = ("U", "U'", "D", "D'", "R", "R'", "L", "L'", "F", "F'", "B", "B'")


@pytest.fixture(scope="module")
def near_distances():
    """The distance of every 3x3 state within NEAR_DEPTH quarter turns of
    solved, by its words: a breadth-first search over batches."""
    import numpy as np

    solved = turnsmith.Cube3x3().to_words()
    distance = {solved: 0}
    frontier = np.array([solved], dtype=np.uint64)
    for depth in range(1, NEAR_DEPTH + 1):
        fresh = []
        for words in map(tuple, turnsmith.CubeBatch.from_words(frontier, 3).get_next_batch().to_words().tolist()):
            if words not in distance:
                distance[words] = depth
                fresh.append(words)
        frontier = np.array(fresh, dtype=np.uint64)
    counts = collections.Counter(distance.values())
    assert [counts[d] for d in range(NEAR_DEPTH + 1)] == [*COUNTS_3X3, 93840]
    return distance


def turned(words, moves):
    cube = turnsmith.Cube3x3.from_words(*words)
    for move in moves:
        getattr(cube, MOVE_METHODS[move])()
    return cube


def optimal_answer(words, distance):
    """Moves down the breadth-first levels, one level a move."""
    moves = []
    while distance[words]:
        move = next(m for m in range(12) if distance.get(turned(words, [m]).to_words()) == distance[words] - 1)
        moves.append(move)
        words = turned(words, [move]).to_words()
    return moves


def hand_made_answers(scrambles, states, distance):
    """Answers of five kinds, by the cube's position: the scramble undone, an
    optimal one, an optimal one after the detour R R', the scramble undone
    but its last move turned the other way (leaves a half turn), none."""
    answers = []
    for i, (scramble, words) in enumerate(zip(scrambles, states)):
        undo = [m ^ 1 for m in reversed([m for m in scramble if m >= 0])]
        optimal = optimal_answer(words, distance)
        answers.append([undo, optimal, [4, 5, *optimal], [*undo[:-1], undo[-1] ^ 1], []][i % 5])
    return answers


def as_text(answers):
    """Move strings with the other notations do_moves reads: a repeated turn
    as a half turn ("R2"), every third prime as "!"."""
    lines = []
    for row in answers:
        tokens, k = [], 0
        while k < len(row):
            if k + 1 < len(row) and row[k] == row[k + 1]:
                tokens.append(NOTATION[row[k]][0] + "2")
                k += 2
            else:
                tokens.append(NOTATION[row[k]])
                k += 1
        lines.append(" ".join(t.replace("'", "!") if i % 3 == 0 else t for i, t in enumerate(tokens)))
    return "\n".join(lines) + "\n"


def as_rows(np, answers):
    """-1 padded rows; every other row also holds moves after its first -1,
    which end no answer."""
    rows = np.full((len(answers), max(map(len, answers)) + 3), -1, np.int8)
    for i, row in enumerate(answers):
        rows[i, :len(row)] = row
        if i % 2:
            rows[i, len(row) + 1:len(row) + 3] = [8, 10]
    return rows


def expected_figures(states, answers, distance):
    """The figures from single cubes turned by their answers and the
    breadth-first distances."""
    solved = [turned(words, row).is_solved() for words, row in zip(states, answers)]
    lengths = [len(row) for row, ok in zip(answers, solved) if ok]
    gaps = [len(row) - distance[words] for words, row, ok in zip(states, answers, solved) if ok]
    optimal = gaps.count(0)
    return {
        "cube_type": 3, "cubes": len(states), "solved": sum(solved), "solve_rate": sum(solved) / len(states),
        "mean_length": sum(lengths) / len(lengths), "optimal": optimal, "optimal_share": optimal / len(states),
        "optimal_share_of_solved": optimal / sum(solved), "mean_gap": sum(gaps) / len(gaps),
        "gaps": {str(g): gaps.count(g) for g in sorted(set(gaps))},
    }


@pytest.mark.parametrize("state_form, answer_form", [("words", "npy"), ("stickers", "txt"), ("stickers", "npy")])
def test_evaluate_scores_hand_made_answers(np, capsys, tmp_path, near_distances, state_form, answer_form):
    batch = turnsmith.CubeBatch(HAND_MADE, 3)
    lengths = np.random.default_rng(4).integers(1, NEAR_DEPTH + 1, HAND_MADE)
    scrambles = batch.scramble_with_moves(lengths, seed=9, avoid_inverse=True).tolist()
    states = list(map(tuple, batch.to_words().tolist()))
    answers = hand_made_answers(scrambles, states, near_distances)
    np.save(tmp_path / "states.npy", batch.to_words() if state_form == "words" else batch.to_sticker_bytes())
    if answer_form == "txt":
        (tmp_path / "answers.txt").write_text(as_text(answers))
    else:
        np.save(tmp_path / "answers.npy", as_rows(np, answers))
    code, out = run_main("evaluate", [str(tmp_path / "states.npy"), str(tmp_path / f"answers.{answer_form}"),
                                      "--json", "--details", str(tmp_path / "details.npz")], capsys)
    assert code == 0
    figures = json.loads(out)
    expected = expected_figures(states, answers, near_distances)
    assert figures.pop("gaps") == expected.pop("gaps")
    assert {name: figures[name] for name in expected} == pytest.approx(expected)
    assert figures["optimal"] < figures["solved"] < HAND_MADE  # every kind of answer turned up
    # The bound settles some, and every solved answer longer than its
    # distance went to the search.
    assert figures["proved_by_bound"] > 0
    assert figures["proved_by_bound"] + figures["searched"] == figures["solved"]
    assert figures["searched"] >= figures["solved"] - figures["optimal"]
    details = np.load(tmp_path / "details.npz")
    solved = details["solved"]
    assert solved.tolist() == [turned(w, row).is_solved() for w, row in zip(states, answers)]
    assert details["distances"][solved].tolist() == [near_distances[w] for w, ok in zip(states, solved) if ok]
    assert (details["distances"][~solved] == 255).all()
    assert details["lengths"].tolist() == list(map(len, answers))


@pytest.mark.parametrize("answers, message", [
    ("U R\nU R3\n", "line 2: 'R3' is not a move"),
    ("npy:12", "row 1, column 0 holds 12"),
    ("U\n", "1 answers in"),
])
def test_evaluate_refuses_answers_it_cannot_score(np, capsys, tmp_path, answers, message):
    batch = turnsmith.CubeBatch(2, 3)
    np.save(tmp_path / "states.npy", batch.to_words())
    if answers.startswith("npy:"):
        path = tmp_path / "answers.npy"
        np.save(path, np.array([[0, 1], [int(answers[4:]), -1]], np.int64))
    else:
        path = tmp_path / "answers.txt"
        path.write_text(answers)
    with pytest.raises(SystemExit) as raised:
        load("evaluate").main([str(tmp_path / "states.npy"), str(path)])
    assert raised.value.code == 2
    assert message in capsys.readouterr().err


def test_evaluate_score_refuses_rows_that_do_not_match(np):
    # apply_move_sequences would turn only the cubes that have a row.
    with pytest.raises(ValueError, match="1 answers for 2 states"):
        load("evaluate").score(turnsmith.CubeBatch(2, 3), np.zeros((1, 1), np.int8))


def test_evaluate_demo_runs_out_of_the_box(np, capsys, tmp_path):
    states = 200
    code, out = run_main("evaluate", ["--make-demo", str(tmp_path / "a"), "--demo-states", str(states),
                                      "--json"], capsys)
    assert code == 0
    figures = json.loads(out)
    # Two-phase answers solve their cubes; the tenth cut one move short do not.
    assert figures["solved"] == states - states // 10
    assert 0 < figures["optimal"] < figures["solved"] and figures["searched"] > 0
    assert all(int(gap) % 2 == 0 for gap in figures["gaps"])
    # The text answers are the same moves, and a seed makes the same set.
    assert json.loads(run_main("evaluate", [str(tmp_path / "a" / "states.npy"), str(tmp_path / "a" / "solutions.txt"),
                                            "--json"], capsys)[1]) == figures
    run_main("evaluate", ["--make-demo", str(tmp_path / "b"), "--demo-states", str(states)], capsys)
    for name in ("states.npy", "solutions.npy", "solutions.txt"):
        assert (tmp_path / "a" / name).read_bytes() == (tmp_path / "b" / name).read_bytes(), name


@pytest.fixture
def evaluate_cluster(request):
    """The address of a two-worker cluster started here, before the examples
    are on any path (so the workers have evaluate.py only if it is sent),
    or None for the example's own LocalCluster."""
    require_dask()
    if request.param == "own":
        yield None
        return
    from distributed import LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        yield cluster.scheduler_address


@pytest.mark.parametrize("evaluate_cluster", ["own", "given"], indirect=True)
def test_evaluate_on_dask_matches_local(np, capsys, tmp_path, evaluate_cluster):
    # Six chunks of 25, the last one short. The first chunk's cubes lie 14
    # quarter turns deep and take the longest to search, so on two workers
    # the chunks come back out of order.
    lengths = np.r_[np.full(25, 14), np.random.default_rng(5).integers(1, 11, 105)]
    batch = turnsmith.CubeBatch(len(lengths), 3)
    batch.scramble_with_moves(lengths, seed=6, avoid_inverse=True)
    answers = batch.solutions(max_length=18)
    answers[::7, 0] = 0  # some answers wrong from the first move on
    np.save(tmp_path / "states.npy", batch.to_words())
    np.save(tmp_path / "answers.npy", answers)
    files = [str(tmp_path / "states.npy"), str(tmp_path / "answers.npy"), "--json"]
    code, local = run_main("evaluate", [*files, "--details", str(tmp_path / "local.npz")], capsys)
    assert code == 0
    cluster = ["--scheduler", evaluate_cluster] if evaluate_cluster else ["--workers", "2"]
    done = subprocess.run([sys.executable, str(EXAMPLES / "evaluate.py"), *files, *cluster, "--chunk-size", "25",
                           "--details", str(tmp_path / "dask.npz")],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == json.loads(local)
    local_details, dask_details = np.load(tmp_path / "local.npz"), np.load(tmp_path / "dask.npz")
    assert sorted(dask_details) == sorted(local_details)
    for name in local_details:
        np.testing.assert_array_equal(dask_details[name], local_details[name], err_msg=name)
    searched = local_details["searched"]
    assert searched[:25].any() and searched[25:].any()
