#!/usr/bin/env bash
# Fails when a program loads a GL, GLU or DevIL library, directly or through
# another one: what links obx's core alone must run where none is installed.
# Usage: no_gl_libraries.sh PROGRAM...
set -euo pipefail
for program in "$@"; do
  libraries="$(ldd "$program")"
  # An answer without the C library is no list of libraries: it would pass.
  if ! grep -q 'libc\.so' <<<"$libraries"; then
    echo "no_gl_libraries: ldd listed no C library for $program:"
    echo "$libraries"
    exit 1
  fi
  if gl="$(grep -E 'lib(GL|GLU|GLX|OpenGL|GLdispatch|EGL|IL|ILU|ILUT)\.so' <<<"$libraries")"; then
    echo "no_gl_libraries: $program loads:"
    echo "$gl"
    exit 1
  fi
done
