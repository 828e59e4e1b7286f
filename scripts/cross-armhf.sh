#!/usr/bin/env bash
# Builds the driver library, its unit tests, plc-host and plc-sim for 32-bit
# ARM Linux (armhf), the driver's real target, and runs the tests under
# qemu-arm (not the integration tests, which start the programs themselves).
#
#   scripts/cross-armhf.sh            builds with the CMake preset armhf into <repo>/build-armhf
#
# Idempotent and unattended (no stdin; as root, or through sudo where it
# installs): what it changes on the machine, only when missing:
#   - dpkg --add-architecture armhf, then apt-get update (so that apt can
#     download armhf packages; nothing armhf is installed into the system);
#   - installs g++-arm-linux-gnueabihf and qemu-user.
# It downloads the armhf Qt 5 Core, GoogleTest and libmodbus packages once (into
# build-armhf/debs, or KEMO_ARMHF_DEB_CACHE), unpacks them into
# build-armhf/sysroot, configures, builds, and runs ctest --preset armhf
# (every test under qemu-arm but the wall-clock budgets, which emulation
# cannot meet). Exits non-zero when any step or any test fails.
#
# Environment:
#   KEMO_ARMHF_DEB_CACHE   where downloaded .debs are kept
#   KEMO_ARMHF_JOBS        parallel build and test jobs (default 2)
#   KEMO_ARMHF_NO_TESTS    1: build only (scripts/package.sh)
set -euo pipefail

start=$(date +%s)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/lib.sh"
build=$root/build-armhf  # the preset's binaryDir; its sysroot is build-armhf/sysroot
mkdir -p "$build"
sysroot=$build/sysroot
debs=${KEMO_ARMHF_DEB_CACHE:-$build/debs}
jobs=${KEMO_ARMHF_JOBS:-2}

log() { printf 'cross-armhf: %s\n' "$*"; }
die() { printf 'cross-armhf: error: %s\n' "$*" >&2; exit 1; }

# Qt 5 Core with its runtime dependencies (what libQt5Core.so.5 and
# libglib-2.0.so.0 name as NEEDED, less libc/libstdc++/libgcc, which come
# with the cross compiler), Qt's headers and CMake packages, GoogleTest, and
# libmodbus for plc-sim and plc-host.
packages=(
  libqt5core5a qtbase5-dev
  libicu72 libpcre2-16-0 libpcre2-8-0 libdouble-conversion3 zlib1g libzstd1 libglib2.0-0
  libgtest-dev
  libmodbus5 libmodbus-dev
)

apt_updated=0
apt_update() {
  [ "$apt_updated" = 1 ] && return 0
  apt_updated=1
  log "apt-get update"
  # A foreign-architecture index of a side repository may fail to come;
  # the main index is enough.
  apt_get update || log "apt-get update reported errors; going on with the indexes it got"
}

# ---- What is missing ----
mkdir -p "$debs"
missing=()
for p in "${packages[@]}"; do
  compgen -G "$debs/${p}_*_armhf.deb" >/dev/null || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  # Before any apt-get update, so that the one update fetches the armhf index.
  log "dpkg --add-architecture armhf"
  as_root dpkg --add-architecture armhf
fi

# ---- Cross compiler and emulator ----
if ! command -v arm-linux-gnueabihf-g++ >/dev/null || ! command -v qemu-arm >/dev/null; then
  apt_update
  apt_get install -y --no-install-recommends g++-arm-linux-gnueabihf qemu-user
fi
command -v arm-linux-gnueabihf-nm >/dev/null || die "arm-linux-gnueabihf-nm missing (binutils-arm-linux-gnueabihf)"

