#!/usr/bin/env bash
# Fuzzes the client's reader of remote values with mutations of the pickles in tests/data
# (tests/tools/fuzz_pickles.py), half at the byte level and half as object trees: each input
# is read in a worker process under a memory cap; a crash, an input taking over a second, a
# MemoryError, or any other error than pickle.UnpicklingError (a loaded value must also be
# usable and equal to what pickle.loads builds) fails the run.
# Usage: bash scripts/fuzz-pickles.sh [--long] [fuzz_pickles.py arguments]
#   default: 150 seconds of the inputs of one fixed seed, MARVANE_FUZZ_SEED (default the seed
#   whose inputs found the last faults), so that CI's run is reproducible and a failure there
#   is a change of the reader's; --long: MARVANE_FUZZ_SECONDS (default 3600) of a new random
#   seed, to look for new faults (a given --seed wins in both).
# Failing inputs are kept in MARVANE_FUZZ_CRASHES (default build/fuzz-crashes).
# Run with the package installed (scripts/test.sh installs it into the active virtual
# environment or the project's .venv, which are used here in turn).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
marvane_installed_python
seconds=150
seed=(--seed "${MARVANE_FUZZ_SEED:-2175076623}")
if [ "${1:-}" = "--long" ]; then
    seconds=${MARVANE_FUZZ_SECONDS:-3600}
    seed=()
    shift
fi
exec "$PY" tests/tools/fuzz_pickles.py --seconds "$seconds" "${seed[@]}" \
    --crashes "${MARVANE_FUZZ_CRASHES:-build/fuzz-crashes}" "$@"
