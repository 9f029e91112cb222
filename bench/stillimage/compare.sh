#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the still-image library as a command next to djpeg (libjpeg-turbo) and vips on the
# same files: header-only parse and full decode of a 24-megapixel JPEG, and PNG/TIFF decodes.
# Usage: bench/stillimage/compare.sh BUILD_DIR   (run mio_stillimage_bench once first: it
# writes the sample files to /tmp)
set -euo pipefail
build=${1:?usage: compare.sh BUILD_DIR}
tool="$build/bench/stillimage/mio_stillimage_tool"
[[ -x $tool ]] || { echo "build mio_stillimage_tool first (MIO_BUILD_BENCH=ON)" >&2; exit 1; }
for t in hyperfine djpeg vips; do
    command -v "$t" > /dev/null || { echo "$t is needed" >&2; exit 1; }
done
jpg=/tmp/mio_stillimage_bench_6000.jpg png=/tmp/mio_stillimage_bench_3000.png
tif=/tmp/mio_stillimage_bench_3000.tif
for f in "$jpg" "$png" "$tif"; do
    [[ -f $f ]] || { echo "$f missing: run mio_stillimage_bench first" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() { # name peer-name peer-command mine-command
    hyperfine -N --warmup 2 --runs 10 --export-json "$work/$1.json" -n "$2" "$3" -n mio "$4" \
        > /dev/null
    python3 - "$work/$1.json" "$1" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
peer, mine = r[0], r[1]
print(f"{sys.argv[2]}: mio {mine['mean']*1000:.1f} ms, {peer['command']} "
      f"{peer['mean']*1000:.1f} ms, ratio {mine['mean']/peer['mean']:.2f}")
PY
}
export VIPS_CONCURRENCY=1
run jpeg-header vipsheader "vipsheader $jpg" "$tool info $jpg"
run jpeg-decode djpeg "djpeg -outfile /dev/null $jpg" "$tool decode $jpg"
run png-decode vips "vips avg $png" "$tool decode $png"
run tiff-decode vips "vips avg $tif" "$tool decode $tif"
