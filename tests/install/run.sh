#!/bin/sh
# Installs the built tree into a scratch prefix and builds two small consumers against it:
# through find_package(vantrel) and through pkg-config; with PYTHON and the package's install
# folder (relative to the prefix) also imports the installed Python package.
# run.sh BUILD_DIR CONSUMER_SOURCE [PYTHON PACKAGE_DIR]
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
# The file's folders are the installed ones, wherever the prefix is.
test -f "$(pkg-config --variable=includedir vantrel)/vantrel/ctrl.hpp"
test -f "$(pkg-config --variable=libdir vantrel)/libvantrel.so.1"
c++ -std=c++20 "$src/consumer.cpp" -o "$work/pkg_consumer" $(pkg-config --cflags --libs vantrel)
"$work/pkg_consumer"
cc "$src/consumer.c" -o "$work/pkg_consumer_c" $(pkg-config --cflags --libs vantrel)
"$work/pkg_consumer_c"
"$work/prefix/bin/vantrel" --help >/dev/null
"$work/prefix/bin/vantrel" --version | grep -qx 'vantrel [0-9][0-9.]*'
# The man page has every command; the completion completes commands and their options.
for c in demo shell cmd read selftest find resync config ports monitor; do
    grep -qx ".SS $c" "$work/prefix/share/man/man1/vantrel.1"
done
bash -c '. "$1"
    COMP_WORDS=(vantrel f); COMP_CWORD=1; _vantrel; [ "${COMPREPLY[*]}" = find ]
    COMP_WORDS=(vantrel ports --as); COMP_CWORD=2; _vantrel; [ "${COMPREPLY[*]}" = --assign ]' \
    _ "$work/prefix/share/bash-completion/completions/vantrel"

if [ $# -ge 4 ]; then
    case $4 in
        /*) ;;  # installed outside the prefix: not touched by a test
        *) PYTHONPATH="$work/prefix/$4" "$3" -c 'import sys, vantrel
sys.exit(0 if vantrel.__file__.startswith(sys.argv[1]) and vantrel.Board else 1)' "$work/prefix" ;;
    esac
fi
