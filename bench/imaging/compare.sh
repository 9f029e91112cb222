#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Metadata listing and in-place XMP rating commits through the imaging component, next to
# exiv2 and ExifTool on the same files, each side one process: 100 12-megapixel JPEGs listed
# (every EXIF, IPTC and XMP value), and a rating written into 1 MB and 10 MB files. Times are
# wall and CPU (user + system; the CPU figure is the fair one on a shared machine); bytes
# written are what each process handed to write calls (strace for the peers, /proc/self/io
# for ours).
# Usage: bench/imaging/compare.sh BUILD_DIR   (built with -DMIO_BUILD_BENCH=ON)
set -euo pipefail
build=${1:?usage: compare.sh BUILD_DIR}
bench="$build/bench/imaging/mio_metadata_bench"
[[ -x $bench ]] || { echo "build mio_metadata_bench first (MIO_BUILD_BENCH=ON)" >&2; exit 1; }
for t in exiv2 exiftool strace; do
    command -v "$t" > /dev/null || { echo "$t is needed" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bench" generate "$work"
sync # so that our first flush does not also write back the freshly made files

# Runs a command, prints wall and CPU milliseconds per file or per run (divisor) on one line.
timed() { # label divisor command...
    local label=$1 div=$2
    shift 2
    /usr/bin/time -o "$work/time" -f '%e %U %S' "$@" > /dev/null 2>&1 || true
    read -r wall user sys < "$work/time"
    awk -v l="$label" -v d="$div" -v w="$wall" -v u="$user" -v s="$sys" \
        'BEGIN { printf "%s: %.3f ms each (wall), %.3f ms each (cpu)\n", l, w*1000/d, (u+s)*1000/d }'
}

# Bytes a command hands to write calls, from strace.
written() {
    strace -f -qq -e trace=write,pwrite64,writev,pwritev,pwritev2 -o "$work/strace.log" "$@" \
        > /dev/null 2>&1
    awk -F'= ' '/= [0-9]+$/ { sum += $NF } END { print sum + 0 }' "$work/strace.log"
}

echo "== listing 100 files"
"$bench" list "$work/list"
"$bench" list "$work/list"
timed "exiv2 -pa" 100 exiv2 -pa "$work"/list/*.jpg
timed "exiv2 -pa" 100 exiv2 -pa "$work"/list/*.jpg
timed "exiftool -a -G1" 100 exiftool -q -a -G1 "$work/list"

echo "== rating commit"
for f in rate_1M.jpg rate_10M.jpg; do
    "$bench" rate "$work/$f" 50
    cp "$work/$f" "$work/peer.jpg"
    # Ten runs each (one process per run, as a user would call them).
    timed "exiv2 -M set Xmp.xmp.Rating ($f)" 10 sh -c \
        'for i in 1 2 3 4 5 6 7 8 9 10; do exiv2 -M"set Xmp.xmp.Rating $((i % 5))" "$0"; done' \
        "$work/peer.jpg"
    echo "  exiv2 bytes written: $(written exiv2 -M'set Xmp.xmp.Rating 4' "$work/peer.jpg")"
    timed "exiftool -overwrite_original ($f)" 10 sh -c \
        'for i in 1 2 3 4 5 6 7 8 9 10; do
             exiftool -q -overwrite_original -XMP-xmp:Rating=$((i % 5)) "$0"; done' \
        "$work/peer.jpg"
    echo "  exiftool bytes written: $(written exiftool -q -overwrite_original -XMP-xmp:Rating=4 \
        "$work/peer.jpg")"
done
