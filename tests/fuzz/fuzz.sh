#!/usr/bin/env bash
# Fuzzes every target (or those named) for SECONDS each, two at a time, with clang's libFuzzer
# under AddressSanitizer and UndefinedBehaviorSanitizer. New inputs collect in a scratch copy of
# each corpus; a crash is left as build-fuzz/artifacts/TARGET/crash-* to be saved into
# tests/corpus/TARGET once mended.
#   tests/fuzz/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(mask_shape mask_document edit_script sequence_record arbitrary_data studio_message studio_request media_decoder)

command -v clang++ > /dev/null || apt-get install -y clang  # libFuzzer comes with Debian's clang
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMASK_FUZZ=ON \
  -DMASK_SANITIZE=ON > /dev/null
cmake --build build-fuzz --target "${targets[@]/%/_fuzz}"

run() {
  local name=$1 work=build-fuzz/work/$1 artifacts=build-fuzz/artifacts/$1
  mkdir -p "$work" "$artifacts"
  cp -n tests/corpus/"$name"/* "$work"/ 2> /dev/null || true
  local status=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build-fuzz/bin/"$name"_fuzz "$work" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts"/ > build-fuzz/"$name".log 2>&1 || status=$?
  echo "$name: exit $status, $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' build-fuzz/"$name".log | grep -o '[0-9]*$') runs, $(ls "$work" | wc -l) inputs, $(ls "$artifacts" | wc -l) artifacts"
}

for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
  run "$name" &
done
wait
