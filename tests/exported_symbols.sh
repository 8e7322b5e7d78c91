#!/usr/bin/env bash
# The shared library's dynamic symbol table must hold exactly the public API.
# Usage: exported_symbols.sh LIBRARY EXPECTED_LIST
set -euo pipefail
actual=$(nm -D --defined-only -C "$1" | cut -d' ' -f3- | sort -u)
expected=$(grep -v '^#' "$2" | sort -u)
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") || true
  echo "exported symbols differ from the public API (< expected, > exported)" >&2
  exit 1
fi
echo "$(echo "$actual" | wc -l) exported symbols, all public API"
