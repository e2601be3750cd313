#!/usr/bin/env bash
# Sets up .venv with a Python of 3.11 to 3.13 and installs Vorlex (building its C++
# modules). Safe to run again: it reuses the environment and skips the build when the
# installed one was made from the same sources.
#   scripts/setup.sh          what the library and the command line need (the main job)
#   scripts/setup.sh --test   also the test dependencies: the test extra (with ruff), a Redis
#                             server (the cache's shared store), Tesseract with Portuguese
#                             and clang-format (scripts/lint.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}

usable() {  # a Python this project supports, that really runs (pyenv shims may not)
  "$1" -c 'import sys; assert (3, 11) <= sys.version_info[:2] <= (3, 13)' 2>/dev/null
}

find_python() {
  if [ -n "${PYTHON:-}" ]; then
    usable "$PYTHON" || { echo "setup: PYTHON=$PYTHON is not a Python 3.11 to 3.13" >&2; exit 1; }
    echo "$PYTHON"; return
  fi
  local v c
  # 3.12 first, the version the suite has run on longest; then the others.
  for v in 3.12 3.13 3.11; do
    for c in "python$v" /root/.pyenv/versions/"$v"*/bin/"python$v" /usr/bin/"python$v" \
             /usr/local/bin/"python$v"; do
      if command -v "$c" >/dev/null 2>&1 && usable "$c"; then command -v "$c"; return; fi
    done
  done
  if command -v python3 >/dev/null 2>&1 && usable python3; then command -v python3; return; fi
  echo "setup: no Python 3.11, 3.12 or 3.13 found (looked for python3.12, python3.13," \
       "python3.11 and python3 on PATH and under pyenv); install one or set PYTHON" >&2
  exit 1
}

# The C++ build needs a C++20 compiler; the tests a Redis server and Tesseract with
# Portuguese (offline OCR), the lint clang-format.
need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
if [ "$mode" = "--test" ]; then
  command -v redis-server >/dev/null 2>&1 || need+=(redis-server)
  command -v tesseract >/dev/null 2>&1 || need+=(tesseract-ocr)
  { command -v tesseract >/dev/null 2>&1 && tesseract --list-langs 2>/dev/null | grep -qx por; } \
    || need+=(tesseract-ocr-por)
  command -v clang-format >/dev/null 2>&1 || need+=(clang-format)
fi
if [ ${#need[@]} -gt 0 ] && command -v apt-get >/dev/null 2>&1; then
  apt-get install -y -qq "${need[@]}" >/dev/null 2>&1 \
    || { apt-get update -qq && apt-get install -y -qq "${need[@]}"; }
fi

if [ ! -x .venv/bin/python ]; then
  py=$(find_python)
  echo "setup: creating .venv with $py ($("$py" -c 'import platform; print(platform.python_version())'))" >&2
  "$py" -m venv .venv
else
  echo "setup: using .venv ($(.venv/bin/python -c 'import platform; print(platform.python_version())'))" >&2
fi
.venv/bin/python -m pip install -q --upgrade pip

# What the build is made from; the install is skipped when nothing of it changed.
stamp_of() {
  { git ls-files -s -- src CMakeLists.txt pyproject.toml 2>/dev/null
    git diff --no-ext-diff -- src CMakeLists.txt pyproject.toml 2>/dev/null
    git ls-files --others --exclude-standard -- src 2>/dev/null | xargs -r sha1sum
    echo "extras:$1"; } | sha1sum | cut -d' ' -f1
}
extra=$([ "$mode" = "--test" ] && echo ".[test]" || echo ".")
stamp=$(stamp_of "$extra")
if [ -f .venv/vorlex-build ] && [ "$(cat .venv/vorlex-build)" = "$stamp" ] \
   && .venv/bin/python -c 'import vorlex.reader' 2>/dev/null; then
  echo "setup: the installed build matches the sources; not rebuilt" >&2
  exit 0
fi
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
.venv/bin/python -m pip install -q "$extra"
echo "$stamp" > .venv/vorlex-build
