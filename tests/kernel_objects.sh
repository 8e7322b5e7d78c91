#!/usr/bin/env bash
# The vector kernels built for AVX2 and AVX-512 must define nothing that the linker could merge
# with code for other processors: every global symbol in their object files lies in their own
# namespaces, so that no wide instruction reaches a processor without it.
# Usage: kernel_objects.sh OBJECT...
set -euo pipefail
status=0
for object in "$@"; do
  case "$object" in
    *vector_kernels_avx512*) isa=avx512 ;;
    *vector_kernels_avx2*) isa=avx2 ;;
    *) continue ;;
  esac
  foreign=$(nm -C --defined-only "$object" | awk '$2 ~ /^[TWVuDB]$/ { $1 = ""; $2 = ""; print }' |
            grep -v -e "vesk_eigen_$isa::" -e "vesk::numerics::detail::$isa::" \
                    -e "DW.ref.__gxx_personality_v0" -e "^ *__odr_asan" -e "^ *_*asan" || true)
  if [ -n "$foreign" ]; then
    echo "$object defines symbols outside its own namespaces:" >&2
    echo "$foreign" >&2
    status=1
  fi
  checked=1
done
[ "${checked:-0}" = 1 ] || { echo "no kernel object given" >&2; exit 1; }
[ "$status" = 0 ] && echo "kernel objects self-contained"
exit "$status"
