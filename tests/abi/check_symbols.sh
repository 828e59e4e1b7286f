#!/bin/sh
# Compares the dynamic symbols a built driver library defines with the
# checked-in list: every host entry point under its plain name, the library
# functions with their C++ signatures, the five globals, and nothing else
# (no Qt or std template instantiations leaking out).
#
#   check_symbols.sh NM CXXFILT LIBRARY EXPECTED_LIST
#
# Lines read "function NAME" or "object NAME", NAME demangled; in the list,
# blank lines and lines starting with # are ignored and the order is free.
set -eu
[ $# -eq 4 ] || { echo "usage: $0 NM CXXFILT LIBRARY EXPECTED_LIST" >&2; exit 2; }
nm=$1 cxxfilt=$2 lib=$3 expected=$4

actual=$(mktemp)
trap 'rm -f "$actual"' EXIT

# Symbols the linker defines in every shared object are not the driver's;
# neither are sanitizer instrumentation symbols of an instrumented build.
"$nm" -D --defined-only "$lib" |
  awk 'NF >= 3 {
         type = $2; name = $3
         sub(/@.*/, "", name)
         if (name ~ /^(_init|_fini|_edata|_end|__bss_start|__bss_start__|__bss_end__|_bss_end__|__end__)$/) next
         if (name ~ /^__(odr_asan|asan|tsan|ubsan)/) next
         if (type ~ /^[TtWwi]$/) kind = "function"
         else kind = "object"
         print kind, name
       }' |
  "$cxxfilt" | LC_ALL=C sort -u >"$actual"

if [ ! -s "$actual" ]; then
  echo "no dynamic symbols read from $lib" >&2
  exit 1
fi

if grep -v -e '^#' -e '^[[:space:]]*$' "$expected" | LC_ALL=C sort -u |
    diff -u --label expected --label "$lib" - "$actual"; then
  echo "exported symbols: $(wc -l <"$actual") as listed"
else
  echo "exported symbols differ from $expected: '-' lines are missing, '+' lines unexpected" >&2
  exit 1
fi
