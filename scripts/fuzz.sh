#!/usr/bin/env bash
# Fuzzes the move-string scanner, the scramble inverter and the state importers
# (words and sticker arrays) with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer. The harnesses check properties on every input,
# so a wrong result fails the run like a crash.
#
#   bash scripts/fuzz.sh                  # 30 seconds per harness
#   FUZZ_SECONDS=300 bash scripts/fuzz.sh
#
# Everything it makes lives under build/fuzz: the binaries, a working corpus
# per harness (seeded from tests/fuzz/corpus, which is never written to), the
# logs, and the input of any failure.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$repo"

harnesses=(fuzz_notation fuzz_inverse_scramble fuzz_states)
seconds=${FUZZ_SECONDS:-30}
out=build/fuzz
# clang 14 cannot compile libstdc++ 12's <source_location>, and Debian's plain
# clang package ships no fuzzer runtime: hence clang-16 by its full name.
cxx=clang++-16
cxx_packages=(clang-16 libclang-rt-16-dev)
cxxflags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
  -Wall -Wextra -I src)

have_fuzzer_toolchain() {
  command -v "$cxx" >/dev/null || return 1
  local runtime_dir
  runtime_dir=$("$cxx" -print-runtime-dir 2>/dev/null) || return 1
  [[ -f "$runtime_dir/libclang_rt.fuzzer-$(uname -m).a" ]]
}

install_fuzzer_toolchain() {
  install_debian_packages "$cxx with its libFuzzer runtime, for the fuzzers" "${cxx_packages[@]}" || exit 1
  have_fuzzer_toolchain || { say "$cxx still has no libFuzzer runtime"; exit 1; }
}

# The model the harnesses parse into: the two bottom layers.
core_sources() {
  find src/base src/cube -name '*.cpp' | LC_ALL=C sort
}

# Everything the harness binaries are made from, the compiler and flags included.
build_digest() {
  {
    "$cxx" --version | head -n 1
    printf '%s\n' "${cxxflags[*]}"
    find src/base src/cube tests/fuzz -maxdepth 1 -type f \
      \( -name '*.cpp' -o -name '*.hpp' \) | LC_ALL=C sort | xargs sha256sum
  } | sha256sum | cut -d' ' -f1
}

build_harness() {
  local harness=$1 digest=$2 binary="$out/$harness"
  if [[ -x "$binary" && "$(cat "$binary.digest" 2>/dev/null)" == "$digest" ]]; then
    return 0
  fi
  say "building $harness"
  local sources
  mapfile -t sources < <(core_sources)
  rm -f "$binary.digest"
  "$cxx" "${cxxflags[@]}" "tests/fuzz/$harness.cpp" "${sources[@]}" -o "$binary"
  echo "$digest" >"$binary.digest"
}

# Fuzzes one harness; prints "<runs> <seconds>" from libFuzzer's closing line.
# Called as a condition, where set -e is off, so every step checks itself.
run_harness() {
  local harness=$1
  local corpus="$out/corpus/$harness" artifacts="$out/artifacts/$harness" log="$out/$harness.log"
  mkdir -p "$corpus" "$artifacts" && cp "tests/fuzz/corpus/$harness"/* "$corpus"/ ||
    { say "cannot set up the corpus of $harness"; return 1; }
  say "fuzzing $harness for ${seconds}s"
  if ! "$out/$harness" "$corpus" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    say "$harness failed:"
    grep -E -m 3 '^property failed|runtime error:|^SUMMARY:' "$log" >&2 || true
    tail -n 4 "$log" >&2
    say "full log: $log"
    return 1
  fi
  local done_line
  done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n 1) ||
    { say "$harness: no closing line in $log"; return 1; }
  read -r _ runs _ _ elapsed _ <<<"$done_line"
  echo "$runs $elapsed"
}

[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { say "FUZZ_SECONDS must be a positive whole number"; exit 1; }
have_fuzzer_toolchain || install_fuzzer_toolchain
mkdir -p "$out"
digest=$(build_digest)
for harness in "${harnesses[@]}"; do build_harness "$harness" "$digest"; done

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
summary=()
failed=0
for harness in "${harnesses[@]}"; do
  if result=$(run_harness "$harness"); then
    read -r runs elapsed <<<"$result"
    summary+=("$harness: $runs executions in ${elapsed}s")
  else
    summary+=("$harness: FAILED")
    failed=1
  fi
done
for line in "${summary[@]}"; do say "$line"; done
exit "$failed"
