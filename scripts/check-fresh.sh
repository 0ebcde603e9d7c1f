#!/usr/bin/env bash
# Runs the README's demo command as a new user would: in a fresh clone of this repository,
# with the system's /usr/bin/python3 first on PATH and no virtual environment active, so the
# set-up from nothing (missing OS packages, the project's .venv) is what gets exercised.
# The clone holds the committed HEAD, not uncommitted changes. Extra arguments go to the demo.
# Usage: bash scripts/check-fresh.sh [demo arguments]   (WORKDIR=dir keeps the clone there)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x /usr/bin/python3 ]; then
    echo "check-fresh: this machine has no /usr/bin/python3" >&2
    exit 1
fi
work=${WORKDIR:-}
if [ -z "$work" ]; then
    work=$(mktemp -d "${TMPDIR:-/tmp}/marvane-fresh.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
commit=$(git rev-parse HEAD)
git clone -q . "$work/clone"
git -C "$work/clone" checkout -q "$commit"
echo "== fresh clone at $(git -C "$work/clone" log -1 --format='%h %s')"
cd "$work/clone"
clean_env=(env -u VIRTUAL_ENV -u PYTHON -u MARVANE_VENV -u PYTHONPATH -u PYTHONHOME
           PATH=/usr/bin:/bin)
echo "== PATH=/usr/bin:/bin bash scripts/demo.sh ($(/usr/bin/python3 --version))"
"${clean_env[@]}" bash scripts/demo.sh --instruments 50 --months 3 "$@"
# what the README tells the user to do next
"${clean_env[@]}" bash -c '. .venv/bin/activate && marvane info marvane-demo-store > /dev/null'
[ "$(.venv/bin/python -c 'import sys; print(sys.base_prefix)')" = /usr ] \
    || { echo "check-fresh: .venv was not made from /usr/bin/python3" >&2; exit 1; }
echo "== fresh-clone check passed"
