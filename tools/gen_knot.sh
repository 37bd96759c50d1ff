#!/usr/bin/env bash
# Builds the knot generator and writes models/knot/ (deterministic): the
# model the README shows for opening a file of your own.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/tools"
cmake -S "$root" -B "$build" -DOSTREL_SANITIZE=OFF -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target gen_knot
mkdir -p "$root/models/knot"
"$build/gen_knot" "$root/models/knot"
