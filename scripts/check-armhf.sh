#!/usr/bin/env bash
# The test suite on 32-bit Arm (armhf, hard float), the system's home platform, from this x86_64
# Debian machine, with nothing built or configured under emulation: an armhf Debian 13 root is
# made by extracting Debian's packages (no maintainer scripts run; the few things they would do
# that matter are done here), byte-compiled by the host's CPython 3.13, both modules are
# cross-compiled with warnings as errors into a cp313 wheel, fastparquet's C extensions (there
# is no pyarrow for armhf) are cross-compiled against the root's Python and numpy headers, and
# only the suite itself runs inside, under qemu-user emulation, with a time limit per test and
# a watch on its memory. Prints pytest's summary line last; exits with pytest's status.
#
# Usage: bash scripts/check-armhf.sh [pytest arguments]     (as root: it installs packages,
#        registers qemu with binfmt_misc and mounts /proc and /dev into the root)
#        bash scripts/check-armhf.sh --host-tools   only installs and registers the host's tools
#        (CI does this first, so that no other step's apt-get runs beside it)
# MARVANE_ARMHF_CACHE=dir keeps the prepared root, downloads and the fastparquet build between
# runs (default /var/cache/marvane); a cold run needs none of it. MARVANE_ARMHF_KEEP=1 leaves the
# work directory (root, wheel, logs) in place. MARVANE_ARMHF_TIMEOUT is the limit per test in
# seconds (default 600), MARVANE_ARMHF_MAX_RSS_MB the memory a test process may reach before the
# run is stopped (default 1500).
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
# The processes running inside the root (the suite and whatever it started).
root_processes() {
    local pid
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [ "$(readlink "/proc/$pid/root" 2>/dev/null)" != "$root" ] || echo "$pid"
    done
}
cleanup() {
    [ -z "${watcher:-}" ] || kill "$watcher" 2>/dev/null || true
    for pid in $(root_processes); do kill -KILL "$pid" 2>/dev/null || true; done
    for m in dev/pts dev proc; do
        mountpoint -q "$root/$m" 2>/dev/null && umount -l "$root/$m"
    done
    if [ "${MARVANE_ARMHF_KEEP:-}" = 1 ]; then echo "work directory kept: $work" >&2
    else rm -rf --one-file-system "$work"; fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT

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
[ "${1:-}" != --host-tools ] || exit 0


# ---- the armhf root: Debian's Python 3.13, pandas, numpy, redis and the tests' tools ---------
# Extracted, not installed: dpkg and the maintainer scripts never run under emulation. What
# those scripts would do that the suite needs is done below: the accounts, the BLAS and LAPACK
# that numpy loads (chosen through alternatives on an installed system), the loader's cache,
# the certificate bundle and Python's byte code. The package list and this recipe name the
# cached copy.
packages=mount,python3,python3-venv,libpython3.13-dev,python3-pandas,python3-numpy
packages+=,python3-numpy-dev,python3-redis,python3-tqdm,redis-server,python3-pytest
packages+=,python3-pytest-timeout,python3-hypothesis,python3-fsspec,python3-packaging
packages+=,ca-certificates
recipe=3
key=$(echo "$suite $packages $recipe" | sha256sum | cut -c1-12)
tarball=$cache/root-$suite-armhf-$key.tar
mkdir -p "$root"
if [ -s "$tarball" ]; then
    stage "unpack the cached root ($(du -h "$tarball" | cut -f1))"
    tar -C "$root" -xf "$tarball"
else
    stage "make the armhf $suite root"
    rmdir "$root"
    mmdebstrap --quiet --arch=armhf --variant=extract --include='?essential' \
        --include="$packages" "$suite" "$root" "$mirror" > "$work/mmdebstrap.log" 2>&1 \
        || { tail -30 "$work/mmdebstrap.log"; exit 1; }
    cp "$root/usr/share/base-passwd/passwd.master" "$root/etc/passwd"
    cp "$root/usr/share/base-passwd/group.master" "$root/etc/group"
    printf '/usr/lib/%s/%s\n' arm-linux-gnueabihf blas arm-linux-gnueabihf lapack \
        > "$root/etc/ld.so.conf.d/zz-blas-lapack.conf"
    chroot "$root" /sbin/ldconfig
    # the certificate bundle update-ca-certificates would make (pip loads it on start)
    mkdir -p "$root/etc/ssl/certs"
    cat "$root"/usr/share/ca-certificates/mozilla/*.crt > "$root/etc/ssl/certs/ca-certificates.crt"
    stage "byte-compile the root's Python code on the host"
    # The same byte code as the root's CPython 3.13 would write, paths as seen inside.
    "$host_python" -m compileall -q -j "$jobs" -s "$root" -p / \
        "$root/usr/lib/python3.13" "$root/usr/lib/python3/dist-packages" > "$work/compileall.log" 2>&1 || true
    tar -C "$root" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
fi
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
inroot() { chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin "$@"; }
pyver=$(inroot python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
[ "$pyver" = 3.13 ] || { echo "the root has Python $pyver, not 3.13" >&2; exit 1; }
multiarch=arm-linux-gnueabihf
# The root's Python headers, copied (times kept) to a place that stays put between runs, so
# that the build directory's incremental build survives a new root.
pyinc=$cache/armhf-python3.13-include
rm -rf "$pyinc"
mkdir -p "$pyinc/$multiarch"
cp -a "$root/usr/include/python3.13" "$pyinc/python3.13"
cp -a "$root/usr/include/$multiarch/python3.13" "$pyinc/$multiarch/python3.13"
# ---- cross-compile both modules into a cp313 armhf wheel -------------------------------------
stage "cross-compile the wheel for armhf"
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


# ---- fastparquet and cramjam for armhf: downloaded on the host, fastparquet cross-compiled ---
# pip inside the root cannot verify this machine's certificates, so nothing there uses the net.
# fastparquet's release carries the C its Cython sources make; its two extension modules are
# compiled here against the root's Python and numpy headers, the rest of it is pure Python.
downloads=$cache/downloads-armhf-cp313
mkdir -p "$downloads"
if [ ! -s "$downloads/fastparquet-$fastparquet_version.tar.gz" ]; then
    # the source release only: its metadata is prepared with the builder's own setuptools
    "$builder/bin/pip" install -q setuptools "setuptools-scm>=8" numpy
    "$builder/bin/pip" download -q --no-deps --no-binary fastparquet --no-build-isolation \
        -d "$downloads" "fastparquet==$fastparquet_version"
fi
if ! ls "$downloads"/cramjam-*-cp313-*armv7l.whl > /dev/null 2>&1; then
    "$builder/bin/pip" download -q --no-deps --only-binary :all: --platform manylinux_2_31_armv7l \
        --python-version 3.13 --implementation cp -d "$downloads" "cramjam>=2.3"
fi
fastparquet=$cache/fastparquet-$fastparquet_version-armhf-$key
if [ ! -e "$fastparquet/.built" ]; then
    stage "cross-compile fastparquet $fastparquet_version for armhf"
    rm -rf "$fastparquet" "$work/fastparquet-$fastparquet_version"
    tar -C "$work" -xzf "$downloads/fastparquet-$fastparquet_version.tar.gz"
    src=$work/fastparquet-$fastparquet_version/fastparquet
    numpy_include=$root/usr/lib/python3/dist-packages/numpy/_core/include
    for module in speedups cencoding; do
        $multiarch-gcc -shared -fPIC -O2 -fno-strict-aliasing -DNDEBUG -D_FILE_OFFSET_BITS=64 \
            -D_TIME_BITS=64 -isystem "$pyinc" -I "$pyinc/python3.13" -I "$numpy_include" \
            -o "$src/$module.cpython-313-$multiarch.so" "$src/$module.c" -lm \
            >> "$work/fastparquet.log" 2>&1 || { tail -40 "$work/fastparquet.log"; exit 1; }
        file "$src/$module.cpython-313-$multiarch.so" | grep -q "ARM, EABI5" \
            || { echo "fastparquet's $module is not an armhf module" >&2; exit 1; }
    done
    rm -f "$src"/*.c "$src"/*.pyx
    mkdir -p "$fastparquet/fastparquet-$fastparquet_version.dist-info"
    cp -a "$src" "$fastparquet/"
    printf 'Metadata-Version: 2.1\nName: fastparquet\nVersion: %s\n' "$fastparquet_version" \
        > "$fastparquet/fastparquet-$fastparquet_version.dist-info/METADATA"
    touch "$fastparquet/.built"
fi

# ---- install and run the suite inside ------------------------------------------------------
stage "install into the root"
# A virtual environment over Debian's packages, filled from the host: the wheels are unpacked
# into it as pip would, and the command pip would make is written out.
inroot python3 -m venv --system-site-packages --without-pip /opt/venv
site=$root/opt/venv/lib/python3.13/site-packages
unzip -q -o "$wheel" -d "$site"
unzip -q -o "$(ls "$downloads"/cramjam-*-cp313-*armv7l.whl | tail -1)" -d "$site"
cp -a "$fastparquet/fastparquet" "$fastparquet/fastparquet-$fastparquet_version.dist-info" "$site/"
cat > "$root/opt/venv/bin/marvane" <<'SCRIPT'
#!/opt/venv/bin/python
import sys
from marvane.__main__ import main
if __name__ == "__main__":
    sys.exit(main())
SCRIPT
chmod 755 "$root/opt/venv/bin/marvane"
"$host_python" -m compileall -q -j "$jobs" -s "$root" -p / "$site" > /dev/null
mkdir -p "$root/opt/marvane"
# The repository as the suite sees it; marvane itself is imported from the installed wheel.
tar -C "$repo" --exclude=./build --exclude=./.git --exclude='./.venv*' -cf - . \
    | tar -C "$root/opt/marvane" -xf -
inroot /opt/venv/bin/python -c '
import importlib.util, platform, sys, pandas, marvane.FrameStore, marvane.TSClient, fastparquet
assert marvane.FrameStore.__file__.startswith("/opt/venv/"), marvane.FrameStore.__file__
assert importlib.util.find_spec("pyarrow") is None
print("  ", platform.machine(), "Python", sys.version.split()[0], "pandas", pandas.__version__,
      "numpy", __import__("numpy").__version__, "fastparquet", fastparquet.__version__,
      file=sys.stderr)'

stage "test suite inside the armhf root"
# A test that hangs fails after the time limit with its stack; a process of the root that grows
# past the memory limit is stopped, and the test then running is named.
timeout=${MARVANE_ARMHF_TIMEOUT:-600}
max_rss=${MARVANE_ARMHF_MAX_RSS_MB:-1500}
log=$work/pytest.log
watch_memory() {
    local pid rss
    while sleep 5; do
        for pid in $(root_processes); do
            rss=$(awk '/^VmRSS:/ {print int($2 / 1024)}' "/proc/$pid/status" 2>/dev/null || true)
            if [ -n "$rss" ] && [ "$rss" -gt "$max_rss" ]; then
                echo "!! stopped a process of the root at ${rss} MB (limit ${max_rss} MB):" \
                    "$(tr '\0' ' ' < "/proc/$pid/cmdline" | cut -c1-200); last test:" \
                    "$(grep -E '^tests/' "$log" | tail -1 | cut -d' ' -f1)" | tee -a "$work/memory.log" >&2
                kill -KILL "$pid" 2>/dev/null || true
            fi
        done
    done
}
watch_memory & watcher=$!
set +e
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/opt/venv/bin:/usr/bin:/bin \
    MARVANE_EMULATED=1 /bin/sh -c 'cd /opt/marvane && exec python -m pytest -v -p no:cacheprovider \
    --timeout="$0" --durations=10 "$@"' "$timeout" "$@" > "$log" 2>&1 &
wait $!      # in the background, so that a TERM stops the run at once
status=$?
set -e
kill "$watcher" 2>/dev/null; wait "$watcher" 2>/dev/null || true
grep -vE ' PASSED|^tests/.* SKIPPED' "$log" | head -n -1 | tail -120 >&2
[ ! -s "$work/memory.log" ] || { cat "$work/memory.log" >&2; [ "$status" != 0 ] || status=1; }
stage "done"
if [ "$status" -gt 128 ]; then
    echo "pytest was ended by signal $((status - 128)) while running $(grep -E '^tests/' "$log" | tail -1 | cut -d' ' -f1)"
else
    tail -1 "$log"
fi
exit $status
