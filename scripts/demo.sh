#!/usr/bin/env bash
# Sets up everything on a fresh Debian or Ubuntu machine (missing OS packages, a virtual
# environment .venv unless one is active), builds and installs the package, and runs the main
# job against a local demo data service. Extra arguments go to `marvane demo`.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh

marvane_os_packages
marvane_python
say "building and installing marvane (the first build of the C++ modules takes a few minutes)"
"$PY" -m pip install -q .
"$PY" -m marvane demo "$@"
if [ -z "${VIRTUAL_ENV:-}" ]; then
    say "marvane is installed in $MARVANE_VENV_DIR: run '. $MARVANE_VENV_DIR/bin/activate' to use it (then 'marvane --help'), or call $MARVANE_VENV_DIR/bin/marvane"
fi
