#!/usr/bin/env bash
# Configures and builds one CMake preset (default: "default", into build/).
#   scripts/build.sh [PRESET] [-DVAR=VALUE ...]
# Presets (CMakePresets.json): default, asan, tsan, fuzz, leak, armhf.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
if [ $# -gt 0 ] && [[ $1 != -* ]]; then preset=$1; shift; fi
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset"
