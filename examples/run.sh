#!/usr/bin/env bash
# Runs one example with the interpreter that the demo uses (set up and built
# first when needed): bash examples/run.sh NAME [ARGS...], NAME one of the
# scripts in this folder without ".py"; ARGS go to the script (--help lists them).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
name=${1:-}
if [[ -z "$name" || ! -f "$repo/examples/$name.py" ]]; then
  say "usage: bash examples/run.sh NAME [ARGS...], NAME one of:" \
    $(cd "$repo/examples" && ls *.py 2>/dev/null | sed 's/\.py$//')
  exit 2
fi
shift
python=$(best_env_python dask gym)
exec "$python" "$repo/examples/$name.py" "$@"
