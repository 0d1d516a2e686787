#!/bin/bash
# Makes docs/hole.jpg, the README's shape with a hole: the demo's card ellipse, a smaller ellipse
# subtracted from it, rendered by maskfx as one document of two masks, and again by ffmpeg with
# two stacked frei0r filters; both over a checkerboard, so that the alpha shows.
# Run from the repository root after building: bash docs/hole_example.sh
set -euo pipefail
bin=build/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/maskfx" demo -o "$work/demo" > /dev/null
python3 - "$work" <<'PY'
import json, sys
work = sys.argv[1]
doc = json.load(open(f"{work}/demo/mask.json"))
card = {k: v for k, v in doc.items() if k not in ("format", "version", "width", "height")}
hole = json.loads(json.dumps(card))
for key in hole["keyframes"]:
    xs = [v["anchor"][0] for v in key["vertices"]]
    ys = [v["anchor"][1] for v in key["vertices"]]
    cx, cy = sum(xs) / len(xs), sum(ys) / len(ys)
    for v in key["vertices"]:
        for p in ("anchor", "in", "out"):
            if p in v:
                v[p] = [cx + 0.4 * (v[p][0] - cx), cy + 0.4 * (v[p][1] - cy)]
hole["mode"], hole["feather"] = "subtract", 3
head = {"format": "mask-document", "version": 1, "width": doc["width"], "height": doc["height"]}
json.dump({**head, **card}, open(f"{work}/card.json", "w"))
json.dump({**head, **hole}, open(f"{work}/hole.json", "w"))
json.dump({**head, "version": 2, "masks": [{"name": "card", **card}, {"name": "hole", **hole}]},
          open(f"{work}/both.json", "w"))
PY
"$bin/maskfx" render "$work/demo/clip/frame_%04d.png" -m "$work/both.json" -o "$work/maskfx_%02d.png" --frames 0:0 > /dev/null
timing="|-1|-1|-1|n|0.025|0.001"
FREI0R_PATH="$bin/frei0r-1" ffmpeg -nostdin -v error -y -i "$work/demo/clip/frame_%04d.png" \
  -vf "frei0r=mask:$work/card.json$timing,frei0r=mask:$work/hole.json$timing" -frames:v 1 -pix_fmt rgba \
  "$work/ffmpeg.png"
checker="nullsrc=s=640x360,geq=lum='if(mod(floor(X/16)+floor(Y/16)\,2)\,90\,55)':cb=165:cr=110,format=rgba"
ffmpeg -nostdin -v error -y -f lavfi -i "$checker" -i "$work/maskfx_00.png" -i "$work/ffmpeg.png" -filter_complex \
  "[0]split[a][b];[a][1]overlay[l];[b][2]overlay[r];[l][r]hstack" -frames:v 1 -q:v 3 docs/hole.jpg
echo "wrote docs/hole.jpg (left: maskfx render; right: ffmpeg with two frei0r filters)"
