#!/usr/bin/env bash
# Proves the wheels in dist/ (scripts/wheels.sh) the way a user meets them: for each
# wheel, a fresh virtual environment of its Python, no compiler on PATH (g++, gcc, c++,
# cc, clang and cmake hidden), `pip install --only-binary=:all:` of the wheel with its
# test extra from the package index, and the tests run against the installed package
# from a folder outside the source tree.
#   the CPython 3.12 wheel       the whole suite
#   the 3.11 and 3.13 wheels     the public-API tests (command line, reader, checker, types)
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/wheel-test
api_tests=(tests/cli tests/reader tests/contract tests/api)

say() { echo "test_wheels: $*" >&2; }

usable() {
  "$1" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$2'.split('.')))" 2>/dev/null
}
find_python() {
  local c
  for c in "python$1" /root/.pyenv/versions/"$1".*/bin/"python$1" /usr/bin/"python$1" \
           /usr/local/bin/"python$1"; do
    if command -v "$c" >/dev/null 2>&1 && usable "$c" "$1"; then command -v "$c"; return; fi
  done
  return 1
}

shopt -s nullglob
wheels=(dist/vorlex-*.whl)
[ ${#wheels[@]} -gt 0 ] || { say "no wheel in dist/: run scripts/wheels.sh first"; exit 1; }
rm -rf "$work"
mkdir -p "$work"

# A PATH with every program of the current one except the compilers and CMake: links
# in one folder, the first of each name winning as it would on PATH.
nocc=$work/bin
mkdir -p "$nocc"
IFS=: read -r -a path_dirs <<< "$PATH"
for d in "${path_dirs[@]}"; do
  [ -d "$d" ] || continue
  for f in "$d"/*; do
    name=${f##*/}
    case "$name" in
      gcc|g++|cc|c++|cpp|cmake|ccache|clang|clang++|zig|\
      gcc-*|g++-*|clang-*|clang++-*|*-gcc|*-g++|*-gcc-*|*-g++-*|*-c++|*-cc) continue ;;
    esac
    if [ -x "$f" ] && [ ! -d "$f" ] && [ ! -e "$nocc/$name" ]; then ln -s "$f" "$nocc/$name"; fi
  done
done

# Loaded into the pytest run (-p): the session stops at once unless vorlex, and each
# of its extension modules, come from the environment's site-packages.
cat > "$work/vorlex_installed.py" <<'EOF'
import importlib
import pathlib
import sysconfig


def pytest_sessionstart(session):
    import vorlex

    site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    where = pathlib.Path(vorlex.__file__).resolve()
    assert where.is_relative_to(site), f"vorlex imported from {where}, not from {site}"
    native = importlib.import_module("vorlex.reader")
    assert pathlib.Path(native.__file__).resolve().is_relative_to(site), native.__file__
    print(f"vorlex from {where.parent}")
EOF

status=0
for whl in "${wheels[@]}"; do
  name=${whl##*/}
  tag=$(echo "$name" | sed -E 's/^vorlex-[^-]+-(cp[0-9]+)-.*/\1/')
  v="${tag:2:1}.${tag:3}"
  py=$(find_python "$v") || { say "no Python $v for $name"; status=1; continue; }
  env_dir=$work/venv-$tag
  say "$name: fresh environment of $py"
  "$py" -m venv "$env_dir"
  "$env_dir/bin/python" -m pip install -q --upgrade pip
  # Neither the wheel nor its dependencies may be built here: no compiler on PATH and
  # binaries only.
  PATH="$env_dir/bin:$nocc" "$env_dir/bin/python" -m pip install -q --only-binary=:all: \
    "$root/$whl[test]"
  for tool in g++ gcc c++ cc cmake; do
    if PATH="$env_dir/bin:$nocc" command -v "$tool" >/dev/null 2>&1; then
      say "$tool is still on the test PATH"; exit 1
    fi
  done
  if [ "$tag" = cp312 ]; then
    targets=(tests)
  else
    targets=("${api_tests[@]}")
  fi
  say "$name: pytest ${targets[*]} against the installed package"
  run=$work/run-$tag
  mkdir -p "$run"
  abs=()
  for t in "${targets[@]}"; do abs+=("$root/$t"); done
  set +e
  (cd "$run" && PATH="$env_dir/bin:$nocc" PYTHONPATH="$work" VIRTUAL_ENV="$env_dir" \
     "$env_dir/bin/python" -m pytest -q -p vorlex_installed -c "$root/pyproject.toml" \
     --rootdir "$root" "${abs[@]}" "$@")
  rc=$?
  set -e
  say "$name: pytest exited $rc"
  [ "$rc" -eq 0 ] || status=1
done
exit "$status"
