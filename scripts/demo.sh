#!/usr/bin/env bash
# Sets up the package and runs the main job against a local demo data service.
# Extra arguments go to `python -m marvane demo`.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-redis.sh
echo "Building and installing marvane (the first build of the C++ modules takes a few minutes)" >&2
python3 -m pip install -q .
python3 -m marvane demo "$@"
