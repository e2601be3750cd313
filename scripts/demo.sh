#!/usr/bin/env bash
# Sets up the environment (scripts/setup.sh) and runs the main job: writes the sample
# contract (text and scanned), screens it and checks its CNPJ numbers offline, and
# verifies it against the registry when model settings are given.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
vorlex=.venv/bin/vorlex
samples=${VORLEX_SAMPLES:-examples/samples}

.venv/bin/python examples/make_samples.py "$samples"
echo
echo "== vorlex screen $samples/contrato.pdf"
"$vorlex" screen "$samples/contrato.pdf"
for number in 11.222.333/0001-81 11.444.777/0001-61; do
  echo
  echo "== vorlex cnpj $number"
  "$vorlex" cnpj "$number"
done
echo
if [ -n "${OPENAI_API_KEY:-}${AZURE_API_KEY:-}${VORLEX_BASE_URL:-}" ]; then
  echo "== vorlex verify $samples/contrato.pdf"
  args=()
  [ -n "${VORLEX_BASE_URL:-}" ] && args+=(--base-url "$VORLEX_BASE_URL")
  # The verdict's exit status (1 REPROVADO, 3 PENDENTE) is the job's result, not a failure
  # of the job: the fictitious companies are not in the registry.
  "$vorlex" verify "$samples/contrato.pdf" "${args[@]}" || echo "(exit status $?)"
else
  echo "vorlex verify skipped: no model settings. Set OPENAI_API_KEY (or AZURE_API_KEY"
  echo "and AZURE_API_ENDPOINT), or VORLEX_BASE_URL and VORLEX_MODEL for a local OpenAI-compatible server, to"
  echo "check the sample contract against the federal registry."
fi
