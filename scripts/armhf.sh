# Sourced by scripts/build-wheels.sh and scripts/check-armhf.sh (not run on its own): what both
# need for 32-bit Arm (armhf, hard float) on this x86_64 Debian machine, as root.
#   armhf_host_tools      installs the cross compiler, qemu-user and the root builder when
#                         missing, and registers qemu for Arm binaries;
#   armhf_extract DIR P [mmdebstrap options]  makes an armhf Debian 13 root in DIR by
#                         extracting the packages P (comma-separated) and what they depend on:
#                         no maintainer script runs.
# MARVANE_ARMHF_CACHE=dir keeps what is prepared between runs (default /var/cache/marvane);
# MARVANE_DEBIAN_MIRROR names the Debian mirror; MARVANE_HOST_PYTHON313 the host's CPython 3.13.
armhf_cache=${MARVANE_ARMHF_CACHE:-/var/cache/marvane}
armhf_suite=trixie
armhf_mirror=${MARVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
armhf_multiarch=arm-linux-gnueabihf
armhf_host_python=${MARVANE_HOST_PYTHON313:-/root/.pyenv/versions/3.13.0/bin/python3.13}
# fastparquet has no armv7l wheel on the package index: it is cross-built from this release.
armhf_fastparquet_version=2024.11.0

armhf_host_tools() {
    local p need=() log
    [ "$(id -u)" = 0 ] || { echo "the armhf tools need root" >&2; return 2; }
    for p in qemu-user-static binfmt-support arch-test mmdebstrap crossbuild-essential-armhf; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
    done
    if [ ${#need[@]} -gt 0 ]; then
        log=$(mktemp)
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" > "$log" 2>&1 \
            || { tail -30 "$log"; rm -f "$log"; return 1; }
        rm -f "$log"
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || update-binfmts --enable qemu-arm
    arch-test armhf > /dev/null || { echo "this machine cannot run armhf binaries (arch-test armhf)" >&2; return 1; }
}

armhf_extract() {
    local dir=$1 packages=$2
    shift 2
    mmdebstrap --quiet --arch=armhf --variant=extract "$@" --include="$packages" \
        "$armhf_suite" "$dir" "$armhf_mirror" > "$dir.log" 2>&1 \
        || { tail -30 "$dir.log"; return 1; }
}
