#!/usr/bin/env bash
# Sets up the environment with the test dependencies (scripts/setup.sh --test) and runs
# the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test
exec .venv/bin/python -m pytest -q "$@"
