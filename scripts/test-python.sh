#!/usr/bin/env bash
# Runs the test suite under another CPython (3.13, the system's home interpreter, or 3.12) in a
# fresh virtual environment that does not see this machine's packages: the wheel is built with
# that interpreter (or the one scripts/build-wheels.sh left in dist/, while no source is newer)
# and installed there with its test extras.
# Usage: bash scripts/test-python.sh X.Y [pytest arguments]
# The interpreter is python X.Y from MARVANE_PYTHON_X_Y (e.g. MARVANE_PYTHON_3_13=/usr/bin/python3.13),
# else the newest X.Y.* under MARVANE_PYTHONS (default /root/.pyenv/versions), else pythonX.Y on
# PATH; a missing interpreter fails the run. The builder environment is kept in build/ so the
# C++ build is incremental from one run to the next.
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:?usage: bash scripts/test-python.sh X.Y [pytest arguments]}
shift
[[ $version =~ ^3\.[0-9]+$ ]] || { echo "test-python.sh: give a version as X.Y, not $version" >&2; exit 2; }
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
. scripts/env.sh

python=$(marvane_find_python "$version") || { echo "test-python.sh: see above" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/marvane-py$version.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "== CPython $version: $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))" >&2

bash scripts/ensure-redis.sh
builder=build/builder-py$version
[ -x "$builder/bin/python" ] || "$python" -m venv "$builder"
"$builder/bin/pip" install -q "scikit-build-core>=0.10" "pybind11>=2.13"
wheel=$(marvane_dist_wheel "$version")
if [ -n "$wheel" ]; then
    echo "== reuse $wheel" >&2
else
    echo "== build the wheel" >&2
    "$builder/bin/pip" wheel -q --no-deps --no-build-isolation -w "$work/wheel" . > "$work/build.log" 2>&1 \
        || { tail -40 "$work/build.log"; exit 1; }
    wheel=$(ls "$work"/wheel/marvane-*.whl)
    echo "   $(basename "$wheel") at ${SECONDS}s" >&2
fi

"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install -q "$wheel[test]"
"$work/venv/bin/python" - "$version" <<'PY'
import sys, pandas, marvane.FrameStore
assert "%d.%d" % sys.version_info[:2] == sys.argv[1], sys.version
assert marvane.FrameStore.__file__.startswith(sys.prefix), f"imported {marvane.FrameStore.__file__}, not the wheel"
print("   Python", sys.version.split()[0], "pandas", pandas.__version__, "numpy",
      __import__("numpy").__version__, file=sys.stderr)
PY
echo "   ready at ${SECONDS}s" >&2

echo "== test suite under CPython $version" >&2
# From the repository, as the main run does: tests/ is found there, marvane is the wheel's.
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
