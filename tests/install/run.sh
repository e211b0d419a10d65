#!/bin/sh
# Installs the built tree into a scratch prefix and builds two small consumers against it:
# through find_package(vantrel) and through pkg-config. run.sh BUILD_DIR CONSUMER_SOURCE
set -eu
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
export LD_LIBRARY_PATH="$work/prefix/lib:${LD_LIBRARY_PATH:-}"

cmake -S "$src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"
"$work/cmake/consumer_c"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
c++ -std=c++20 "$src/consumer.cpp" -o "$work/pkg_consumer" $(pkg-config --cflags --libs vantrel)
"$work/pkg_consumer"
cc "$src/consumer.c" -o "$work/pkg_consumer_c" $(pkg-config --cflags --libs vantrel)
"$work/pkg_consumer_c"
"$work/prefix/bin/vantrel" --help >/dev/null
