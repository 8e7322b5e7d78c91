#!/usr/bin/env bash
# The shared library's dynamic symbol table must hold exactly the public API, and nothing outside
# the library's own namespace: no symbol of another library is defined, and so none is overridden.
# Usage: exported_symbols.sh LIBRARY EXPECTED_LIST
set -euo pipefail
actual=$(nm -D --defined-only -C "$1" | cut -d' ' -f3- | sort -u)
foreign=$(echo "$actual" | grep -v -E '^((typeinfo|typeinfo name|vtable) for )?vesk::' || true)
if [ -n "$foreign" ]; then
  echo "symbols outside namespace vesk are exported:" >&2
  echo "$foreign" >&2
  exit 1
fi
expected=$(grep -v '^#' "$2" | sort -u)
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") || true
  echo "exported symbols differ from the public API (< expected, > exported)" >&2
  exit 1
fi
echo "$(echo "$actual" | wc -l) exported symbols, all public API"
