#!/usr/bin/env bash
# Checks the Debian packages of scripts/package.sh as an integrator meets them:
# the native ones unpacked into a scratch root with dpkg -x (the library, the
# development files, the tools), host-minimal built against that root with
# pkg-config and with find_package and run against the packaged plc-sim; the
# armhf library package holds a 32-bit ARM library with the right soname, and
# the armhf plc-sim, run under qemu-arm, serves host-minimal.
#   check_packages.sh [DIST]        default: <repo>/dist
# Ends with "package checks: N passed, M failed".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dist=${1:-$here/../../dist}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0 failed=0
check() {
    local name=$1; shift
    if "$@" >"$scratch/log" 2>&1; then
        echo "ok    $name"; passed=$((passed + 1))
    else
        echo "FAIL  $name"; sed 's/^/      /' "$scratch/log"; failed=$((failed + 1))
    fi
}

arch=$(dpkg --print-architecture)
root=$scratch/root
unpack() {
    local deb name
    for name in kemo-ipc-rtu1 kemo-ipc-rtu-dev kemo-ipc-rtu-tools; do
        deb=$(ls "$dist/${name}_"*"_$arch.deb") && dpkg -x "$deb" "$root" || return 1
    done
}
check "$arch packages unpack" unpack
check "$arch layout" bash "$here/check_install.sh" layout "$root/usr"
for mode in pkg-config find_package; do
    check "$arch host-minimal via $mode" \
        bash "$here/check_install.sh" "$mode" "$root/usr" "$root/usr/bin/plc-sim" "$scratch/$mode"
done

arm_lib() {
    local deb lib
    deb=$(ls "$dist"/kemo-ipc-rtu1_*_armhf.deb) && dpkg -x "$deb" "$scratch/armhf" || return 1
    lib=$scratch/armhf/usr/lib/libkemo_ipc_rtu.so.1.0.0
    readelf -h "$lib" | grep -q 'Class:.*ELF32' && readelf -h "$lib" | grep -q 'Machine:.*ARM' &&
        readelf -d "$lib" | grep -q 'SONAME.*\[libkemo_ipc_rtu.so.1\]' &&
        [ "$(readlink "$scratch/armhf/usr/lib/libkemo_ipc_rtu.so.1")" = libkemo_ipc_rtu.so.1.0.0 ]
}
check "armhf library: 32-bit ARM ELF, soname libkemo_ipc_rtu.so.1" arm_lib

# The armhf tools under user-mode emulation, their libraries from the cross build's sysroot.
sysroot=$here/../../build-armhf/sysroot
cat >"$scratch/plc-sim-armhf" <<EOS
#!/bin/sh
exec qemu-arm -L /usr/arm-linux-gnueabihf \\
    -E LD_LIBRARY_PATH=$sysroot/usr/lib/arm-linux-gnueabihf:$sysroot/lib/arm-linux-gnueabihf \\
    "$scratch/armhf/usr/bin/plc-sim" "\$@"
EOS
chmod +x "$scratch/plc-sim-armhf"
arm_sim() {
    dpkg -x "$(ls "$dist"/kemo-ipc-rtu-tools_*_armhf.deb)" "$scratch/armhf" &&
        bash "$here/check_install.sh" pkg-config "$root/usr" "$scratch/plc-sim-armhf" "$scratch/armsim"
}
check "armhf plc-sim under qemu-arm serves host-minimal" arm_sim

echo "package checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
