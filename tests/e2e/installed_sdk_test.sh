#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a host against the installed headers and
# library alone, found through pkg-config, then runs it.
set -euo pipefail
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(dirname "$(find "$prefix" -name tessavirn.pc | head -n 1)")
test -f "$prefix/include/tessavirn/host/tessavirn.h"
lib=$(find "$prefix" -name 'libtessavirn.so.*.*.*' | head -n 1)
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
test "$soname" = "libtessavirn.so.0"
c++ -std=c++20 -Wall -Wextra -Werror $(PKG_CONFIG_PATH="$pc" pkg-config --cflags tessavirn) \
    "$source" -ldl -o "$prefix/sdk_host"
output=$("$prefix/sdk_host" "$(dirname "$lib")/libtessavirn.so")
echo "$output"
grep -q '^level 3: DRIVER IS OPENED (name: Tessavirn, device model: SDK host camera, FW: (none), address: 127.0.0.9:80)$' <<<"$output"
grep -q '^open succeeded, video capture present$' <<<"$output"
