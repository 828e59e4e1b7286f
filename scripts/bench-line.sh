#!/usr/bin/env bash
# plc-host against libmodbus's own master on a paced line: plc-sim --pace
# answers at the line's speed (after the request's own wire time and t3.5),
# and each master polls the same 10 holding registers for SECONDS. Reported
# per run: the rate as a share of the ideal one (request and answer bytes at
# the bit rate + the controller's t3.5 + the master's t3.5 before the next
# request; libmodbus keeps no t3.5, so its share may pass 1) and the CPU time
# of the master per exchange (user + system, from the shell's `times`).
#
#   [BAUDS="19200 115200"] [REALTIME=1] scripts/bench-line.sh [SECONDS] [RUNS]
#   (default 4 s, 5 runs per baud; REALTIME=1 runs plc-host with link.realtime and
#   plc-sim at real-time priority, as a controller with its own CPU would answer)
#
# Results in $BUILD_DIR/line/line.dat (one line per run and master), with the
# load average at the start.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
seconds="${1:-4}"
runs="${2:-5}"
out="$build/line"
mkdir -p "$out"
if [ ! -x "$build/host/plc-host" ] || [ ! -x "$build/benchmarks/line_master" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target plc-host plc-sim line_master >/dev/null

sim=""
stop_sim() { [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null; sim=""; }
trap stop_sim EXIT

# plc-sim paced at BAUD on a fresh pty; sets $pty.
start_sim() {
    local simlog="$out/sim.txt"
    ${REALTIME:+chrt -f 50} "$build/simulator/plc-sim" --stations 1 --baud "$1" --parity E --pace --no-animate \
        --seconds "$((${seconds%.*} + 10))" >"$simlog" &
    sim=$!
    pty=""
    for _ in $(seq 50); do pty="$(awk '/^PTY/ {print $2}' "$simlog")"; [ -n "$pty" ] && break; sleep 0.1; done
}

# CPU seconds of this subshell's children, from `times`' second line as saved in $out/times.txt (`times`
# must run in the subshell itself: in a pipe or $(...) it would be a new process without children).
child_cpu() { tail -n 1 "$out/times.txt" | awk '{ gsub(/[ms]/, " "); split($0, f, " "); print 60 * f[1] + f[2] + 60 * f[3] + f[4] }'; }

# One plc-host run: "exchanges failures cpu_us_per_exchange".
host_run() {
    local baud="$1" t35="$2" realtime=""
    [ -n "${REALTIME:-}" ] && realtime=", \"realtime\": true"
    start_sim "$baud"
    cat >"$out/line-$baud.json" <<JSON
{"link": {"device": "$pty", "baud": $baud, "parity": "E", "responseTimeoutMs": 200, "gapUs": $t35$realtime},
 "tags": [{"name": "block", "kind": "hr.word", "address": 100, "count": 10}]}
JSON
    (
        "$build/host/plc-host" run "$out/line-$baud.json" --seconds "$seconds" >"$out/run-$baud.txt" 2>&1
        times >"$out/times.txt"
        cpu=$(child_cpu)
        tail -n 1 "$out/run-$baud.txt" | sed -E 's/.*st1 exch=([0-9]+) fail=([0-9]+).*/\1 \2/' |
            awk -v c="$cpu" '{ printf "%d %d %.1f\n", $1, $2, $1 ? 1e6 * c / $1 : 0 }'
    )
    stop_sim
}

# One libmodbus run, the same way.
libmodbus_run() {
    start_sim "$1"
    "$build/benchmarks/line_master" "$pty" "$1" "$seconds"
    stop_sim
}

load="$(cut -d' ' -f1-3 /proc/loadavg)"
echo "# $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(nproc) cores, load $load" | tee "$out/line.dat"
printf '# baud run master exchanges failures rate/ideal cpu_us_per_exchange\n' >>"$out/line.dat"
printf '%-7s %-4s %-10s %9s %9s %11s %12s\n' baud run master exchanges failures rate/ideal "cpu us/exch"
for baud in ${BAUDS:-19200 115200}; do
    # 8E1: 11 bits a character; t3.5 is 1.75 ms above 19,200 baud.
    char_us=$(awk -v b="$baud" 'BEGIN { printf "%.3f", 11e6 / b }')
    t35=$(awk -v b="$baud" -v c="$char_us" 'BEGIN { printf "%d", b <= 19200 ? 3.5 * c + 0.5 : 1750 }')
    ideal=$(awk -v c="$char_us" -v t="$t35" 'BEGIN { printf "%.0f", (8 + 25) * c + 2 * t }')
    for run in $(seq "$runs"); do
        for master in plc-host libmodbus; do
            if [ "$master" = plc-host ]; then read -r n fails cpu < <(host_run "$baud" "$t35")
            else read -r n fails cpu < <(libmodbus_run "$baud"); fi
            share=$(awk -v n="$n" -v s="$seconds" -v i="$ideal" 'BEGIN { printf "%.3f", n * i / (s * 1e6) }')
            printf '%-7s %-4s %-10s %9s %9s %11s %12s\n' "$baud" "$run" "$master" "$n" "$fails" "$share" "$cpu"
            echo "$baud $run $master $n $fails $share $cpu" >>"$out/line.dat"
        done
    done
done
# Medians per baud and master.
for baud in ${BAUDS:-19200 115200}; do
    for master in plc-host libmodbus; do
        rates=$(awk -v b="$baud" -v m="$master" '$1 == b && $3 == m { print $6 }' "$out/line.dat" | sort -n)
        cpus=$(awk -v b="$baud" -v m="$master" '$1 == b && $3 == m { print $7 }' "$out/line.dat" | sort -n)
        mid=$(((runs + 1) / 2))
        printf 'median %-6s %-10s rate/ideal %s (lowest %s)  cpu us/exch %s\n' "$baud" "$master" \
            "$(echo "$rates" | sed -n "${mid}p")" "$(echo "$rates" | head -n 1)" "$(echo "$cpus" | sed -n "${mid}p")"
    done
done | tee -a "$out/line.dat"
