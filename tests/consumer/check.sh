#!/usr/bin/env bash
# Installs obx from the build tree BUILD into a temp prefix, checks what was
# installed, then builds the consumer against it twice, through
# find_package(obx) and through pkg-config, and runs both without a display.
# Usage: check.sh BUILD
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

# Runs a step with its output in a log that is shown only when it fails.
step() {
  local name="$1"
  shift
  if ! "$@" >"$work/$name.log" 2>&1; then
    echo "check: $name failed:"
    cat "$work/$name.log"
    exit 1
  fi
}

step install cmake --install "$build" --prefix "$prefix"
expected_files="bin/obxtool
include/obx/obx.h
lib/cmake/obx/obxConfig.cmake
lib/cmake/obx/obxConfigVersion.cmake
lib/cmake/obx/obxTargets-relwithdebinfo.cmake
lib/cmake/obx/obxTargets.cmake
lib/libobx.a
lib/pkgconfig/obx.pc"
installed="$(cd "$prefix" && find . -type f | sed 's|^\./||' | sed 's|obxTargets-[a-z]*\.cmake|obxTargets-relwithdebinfo.cmake|' | LC_ALL=C sort)"
if [[ "$installed" != "$expected_files" ]]; then
  echo "check: installed files differ:"
  diff <(echo "$expected_files") <(echo "$installed") || true
  exit 1
fi

expected="vertices 4 triangles 2 groups 2 materials 2 textures 1 texture-id 0"
check_run() {
  local got
  got="$(env -u DISPLAY "$1" "$here/square.obj")"
  if [[ "$got" != "$expected" ]]; then
    echo "check: $2 consumer printed \"$got\", expected \"$expected\""
    exit 1
  fi
}

step configure cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix"
step build cmake --build "$work/cmake-build"
check_run "$work/cmake-build/consumer" find_package

# The README's embedding example: a good file is converted, a missing one
# and an unwritable target come back as messages with status 1.
embed="$work/cmake-build/embed"
got="$(env -u DISPLAY "$embed" "$here/square.obj" "$work/out.obj" 2>&1)"
if [[ "$got" != "2 triangles, 0 warnings" ]] || ! grep -q "^usemtl tiled$" "$work/out.obj" || ! grep -q "^vn " "$work/out.obj"; then
  echo "check: embed printed \"$got\""
  exit 1
fi
for args in "$work/missing.obj $work/out2.obj" "$here/square.obj /dev/full"; do
  # shellcheck disable=SC2086  # two words
  if got="$(env -u DISPLAY "$embed" $args 2>&1)" || [[ "$got" != *"obxWrite"*"failed"* && "$got" != "can't read: obxReadOBJ() failed: can't open data file"* ]]; then
    echo "check: embed $args printed \"$got\""
    exit 1
  fi
done

# The README's example of a model in memory: its library comes from the
# opener (no square.mtl beside it on disk), progress is told.
got="$(cd "$work" && env -u DISPLAY "$work/cmake-build/memory" 2>&1)"
if [[ "$got" != "2 triangles, material red, progress told "*" times" ]]; then
  echo "check: memory printed \"$got\""
  exit 1
fi

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
step pkg-config pkg-config --exists obx
# shellcheck disable=SC2046  # the flags are meant to split
step compile cc -o "$work/consumer-pc" "$here/consumer.c" $(pkg-config --cflags --libs obx)
check_run "$work/consumer-pc" pkg-config
echo "check: installed, built with find_package and with pkg-config, all ran"
