#!/usr/bin/env bash
# Runs the benchmark harness on tiny sizes so that it cannot rot (a few tens of seconds).
# It times nothing that matters and asserts no speed; it fails only when a workload or its
# floor raises. Run from anywhere, with the package installed in the current Python.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 -m bench --quick --no-save "$@"
