#!/usr/bin/env bash
# The long soak: a 300-frame clip (or FRAMES) tracked forward, back and rendered through the
# module in a Release build, reporting resident memory and open descriptors as it goes.
#   tests/soak/soak.sh [FRAMES]        (CI runs the 60-frame version as the soak_short test)
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build --target mask_soak Mask
exec build/bin/mask_soak --frames "${1:-300}"
