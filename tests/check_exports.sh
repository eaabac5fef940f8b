#!/usr/bin/env bash
# check_exports.sh <library.so> <allowed-regex>
# Fails when the library exports a defined symbol (demangled) that does not
# match the allowed pattern.
set -euo pipefail
lib=$1
allowed=$2
bad=$(nm -D --defined-only -C "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' \
      | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' \
      | grep -v -E "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected exports in $lib:"
  echo "$bad"
  exit 1
fi
count=$(nm -D --defined-only "$lib" | wc -l)
echo "$lib: $count exported symbols, all public"
