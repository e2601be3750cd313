#!/usr/bin/env bash
# Sets up the environment (scripts/setup.sh) and runs the demonstration job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python examples/demo.py "$@"
