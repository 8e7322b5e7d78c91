#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds and runs a program outside the
# tree against it, once through the CMake package and once through pkg-config.
# Usage: consumer_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

echo "== find_package"
cmake -S "$source_dir/examples/consumer" -B "$work/cmake-build" \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

echo "== pkg-config"
libdir=$(dirname "$(find "$work/prefix" -name vesk_numerics.pc)")
export PKG_CONFIG_PATH="$libdir"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror "$source_dir/examples/consumer/main.cpp" -o "$work/consumer-pc" \
  $(pkg-config --cflags --libs vesk_numerics) -Wl,-rpath,"$(pkg-config --variable=libdir vesk_numerics)"
"$work/consumer-pc"
