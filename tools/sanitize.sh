#!/usr/bin/env bash
# The test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build of the
# extension modules.
#   tools/sanitize.sh                    build, then run tests/
#   tools/sanitize.sh tests/br -x        build, then run pytest with these arguments
#   SANITIZE_BUILD_ONLY=1 tools/sanitize.sh
# The build lives in build/asan (VORLEX_BUILD_DIR): the modules go into a copy of the
# package in build/asan/pkg/vorlex, never into src/vorlex, so the development build
# there stays as it is. Reports (one file per process) land in build/asan/reports.
# SANITIZE_RECOVER=1 reports undefined behaviour and goes on instead of aborting.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
py=${PYTHON:-$here/.venv/bin/python}
bdir=${VORLEX_BUILD_DIR:-$here/build/asan}
case "$bdir" in /*) ;; *) bdir=$here/$bdir ;; esac
pkg=$bdir/pkg
reports=$bdir/reports
recover=$([ "${SANITIZE_RECOVER:-0}" = 1 ] && echo ON || echo OFF)

# The package's Python files, refreshed on every run; the modules stay between runs
# so that the build is incremental.
mkdir -p "$pkg/vorlex"
find "$pkg/vorlex" -type f ! -name '*.so' -delete
(cd src && find vorlex -type f ! -name '*.so' ! -path '*/__pycache__/*' -print0 \
   | tar --null -cf - -T -) | (cd "$pkg" && tar -xf -)

pybind_dir=$("$py" -c 'import pybind11; print(pybind11.get_cmake_dir())')
# Always configured: devbuild.sh only configures a missing build folder, and this one
# must have the sanitizer options whatever it was configured with before.
cmake -S "$here" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" \
  -DVORLEX_INPLACE=OFF -DVORLEX_PACKAGE_DIR="$pkg/vorlex" \
  -DVORLEX_SANITIZE=ON -DVORLEX_SANITIZE_RECOVER="$recover" \
  -DPython_EXECUTABLE="$("$py" -c 'import sys; print(sys.executable)')" \
  -Dpybind11_DIR="$pybind_dir" >/dev/null
cmake --build "$bdir" -j "${JOBS:-2}"
[ "${SANITIZE_BUILD_ONLY:-0}" = 1 ] && exit 0

rm -rf "$reports"
mkdir -p "$reports"
# CPython's allocator hides allocations from ASan unless it hands them to malloc.
export PYTHONMALLOC=malloc
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
# Errors abort the process; leaks found at exit are only reported (exitcode=0), so a
# test that checks a child's exit status is not failed by them. Either way this
# script fails when a report was written.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:exitcode=0:allocator_may_return_null=1:detect_stack_use_after_return=0:strict_init_order=1:check_initialization_order=1:log_path=$reports/asan:log_exe_name=1:${ASAN_OPTIONS:-}"
# use_tls=0: this toolchain's LeakSanitizer keeps its own table of the blocks of dynamic
# TLS, and with this C library an entry of it is now and then garbage (a block starting
# at 0x792 and ending 160 GB later, logged with log_threads=1); scanning it kills the
# leak check ("Tracer caught signal 11", the process aborts at exit). Without the TLS
# roots the check can only report more, never less: what the C library's loader keeps
# there (the thread's DTV) is suppressed by name in lsan.supp.
export LSAN_OPTIONS="suppressions=$here/tools/lsan.supp:print_suppressions=0:use_tls=0:${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1:log_path=$reports/ubsan:${UBSAN_OPTIONS:-}"
export PYTHONPATH="$pkg${PYTHONPATH:+:$PYTHONPATH}"
# The copy must be the package imported, not an installed one or src/.
ASAN_OPTIONS=detect_leaks=0 "$py" -c "import vorlex.utils as u, sys; p = u.__file__; sys.exit(0 if p.startswith('$pkg/') else 'vorlex imported from ' + p)"

status=0
"$py" -m pytest -q "${@:-tests}" || status=$?

echo
found=0
for f in "$reports"/*; do
  [ -e "$f" ] || continue
  found=1
  echo "=== $f"
  cat "$f"
done
if [ "$found" = 1 ]; then
  echo "sanitizer reports: $(ls "$reports" | wc -l) file(s) in $reports" >&2
  [ "$status" -eq 0 ] && status=1
else
  echo "no sanitizer reports"
fi
exit "$status"
