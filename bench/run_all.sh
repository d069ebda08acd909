#!/usr/bin/env bash
# Runs every benchmark and leaves JSON results in bench/results/.
# Usage: bench/run_all.sh [python]
# The python defaults to the newest virtual environment that scripts/test made (.venv/py313,
# ...), which has the package installed. To measure a build directory instead, give its
# interpreter and PYTHONPATH: PYTHONPATH=$PWD/build/dev38 bench/run_all.sh /work/venvs/h38/bin/python
set -euo pipefail
cd "$(dirname "$0")"
py=${1:-}
if [ -z "$py" ]; then
  venv=$(ls -d ../.venv/py3* 2>/dev/null | sort -V | tail -n 1)
  [ -n "$venv" ] || { echo "bench/run_all.sh: no .venv/py3*; run scripts/test or name a python" >&2; exit 2; }
  py=$venv/bin/python
fi
floor/build.sh "$py"
for b in bench_controller.py bench_bus.py bench_wire.py bench_waiting.py bench_contention.py bench_wait_all.py; do
  "$py" "$b"
done
