"""The on-disk cache of solver tables as Python sees it: its warnings, issued
on the calling thread, through a small test table kind that takes the same
load, build and check paths as the real ones (each kind of damage and the
builders' lock are tested in C++), and the real tables' files."""

import os
import subprocess
import sys
import textwrap
import warnings

import pytest

import turnsmith

SIZE = 1 << 16


def load(size=SIZE):
    """The test table's report and the RuntimeWarnings the call issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        report = turnsmith._cache_test_table(size)
    return report, [str(w.message) for w in caught if w.category is RuntimeWarning]


@pytest.fixture
def cache(tmp_path, monkeypatch):
    monkeypatch.setenv("TURNSMITH_CACHE_DIR", str(tmp_path / "cache"))
    return tmp_path / "cache"


def test_built_once_then_mapped(cache):
    first, warned = load()
    assert first["built"] and first["intact"] and not warned
    assert first["path"] is not None and os.path.dirname(first["path"]) == str(cache)
    assert turnsmith.table_cache_dir() == str(cache)
    again, warned = load()
    assert not again["built"] and again["intact"] and again["path"] == first["path"] and not warned


def truncate(path):
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) - 100)


def flip_last_byte(path):
    with open(path, "r+b") as f:
        f.seek(-1, os.SEEK_END)
        byte = f.read(1)
        f.seek(-1, os.SEEK_END)
        f.write(bytes([byte[0] ^ 0x40]))


@pytest.mark.parametrize("damage", [truncate, flip_last_byte],
                         ids=lambda damage: damage.__name__)
def test_a_damaged_file_is_rebuilt_with_a_warning(cache, damage):
    path = load()[0]["path"]
    damage(path)
    report, warned = load()
    assert report["built"] and report["intact"]
    assert len(warned) == 1 and path in warned[0]
    report, warned = load()
    assert not report["built"] and report["intact"] and not warned


def test_an_unusable_directory_means_memory_and_one_warning(tmp_path, monkeypatch):
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    monkeypatch.setenv("TURNSMITH_CACHE_DIR", str(blocker / "cache"))
    report, warned = load()
    assert report["intact"] and report["path"] is None
    assert len(warned) == 1 and str(blocker) in warned[0]


def test_the_cache_can_be_turned_off(tmp_path, monkeypatch):
    monkeypatch.setenv("TURNSMITH_CACHE_DIR", "")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    assert turnsmith.table_cache_dir() is None
    report, warned = load()
    assert report["intact"] and report["path"] is None and not warned
    assert list(tmp_path.iterdir()) == []


def run(script, cache, **env):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          env={**os.environ, "TURNSMITH_CACHE_DIR": str(cache), **env}, timeout=300)
    assert done.returncode == 0, done.stderr
    return done


def test_a_full_disk_means_memory_and_one_warning(cache):
    done = run(f"""
        import resource, warnings, turnsmith
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            report = turnsmith._cache_test_table({SIZE})
        assert report["intact"] and report["path"] is None, report
        assert len(caught) == 1 and caught[0].category is RuntimeWarning, caught
        print(caught[0].message)
    """, cache)
    assert str(cache) in done.stdout
    assert [p for p in cache.iterdir() if not p.name.endswith(".lock")] == []


# ---- the real tables -----------------------------------------------------------------

def test_the_3x3_tables_come_from_the_cache_in_a_new_process():
    """The tables of this run's cache (built by the first test that needed
    them), mapped by a fresh process, solve like this one's."""
    tables = turnsmith.prepare_tables(3)
    assert tables and all(t["bytes"] > 0 for t in tables)
    assert sum(t["bytes"] for t in tables) < 1 << 30
    cube = turnsmith.Cube3x3()
    cube.do_moves("R U F' L D B' R' U'")
    moves = cube.solve()
    if turnsmith.table_cache_dir() is None:
        pytest.skip("the cache is off")
    done = run(f"""
        import turnsmith
        seen = []
        tables = turnsmith.prepare_tables(3, progress=lambda done, total: seen.append((done, total)))
        assert not any(t["built"] for t in tables), tables
        total = sum(t["bytes"] for t in tables)
        assert seen[-1] == (total, total) and all(t == total for _, t in seen), seen
        cube = turnsmith.Cube3x3()
        cube.do_moves("R U F' L D B' R' U'")
        print(cube.solve())
    """, turnsmith.table_cache_dir())
    assert done.stdout.strip() == moves


@pytest.mark.parametrize("damage", [truncate, flip_last_byte], ids=lambda damage: damage.__name__)
def test_a_damaged_edge_table_is_rebuilt_and_searches_stay_exact(tmp_path, damage):
    np = pytest.importorskip("numpy")
    """The optimal search's own table files: a damaged one is reported once,
    built again, and the distances stay those of this process."""
    source = turnsmith.table_cache_dir()
    if source is None:
        pytest.skip("the cache is off")
    tables = turnsmith.prepare_tables(3, optimal=True)
    edges = [t for t in tables if t["name"].startswith("3x3-edges-")]
    assert len(edges) == 2 and all(t["path"] is not None for t in edges)
    damaged = edges[0]["path"]
    for name in os.listdir(source):  # the other files shared, the damaged one a copy
        if name.endswith(".tbl") and os.path.join(source, name) != damaged:
            os.symlink(os.path.join(source, name), tmp_path / name)
    copy = tmp_path / os.path.basename(damaged)
    with open(damaged, "rb") as f, open(copy, "wb") as out:
        out.write(f.read())
    damage(copy)
    batch = turnsmith.CubeBatch(20, 3)
    batch.scramble_with_moves(np.full(20, 9), seed=3, avoid_inverse=True)
    expected = batch.distances().tolist()
    done = run(f"""
        import warnings, numpy as np, turnsmith
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tables = turnsmith.prepare_tables(3, optimal=True)
        print(sorted(t["name"] for t in tables if t["built"] and t["path"]))
        print([str(w.message) for w in caught])
        batch = turnsmith.CubeBatch(20, 3)
        batch.scramble_with_moves(np.full(20, 9), seed=3, avoid_inverse=True)
        print(batch.distances().tolist())
    """, tmp_path)
    built, warned, distances = done.stdout.strip().splitlines()
    assert eval(built) == [edges[0]["name"]]
    assert len(eval(warned)) == 1 and str(copy) in warned
    assert eval(distances) == expected


def test_the_2x2_distance_table_is_built_once_then_mapped_by_other_processes(tmp_path):
    """The corners' distance table that lower_bounds and the 2x2's answers
    read: built into the cache by the first process, mapped by the next,
    built again when its file is damaged. A terminal's progress line shows
    no count before its total is known."""
    script = """
        import io, re, sys, turnsmith

        class Terminal(io.StringIO):
            def isatty(self):
                return True

        sys.stderr = terminal = Terminal()
        turnsmith.prepare_tables(2, progress=True)
        sys.stderr = sys.__stderr__
        totals = [int(total) for total in re.findall(r"\\d+/(\\d+) ", terminal.getvalue())]
        assert totals and 0 not in totals, terminal.getvalue()
        cube = turnsmith.Cube2x2()
        cube.do_moves("R U F' L")
        info = turnsmith._distance_table_info()
        print(cube.distance(), info["path"], info["built_here"], info["builds_started"])
    """
    cache = tmp_path / "cache"
    path = str(cache / "2x2-distances.tbl")
    assert run(script, cache).stdout.split() == ["4", path, "True", "1"]
    assert run(script, cache).stdout.split() == ["4", path, "False", "1"]
    flip_last_byte(path)
    assert run(script, cache).stdout.split() == ["4", path, "True", "1"]
