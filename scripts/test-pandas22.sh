#!/usr/bin/env bash
# Runs the test suite under pandas 2.2, the oldest pandas the package supports (the main run
# gets the newest), in a fresh virtual environment that does not see this machine's packages.
# Usage: bash scripts/test-pandas22.sh [pytest arguments]
# MARVANE_WHEEL=path/to/marvane-*.whl names the wheel to test; otherwise the one scripts/test.sh
# left in build/wheelhouse is used while no source is newer, else the wheel is built here.
# MARVANE_PANDAS22_VENV=dir keeps the environment there (it is reused if present).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
work=$(mktemp -d "${TMPDIR:-/tmp}/marvane-pandas22.XXXXXX")
trap 'rm -rf "$work"' EXIT

bash scripts/ensure-redis.sh
wheel=${MARVANE_WHEEL:-}
# The wheel scripts/test.sh built, unless a source changed after it.
if [ -z "$wheel" ] && kept=$(ls build/wheelhouse/marvane-*.whl 2>/dev/null) \
        && [ -z "$(find src CMakeLists.txt pyproject.toml -newer "$kept" -print -quit)" ]; then
    wheel=$kept
    echo "== reuse $wheel" >&2
fi
if [ -z "$wheel" ]; then
    echo "== build the wheel" >&2
    "$python" -m pip wheel -q --no-deps -w "$work/wheel" . > "$work/build.log" 2>&1 \
        || { tail -40 "$work/build.log"; exit 1; }
    wheel=$(ls "$work"/wheel/marvane-*.whl)
    echo "   built in ${SECONDS}s" >&2
fi

venv=${MARVANE_PANDAS22_VENV:-$work/venv}
echo "== pandas 2.2 environment in $venv" >&2
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
# The test extras as they are, but pandas held at 2.2; the wheel is reinstalled every time.
"$venv/bin/pip" install -q "pandas==2.2.*" "$wheel[test]"
"$venv/bin/pip" install -q --force-reinstall --no-deps "$wheel"
"$venv/bin/python" - <<'PY'
import pandas, marvane, sys
assert pandas.__version__.startswith("2.2."), pandas.__version__
assert marvane.__file__.startswith(sys.prefix), f"imported {marvane.__file__}, not the wheel"
print("pandas", pandas.__version__, "numpy", __import__("numpy").__version__, file=sys.stderr)
PY
echo "   ready at ${SECONDS}s" >&2

echo "== test suite under pandas 2.2" >&2
# From the repository, as the main run does: tests/ is found there, marvane is the wheel's.
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
