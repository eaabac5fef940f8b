#!/usr/bin/env bash
# check_exports.sh <library> <allowed-regex> [<expected-list>]
# Fails when the library exports a name (demangled) that does not match the
# allowed pattern, and, with a list, unless the exported names are exactly
# those of the list (one per line; each name counts once). <library> is a
# Linux shared object or a Windows DLL, 64- or 32-bit (read with the mingw
# objdump, which knows both).
set -euo pipefail
lib=$1
allowed=$2
expected=${3:-}
case "$lib" in
  *.dll)
    # The export table's name list: "[ordinal] name" lines after
    # "[Ordinal/Name Pointer] Table".
    names=$(x86_64-w64-mingw32-objdump -p "$lib" | awk '/\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
        t && /^[[:space:]]*\[[[:space:]]*[0-9]+\]/ { print $NF; next } t && NF == 0 { t = 0 }')
    ;;
  *)
    names=$(nm -D --defined-only "$lib" | awk '{ print $3 }' \
            | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$')
    ;;
esac
actual=$(printf '%s\n' "$names" | c++filt | LC_ALL=C sort -u)
bad=$(printf '%s\n' "$actual" | grep -v -E "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected exports in $lib:"
  echo "$bad"
  exit 1
fi
if [ -n "$expected" ]; then
  if ! diff_out=$(diff <(LC_ALL=C sort -u "$expected") <(printf '%s\n' "$actual")); then
    echo "exports of $lib differ from $expected (< missing, > not listed):"
    printf '%s\n' "$diff_out" | grep '^[<>]'
    exit 1
  fi
fi
echo "$lib: $(printf '%s\n' "$actual" | wc -l) exported names, all public${expected:+, as listed}"
