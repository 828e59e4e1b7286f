#!/usr/bin/env bash
# Exchange period of plc-host on a paced line: plc-sim --pace answers at the
# line's speed (after the request's own wire time and t3.5), and plc-host
# keeps t3.5 before every request as on a serial line. Compared with the
# ideal period: request and answer bytes at the bit rate + the controller's
# t3.5 before answering + the host's t3.5 before the next request.
#
#   scripts/bench-line.sh [SECONDS]      (default 8 per run)
#
# Two runs per baud rate: as the machine is, and with link.realtime while two
# busy loops keep both cores loaded (the simulated controller then runs at
# real-time priority too, as a controller is hardware of its own). Results in
# $BUILD_DIR/line/ (line.dat, line.png); the plot needs gnuplot (gnuplot-nox).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
seconds="${1:-8}"
out="$build/line"
mkdir -p "$out"
if [ ! -x "$build/host/plc-host" ] || [ ! -x "$build/simulator/plc-sim" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target plc-host plc-sim >/dev/null

busy=()
stop_busy() { for p in "${busy[@]}"; do kill "$p" 2>/dev/null || true; done; busy=(); }
trap stop_busy EXIT

# One run: prints the exchange period in microseconds.
period() {
    local baud="$1" mode="$2" t35="$3" sim_prio=() realtime=false
    if [ "$mode" = loaded ]; then
        realtime=true
        chrt -f 20 true 2>/dev/null && sim_prio=(chrt -f 20)
        for _ in 1 2; do (while :; do :; done) & busy+=("$!"); done
    fi
    local simlog="$out/sim-$baud-$mode.txt"
    "${sim_prio[@]}" "$build/simulator/plc-sim" --stations 1 --baud "$baud" --parity E --pace --no-animate \
        --seconds "$((${seconds%.*} + 10))" >"$simlog" &
    local sim=$!
    local pty=""
    for _ in $(seq 50); do pty="$(awk '/^PTY/ {print $2}' "$simlog")"; [ -n "$pty" ] && break; sleep 0.1; done
    cat >"$out/line-$baud-$mode.json" <<JSON
{"link": {"device": "$pty", "baud": $baud, "parity": "E", "responseTimeoutMs": 200, "gapUs": $t35,
          "realtime": $realtime},
 "tags": [{"name": "block", "kind": "hr.word", "address": 100, "count": 10}]}
JSON
    "$build/host/plc-host" run "$out/line-$baud-$mode.json" --seconds "$seconds" >"$out/run-$baud-$mode.txt" \
        2>"$out/run-$baud-$mode.err"
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
    stop_busy
    # The summary line: exchanges over the whole run.
    tail -n 1 "$out/run-$baud-$mode.txt" | sed -E 's/.*rate=([0-9.]+).*fail=([0-9]+).*/\1 \2/' |
        awk '{ if ($1 > 0) printf "%.0f %d\n", 1e6 / $1, $2; else print "0 0" }'
}

printf '# baud mode period_us ideal_us ratio failures\n' >"$out/line.dat"
printf '%-8s %-8s %10s %10s %7s %9s\n' baud mode "period us" "ideal us" ratio failures
for baud in 19200 115200; do
    # 8E1: 11 bits a character; t3.5 is 1.75 ms above 19,200 baud.
    char_us=$(awk -v b="$baud" 'BEGIN { printf "%.3f", 11e6 / b }')
    t35=$(awk -v b="$baud" -v c="$char_us" 'BEGIN { printf "%d", b <= 19200 ? 3.5 * c + 0.5 : 1750 }')
    ideal=$(awk -v c="$char_us" -v t="$t35" 'BEGIN { printf "%.0f", (8 + 25) * c + 2 * t }')
    for mode in quiet loaded; do
        read -r p fails < <(period "$baud" "$mode" "$t35")
        ratio=$(awk -v p="$p" -v i="$ideal" 'BEGIN { printf "%.3f", p / i }')
        printf '%-8s %-8s %10s %10s %7s %9s\n' "$baud" "$mode" "$p" "$ideal" "$ratio" "$fails"
        printf '%s %s %s %s %s %s\n' "$baud" "$mode" "$p" "$ideal" "$ratio" "$fails" >>"$out/line.dat"
    done
done
grep -h "realtime" "$out"/run-*-loaded.err 2>/dev/null || true

if command -v gnuplot >/dev/null; then
    gnuplot <<GP
set terminal pngcairo size 800,480 noenhanced
set output "$out/line.png"
set title "plc-host exchange period on a paced line (10 registers, 8E1)"
set ylabel "period / ideal"
set yrange [0.95:1.10]
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set key below
set grid ytics
set arrow from graph 0, first 1.03 to graph 1, first 1.03 nohead dt 2 lc rgb "gray40"
set arrow from graph 0, first 1.05 to graph 1, first 1.05 nohead dt 3 lc rgb "gray40"
set label "limit, quiet machine" at graph 0.02, first 1.034
set label "limit, busy cores with realtime" at graph 0.02, first 1.054
plot "< awk '\$2 == \"quiet\"' $out/line.dat" using 5:xtic(1) title "as the machine is", \
     "< awk '\$2 == \"loaded\"' $out/line.dat" using 5 title "both cores busy, link.realtime"
GP
    echo "plot: $out/line.png"
else
    echo "gnuplot not installed (scripts/setup.sh installs gnuplot-nox): no plot" >&2
fi
