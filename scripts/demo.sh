#!/usr/bin/env bash
# Sets up the package and runs the main job against a local demo data service.
# Extra arguments go to `python -m marvane demo`.
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
python3 -m pip install -q .
python3 -m marvane demo "$@"
