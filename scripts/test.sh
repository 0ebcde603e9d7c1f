#!/usr/bin/env bash
# Sets up everything the tests need on a fresh Debian machine, builds and installs the
# package, and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-redis.sh
echo "Building and installing marvane (the first build of the C++ modules takes a few minutes)" >&2
python3 -m pip install -q ".[test]"
# Run from the tests directory's parent but import the installed package, not src/.
python3 -m pytest "$@"
