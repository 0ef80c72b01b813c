#!/usr/bin/env bash
# Runs the benchmark with the interpreter that the demo uses (set up and built
# first when needed). Arguments go to bench.py: --quick for a smoke run.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
python=$(best_env_python)
exec "$python" "$repo/bench/bench.py" "$@"
