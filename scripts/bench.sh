#!/usr/bin/env bash
# Sets up the environment (scripts/setup.sh) and runs every benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test
exec .venv/bin/python bench/run.py "$@"