# ---- armhf packages, downloaded once ----
if [ ${#missing[@]} -gt 0 ]; then
  apt-cache show libqt5core5a:armhf >/dev/null 2>&1 || apt_update
  # Root's downloads would run as the _apt user, who may not write to $debs.
  sandbox=()
  [ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
  download() {
    (cd "$debs" && apt-get download "${sandbox[@]}" "${missing[@]/%/:armhf}" </dev/null)
  }
  log "downloading ${missing[*]}"
  if ! download; then
    if [ "$apt_updated" = 1 ]; then die "could not download the armhf packages"; fi
    apt_update
    download || die "could not download the armhf packages"
  fi
fi

# ---- Sysroot: the packages unpacked, rebuilt only when the set changes ----
stamp_want=$(cd "$debs" && for p in "${packages[@]}"; do ls ${p}_*_armhf.deb; done | sort)
stamp_want="layout 1
$stamp_want"
if [ ! -f "$sysroot/.kemo-sysroot" ] || [ "$(cat "$sysroot/.kemo-sysroot")" != "$stamp_want" ]; then
  log "unpacking ${#packages[@]} packages into $sysroot"
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for p in "${packages[@]}"; do
    for deb in "$debs"/${p}_*_armhf.deb; do dpkg -x "$deb" "$sysroot"; done
  done
  # Qt's CMake package insists that qmake, moc, rcc and the mkspec directory
  # exist. Nothing here runs them; link the build machine's tools where
  # present (they are architecture-neutral in what they produce), else stubs.
  for tool in usr/lib/qt5/bin/moc usr/lib/qt5/bin/rcc usr/lib/arm-linux-gnueabihf/qt5/bin/qmake; do
    name=$(basename "$tool")
    mkdir -p "$sysroot/$(dirname "$tool")"
    host_tool=""
    for cand in "/usr/lib/qt5/bin/$name" "/usr/lib/$(gcc -print-multiarch 2>/dev/null)/qt5/bin/$name"; do
      [ -x "$cand" ] && { host_tool=$cand; break; }
    done
    if [ -n "$host_tool" ]; then
      ln -sfn "$host_tool" "$sysroot/$tool"
    else
      printf '#!/bin/sh\necho "%s: not available for the armhf build" >&2\nexit 1\n' "$name" >"$sysroot/$tool"
      chmod +x "$sysroot/$tool"
    fi
  done
  mkdir -p "$sysroot/usr/lib/arm-linux-gnueabihf/qt5/mkspecs/linux-g++"
  printf '%s\n' "$stamp_want" >"$sysroot/.kemo-sysroot"
fi

# ---- Configure, build ----
log "configuring $build"
cd "$root"
cmake --preset armhf >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; die "configure failed"; }
grep -qs 'CMAKE_CXX_COMPILER ".*arm-linux-gnueabihf' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake ||
  die "$build was configured for another compiler; use a fresh build directory"

log "building"
cmake --build --preset armhf -j"$jobs"

# The records' sizes and offsets are static_asserts in the public header
# when pointers are four bytes: reaching this point means the layout holds.
# Make sure the build really was a 32-bit ARM one.
lib=$(find "$build" -name 'libkemo_ipc_rtu.so.1' -print -quit)
[ -n "$lib" ] || die "libkemo_ipc_rtu.so.1 not built"
file -L "$lib" 2>/dev/null | grep -q 'ELF 32-bit LSB.*ARM' ||
    arm-linux-gnueabihf-readelf -h "$lib" | grep -q 'Machine:.*ARM' ||
  die "$lib is not a 32-bit ARM library"

if [ "${KEMO_ARMHF_NO_TESTS:-0}" = 1 ]; then
  log "built in $(($(date +%s) - start)) s (tests not run)"
  exit 0
fi

# ---- Tests under qemu-arm (ctest runs them through the toolchain's emulator) ----
log "running tests under qemu-arm"
set +e
ctest --preset armhf -j"$jobs" </dev/null | tee "$build/ctest.log"
rc=${PIPESTATUS[0]}
set -e

summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$build/ctest.log" | tail -1)
if [ -n "$summary" ]; then
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")
else
  failed=0 total=0
fi
[ "$total" -gt 0 ] || { log "no test ran"; rc=1; }
log "finished in $(($(date +%s) - start)) s"
echo "armhf: $((total - failed)) passed, $failed failed"
exit "$rc"
