#!/usr/bin/env bash
# Runs the benchmark with the interpreter that the demo uses (set up and built
# first when needed). Arguments go to bench.py: --quick for a smoke run. A
# first argument "states", "bfs", "exact", "call", "solve", "distances",
# "sets", "one_hot", "canonical", "scramble_lengths" or "gym_env" runs bench/NAME.py instead,
# with the arguments after it (they take --quick too).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
python=$(best_env_python gym)
script=bench
case "${1:-}" in
  states | bfs | exact | call | solve | distances | sets | one_hot | canonical | scramble_lengths | gym_env) script=$1; shift ;;
esac
exec "$python" "$repo/bench/$script.py" "$@"
