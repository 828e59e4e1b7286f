#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format (.clang-format
# at the top) makes of it. With --fix, formats them in place instead.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
mapfile -t files < <(git ls-files '*.cpp' '*.h' ':!:fuzz/corpus/*')
if [ "${1:-}" = --fix ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
if ! clang-format --dry-run -Werror "${files[@]}" 2>/tmp/format.$$; then
    head -n 40 /tmp/format.$$
    echo "check-format: unformatted C++ above; scripts/check-format.sh --fix formats it"
    rm -f /tmp/format.$$
    exit 1
fi
rm -f /tmp/format.$$
echo "check-format: ${#files[@]} files formatted"
