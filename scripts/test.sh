#!/usr/bin/env bash
# Sets up everything the tests need on a fresh Debian machine, builds and installs the
# package, and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v redis-server >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq && apt-get install -y -qq redis-server >/dev/null
    else
        sudo apt-get update -qq && sudo apt-get install -y -qq redis-server >/dev/null
    fi
fi
echo "Building and installing marvane (the first build of the C++ modules takes a few minutes)" >&2
python3 -m pip install -q ".[test]"
# Run from the tests directory's parent but import the installed package, not src/.
python3 -m pytest "$@"
