#!/usr/bin/env bash
# Incremental development build: compiles the extension modules straight into
# src/vorlex, so that PYTHONPATH=src (or a .pth file) imports the source tree.
#   tools/devbuild.sh                 all modules
#   tools/devbuild.sh utils cache     only these targets (dotted names with _: contract_checker)
# VORLEX_BUILD_DIR picks the build folder (default build/dev); PYTHON the interpreter.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}
bdir=${VORLEX_BUILD_DIR:-$here/build/dev}
pybind_dir=$("$py" -c 'import pybind11; print(pybind11.get_cmake_dir())')
if [ ! -f "$bdir/build.ninja" ]; then
  cmake -S "$here" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORLEX_INPLACE=ON \
    -DPython_EXECUTABLE="$("$py" -c 'import sys; print(sys.executable)')" \
    -Dpybind11_DIR="$pybind_dir" >/dev/null
fi
if [ $# -eq 0 ]; then
  cmake --build "$bdir" -j "${JOBS:-$(nproc)}"
else
  cmake --build "$bdir" -j "${JOBS:-$(nproc)}" --target "$@"
fi
