#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every built fuzz target for FUZZ_SECONDS each, seeded from the sample corpus when it is
# beside the repository. Findings are kept under fuzz/crashes/<target>/; the working corpus
# grows in a scratch folder inside the build tree and is never committed.
# Usage: fuzz/run.sh [build-dir] [target-name-filter]
set -u
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
build="${1:-$repo/build-fuzz}"
filter="${2:-}"
seconds="${FUZZ_SECONDS:-30}"
corpus="${MIO_CORPUS_DIR:-$repo/../shared/corpus}"

# Seed files per target: globs relative to the corpus folder.
seeds_for() {
    case "$1" in
    fuzz_stillimage_bmp) echo "bmp/*" ;;
    fuzz_stillimage_ico) echo "ico/* other-images/fixture.cur other-images/test.ani" ;;
    fuzz_stillimage_pcx) echo "other-images/*.pcx" ;;
    fuzz_stillimage_tga) echo "other-images/*.tga" ;;
    fuzz_stillimage_pnm) echo "other-images/*.ppm other-images/*.pgm other-images/*.pbm other-images/*.pam" ;;
    fuzz_stillimage_ras) echo "other-images/*.ras" ;;
    fuzz_stillimage_wbmp) echo "other-images/*.wbmp" ;;
    fuzz_stillimage_psd) echo "other-images/*.psd" ;;
    fuzz_stillimage_msp) echo "other-images/*.msp" ;;
    fuzz_stillimage_mac) echo "other-images/*.mac" ;;
    fuzz_stillimage_iff) echo "other-images/*.iff" ;;
    fuzz_stillimage_eps) echo "other-images/*.eps" ;;
    fuzz_formats_jpeg) echo "jpeg/* broken/*.jpg" ;;
    fuzz_formats_tiff) echo "tiff/* raw/*.dng" ;;
    fuzz_formats_iptc | fuzz_formats_xmp) echo "jpeg/iptc*.jpg jpeg/*xmp*.jpg" ;;
    fuzz_video_parse) echo "video/fixture.avi video/fixture.mkv video/fixture.flv video/fixture.mpg video/fixture-imovie.mp4 video/fixture.3gp audio/*.mp3 audio/*.wav broken/*.mp4 broken/*.mkv" ;;
    fuzz_tageditor_open) echo "audio/*.mp3 audio/*.flac audio/*.ogg audio/*.opus audio/*.wma audio/*.aif broken/*.mp3 broken/*.wma" ;;
    fuzz_engine_parse) echo "*/*" ;;
    *) echo "" ;;
    esac
}

# The engine target reads its first byte as the index of the file's extension in the table of
# engine_fuzzer.cpp; each corpus file becomes a seed with the byte of its own extension in front.
engine_seeds() {
    local out="$1" table ext index seed lower
    mapfile -t table < <(sed -n '/kExtensions = {/,/};/p' "$here/engine/engine_fuzzer.cpp" |
        grep -o '"[a-z0-9]*"' | tr -d '"')
    for seed in "$corpus"/*/*; do
        [ -f "$seed" ] && [ "$(stat -c %s "$seed")" -le 1048576 ] || continue
        ext="${seed##*.}"
        lower="${ext,,}"
        index=-1
        for i in "${!table[@]}"; do
            [ "${table[$i]}" = "$lower" ] && index=$i && break
        done
        [ $index -lt 0 ] && index=$((${#table[@]} - 1)) # unknown: the last entry
        local target
        target="$out/seed-$(basename "$seed")"
        [ -e "$target" ] && continue
        { printf "\\$(printf '%03o' "$index")"; cat "$seed"; } >"$target"
    done
}

mapfile -t targets < <(find "$build/fuzz" -type f -perm -u+x -name 'fuzz_*' 2>/dev/null | sort)
if [ "${#targets[@]}" -eq 0 ]; then
    echo "no fuzz targets under $build/fuzz (configure with -DMIO_BUILD_FUZZERS=ON and clang++)" >&2
    exit 1
fi

failed=()
ran=0
for exe in "${targets[@]}"; do
    name="$(basename "$exe")"
    [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
    work="$build/fuzz-corpus/$name"
    crashes="$here/crashes/$name"
    mkdir -p "$work" "$crashes"
    if [ -d "$corpus" ] && [ "$name" = fuzz_engine_parse ]; then
        engine_seeds "$work"
    elif [ -d "$corpus" ]; then
        for pattern in $(seeds_for "$name"); do
            for seed in "$corpus"/$pattern; do
                # Seeds over 1 MiB slow every run more than they add.
                [ -f "$seed" ] && [ "$(stat -c %s "$seed")" -le 1048576 ] && cp -n "$seed" "$work/" 2>/dev/null
            done
        done
    fi
    echo "== $name: ${seconds}s"
    # The whole engine decodes camera raw pictures at full size, which under the sanitizers
    # takes tens of seconds on a busy machine: a longer limit keeps that from passing for a
    # hang. Its leak check stays off: LeakSanitizer's tracer faults once the camera-raw library
    # has started its worker threads.
    extra=(-timeout=25)
    leaks=1
    [ "$name" = fuzz_engine_parse ] && extra=(-timeout=150 -detect_leaks=0) && leaks=0
    # A new process per crash; -rss_limit_mb keeps a runaway allocation a finding, not an outage.
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=$leaks" "$exe" "$work" -max_total_time="$seconds" "${extra[@]}" -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$crashes/" >"$build/fuzz-corpus/$name.log" 2>&1
    status=$?
    ran=$((ran + 1))
    tail -n 12 "$build/fuzz-corpus/$name.log" | grep -E '^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ *DONE)' || true
    if [ $status -ne 0 ]; then
        echo "   FAILED (exit $status): see $build/fuzz-corpus/$name.log and $crashes/"
        grep -m3 -E 'ERROR: |runtime error|SUMMARY' "$build/fuzz-corpus/$name.log" | sed 's/^/   /'
        failed+=("$name")
    fi
done
echo "fuzz: $ran targets run, ${#failed[@]} with findings${failed[*]:+: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]
