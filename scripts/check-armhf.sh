#!/usr/bin/env bash
# The test suite on 32-bit Arm (armhf, hard float), the system's home platform, from this x86_64
# Debian machine: both modules are cross-compiled with warnings as errors into a cp313 wheel, an
# armhf Debian 13 root is made, Debian's Python packages, fastparquet (built inside the root,
# there is no pyarrow for armhf) and the wheel are installed there, and the suite runs inside
# under qemu-user emulation. Prints pytest's summary line last; exits with pytest's status.
#
# Usage: bash scripts/check-armhf.sh [pytest arguments]     (as root: it installs packages,
#        registers qemu with binfmt_misc and mounts /proc and /dev into the root)
# MARVANE_ARMHF_CACHE=dir keeps the root tarball, downloads and built wheels between runs
# (default /var/cache/marvane); a later run on the same machine starts from them.
# MARVANE_ARMHF_KEEP=1 leaves the work directory (root, wheel, logs) in place.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
cache=${MARVANE_ARMHF_CACHE:-/var/cache/marvane}
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
suite=trixie
mirror=${MARVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
host_python=${MARVANE_HOST_PYTHON313:-/root/.pyenv/versions/3.13.0/bin/python3.13}
fastparquet_version=2024.11.0
start=$SECONDS
stage() { echo "== [$((SECONDS - start))s] $*" >&2; }

[ "$(id -u)" = 0 ] || { echo "check-armhf.sh must run as root" >&2; exit 2; }
[ -x "$host_python" ] || { echo "no CPython 3.13 at $host_python (set MARVANE_HOST_PYTHON313)" >&2; exit 2; }
mkdir -p "$cache"
work=$(mktemp -d "${TMPDIR:-/tmp}/marvane-armhf.XXXXXX")
root=$work/root
cleanup() {
    for m in dev/pts dev proc; do
        mountpoint -q "$root/$m" 2>/dev/null && umount -l "$root/$m"
    done
    if [ "${MARVANE_ARMHF_KEEP:-}" = 1 ]; then echo "work directory kept: $work" >&2
    else rm -rf --one-file-system "$work"; fi
}
trap cleanup EXIT

# ---- host tools: cross compiler, qemu registered for Arm binaries, the root builder --------
stage "host tools"
need=()
for p in qemu-user-static binfmt-support arch-test mmdebstrap crossbuild-essential-armhf; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" > "$work/apt.log" 2>&1 \
        || { tail -30 "$work/apt.log"; exit 1; }
fi
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
[ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || update-binfmts --enable qemu-arm
arch-test armhf > /dev/null || { echo "this machine cannot run armhf binaries (arch-test armhf)" >&2; exit 1; }

# ---- the armhf root: Debian's Python 3.13, pandas, numpy, redis, tests' tools ---------------
# The package list names the cached tarball: a change of list makes a new root.
packages=python3,python3-dev,python3-venv,python3-pip,python3-pandas,python3-numpy,python3-redis
packages+=,python3-tqdm,redis-server,python3-pytest,python3-hypothesis,python3-fsspec
packages+=,python3-packaging,python3-setuptools,python3-setuptools-scm,python3-wheel,cython3
packages+=,build-essential,git,ca-certificates
key=$(echo "$suite $packages" | sha256sum | cut -c1-12)
tarball=$cache/root-$suite-armhf-$key.tar
if [ ! -s "$tarball" ]; then
    stage "make the armhf $suite root (several minutes)"
    mmdebstrap --quiet --arch=armhf --variant=apt --include="$packages" \
        "$suite" "$tarball.part" "$mirror" > "$work/mmdebstrap.log" 2>&1 \
        || { tail -30 "$work/mmdebstrap.log"; rm -f "$tarball.part"; exit 1; }
    mv "$tarball.part" "$tarball"
fi
stage "unpack the root ($(du -h "$tarball" | cut -f1))"
mkdir -p "$root"
tar -C "$root" -xf "$tarball"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
inroot() { chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin "$@"; }
pyver=$(inroot python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
[ "$pyver" = 3.13 ] || { echo "the root has Python $pyver, not 3.13" >&2; exit 1; }

# ---- cross-compile both modules into a cp313 armhf wheel -------------------------------------
stage "cross-compile the wheel for armhf"
multiarch=arm-linux-gnueabihf
# The root's Python headers, copied (times kept) to a place that stays put between runs, so
# that the build directory's incremental build survives a new root.
pyinc=$cache/armhf-python3.13-include
rm -rf "$pyinc"
mkdir -p "$pyinc/$multiarch"
cp -a "$root/usr/include/python3.13" "$pyinc/python3.13"
cp -a "$root/usr/include/$multiarch/python3.13" "$pyinc/$multiarch/python3.13"
cat > "$cache/armhf.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER $multiarch-gcc)
set(CMAKE_CXX_COMPILER $multiarch-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Debian's headers are for a 64-bit off_t and time_t; the extension must agree with them.
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -isystem $pyinc")
EOF
# An incremental build directory left by another toolchain cannot be reused.
crossdir=build/cp313-cp313-linux_armv7l
if [ -e "$crossdir/CMakeCache.txt" ] && ! grep -q "$cache/armhf.cmake" "$crossdir/CMakeCache.txt"; then
    rm -rf "$crossdir"
fi
builder=$cache/builder-py313
[ -x "$builder/bin/python" ] || "$host_python" -m venv "$builder"
"$builder/bin/pip" install -q "scikit-build-core>=0.10" "pybind11>=2.13"
# The suffix and platform come from the environment, not from the host's interpreter.
(
    export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
    export SETUPTOOLS_EXT_SUFFIX=.cpython-313-$multiarch.so
    export _PYTHON_HOST_PLATFORM=linux-armv7l
    export CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$cache/armhf.cmake -DMARVANE_WERROR=ON \
-DPYBIND11_USE_CROSSCOMPILING=ON -DPython_INCLUDE_DIR=$pyinc/python3.13"
    "$builder/bin/pip" wheel -v --no-deps --no-build-isolation -w "$work/wheel" "$repo"
) > "$work/cross.log" 2>&1 || { tail -40 "$work/cross.log"; exit 1; }
wheel=$(ls "$work"/wheel/marvane-*-cp313-cp313-linux_armv7l.whl)
unzip -o -q "$wheel" 'marvane/*.so' -d "$work/check"
for so in FrameStore TSClient; do
    [ -e "$work/check/marvane/$so.cpython-313-$multiarch.so" ] || { echo "no $so module in the wheel" >&2; exit 1; }
done
for so in "$work"/check/marvane/*.so; do
    [[ $so == *.cpython-313-$multiarch.so ]] && file "$so" | grep -q "ARM, EABI5" \
        || { echo "$(basename "$so") is not an armhf module" >&2; exit 1; }
done
echo "   $(basename "$wheel")" >&2

# ---- fastparquet and cramjam for armhf: downloaded on the host, fastparquet built inside ----
# pip inside the root cannot verify this machine's certificates, so nothing there uses the net.
wheels=$cache/wheels-armhf-cp313
mkdir -p "$wheels"
if ! ls "$wheels"/fastparquet-$fastparquet_version-*.whl > /dev/null 2>&1; then
    stage "build fastparquet $fastparquet_version inside the root (several minutes)"
    # the source release only: its metadata is prepared with the builder's own setuptools
    "$builder/bin/pip" install -q setuptools "setuptools-scm>=8" cython numpy
    "$builder/bin/pip" download -q --no-deps --no-binary fastparquet --no-build-isolation \
        -d "$wheels/src" "fastparquet==$fastparquet_version"
    "$builder/bin/pip" download -q --no-deps --only-binary :all: --platform manylinux_2_31_armv7l \
        --python-version 3.13 --implementation cp -d "$wheels" "cramjam>=2.3"
    mkdir -p "$root/tmp/src"
    cp "$wheels"/src/fastparquet-$fastparquet_version.tar.gz "$root/tmp/src/"
    inroot python3 -m pip wheel -q --no-index --no-build-isolation --no-deps -w /tmp/built \
        /tmp/src/fastparquet-$fastparquet_version.tar.gz > "$work/fastparquet.log" 2>&1 \
        || { tail -40 "$work/fastparquet.log"; exit 1; }
    cp "$root"/tmp/built/fastparquet-*.whl "$wheels/"
fi

# ---- install and run the suite inside ------------------------------------------------------
stage "install into the root"
mkdir -p "$root/opt/wheels" "$root/opt/marvane"
cp "$wheels"/*.whl "$wheel" "$root/opt/wheels/"
# The repository as the suite sees it; marvane itself is imported from the installed wheel.
tar -C "$repo" --exclude=./build --exclude=./.git -cf - . | tar -C "$root/opt/marvane" -xf -
inroot python3 -m venv --system-site-packages /opt/venv
inroot /opt/venv/bin/pip install -q --no-index --find-links /opt/wheels \
    "/opt/wheels/$(basename "$wheel")" > "$work/install.log" 2>&1 \
    || { tail -30 "$work/install.log"; exit 1; }
inroot /opt/venv/bin/python -c '
import importlib.util, platform, sys, pandas, marvane.FrameStore, marvane.TSClient
assert marvane.FrameStore.__file__.startswith("/opt/venv/"), marvane.FrameStore.__file__
assert importlib.util.find_spec("pyarrow") is None
print("  ", platform.machine(), "Python", sys.version.split()[0], "pandas", pandas.__version__,
      "numpy", __import__("numpy").__version__, "fastparquet", __import__("fastparquet").__version__,
      file=sys.stderr)'

stage "test suite inside the armhf root"
set +e
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/opt/venv/bin:/usr/bin:/bin \
    MARVANE_EMULATED=1 /bin/sh -c 'cd /opt/marvane && exec python -m pytest -q -p no:cacheprovider "$@"' \
    pytest "$@" > "$work/pytest.log" 2>&1
status=$?
set -e
head -n -1 "$work/pytest.log" | tail -80 >&2
stage "done"
tail -1 "$work/pytest.log"
exit $status
