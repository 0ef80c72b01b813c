#!/usr/bin/env bash
# Builds into dist/ a binary wheel for every supported interpreter found (the
# set-up's environments build them) and one source distribution. Each wheel is
# repaired by auditwheel to the manylinux tag that its symbol versions allow;
# twine checks every artifact, and each wheel's files are listed and checked.
# dist/ is emptied of turnsmith's artifacts first, so it holds this build's.
#
#   bash scripts/wheel.sh
#   PYTHON=/opt/python3.14t/bin/python3.14t bash scripts/wheel.sh   # one interpreter
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$repo"

mapfile -t pythons < <(find_pythons)
((${#pythons[@]})) || no_python_message
mkdir -p dist
rm -f dist/turnsmith-*

wheels=()
tools_python=
for line in "${pythons[@]}"; do
  read -r tag path <<<"$line"
  python=$(ensure_env "$tag" "$path")
  if [[ -z "$tools_python" ]]; then
    tools_python=$python
    ensure_release_tools "$tools_python"
  fi
  wheels+=("$(release_wheel "$tools_python" "$tag")")
  say "$(basename "${wheels[-1]}")"
done

say "building the source distribution"
sdist=$("$tools_python" - dist <<'PY'
import contextlib, sys
from scikit_build_core.build import build_sdist
with contextlib.redirect_stdout(sys.stderr):  # the backend's report
    name = build_sdist(sys.argv[1])
print(f"{sys.argv[1]}/{name}")
PY
)

"$tools_python" -m twine check --strict "${wheels[@]}" "$sdist"
"$tools_python" scripts/wheel_contents.py "${wheels[@]}"
