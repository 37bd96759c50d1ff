#!/usr/bin/env bash
# Builds the scene generator and writes the scene, its materials and textures.
# Usage: tools/gen_scene.sh [output-directory]   (default: models/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/models}"
build="$root/build-scene"
cmake -S "$root" -B "$build" -DOSTREL_SANITIZE=OFF -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target gen_scene
mkdir -p "$out"
"$build/gen_scene" "$out"
