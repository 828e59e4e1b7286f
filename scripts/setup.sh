#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only what is missing
# (as root, or through sudo). The armhf cross build and the packaging install
# their own extras (scripts/cross-armhf.sh, scripts/package.sh).
#   scripts/setup.sh [demo]      demo: only what the demo builds (library, plc-host, plc-sim)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
if [ "${1:-}" = demo ]; then
    apt_install cmake make g++ pkg-config qtbase5-dev libmodbus-dev
else
    apt_install cmake make g++ pkg-config qtbase5-dev libgtest-dev googletest libbenchmark-dev \
                libmodbus-dev python3 python3-pymodbus clang libclang-rt-14-dev valgrind \
                gnuplot-nox clang-format
fi
