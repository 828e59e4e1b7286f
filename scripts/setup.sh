#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only what is missing.
set -euo pipefail

packages=(cmake make g++ pkg-config qtbase5-dev libgtest-dev googletest libbenchmark-dev
          libmodbus-dev python3 clang libclang-rt-14-dev valgrind gnuplot-nox)
# "setup.sh demo": only what the demo builds (library, plc-host, plc-sim).
[ "${1:-}" = "demo" ] && packages=(cmake make g++ pkg-config qtbase5-dev libmodbus-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq || true  # a failed secondary index must not stop the install
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
