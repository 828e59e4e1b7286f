#!/usr/bin/env bash
# Checks an installed libkemo_ipc_rtu as a panel integrator meets it.
#
#   check_install.sh layout PREFIX [BUILD]                  the installed files (BUILD: install it there first)
#   check_install.sh pkg-config|find_package PREFIX PLC_SIM WORK
#       builds examples/host-minimal against PREFIX that way and runs host-minimal against plc-sim over a pty,
#       and host-two-lines against two (tests/integration/two_lines.sh)
set -euo pipefail
mode=$1 prefix=$2
src="$(cd "$(dirname "$0")/../.." && pwd)/examples/host-minimal"
fail() { echo "check_install $mode: $*" >&2; exit 1; }

if [ "$mode" = layout ]; then
    if [ -n "${3:-}" ]; then
        rm -rf "$prefix"
        cmake --install "$3" --prefix "$prefix" >/dev/null
    fi
    lib=$prefix/lib
    [ -f "$lib/libkemo_ipc_rtu.so.1.0.0" ] && [ ! -L "$lib/libkemo_ipc_rtu.so.1.0.0" ] || fail "no library file"
    [ "$(readlink "$lib/libkemo_ipc_rtu.so.1")" = libkemo_ipc_rtu.so.1.0.0 ] || fail "no soname link"
    [ "$(readlink "$lib/libkemo_ipc_rtu.so")" = libkemo_ipc_rtu.so.1 ] || fail "no development link"
    readelf -d "$lib/libkemo_ipc_rtu.so.1.0.0" | grep -q 'SONAME.*\[libkemo_ipc_rtu.so.1\]' || fail "wrong soname"
    headers=$(cd "$prefix/include" && find . -type f | sort)
    [ "$headers" = ./kemo_ipc_rtu/Communication_Protocol.h ] || fail "headers installed: $headers"
    grep -q 'int SetStationOptions(int station, int options)' "$prefix/include/kemo_ipc_rtu/Communication_Protocol.h" &&
        grep -q 'KEMO_STATION_SINGLE_WRITES = 2' "$prefix/include/kemo_ipc_rtu/Communication_Protocol.h" ||
        fail "the installed header lacks SetStationOptions or its option constants"
    grep -qx 'Requires: Qt5Core' "$lib/pkgconfig/kemo_ipc_rtu.pc" || fail "pkg-config file does not require Qt5Core"
    [ -f "$lib/cmake/kemo_ipc_rtu/kemo_ipc_rtuConfig.cmake" ] || fail "no CMake package"
    if [ -e "$prefix/bin" ]; then
        [ -x "$prefix/bin/plc-host" ] && [ -x "$prefix/bin/plc-sim" ] || fail "bin/ lacks plc-host or plc-sim"
        for tool in plc-host plc-sim; do
            zcat "$prefix/share/man/man1/$tool.1.gz" | grep -q 'kemo-ipc-rtu-tools/examples' || fail "man page of $tool"
        done
        example=$prefix/share/doc/kemo-ipc-rtu-tools/examples/demo.json
        "$prefix/bin/plc-host" map "$example" >/dev/null || fail "no usable example configuration"
        version=$(LD_LIBRARY_PATH=$lib "$prefix/bin/plc-host" --version) || fail "plc-host --version: $version"
        grep -qx "driver $(realpath "$lib/libkemo_ipc_rtu.so.1.0.0"), version 1.0.0" <<<"$version" ||
            fail "plc-host --version does not name the installed library: $version"
    fi
    echo "check_install layout: ok"
    exit 0
fi

sim=$3 work=$4
rm -rf "$work" && mkdir -p "$work"
case $mode in
    pkg-config)
        export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
        make -s -C "$work" -f "$src/Makefile" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build failed"; }
        LD_LIBRARY_PATH=$(pkg-config --variable=libdir kemo_ipc_rtu)
        export LD_LIBRARY_PATH
        ;;
    find_package)
        { cmake -S "$src" -B "$work" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF &&
          cmake --build "$work"; } >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build failed"; }
        grep -q "kemo_ipc_rtu_DIR:PATH=$prefix/" "$work/CMakeCache.txt" || fail "found another kemo_ipc_rtu package"
        ;;
    *) fail "unknown mode" ;;
esac

"$sim" --stations 1 --no-animate --seconds 60 >"$work/sim.out" 2>&1 &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q '^PTY ' "$work/sim.out" && break; sleep 0.1; done
pty=$(sed -n 's/^PTY //p' "$work/sim.out" | head -n 1)
[ -n "$pty" ] || fail "plc-sim printed no pty: $(cat "$work/sim.out")"

"$work/host-minimal" "$pty" >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; fail "host-minimal failed"; }
expected='hr 100..103: 1100 1101 1102 1103
hr 200: 4321 (write acknowledged)
coils 0..7: 0 0 1 0 0 1 0 0'
if [ "$(cat "$work/out.txt")" != "$expected" ]; then
    diff <(echo "$expected") "$work/out.txt"
    fail "unexpected values"
fi
bash "$(dirname "$0")/../integration/two_lines.sh" "$sim" "$work/host-two-lines" "$work/two-lines" \
    "$prefix/lib/libkemo_ipc_rtu.so.1" || fail "two lines in one process"
echo "check_install $mode: ok"
