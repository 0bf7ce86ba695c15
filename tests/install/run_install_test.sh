#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a program outside the
# tree against the installed package, once with CMake (find_package, shared
# and static library) and once with pkg-config, and runs each.
#
#   run_install_test.sh BUILD_DIR HERE C_COMPILER LIBDIR [SANITIZE_FLAGS]
#
# In a sanitizer build the installed libraries are instrumented, so the
# outside programs are built with the same flags.
set -euo pipefail
build=$1 here=$2 cc=$3 libdir=$4 flags=${5:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/kindex-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > "$work/install.log"
for f in include/kindex.h "$libdir/libkindex.so" "$libdir/libkindex.a" "$libdir/libkxutil.so" bin/kindex \
         "$libdir/cmake/kindex/kindexConfig.cmake" "$libdir/cmake/kindex/kindexConfigVersion.cmake" \
         "$libdir/pkgconfig/kindex.pc"; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# The installed program finds its libraries from where it lies.
"$prefix/bin/kindex" --help > /dev/null

echo "== find_package(kindex)"
cmake -S "$here/outside" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" > "$work/configure.log" || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/cmake-build" > "$work/build.log" || { cat "$work/build.log"; exit 1; }
"$work/cmake-build/outside" "$work/shared.kx"
"$work/cmake-build/outside_static" "$work/static.kx"

echo "== pkg-config kindex"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
pc_libdir=$(pkg-config --variable=libdir kindex)
# shellcheck disable=SC2046,SC2086
"$cc" $flags -std=c11 -Wall -Wextra -Werror "$here/outside/outside.c" $(pkg-config --cflags --libs kindex) \
  -Wl,-rpath,"$pc_libdir" -o "$work/outside_pc"
"$work/outside_pc" "$work/pc.kx"
echo "install test: ok"
