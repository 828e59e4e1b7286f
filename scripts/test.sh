#!/usr/bin/env bash
# The whole test suite, every build from a CMake preset (CMakePresets.json):
#   default   unit, cycle, integration, install, leak (valgrind) and benchmark smoke tests
#   asan      the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan      the stress tests under ThreadSanitizer
#   armhf     the 32-bit ARM build's tests under qemu-arm (scripts/cross-armhf.sh)
#   packages  Debian packages built and checked with lintian (scripts/package.sh), then unpacked
#             and used (tests/install/check_packages.sh)
#   fuzz      each libFuzzer target for 60 s (scripts/fuzz.sh)
# Every step runs even when an earlier one failed. The last line counts every test run:
#   tests: N passed, M failed
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root" || exit 1
start=$(date +%s)
passed=0
failed=0
step() { echo; echo "==== $* ($(date +%T))"; }

# Runs a command, shows its output and adds up what it counted: ctest's
# summary, else a closing "N passed, M failed" line. A command that fails
# without counting a failure (a build, say) counts as one failed test.
run() {
    local log rc line p=0 f=0
    log="$(mktemp)"
    "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    line="$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)"
    if [ -n "$line" ]; then
        f="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")"
        p=$(( $(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line") - f ))
    else
        line="$(grep -E '(^|: )[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)"
        if [ -n "$line" ]; then
            p="$(sed -E 's/.*(^|: )([0-9]+) passed, ([0-9]+) failed$/\2/' <<<"$line")"
            f="$(sed -E 's/.*(^|: )([0-9]+) passed, ([0-9]+) failed$/\3/' <<<"$line")"
        fi
    fi
    [ "$rc" -eq 0 ] || [ "$f" -gt 0 ] || f=1
    passed=$((passed + p))
    failed=$((failed + f))
    rm -f "$log"
}

step setup
scripts/setup.sh || exit 1

step "build and test (preset default)"
run scripts/build.sh default
run ctest --preset default

step "AddressSanitizer + UndefinedBehaviorSanitizer (preset asan)"
run scripts/build.sh asan
run ctest --preset asan

step "ThreadSanitizer stress (preset tsan)"
run scripts/build.sh tsan
run ctest --preset tsan

step "32-bit ARM target under qemu-arm (preset armhf)"
run bash scripts/cross-armhf.sh

step "Debian packages"
run bash scripts/package.sh
run bash tests/install/check_packages.sh dist

step "fuzzing (60 s a target, preset fuzz)"
run bash scripts/fuzz.sh 60

step "done"
echo "suite took $(( ($(date +%s) - start) / 60 )) min $(( ($(date +%s) - start) % 60 )) s"
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
