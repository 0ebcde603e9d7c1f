#!/usr/bin/env bash
# Sets up everything the tests need on a fresh Debian machine, builds and installs the
# package, and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-redis.sh
echo "Building and installing marvane (the first build of the C++ modules takes a few minutes)" >&2
# The wheel is built once and kept in build/wheelhouse, where scripts/test-pandas22.sh finds it.
rm -rf build/wheelhouse
python3 -m pip wheel -q --no-deps -w build/wheelhouse .
wheel=$(ls build/wheelhouse/marvane-*.whl)
python3 -m pip install -q "$wheel[test]"
python3 -m pip install -q --force-reinstall --no-deps "$wheel"  # even when the version is installed
# Run from the tests directory's parent but import the installed package, not src/.
python3 -m pytest "$@"
