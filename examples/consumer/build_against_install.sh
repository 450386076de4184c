#!/usr/bin/env bash
# Installs the SDK from a build directory into a temporary prefix, builds this application
# against it with CMake and with pkg-config, and runs both builds.
#   examples/consumer/build_against_install.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
(cd "$work" && ./cmake/consumer)

pc_dir=$(dirname "$(find "$work/prefix" -name kest.pc)")
libdir=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=libdir kest)
# shellcheck disable=SC2046  # the flags are words
c++ -std=c++20 "$here/main.cpp" -o "$work/consumer-pc" \
    $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs kest-sim) -Wl,-rpath,"$libdir"
(cd "$work" && ./consumer-pc)

# The installed tools find their driver library and profiles next to themselves.
(cd "$work" && "$work/prefix/bin/drx" demo >/dev/null &&
    "$work/prefix/bin/kest" --quiet --peripheral inline_file demo >/dev/null)
echo "SDK: installed, consumer built with CMake and with pkg-config, tools run from the prefix"
