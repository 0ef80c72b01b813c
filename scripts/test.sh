#!/usr/bin/env bash
# Runs every test: the C++ core under GoogleTest (plain, with AddressSanitizer
# and UndefinedBehaviorSanitizer, and with ThreadSanitizer), the fuzzers of the
# move notation, the Python tests on every supported interpreter this machine
# has, each against that interpreter's wheel (built by scripts/wheel.sh) in a
# fresh environment without a compiler, the manual and its examples (docs/),
# and, where python3.14t-tsan exists, the thread tests under ThreadSanitizer.
# With CI=true, a run in which no free-threaded interpreter ran the Python
# tests fails.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$repo"

# The solver tables are built once per run, into a cache of the run's own that
# every interpreter's tests then map.
export TURNSMITH_CACHE_DIR=${TURNSMITH_CACHE_DIR:-$repo/build/table-cache}

mapfile -t pythons < <(find_pythons)
((${#pythons[@]})) || no_python_message
# The wheels are the set-up's build: the environments that build them hold
# the CMake and Ninja of the C++ tests.
bash scripts/wheel.sh
tools=$(dirname "$(ensure_env ${pythons[0]})")

[[ -f /usr/include/gtest/gtest.h ]] || install_debian_packages "GoogleTest, for the C++ tests" libgtest-dev

# run_cpp_tests NAME CXXFLAGS [LAUNCHER...]: builds the C++ tests with CXXFLAGS
# in build/cpp-NAME and runs them, through LAUNCHER when given.
run_cpp_tests() {
  local name=$1 flags=$2
  shift 2
  say "C++ tests: $name"
  "$tools/cmake" -S . -B "build/cpp-$name" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/ninja" \
    -DTURNSMITH_MODULE=OFF -DTURNSMITH_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" >/dev/null
  "$tools/cmake" --build "build/cpp-$name" >/dev/null
  "$@" "build/cpp-$name/turnsmith_cpp_tests" --gtest_brief=1
}
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 TSAN_OPTIONS=halt_on_error=1
run_cpp_tests plain ""
# The sanitizer builds leave out the solvers' full-size tables (minutes there);
# their code paths run on the small cases.
export TURNSMITH_SKIP_FULL_TABLES=1
run_cpp_tests asan "-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
run_cpp_tests tsan "-fsanitize=thread" without_aslr
unset TURNSMITH_SKIP_FULL_TABLES

say "fuzzing the move notation"
bash scripts/fuzz.sh

# wheel_test_env TAG PYTHON: prints the python of a fresh environment in
# build/wheel-test/TAG that holds the test requirements and turnsmith from its
# wheel in dist/, installed where PATH holds no compiler: a wheel that tried
# to build anything fails to install.
wheel_test_env() {
  local venv="$repo/build/wheel-test/$1"
  "$2" -m venv --clear "$venv" >&2
  install_requirements "$venv" .requirements "$(requirements_of "$venv/bin/python" test typecheck dask gym)"
  env -u CC -u CXX PATH="$venv/bin" "$venv/bin/python" -m pip install --quiet --no-deps --no-index \
    --only-binary=:all: --find-links "$repo/dist" turnsmith >&2
  echo "$venv/bin/python"
}

ran=()
for line in "${pythons[@]}"; do
  read -r tag path <<<"$line"
  python=$(wheel_test_env "$tag" "$path")
  say "Python tests on $tag ($path), against its wheel"
  # -P keeps the checkout off sys.path: the tests import what the wheel installed.
  env -u CC -u CXX PATH="$(dirname "$python")" "$python" -P -m pytest -q tests/python
  ran+=("$tag")
done

free_threaded_ran=false
for tag in "${ran[@]}"; do [[ "$tag" == *t ]] && free_threaded_ran=true; done
if [[ "${CI:-}" == true && "$free_threaded_ran" == false ]]; then
  say "CI: no free-threaded interpreter ran the Python tests (ran on: ${ran[*]})."
  say "Install python3.14t (../shared/toolchain/install-python3.14t) or set PYTHON."
  exit 1
fi

say "the manual, and the examples on its pages"
bash scripts/docs.sh

if command -v python3.14t-tsan >/dev/null; then
  bash scripts/tsan.sh
  ran+=("cp314t-tsan")
else
  say "no python3.14t-tsan: the ThreadSanitizer run of the thread tests is left out"
fi
say "all tests passed; Python tests ran on: ${ran[*]}"
