#!/usr/bin/env bash
# Regenerates the effects' sampler images in models/mat/ (deterministic).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/tools"
cmake -S "$root" -B "$build" -DOSTREL_SANITIZE=OFF -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target gen_effect_images
mkdir -p "$root/models/mat"
"$build/gen_effect_images" "$root/models/mat"
