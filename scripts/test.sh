#!/usr/bin/env bash
# Sets up the environment (scripts/setup.sh) and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python -m pytest -q "$@"
