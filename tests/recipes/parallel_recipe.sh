#!/usr/bin/env bash
# The README's GNU parallel recipe, as written, on the demo clip: the plan's renders run two at a
# time, the join after them, and the joined video is the one `maskfx render` writes, frame for
# frame (ffmpeg's frame digests, times included). Usage: parallel_recipe.sh MASKFX WORKDIR.
# Exit 77 (skipped) without GNU parallel.
set -euo pipefail
maskfx=$1 work=$2
command -v parallel > /dev/null || { echo "GNU parallel is not installed (bash .ci/deps installs it): skipped"; exit 77; }
rm -rf "$work" && mkdir -p "$work" && cd "$work"
"$maskfx" demo -o demo > /dev/null 2>&1
PATH="$(dirname "$maskfx"):$PATH"

# The recipe.
maskfx plan demo/clip/frame_%04d.png -m demo/mask.json -o shot.mov --chunks 4 --threads 1 > plan.txt
head -n -1 plan.txt | parallel -j 2 --halt now,fail=1 > /dev/null
tail -n 1 plan.txt | sh

maskfx render demo/clip/frame_%04d.png -m demo/mask.json -o one.mov > /dev/null 2>&1
digests() { ffmpeg -nostdin -v error -i "$1" -f framemd5 - | grep -v '^#'; }
if ! cmp -s <(digests one.mov) <(digests shot.mov); then
  echo "FAILED: the joined video differs from one render's"
  exit 1
fi
[ "$(wc -l < plan.txt)" -eq 5 ] || { echo "FAILED: the plan has $(wc -l < plan.txt) lines, not 4 renders and a join"; exit 1; }
# Made again, the plan has only the join left.
maskfx plan demo/clip/frame_%04d.png -m demo/mask.json -o shot.mov --chunks 4 --threads 1 2> /dev/null > again.txt
[ "$(wc -l < again.txt)" -eq 1 ] || { echo "FAILED: a plan made again still renders $(($(wc -l < again.txt) - 1)) parts"; exit 1; }
echo "parallel recipe passed: $(digests shot.mov | wc -l) frames joined, each as one render wrote it"
