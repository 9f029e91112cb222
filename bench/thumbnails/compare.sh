#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Media object thumbnails next to ffmpegthumbnailer and vipsthumbnail:
#  1. stepping through 10 frames of a 10 s 1080p H.264 clip made here (one object: first frame
#     and each later one timed; a new object per frame beside it), consecutive and 1 s apart;
#  2. 160 x 120 previews of the corpus's videos, camera raw files and TIFFs: in-process medians
#     per file, then whole commands (one process per file, as a thumbnailer service runs them)
#     compared with hyperfine.
# Usage: bench/thumbnails/compare.sh BUILD_DIR [CORPUS_DIR]
set -euo pipefail
build=${1:?usage: compare.sh BUILD_DIR [CORPUS_DIR]}
corpus=${2:-$(dirname "$0")/../../../shared/corpus}
bench="$build/bench/thumbnails/mio_thumbnails_bench"
[[ -x $bench ]] || { echo "build mio_thumbnails_bench first (MIO_BUILD_BENCH=ON)" >&2; exit 1; }
for t in hyperfine ffmpeg ffmpegthumbnailer vipsthumbnail; do
    command -v "$t" > /dev/null || { echo "$t is needed" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"

clip="$work/clip1080.mp4"
ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=1920x1080:r=30:d=10 -c:v libx264 \
    -preset veryfast -g 60 -pix_fmt yuv420p "$clip"
echo "== stepping through 10 frames of $(basename "$clip") (1920x1080, 30 fps, key frame every 2 s)"
"$bench" step "$clip" 10 1
"$bench" step "$clip" 10 30
"$bench" step "$clip" 10 30 --rough
echo "-- ffmpegthumbnailer, a new process per frame (it seeks to the time given):"
hyperfine -N --warmup 2 --runs 10 --style basic \
    -n "ffmpegthumbnailer at 0 s" "ffmpegthumbnailer -i $clip -o $work/p.png -s 160 -t 00:00:00" \
    -n "ffmpegthumbnailer at 5 s" "ffmpegthumbnailer -i $clip -o $work/p.png -s 160 -t 00:00:05" \
    -n "mio one object, frame 0" "$bench one 160 120 $clip $work/m.bmp"

videos=() raws=() tiffs=()
for f in "$corpus"/video/*; do videos+=("$f"); done
for f in "$corpus"/raw/*; do raws+=("$f"); done
for f in "$corpus"/tiff/*; do tiffs+=("$f"); done

echo "== previews at 160 x 120, in process (median of 3 per file: ParseFile, preview, release)"
for kind in videos raws tiffs; do
    declare -n files=$kind
    echo "-- $kind"
    "$bench" previews 3 "${files[@]}" || true
done

# One process per file, as a thumbnailer service runs them; failures are counted, not timed out.
loop() { # NAME COMMAND-WITH-{} FILES...
    local name=$1 cmd=$2
    shift 2
    local script="$work/$name.sh" ok=0
    {
        echo "#!/usr/bin/env bash"
        for f in "$@"; do echo "${cmd//\{\}/\'$f\'} > /dev/null 2>&1 || true"; done
    } > "$script"
    chmod +x "$script"
    for f in "$@"; do
        bash -c "${cmd//\{\}/\'$f\'}" > /dev/null 2>&1 && ok=$((ok + 1))
    done
    echo "$name: $ok of $# files give a thumbnail" >&2
    echo "$script"
}
echo "== previews at 160 x 120, one process per file (hyperfine)"
for kind in videos raws tiffs; do
    declare -n files=$kind
    echo "-- $kind (${#files[@]} files)"
    mine=$(loop "mio-$kind" "$bench one 160 120 {} $work/m.bmp" "${files[@]}")
    ffthumb=$(loop "ffmpegthumbnailer-$kind" \
        "ffmpegthumbnailer -i {} -o $work/f.png -s 160 -t 00:00:00" "${files[@]}")
    vthumb=$(loop "vipsthumbnail-$kind" "vipsthumbnail {} -s 160x120 -o $work/v.png" "${files[@]}")
    hyperfine -N --warmup 1 --runs 3 --style basic \
        -n "mio $kind" "$mine" -n "ffmpegthumbnailer $kind" "$ffthumb" \
        -n "vipsthumbnail $kind" "$vthumb"
done
