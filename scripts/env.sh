# Sourced by the scripts (not run on its own). Gets a machine ready to build and run marvane:
#   marvane_os_packages  installs what a build and the tests need when it is missing (Debian
#                        and Ubuntu: python3-venv, python3-dev, g++, cmake, redis-server; with
#                        apt-get, through sudo when not root), and says what it installs;
#   marvane_python       sets PY to the Python to install into: the active virtual environment,
#                        else the project's own one in .venv (made on first use, then reused);
#   marvane_installed_python  sets PY like marvane_python, but never makes an environment.
# PYTHON names the interpreter that makes the project's environment (default python3); with
# PYTHON set the environment is .venv-X.Y after its version, so that runs under several
# Pythons keep one each. MARVANE_VENV names the directory outright. Run from the repository root.

say() { echo "marvane setup: $*" >&2; }

_marvane_base_python() {
    if [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python" ]; then
        echo "$VIRTUAL_ENV/bin/python"
    else
        echo "${PYTHON:-python3}"
    fi
}

_marvane_has_redis() {
    command -v redis-server >/dev/null 2>&1 || [ -x /usr/bin/redis-server ] || [ -x /usr/sbin/redis-server ]
}

_marvane_venv_dir() {
    if [ -n "${MARVANE_VENV:-}" ]; then
        echo "$MARVANE_VENV"
    elif [ -n "${PYTHON:-}" ]; then
        echo ".venv-$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    else
        echo ".venv"
    fi
}

marvane_os_packages() {
    local base missing=() sudo=""
    base=$(_marvane_base_python)
    if ! command -v "$base" >/dev/null 2>&1; then
        say "no $base found; install Python 3.11 or newer first (Debian, Ubuntu: apt-get install python3)"
        exit 1
    fi
    if ! "$base" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
        say "$("$base" --version 2>&1) is too old: marvane needs Python 3.11 or newer"
        exit 1
    fi
    # Debian and Ubuntu keep venv's pip bootstrap and the C headers in packages of their own.
    if [ -z "${VIRTUAL_ENV:-}" ] && ! "$base" -c 'import ensurepip, venv' >/dev/null 2>&1; then
        missing+=(python3-venv)
    fi
    "$base" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
        || missing+=(python3-dev)
    command -v g++ >/dev/null 2>&1 || command -v c++ >/dev/null 2>&1 || missing+=(g++)
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    _marvane_has_redis || missing+=(redis-server)
    [ ${#missing[@]} -eq 0 ] && return 0

    if ! command -v apt-get >/dev/null 2>&1; then
        say "missing: ${missing[*]}; install them with your system's package manager and run again"
        exit 1
    fi
    if [ "$(id -u)" != 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            say "missing: ${missing[*]}; run as root: apt-get install -y ${missing[*]}"
            exit 1
        fi
        sudo="sudo"
    fi
    say "installing missing OS packages: ${missing[*]} (${sudo:+sudo }apt-get install)"
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

marvane_python() {
    if [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python" ]; then
        PY="$VIRTUAL_ENV/bin/python"
        say "using the active virtual environment $VIRTUAL_ENV"
        return 0
    fi
    local venv
    venv=$(_marvane_venv_dir)
    if "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
        say "using the project's virtual environment $venv"
    else
        say "making the project's virtual environment $venv (${PYTHON:-python3} -m venv $venv)"
        "${PYTHON:-python3}" -m venv --clear "$venv"
    fi
    PY="$(cd "$venv" && pwd)/bin/python"
    MARVANE_VENV_DIR=$venv
}

marvane_installed_python() {
    local venv
    venv=$(_marvane_venv_dir)
    if [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python" ]; then
        PY="$VIRTUAL_ENV/bin/python"
    elif [ -x "$venv/bin/python" ]; then
        PY="$(cd "$venv" && pwd)/bin/python"
    else
        PY=python3
    fi
}

# marvane_find_python X.Y: prints the CPython X.Y to build or test with: MARVANE_PYTHON_X_Y
# (e.g. MARVANE_PYTHON_3_13=/usr/bin/python3.13), else the newest X.Y.* under MARVANE_PYTHONS
# (default /root/.pyenv/versions), else pythonX.Y on PATH; fails, saying so, when none is X.Y.
marvane_find_python() {
    local version=$1 var python
    var=MARVANE_PYTHON_${version//./_}
    python=${!var:-}
    if [ -z "$python" ]; then
        python=$(ls -d "${MARVANE_PYTHONS:-/root/.pyenv/versions}/$version".*/bin/python"$version" 2>/dev/null \
                 | sort -V | tail -1 || true)
    fi
    [ -n "$python" ] || python=$(command -v "python$version" || true)
    if [ -z "$python" ] || ! "$python" -c 'import sys; assert sys.version_info[:2] == tuple(map(int, sys.argv[1].split(".")))' "$version" 2>/dev/null; then
        echo "no CPython $version on this machine (set $var to its python)" >&2
        return 1
    fi
    echo "$python"
}

# marvane_dist_wheel X.Y: prints the marvane wheel that scripts/build-wheels.sh left in dist/
# for CPython X.Y on this machine, while no source is newer than it; prints nothing otherwise.
marvane_dist_wheel() {
    local tag=cp${1//./} wheel
    wheel=$(ls -t dist/marvane-*-"$tag-$tag"-*"_$(uname -m).whl" 2>/dev/null | head -1 || true)
    [ -n "$wheel" ] || return 0
    [ -z "$(find src CMakeLists.txt pyproject.toml -newer "$wheel" -print -quit)" ] || return 0
    echo "$wheel"
}

# The tags a compressed tag set names (cp313-cp313-a.b: cp313-cp313-a and cp313-cp313-b), sorted.
_marvane_expand_tags() {
    local py abi plat a b c
    IFS=- read -r py abi plat <<< "$1"
    for a in ${py//./ }; do for b in ${abi//./ }; do for c in ${plat//./ }; do
        echo "$a-$b-$c"
    done; done; done | sort
}
# marvane_check_wheel_tags WHEEL TAG: the wheel's name ends in the tag set TAG, and its WHEEL
# file carries exactly the tags TAG names and says it is not pure; fails, saying why, otherwise.
marvane_check_wheel_tags() {
    local wheel=$1 tag=$2 name meta
    name=$(basename "$wheel" .whl)
    [[ $name == *-$tag ]] || { echo "$name is not tagged $tag" >&2; return 1; }
    meta=$(unzip -p "$wheel" '*.dist-info/WHEEL')
    [ "$(grep '^Tag: ' <<< "$meta" | cut -d' ' -f2 | sort)" = "$(_marvane_expand_tags "$tag")" ] \
        && grep -qx 'Root-Is-Purelib: false' <<< "$meta" \
        || { echo "$name: its WHEEL file does not match its name:"; echo "$meta"; return 1; } >&2
}
