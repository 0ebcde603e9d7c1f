#!/usr/bin/env bash
# Runs the benchmark harness on tiny sizes so that it cannot rot (a few tens of seconds).
# It times nothing that matters and asserts no speed; it fails only when a workload or its
# floor raises. Run from anywhere, with the package installed (scripts/test.sh installs it
# into the active virtual environment or the project's .venv, which are used here in turn).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
marvane_installed_python
exec "$PY" -m bench --quick --no-save "$@"
