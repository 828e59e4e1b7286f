#!/usr/bin/env bash
# The whole test suite: unit, cycle, integration and stress tests, then the
# same suite under AddressSanitizer + UndefinedBehaviorSanitizer, the stress
# test under ThreadSanitizer, and the hardening checks.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="$(nproc)"
step() { echo; echo "==== $* ($(date +%T))"; }
passed=0
# Runs ctest and counts what it ran; set -e stops the suite on any failure.
run_ctest() {
    local log
    log="$(mktemp)"
    ctest "$@" 2>&1 | tee "$log"
    passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)))
    rm -f "$log"
}

step setup
scripts/setup.sh

step "build and test"
scripts/build.sh
run_ctest --test-dir build -j"$jobs" --output-on-failure

step "AddressSanitizer + UndefinedBehaviorSanitizer"
BUILD_DIR="$root/build-asan" scripts/build.sh -DKEMO_SANITIZE=address,undefined -DKEMO_BUILD_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest --test-dir build-asan -j"$jobs" --output-on-failure

step "ThreadSanitizer stress"
BUILD_DIR="$root/build-tsan" scripts/build.sh -DKEMO_SANITIZE=thread -DKEMO_BUILD_TOOLS=OFF -DKEMO_BUILD_BENCHMARKS=OFF
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" \
    run_ctest --test-dir build-tsan -R Stress --output-on-failure

step "32-bit ARM target under qemu-arm"
bash scripts/cross-armhf.sh

step "fuzzing (60 s a target)"
bash scripts/fuzz.sh 60

step done
echo "tests (native, sanitizers): $passed passed, 0 failed"
