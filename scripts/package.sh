#!/usr/bin/env bash
# Builds the Debian packages into dist/ with CPack and checks each with lintian
# (an error fails the script; warnings are shown):
#   native (amd64) from the preset default (build/), and armhf from the cross build of
#   scripts/cross-armhf.sh (build-armhf/, made first without its tests when missing):
#   kemo-ipc-rtu1 (the library), kemo-ipc-rtu-dev, kemo-ipc-rtu-tools (plc-host, plc-sim).
#
#   scripts/package.sh [native] [armhf]        default: both
#
# Installs lintian when it is missing (as root, or through sudo). Ends with "packages: N passed, M failed",
# one check per package file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"
cd "$root"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native armhf)
dist=$root/dist
mkdir -p "$dist"
apt_install --no-install-recommends lintian

# cpack in the build folder $1; the packages replace those of the same architecture in dist/.
pack() {
    local build=$1 arch=$2 work
    work=$(mktemp -d)
    if ! (cd "$build" && cpack -G DEB -B "$work") >"$work/cpack.log" 2>&1; then
        cat "$work/cpack.log"
        return 1
    fi
    rm -f "$dist"/kemo-ipc-rtu*_"$arch".deb
    mv "$work"/*.deb "$dist"/
    rm -rf "$work"
}

for target in "${targets[@]}"; do
    case $target in
    native)
        cmake --preset default >/dev/null
        cmake --build --preset default
        pack build "$(dpkg --print-architecture)"
        ;;
    armhf)
        if [ -f build-armhf/CPackConfig.cmake ]; then
            cmake --build --preset armhf
        else
            KEMO_ARMHF_NO_TESTS=1 bash scripts/cross-armhf.sh
        fi
        pack build-armhf armhf
        ;;
    *) echo "package: unknown target $target (native, armhf)" >&2; exit 2 ;;
    esac
done

passed=0 failed=0
for deb in "$dist"/*.deb; do
    if lintian --fail-on error "$deb" 2>/dev/null; then
        echo "lintian $(basename "$deb"): no error"
        passed=$((passed + 1))
    else
        echo "lintian $(basename "$deb"): ERRORS"
        failed=$((failed + 1))
    fi
done
echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
