#!/usr/bin/env bash
# The main job: set up the best interpreter found, build the module, and show it at work.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
python=$(best_env_python)
say "running the demo with $("$python" -c 'import sys; print(sys.version.split()[0], "free-threaded" if not sys._is_gil_enabled() else "with GIL")')"
exec "$python" "$repo/scripts/demo.py" "$@"
