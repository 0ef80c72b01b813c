#!/usr/bin/env bash
# Builds the manual (docs/*.md) into docs/_build/html with every warning an
# error, then runs every example on its pages (Sphinx's doctest builder) and
# checks what each prints. Uses the demo's environment, with the docs extra.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$repo"

# The examples read the two-phase, 2x2 and edge tables: from the test run's
# cache when there is one, else built there once. They never need the large
# table, whose absence would only add a warning.
export TURNSMITH_CACHE_DIR=${TURNSMITH_CACHE_DIR:-$repo/build/table-cache}
export TURNSMITH_LARGE_TABLE=${TURNSMITH_LARGE_TABLE-}

python=$(best_env_python gym)
venv=$(dirname "$(dirname "$python")")
exec {lock}>"$venv.lock"
flock "$lock"
install_requirements "$venv" .docs-requirements "$(requirements_of "$python" docs)"
exec {lock}>&-

start=$SECONDS
say "docs: HTML into docs/_build/html"
"$python" -m sphinx -E -W --keep-going -q -b html docs docs/_build/html
say "docs: running the examples"
"$python" -m sphinx -E -W --keep-going -q -b doctest docs docs/_build/doctest
pages=$(sed -n 's/^ *\([0-9]*\) tests$/\1/p' docs/_build/doctest/output.txt)
say "docs: running the README's example"
front=$("$python" - <<'PY'
import contextlib, doctest, sys
flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
with contextlib.redirect_stdout(sys.stderr):  # a failure's report, not the count
    failed, attempted = doctest.testfile("README.md", module_relative=False, optionflags=flags)
print(attempted)
sys.exit(1 if failed else 0)
PY
)
say "docs: built, and $((pages + front)) examples run and checked ($pages on the pages, $front in README.md), in $((SECONDS - start)) s"
