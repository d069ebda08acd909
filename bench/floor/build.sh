#!/usr/bin/env bash
# Builds the benchmark floor into bench/floor/build/: the `floor` extension for the given
# python (default python3) and the `responder` program. Usage: bench/floor/build.sh [python]
set -euo pipefail
cd "$(dirname "$0")"
py=${1:-python3}
cc=${CC:-cc}
mkdir -p build
read -r include suffix < <("$py" -c 'import sysconfig as s; print(s.get_paths()["include"], s.get_config_var("EXT_SUFFIX"))')
"$cc" -O2 -Wall -Wextra -shared -fPIC -I"$include" floor.c -o "build/floor$suffix"
[ build/responder -nt responder.c ] || "$cc" -O2 -Wall -Wextra responder.c -o build/responder
