#!/usr/bin/env bash
# Builds the benchmarks as the driver ships (preset default, RelWithDebInfo, in
# build/) and runs them all: the driver's CPU and allocation figures, the scan
# efficiency of the read-list grouping, plc-host against libmodbus over a pty,
# plc-host's cost as the tag table grows, and its exchange period on a paced
# line (with a plot). Everything printed is also kept in
# build/bench-results.txt. docs/performance.md explains the figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
out="$build/bench-results.txt"

cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default --target driver_bench scan_efficiency compare_libmodbus host_scale plc-host plc-sim

load="$(cut -d' ' -f1 /proc/loadavg)"
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
    echo "warning: load average $load: other work shares the CPUs, the timings will be noisy" >&2
fi

{
    echo "==== machine"
    echo "date:   $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
    echo "cpus:   $(nproc) x $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
    echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) before the run"
    echo
    echo "==== driver_bench (median of 5)"
    "$build/benchmarks/driver_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
        --benchmark_display_aggregates_only=true 2>&1 | grep -v '_mean\|_stddev\|_cv'
    echo
    echo "==== scan_efficiency"
    "$build/benchmarks/scan_efficiency"
    echo
    echo "==== compare_libmodbus"
    "$build/benchmarks/compare_libmodbus" --seconds 6 --rounds 6
    echo
    echo "==== host_scale"
    "$build/benchmarks/host_scale" --seconds 3
    echo
    echo "==== exchange period on a paced line (scripts/bench-line.sh)"
    BUILD_DIR="$build" "$root/scripts/bench-line.sh"
    echo
    echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) after the run"
} 2>&1 | tee "$out"
