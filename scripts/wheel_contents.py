"""Lists each wheel's files and checks that it holds exactly what it should:
the extension module, its stub-only package, the pure-Python turnsmith_gym
package when the checkout has one, and the dist-info with the license.

    python scripts/wheel_contents.py dist/turnsmith-*.whl
"""

import re
import sys
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
# A stub-only package for the top-level module turnsmith (PEP 561): named
# after it with "-stubs", its stubs in __init__.pyi. Complete stubs, so no
# py.typed saying "partial".
STUBS = {"turnsmith-stubs/__init__.pyi"}
DIST_INFO_FILES = {"METADATA", "WHEEL", "RECORD", "licenses/LICENSE"}


def pure_python_files() -> set[str]:
    """The files of turnsmith_gym as the checkout has them, none when it has
    no such package."""
    package = REPO / "turnsmith_gym"
    return {
        path.relative_to(REPO).as_posix()
        for path in package.rglob("*")
        if path.is_file() and "__pycache__" not in path.parts
    }


def problems(wheel: Path, names: list[str]) -> list[str]:
    """What is missing from the wheel or should not be in it."""
    match = re.fullmatch(r"turnsmith-([^-]+)-.*\.whl", wheel.name)
    if not match:
        return [f"{wheel.name} is not named as a turnsmith wheel"]
    dist_info = f"turnsmith-{match[1]}.dist-info/"
    expected = STUBS | pure_python_files() | {dist_info + name for name in DIST_INFO_FILES}
    modules = [name for name in names if re.fullmatch(r"turnsmith\.[\w.-]+\.so", name)]
    found = []
    if len(modules) != 1:
        found.append(f"{len(modules)} extension modules instead of 1: {modules}")
    found += [f"missing: {name}" for name in sorted(expected - set(names))]
    found += [f"unexpected: {name}" for name in sorted(set(names) - expected - set(modules))]
    license_text = (REPO / "LICENSE").read_bytes()
    if dist_info + "licenses/LICENSE" in names:
        with zipfile.ZipFile(wheel) as archive:
            if archive.read(dist_info + "licenses/LICENSE") != license_text:
                found.append("the license differs from LICENSE")
    return found


def main() -> int:
    failed = False
    for wheel in map(Path, sys.argv[1:]):
        with zipfile.ZipFile(wheel) as archive:
            # The folders' own entries say nothing about the contents.
            files = [info for info in archive.infolist() if not info.is_dir()]
        print(f"{wheel.name} ({wheel.stat().st_size / 1024:.0f} KiB):")
        for info in files:
            print(f"  {info.file_size:>10}  {info.filename}")
        for problem in problems(wheel, [info.filename for info in files]):
            print(f"  PROBLEM: {problem}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
