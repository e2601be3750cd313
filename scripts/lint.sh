#!/usr/bin/env bash
# The tree's lint and format checks: ruff (lint and format) for Python, clang-format for
# C++ (rules in pyproject.toml [tool.ruff] and .clang-format).
#   scripts/lint.sh               check: lists every finding, exits 1 when there is one
#   scripts/lint.sh --fix         applies what the tools can (ruff check --fix, ruff format,
#                                 clang-format -i), then checks: what it lists needs a hand edit
#   scripts/lint.sh [--fix] PATH...   only these files or folders (pre-commit hands over the
#                                 staged files)
# The tools come from scripts/setup.sh --test (ruff with the test extra, clang-format from
# the system's packages); RUFF and CLANG_FORMAT choose others.
set -uo pipefail

fix=0
if [ "${1:-}" = "--fix" ]; then fix=1; shift; fi
case "${1:-}" in
  -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  -*) echo "lint: unknown option $1 (scripts/lint.sh [--fix] [PATH...])" >&2; exit 2 ;;
esac
paths=()
for p in "$@"; do paths+=("$(realpath -m -- "$p")"); done  # as the caller named them
cd "$(dirname "$0")/.."

ruff=${RUFF:-}
if [ -z "$ruff" ]; then
  if [ -x .venv/bin/ruff ]; then ruff=.venv/bin/ruff; else ruff=$(command -v ruff || true); fi
fi
clang_format=${CLANG_FORMAT:-$(command -v clang-format || true)}
missing=()
[ -n "$ruff" ] || missing+=("ruff (the test extra: scripts/setup.sh --test, or pip install ruff)")
[ -n "$clang_format" ] || missing+=("clang-format (scripts/setup.sh --test, or apt-get install clang-format)")
if [ ${#missing[@]} -gt 0 ]; then
  printf 'lint: not found: %s\n' "${missing[@]}" >&2
  exit 2
fi

# The files: every tracked or new (not ignored) file of the tree, or of the PATHs given.
py=() cpp=()
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- "${paths[@]}")
else
  mapfile -t files < <(find "${paths[@]:-.}" \( -name build -o -name .venv -o -name .git \) -prune -o -type f -print)
fi
for f in "${files[@]}"; do
  [ -f "$f" ] || continue  # deleted, not yet committed
  case "$f" in
    *.py|*.pyi) py+=("$f") ;;
    *.cpp|*.hpp|*.cc|*.hh|*.h) cpp+=("$f") ;;
  esac
done

if [ "$fix" -eq 1 ]; then
  if [ ${#py[@]} -gt 0 ]; then
    "$ruff" check --fix --exit-zero --quiet --force-exclude "${py[@]}" >/dev/null
    "$ruff" format --quiet --force-exclude "${py[@]}"
  fi
  if [ ${#cpp[@]} -gt 0 ]; then
    printf '%s\0' "${cpp[@]}" | xargs -0 -n 20 -P "$(nproc 2>/dev/null || echo 2)" "$clang_format" -i
  fi
fi

failed=0
if [ ${#py[@]} -gt 0 ]; then
  "$ruff" check --quiet --output-format concise --force-exclude "${py[@]}" || failed=1
  "$ruff" format --check --quiet --output-format concise --force-exclude "${py[@]}" || failed=1
fi
# C++: clang-format's first difference in each file it would change.
if [ ${#cpp[@]} -gt 0 ]; then
  report=$(printf '%s\0' "${cpp[@]}" \
    | xargs -0 "$clang_format" --dry-run --Werror --ferror-limit=1 2>&1 | grep ': error: ')
  if [ -n "$report" ]; then
    echo "$report" | sed 's/: error: code should be clang-formatted .*/: not clang-formatted/'
    echo "$(echo "$report" | wc -l) C++ file(s) would be reformatted ($("$clang_format" --version))"
    failed=1
  fi
fi

if [ "$failed" -ne 0 ]; then
  if [ "$fix" -eq 1 ]; then
    echo "lint: the findings above need a hand edit" >&2
  else
    echo "lint: findings above; scripts/lint.sh --fix applies the formatting and the safe fixes" >&2
  fi
  exit 1
fi
echo "lint: ${#py[@]} Python and ${#cpp[@]} C++ files clean" >&2
