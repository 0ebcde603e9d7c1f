#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel (as an index would), installs the wheel into a
# fresh virtual environment that does not see this machine's packages, and checks that the
# package, both extension modules, the type stubs and the command line work from there.
# Usage: bash scripts/check-dist.sh [WORKDIR]   (default: a temporary directory, removed)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
python=${PYTHON:-python3}
work=${1:-}
if [ -z "$work" ]; then
    work=$(mktemp -d "${TMPDIR:-/tmp}/marvane-dist.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

echo "== build sdist, then the wheel from the sdist"
"$python" -m venv "$work/builder"
"$work/builder/bin/pip" install -q --upgrade pip build
# Without flags, build makes the sdist and then builds the wheel from the unpacked sdist, in
# an isolated environment: a file missing from the sdist fails here.
"$work/builder/bin/python" -m build --outdir "$work/dist" "$repo" > "$work/build.log" 2>&1 \
    || { tail -40 "$work/build.log"; exit 1; }
ls -l "$work/dist"
sdist=$(ls "$work"/dist/marvane-*.tar.gz)
wheel=$(ls "$work"/dist/marvane-*.whl)
listing=$(tar -tzf "$sdist")
for member in CMakeLists.txt pyproject.toml README.md src/cpp/common/pyhelpers.cpp src/cpp/common/store_names.cpp \
              src/marvane/FrameStore.pyi src/marvane/TSClient.pyi src/marvane/py.typed; do
    grep -q "^marvane-[^/]*/$member\$" <<< "$listing" || { echo "sdist lacks $member"; exit 1; }
done

echo "== install the wheel into a fresh virtual environment"
"$python" -m venv "$work/fresh"
"$work/fresh/bin/pip" install -q "$wheel"

echo "== import and run from outside the source tree"
cd "$work"
"$work/fresh/bin/python" - <<'PY'
import os, sys, tempfile
import marvane, marvane.FrameStore, marvane.TSClient
pkg = os.path.dirname(marvane.__file__)
assert pkg.startswith(sys.prefix), f"imported {pkg}, not the wheel in {sys.prefix}"
for name in ("FrameStore.pyi", "TSClient.pyi", "py.typed", "__main__.py"):
    assert os.path.exists(os.path.join(pkg, name)), f"the wheel lacks marvane/{name}"
import pandas as pd
from marvane.FrameStore import ParquetDataManager
root = tempfile.mkdtemp()
store = ParquetDataManager(root)
df = pd.DataFrame([[1.0, 2.0]], index=["A"], columns=["2024-01-02", "2024-01-03"])
store.update_pivot_category(df, "close")
back = store.read_pivot_category("close", "2024-01-01", "2024-01-31")
assert back.loc["A", "2024-01-03"] == 2.0
print("imported", marvane.__version__, "from", pkg)
PY
"$work/fresh/bin/python" -m marvane info "$work/does-not-exist" 2>/dev/null && exit 1
"$work/fresh/bin/python" -m marvane --help > /dev/null
echo "== dist check passed"
