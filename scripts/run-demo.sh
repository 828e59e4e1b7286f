#!/usr/bin/env bash
# The main job: builds only what the demo needs (the driver library, plc-host
# and plc-sim; no tests, no benchmarks) in build-demo/ and shows plc-host's live
# table against the simulated controller. Extra arguments go to plc-host.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${DEMO_BUILD_DIR:-$root/build-demo}"
"$root/scripts/setup.sh" demo
# -O2: a tenth less compile time than -O3, and the demo waits on the line, not the CPU.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
      -DKEMO_BUILD_TESTS=OFF -DKEMO_BUILD_BENCHMARKS=OFF -DKEMO_BUILD_FUZZERS=OFF -DKEMO_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target kemo_ipc_rtu plc-host plc-sim
exec "$build/host/plc-host" run "$root/examples/demo.json" --simulate "$@"
