#!/usr/bin/env bash
# Leak check: a small host loads the driver with dlopen, runs a few hundred
# exchanges of every kind and unloads it, all under valgrind's memcheck.
# Fails on any definitely or indirectly lost byte and on any invalid access;
# blocks Qt itself keeps reachable are fine.
#
#   scripts/leakcheck.sh [ROUNDS]     (default 30 rounds of 40 exchanges)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-leak"
rounds="${1:-30}"

cd "$root"
cmake --preset leak >/dev/null
cmake --build --preset leak

library="$build/driver/libkemo_ipc_rtu.so.1"
log="$build/valgrind.log"
if valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
        --error-exitcode=1 --log-file="$log" "$build/tests/leak/leak_host" "$library" "$rounds"; then
    grep -E 'definitely lost|indirectly lost|ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== */   /'
    echo "leakcheck: clean"
else
    cat "$log"
    echo "leakcheck: FAILED (log: $log)"
    exit 1
fi
