#!/usr/bin/env bash
# The README's examples under "Installing for C and C++", run as written
# against this build's installation: /opt/kestrel stands for the test's
# prefix, host.c is a program that needs no board, and cc, cmake and
# pkg-config are the ones this build uses. Each shell block must end by
# printing the library's version.
#   readme_examples.sh README PREFIX LIBDIR HOST_C WORK_DIR C_COMPILER C_FLAGS CMAKE GENERATOR PKG_CONFIG
set -euo pipefail
readme=$1 prefix=$2 libdir=$3 host_c=$4 work=$5
export KESTREL_CC=$6 KESTREL_CFLAGS=$7 KESTREL_CMAKE=$8 CMAKE_GENERATOR=$9 KESTREL_PKG_CONFIG=${10}
export CC=$KESTREL_CC CFLAGS=$KESTREL_CFLAGS
unset LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH

rm -rf "$work"
mkdir -p "$work/blocks" "$work/project"
sed -n '/^## Installing for C and C++/,/^## [^I]/p' "$readme" |
  sed "s#/opt/kestrel/lib#$prefix/$libdir#g; s#/opt/kestrel#$prefix#g" |
  awk -v dir="$work/blocks" '
    /^```/ { if (inside) { inside = 0 } else { inside = 1; n++; file = sprintf("%s/%02d.%s", dir, n, substr($0, 4)) } next }
    inside { print > file }'

cmake_blocks=("$work"/blocks/*.cmake)
shell_blocks=("$work"/blocks/*.sh)
if [[ ${#cmake_blocks[@]} -ne 1 || ! -f ${cmake_blocks[0]} || ${#shell_blocks[@]} -lt 2 ]]; then
  echo "error: expected one cmake block and two or more sh blocks in the README's install section" >&2
  exit 1
fi
cp "${cmake_blocks[0]}" "$work/project/CMakeLists.txt"
cp "$host_c" "$work/project/host.c"

for block in "${shell_blocks[@]}"; do
  echo "-- $(basename "$block"):"
  sed 's/^/   /' "$block"
  output=$(cd "$work/project" && bash -euo pipefail -c '
    cc() { "$KESTREL_CC" $KESTREL_CFLAGS "$@"; }
    cmake() { "$KESTREL_CMAKE" "$@"; }
    pkg-config() { "$KESTREL_PKG_CONFIG" "$@"; }
    source "$1"' bash "$block")
  last=$(tail -n 1 <<<"$output")
  if [[ $last != "2.2.1" ]]; then
    echo "error: the block ended with '$last', not the version 2.2.1; its output:" >&2
    echo "$output" >&2
    exit 1
  fi
  echo "   printed $last"
done
