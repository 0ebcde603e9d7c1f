#!/usr/bin/env bash
# Sets up everything the tests need on a fresh Debian or Ubuntu machine (missing OS packages,
# a virtual environment .venv unless one is active), builds and installs the package with its
# test extra, and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh

marvane_os_packages
marvane_python
# The wheel is built once and kept in build/wheelhouse, where scripts/test-pandas22.sh finds it.
# The wheel scripts/build-wheels.sh left in dist/ for this Python is taken while no source is
# newer than it.
rm -rf build/wheelhouse
built=$(marvane_dist_wheel "$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')")
if [ -n "$built" ]; then
    say "installing marvane from $built"
    mkdir -p build/wheelhouse && cp "$built" build/wheelhouse/
else
    say "building and installing marvane (the first build of the C++ modules takes a few minutes)"
    "$PY" -m pip wheel -q --no-deps -w build/wheelhouse .
fi
wheel=$(ls build/wheelhouse/marvane-*.whl)
"$PY" -m pip install -q "$wheel[test]"
"$PY" -m pip install -q --force-reinstall --no-deps "$wheel"  # even when the version is installed
# Run from the tests directory's parent but import the installed package, not src/.
"$PY" -m pytest "$@"
