"""The type stubs: installed beside the module, in step with it at run time,
and precise enough for mypy --strict on the examples and a typed usage file."""

import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import turnsmith
from cubehelpers import require_dask, require_gymnasium

REPO = Path(__file__).resolve().parents[2]
STUB = Path("turnsmith-stubs", "__init__.pyi")
EXAMPLES = sorted((REPO / "examples").glob("*.py"))
USAGE = REPO / "tests" / "typing" / "usage.py"
ALLOWLIST = REPO / "tests" / "typing" / "stubtest-allowlist.txt"


def run_tool(*args):
    """Runs a mypy tool with this interpreter, so that it checks the stubs and
    the module installed here; fails the test with the tool's report."""
    result = subprocess.run(
        [sys.executable, "-m", *args], cwd=REPO, capture_output=True, text=True, timeout=600
    )
    if result.returncode != 0:
        pytest.fail(f"{' '.join(args[:2])} failed:\n{result.stdout}{result.stderr}", pytrace=False)


def mypy_strict(*files):
    # The cache lives in the ignored build folder, one per environment, which
    # makes a rerun take seconds instead of parsing NumPy's stubs again.
    cache = REPO / "build" / "mypy-cache" / Path(sys.prefix).name
    run_tool("mypy", "--strict", "--cache-dir", str(cache), *map(str, files))


def test_installed_stubs_are_the_repositorys():
    installed = Path(turnsmith.__file__).parent / STUB
    assert installed.is_file(), f"{installed} is missing: the wheel does not ship the stubs"
    assert installed.read_text() == (REPO / STUB).read_text(), "stale stubs installed: rebuild the module"


def test_stubs_match_the_module(np):  # the stubs take their array types from NumPy
    lines = ALLOWLIST.read_text().splitlines()
    unexplained = [
        entry
        for before, entry in zip([""] + lines, lines)
        if entry and not entry.startswith("#") and not before.startswith("#")
    ]
    assert not unexplained, f"allowlist entries without a reason on the line above: {unexplained}"
    run_tool("mypy.stubtest", "turnsmith", "--allowlist", str(ALLOWLIST))


@pytest.mark.skipif(not EXAMPLES, reason="examples/ holds no .py files yet")
def test_examples_type_check(np):
    require_dask()  # mypy follows the examples' imports of distributed
    require_gymnasium()  # and of gymnasium
    mypy_strict(*EXAMPLES)


def test_typed_usage(np):
    mypy_strict(USAGE)
    runpy.run_path(str(USAGE))
