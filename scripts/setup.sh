#!/usr/bin/env bash
# Sets up .venv with Python 3.12 and installs Vorlex (building its C++ modules) with
# the test dependencies. Safe to run again: it reuses the environment.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  local c
  for c in python3.12 /root/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 \
           /usr/local/bin/python3.12; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
      command -v "$c"; return
    fi
  done
  # No 3.12 on this machine: Debian's package.
  if command -v apt-get >/dev/null 2>&1; then
    (apt-get update -qq && apt-get install -y -qq python3.12 python3.12-venv python3.12-dev) >&2 || true
    if command -v python3.12 >/dev/null 2>&1; then command -v python3.12; return; fi
  fi
  echo "python3.12 not found" >&2; exit 1
}

# The C++ build needs a compiler and OpenSSL's headers (SHA-256); the tests a Redis
# server (the cache's shared store) and Tesseract with Portuguese (offline OCR).
need=()
{ [ -f /usr/include/openssl/evp.h ] && command -v g++ >/dev/null 2>&1; } || need+=(g++ libssl-dev)
command -v redis-server >/dev/null 2>&1 || need+=(redis-server)
command -v tesseract >/dev/null 2>&1 || need+=(tesseract-ocr)
{ command -v tesseract >/dev/null 2>&1 && tesseract --list-langs 2>/dev/null | grep -qx por; } \
  || need+=(tesseract-ocr-por)
if [ ${#need[@]} -gt 0 ] && command -v apt-get >/dev/null 2>&1; then
  apt-get install -y -qq "${need[@]}" >/dev/null 2>&1 \
    || { apt-get update -qq && apt-get install -y -qq "${need[@]}"; }
fi

py=$(find_python)
if [ ! -x .venv/bin/python ]; then
  "$py" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
.venv/bin/python -m pip install -q ".[test]"
