#!/usr/bin/env bash
# Installs obx from the build tree BUILD into a temp prefix, checks what was
# installed, then builds the consumers against it, through find_package(obx)
# and through pkg-config, and runs them without a display. The core's
# program (core.cpp) is built with GL's and DevIL's headers barred, and must
# load none of their libraries.
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
lib/cmake/obx/obxCoreTargets-relwithdebinfo.cmake
lib/cmake/obx/obxCoreTargets.cmake
lib/cmake/obx/obxTargets-relwithdebinfo.cmake
lib/cmake/obx/obxTargets.cmake
lib/libobx.a
lib/libobx_core.a
lib/pkgconfig/obx-core.pc
lib/pkgconfig/obx.pc"
installed="$(cd "$prefix" && find . -type f | sed 's|^\./||' | sed 's|\(obx[A-Za-z]*Targets\)-[a-z]*\.cmake|\1-relwithdebinfo.cmake|' | LC_ALL=C sort)"
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

# GL's and DevIL's headers, each an #error, searched first by the core's
# program: a header of theirs that obx.h or the core's flags reach for
# stops its compile, as its absence would on a machine without them.
barred="$work/barred"
mkdir -p "$barred/GL" "$barred/IL" "$barred/KHR"
for header in GL/gl.h GL/glu.h GL/glext.h GL/glew.h IL/il.h KHR/khrplatform.h; do
  echo "#error $header is barred from the core's program" >"$barred/$header"
done

# Whether program holds the GL part, which libobx gives only through the
# --undefined its users link with (obx/internal.h): without it the full
# library would quietly stop uploading textures. (grep reads all of nm's
# output: with -q, nm could die of a closed pipe and fail the pipeline.)
has_gl_part() { nm "$1" | grep ' V obxGlHooks$' >/dev/null; }

# A program of the core: the consumer's line, no GL library loaded, no GL
# part linked.
check_core() {
  check_run "$1" "$2"
  "$here/../no_gl_libraries.sh" "$1"
  if has_gl_part "$1"; then
    echo "check: $2 core program has the GL part in it"
    exit 1
  fi
}

step configure cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DBARRED_INCLUDE="$barred"
step build cmake --build "$work/cmake-build"
check_run "$work/cmake-build/consumer" find_package
if ! has_gl_part "$work/cmake-build/consumer"; then
  echo "check: find_package consumer was linked without the GL part"
  exit 1
fi
check_core "$work/cmake-build/core" find_package

# A project that asks for the core alone finds it without looking for GL.
step configure-core cmake -S "$here" -B "$work/cmake-core" -DCMAKE_PREFIX_PATH="$prefix" \
  -DBARRED_INCLUDE="$barred" -DCORE_ONLY=ON
step build-core cmake --build "$work/cmake-core"
check_core "$work/cmake-core/core" find_package-core

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
step pkg-config pkg-config --exists obx obx-core
# shellcheck disable=SC2046  # the flags are meant to split
step compile cc -o "$work/consumer-pc" "$here/consumer.c" $(pkg-config --cflags --libs obx)
check_run "$work/consumer-pc" pkg-config
if ! has_gl_part "$work/consumer-pc"; then
  echo "check: pkg-config consumer was linked without the GL part"
  exit 1
fi

# -H lists every header the compile opened: none may be GL's or DevIL's,
# whatever its name (the barred folder stops only the names it holds).
# shellcheck disable=SC2046
step compile-core c++ -H -I"$barred" -o "$work/core-pc" "$here/core.cpp" \
  $(pkg-config --cflags --libs obx-core)
if ! grep -q 'obx/obx\.h$' "$work/compile-core.log" ||
  grep -E '/(GL|IL|KHR|EGL)/' "$work/compile-core.log"; then
  echo "check: the core's program opened a GL header, or -H listed nothing:"
  cat "$work/compile-core.log"
  exit 1
fi
check_core "$work/core-pc" pkg-config-core
echo "check: installed, built with find_package and with pkg-config, all ran; the core without GL"
