#!/usr/bin/env bash
# Runs every benchmark against the installed modules (e.g. after scripts/test) and leaves
# JSON results in bench/results/. Usage: bench/run_all.sh [python]
set -euo pipefail
cd "$(dirname "$0")"
py=${1:-../.venv/py3/bin/python}
for b in bench_controller.py bench_bus.py bench_wire.py bench_waiting.py; do
  "$py" "$b"
done
