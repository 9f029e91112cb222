#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the video library's commands next to ffprobe and ffmpegthumbnailer on the same file:
# a quick parse of an MP4, and a rough 160-pixel thumbnail at 5 s of a 1080p H.264 MP4.
# Usage: bench/video/compare.sh BUILD_DIR [VIDEO.mp4]   (without VIDEO a 10 s clip is made)
set -euo pipefail
build=${1:?usage: compare.sh BUILD_DIR [VIDEO.mp4]}
tool="$build/bench/video/mio_video_tool"
[[ -x $tool ]] || { echo "build mio_video_tool first (MIO_BUILD_BENCH=ON)" >&2; exit 1; }
for t in hyperfine ffprobe ffmpegthumbnailer ffmpeg; do
    command -v "$t" > /dev/null || { echo "$t is needed" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
video=${2:-}
if [[ -z $video ]]; then
    video="$work/clip1080.mp4"
    ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=1920x1080:r=30:d=10 \
        -f lavfi -i sine=f=440:d=10 -c:v libx264 -preset veryfast -g 60 -pix_fmt yuv420p \
        -c:a aac -shortest "$video"
fi
echo "file: $video"
hyperfine -N --warmup 3 --runs 30 --export-json "$work/parse.json" \
    -n ffprobe "ffprobe -v error -show_format -show_streams $video" \
    -n mio-quick-parse "$tool info $video"
hyperfine -N --warmup 3 --runs 20 --export-json "$work/thumb.json" \
    -n ffmpegthumbnailer "ffmpegthumbnailer -i $video -o $work/peer.png -s 160 -t 00:00:05" \
    -n mio-rough-thumbnail "$tool thumb $video 5 160 120 $work/mine.bmp"
for f in parse thumb; do
    python3 - "$work/$f.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
peer, mine = r[0], r[1]
print(f"{mine['command']}: {mine['mean']*1000:.1f} ms, {peer['command']}: "
      f"{peer['mean']*1000:.1f} ms, ratio {mine['mean']/peer['mean']:.2f}")
PY
done
