#!/usr/bin/env bash
# Installs Debian's redis-server when it is missing (the demo and the tests start their own).
set -euo pipefail
if ! command -v redis-server >/dev/null 2>&1 && [ ! -x /usr/bin/redis-server ]; then
    sudo=""
    [ "$(id -u)" = 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq redis-server >/dev/null
fi
