#!/usr/bin/env bash
# Runs the thread tests and the stress test on a free-threaded interpreter
# built with ThreadSanitizer (python3.14t-tsan), with the module built the
# same way; any report fails the run. Reports from inside the interpreter
# itself are suppressed in tests/tsan/suppressions.txt, each with its reason.
#
#   bash scripts/tsan.sh                        # needs python3.14t-tsan on PATH
#   TURNSMITH_STRESS_SECONDS=60 bash scripts/tsan.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$repo"

tsan_python=${TSAN_PYTHON:-$(command -v python3.14t-tsan || true)}
[[ -n "$tsan_python" ]] || { say "no python3.14t-tsan found"; exit 1; }
read -r tag path <<<"$(probe_python "$tsan_python")"
[[ -n "${tag:-}" ]] || { say "$tsan_python cannot build modules"; exit 1; }
# The tests run here need no Dask: the test extra alone.
python=$(ensure_env "$tag-tsan" "$path" "-fsanitize=thread -g" test)

# halt_on_error: the first report ends the run with exit code 66.
# allocator_may_return_null: the tests of impossible sizes expect MemoryError.
# die_after_fork=0: the fork tests stay out (a child that starts threads is
# not supported), but the interpreter itself may fork in the background.
# Also left out: resident memory, which the sanitizer's shadow distorts, and a
# pool too large to allocate, since the sanitizer's operator new ends the
# process where the plain one throws.
export TSAN_OPTIONS="halt_on_error=1 allocator_may_return_null=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$repo/tests/tsan/suppressions.txt"
export TURNSMITH_STRESS_SECONDS=${TURNSMITH_STRESS_SECONDS:-20}
say "ThreadSanitizer: thread tests and a ${TURNSMITH_STRESS_SECONDS}s stress test on $tag ($path)"
start=$SECONDS
without_aslr "$python" -m pytest -q -p no:cacheprovider \
  tests/python/test_threads.py tests/python/test_stress.py tests/python/test_interpreter.py \
  -k "not fork and not memory_back and not pool_too_large"
say "ThreadSanitizer run passed in $((SECONDS - start)) s"
