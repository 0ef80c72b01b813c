#!/usr/bin/env bash
# Runs every test: the C++ core under GoogleTest (plain, with AddressSanitizer
# and UndefinedBehaviorSanitizer, and with ThreadSanitizer), then the Python
# tests on every supported interpreter this machine has.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$repo"

mapfile -t pythons < <(find_pythons)
((${#pythons[@]})) || no_python_message
best_python=$(ensure_env ${pythons[0]})
tools=$(dirname "$best_python")

if [[ ! -f /usr/include/gtest/gtest.h ]]; then
  say "installing Debian's libgtest-dev"
  apt-get install -y libgtest-dev >/dev/null 2>&1 || { apt-get update >/dev/null && apt-get install -y libgtest-dev >/dev/null; }
fi

run_cpp_tests() {
  local name=$1 flags=$2
  say "C++ tests: $name"
  "$tools/cmake" -S . -B "build/cpp-$name" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/ninja" \
    -DTURNSMITH_MODULE=OFF -DTURNSMITH_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" >/dev/null
  "$tools/cmake" --build "build/cpp-$name" >/dev/null
  # ThreadSanitizer cannot map its shadow memory with full address randomisation.
  setarch "$(uname -m)" -R "build/cpp-$name/turnsmith_cpp_tests" --gtest_brief=1
}
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 TSAN_OPTIONS=halt_on_error=1
run_cpp_tests plain ""
run_cpp_tests asan "-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
run_cpp_tests tsan "-fsanitize=thread"

ran=()
for line in "${pythons[@]}"; do
  read -r tag path <<<"$line"
  python=$(ensure_env "$tag" "$path")
  say "Python tests on $tag ($path)"
  "$python" -m pytest -q tests/python
  ran+=("$tag")
done
say "all tests passed; Python tests ran on: ${ran[*]}"
