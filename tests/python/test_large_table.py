"""The optimal search's large table: looked for once per process, warned of
when missing or damaged, built only on request, and never changing an answer."""
import os
import subprocess
import sys
import textwrap

import pytest

import turnsmith

np = pytest.importorskip("numpy")


def run(script, **env):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          env={**os.environ, **env}, timeout=600)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip().splitlines()


SEARCHES = """
    import warnings, numpy as np, turnsmith
    batch = turnsmith.CubeBatch(12, 3)
    batch.scramble_with_moves(np.full(12, 9), seed=5, avoid_inverse=True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        first = batch[0].distance()
        distances = batch.distances().tolist()
        moves = batch.solutions(optimal=True).tolist()
    print([str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)])
    print(distances)
    print(moves)
"""


@pytest.fixture(scope="module")
def small_answers():
    return run(SEARCHES, TURNSMITH_LARGE_TABLE="")[1:]


def test_no_table_and_no_warning_when_asked_for_none(small_answers):
    warned, *answers = run(SEARCHES, TURNSMITH_LARGE_TABLE="")
    assert eval(warned) == [] and answers == small_answers


def test_a_missing_table_is_warned_of_once(tmp_path, small_answers):
    path = tmp_path / "large.tbl"
    warned, *answers = run(SEARCHES, TURNSMITH_LARGE_TABLE=str(path))
    assert len(eval(warned)) == 1 and str(path) in warned
    assert answers == small_answers
    assert list(tmp_path.iterdir()) == []  # a search never builds it


@pytest.mark.parametrize("contents", [b"", b"tsmtable" + bytes(4096)], ids=["empty", "header-only"])
def test_a_damaged_table_is_warned_of_and_not_used(tmp_path, small_answers, contents):
    path = tmp_path / "large.tbl"
    path.write_bytes(contents)
    warned, *answers = run(SEARCHES, TURNSMITH_LARGE_TABLE=str(path))
    assert len(eval(warned)) == 1 and str(path) in warned
    assert answers == small_answers
    assert path.read_bytes() == contents  # left for its owner to look at


def test_bounds_never_look_for_it(tmp_path):
    (warned,) = run("""
        import warnings, turnsmith
        batch = turnsmith.CubeBatch(8, 3)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            batch.lower_bounds()
        print(len(caught))
    """, TURNSMITH_LARGE_TABLE=str(tmp_path / "large.tbl"))
    assert warned == "0"


@pytest.mark.parametrize("kind", [True, "standard"])
@pytest.mark.parametrize("where", ["nowhere", "under a file"])
def test_a_build_with_no_place_to_go_raises_before_it_starts(tmp_path, where, kind):
    blocker = tmp_path / "file"
    blocker.write_bytes(b"x")
    path = "" if where == "nowhere" else str(blocker / "large.tbl")
    (raised,) = run(f"""
        import turnsmith
        try:
            turnsmith.prepare_tables(3, large={kind!r})
        except OSError as error:
            print(type(error).__name__)
    """, TURNSMITH_LARGE_TABLE=path)
    assert raised == "OSError"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]


def test_an_unknown_kind_is_refused_before_any_table():
    with pytest.raises(ValueError, match="'standard'"):
        turnsmith.prepare_tables(3, large="huge")


def test_the_search_reads_an_attached_table_and_answers_the_same(small_answers):
    """Zeros prune nothing: every read of the large table's entries happens,
    and the answers stay the small tables' own."""
    warned, *answers = run("import turnsmith; turnsmith._attach_zero_large_table()\n" + textwrap.dedent(SEARCHES),
                           TURNSMITH_LARGE_TABLE="/nonexistent/large.tbl")
    assert eval(warned) == []  # attached: nothing to look for
    assert answers == small_answers


LARGE = os.environ.get("TURNSMITH_TEST_LARGE_TABLE")


@pytest.mark.skipif(not LARGE, reason="TURNSMITH_TEST_LARGE_TABLE names no built large table")
def test_the_large_table_changes_no_answer(small_answers):
    prepare = """
        import turnsmith
        print([t["name"] for t in turnsmith.prepare_tables(3, optimal=True, large=True)])
    """
    report, warned, *answers = run(textwrap.dedent(prepare) + textwrap.dedent(SEARCHES),
                                   TURNSMITH_LARGE_TABLE=LARGE)
    assert "3x3-phase1-tetrads-70" in report and eval(warned) == []
    assert answers == small_answers
