#!/usr/bin/env bash
# Two lines in one host process: host-two-lines, one driver copy per line, against two plc-sims, station 1 on
# one pty and station 2 on the other, with the same addresses read and written on both. Each line must get its
# own station's values and its own write back, every callback on its own line, and neither simulator may see a
# request for the other's station.
#   two_lines.sh PLC_SIM HOST_TWO_LINES WORK [LIBRARY]
set -euo pipefail
sim=$1 host=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
fail() { echo "two_lines: $*" >&2; exit 1; }

pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
for s in 1 2; do
    "$sim" --stations $s --no-animate --seconds 60 --dump "$work/dump$s.json" >"$work/sim$s.out" 2>&1 &
    pids+=($!)
done
ptys=()
for s in 1 2; do
    for _ in $(seq 100); do grep -q '^PTY ' "$work/sim$s.out" && break; sleep 0.1; done
    ptys+=("$(sed -n 's/^PTY //p' "$work/sim$s.out")")
    [ -n "${ptys[-1]}" ] || fail "plc-sim $s printed no pty: $(cat "$work/sim$s.out")"
done

"$host" "${ptys[@]}" ${4:+"$4"} >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; fail "host-two-lines failed"; }
kill "${pids[@]}" && wait  # the dumps are written as the simulators end
expected='line 1: hr 100..103: 1100 1101 1102 1103; hr 200: 4321 (write acknowledged); coils 0..7: 0 0 1 0 0 1 0 0; callbacks 1
line 2: hr 100..102: 2100 2101 2102; hr 200: 1234 (write acknowledged); inputs 0..7: 1 0 1 0 1 0 1 0; callbacks 1
stray callbacks: 0'
if [ "$(cat "$work/out.txt")" != "$expected" ]; then
    diff <(echo "$expected") "$work/out.txt"
    fail "unexpected values"
fi
for s in 1 2; do
    grep -q '"ignoredStation":0,' "$work/dump$s.json" || fail "plc-sim $s saw requests for another station"
done
echo "two_lines: ok"
