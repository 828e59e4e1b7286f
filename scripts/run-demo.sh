#!/usr/bin/env bash
# The main job: builds everything and runs the host stand-in against the
# simulated controller, showing live values. Extra arguments go to plc-host.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec "$root/build/host/plc-host" run "$root/examples/demo.json" --simulate "$@"
