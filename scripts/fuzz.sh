#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for SECONDS (default 60), one after the other.
#
#   scripts/fuzz.sh [SECONDS]
#
# Any finding (crash, sanitizer report, failed harness check, leak, time-out,
# memory beyond 2 GiB) makes the script fail; the input is kept in
# build-fuzz/findings/<target>/ and can be replayed with `build-fuzz/fuzz/<target> FILE`.
# Inputs that reach new code are added to build-fuzz/corpus/<target>/; the
# seeds in fuzz/corpus/ are only read. Built with the CMake preset fuzz.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="$root/build-fuzz"
targets=(fuzz_answer_intake fuzz_host_calls fuzz_read_list fuzz_rtu_framing)

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
passed=0
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    mkdir -p "$corpus" "$findings"
    log="$build/$target.log"
    echo "== $target: ${seconds} s"
    if "$build/fuzz/$target" "$corpus" "$root/fuzz/corpus/$target" \
        -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$findings/" >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|DONE' "$log" | sed 's/^/   /'
        passed=$((passed + 1))
    else
        echo "   FINDING (log: $log)"
        grep -E 'ERROR|fuzz check failed|SUMMARY|Test unit written|runtime error' "$log" | head -20 | sed 's/^/   /'
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: findings in ${failed[*]}"
fi
echo "fuzz: $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
