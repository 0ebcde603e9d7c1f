#!/usr/bin/env bash
# The test suite on 32-bit Arm (armhf, hard float), the system's home platform, from this x86_64
# Debian machine, with nothing built or configured under emulation: an armhf Debian 13 root is
# made by extracting Debian's packages (no maintainer scripts run; the few things they would do
# that matter are done here), byte-compiled by the host's CPython 3.13, with no compiler in it.
# marvane and fastparquet (there is no pyarrow for armhf) are installed there by the root's own
# pip from the wheels scripts/build-wheels.sh left in dist/, and from nothing else, as a user
# would on a board; the install's time is printed. Then the suite runs inside, under qemu-user
# emulation, with a time limit per test and a watch on its memory. Prints pytest's summary line
# last; exits with pytest's status.
#
# Usage: bash scripts/build-wheels.sh armhf && bash scripts/check-armhf.sh [pytest arguments]
#        (as root: it installs packages, registers qemu with binfmt_misc and mounts /proc and
#        /dev into the root)
#        bash scripts/check-armhf.sh --host-tools   only installs and registers the host's tools
#        (CI does this first, so that no other step's apt-get runs beside it)
# MARVANE_ARMHF_CACHE=dir keeps the prepared root between runs (default /var/cache/marvane); a
# cold run needs none of it. MARVANE_ARMHF_KEEP=1 leaves the work directory (root, logs) in
# place. MARVANE_ARMHF_TIMEOUT is the limit per test in seconds (default 600),
# MARVANE_ARMHF_MAX_RSS_MB the memory a test process may reach before the run is stopped
# (default 1500).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
. scripts/armhf.sh
cache=$armhf_cache
host_python=$armhf_host_python
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
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

# ---- host tools: qemu registered for Arm binaries, the root builder --------------------------
stage "host tools"
armhf_host_tools
[ "${1:-}" != --host-tools ] || exit 0


# ---- the armhf root: Debian's Python 3.13, pandas, numpy, redis and the tests' tools ---------
# Extracted, not installed: dpkg and the maintainer scripts never run under emulation. What
# those scripts would do that the suite needs is done below: the accounts, the BLAS and LAPACK
# that numpy loads (chosen through alternatives on an installed system), the loader's cache,
# the certificate bundle and Python's byte code. No compiler and no headers: what a user of
# the wheels installs, and the tests' tools. The package list and this recipe name the cached
# copy.
packages=mount,python3,python3-venv,python3-pandas,python3-numpy,python3-redis,python3-tqdm
packages+=,python3-fsspec,python3-packaging,redis-server,python3-pytest,python3-pytest-timeout
packages+=,python3-hypothesis,ca-certificates
recipe=4
key=$(echo "$armhf_suite $packages $recipe" | sha256sum | cut -c1-12)
tarball=$cache/root-$armhf_suite-armhf-$key.tar
# the wheels this run installs, and nothing else
wheels=()
for name in marvane fastparquet cramjam; do
    found=$(ls -t dist/"$name"-*-cp313-*armv7l.whl 2>/dev/null | head -1 || true)
    [ -n "$found" ] || { echo "no $name wheel for armv7l in dist/: run scripts/build-wheels.sh armhf first" >&2; exit 1; }
    wheels+=("$found")
done
mkdir -p "$root"
if [ -s "$tarball" ]; then
    stage "unpack the cached root ($(du -h "$tarball" | cut -f1))"
    tar -C "$root" -xf "$tarball"
else
    stage "make the armhf $armhf_suite root"
    rmdir "$root"
    armhf_extract "$root" "$packages" --include='?essential'
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
compilers=$(cd "$root" && ls -d usr/bin/*gcc* usr/bin/*g++* usr/bin/cc usr/bin/c++ usr/bin/*clang* \
            usr/bin/cmake usr/bin/ld usr/bin/*-ld usr/bin/as 2>/dev/null || true)
[ -z "$compilers" ] || { echo "the armhf root has a compiler or linker: $compilers" >&2; exit 1; }
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
inroot() { chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin "$@"; }
pyver=$(inroot python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
[ "$pyver" = 3.13 ] || { echo "the root has Python $pyver, not 3.13" >&2; exit 1; }

# ---- install and run the suite inside ------------------------------------------------------
stage "install from the wheels into the root"
# As a user would on a board: a virtual environment over Debian's packages, then one pip
# command that may take nothing but the wheels given (no index; the root could not build one).
t0=$SECONDS
inroot python3 -m venv --system-site-packages /opt/venv
echo "   python3 -m venv --system-site-packages: $((SECONDS - t0)) s (its pip is set up under emulation)" >&2
mkdir -p "$root/opt/wheels"
cp "${wheels[@]}" "$root/opt/wheels/"
for w in "${wheels[@]}"; do echo "   $(basename "$w")" >&2; done
t0=$SECONDS
inroot /opt/venv/bin/pip install --no-index --find-links /opt/wheels marvane \
    > "$work/pip.log" 2>&1 || { cat "$work/pip.log"; exit 1; }
grep '^Successfully installed' "$work/pip.log" >&2 || true
echo "   installed from the wheels in $((SECONDS - t0)) s (pip install under qemu-user emulation)" >&2
mkdir -p "$root/opt/marvane"
# The repository as the suite sees it; marvane itself is imported from the installed wheel.
tar -C "$repo" --exclude=./build --exclude=./dist --exclude=./.git --exclude='./.venv*' -cf - . \
    | tar -C "$root/opt/marvane" -xf -
inroot /opt/venv/bin/python -c '
import importlib.util, platform, sys, pandas, marvane.FrameStore, marvane.TSClient, fastparquet
for module in (marvane.FrameStore, fastparquet):
    assert module.__file__.startswith("/opt/venv/"), module.__file__
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
