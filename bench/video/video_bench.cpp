// SPDX-License-Identifier: MIT
// In-process timings of the video library: quick parse and a rough thumbnail of a 1080p
// H.264 file. The file is named by MIO_BENCH_VIDEO (compare.sh makes one).
#include "contracts/video_library.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

namespace {

const char* benchFile()
{
    return std::getenv("MIO_BENCH_VIDEO");
}

VideoFileInfo recordFor(const char* path)
{
    VideoFileInfo info{};
    info.recordSize = kVideoFileInfoSize;
    info.parseMode = kVideoParseQuick;
    std::strncpy(info.ansiPath, path, sizeof info.ansiPath - 1);
    return info;
}

void quickParse(benchmark::State& state)
{
    const char* path = benchFile();
    if (!path) return state.SkipWithError("set MIO_BENCH_VIDEO to a video file");
    for (auto _ : state) {
        VideoFileInfo info = recordFor(path);
        if (qVideoGetFileInfo(&info) <= 0) return state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(info.totalFrames);
        qVideoFreeFileInfo(&info);
    }
}
BENCHMARK(quickParse)->Unit(benchmark::kMillisecond);

void roughThumbnailAtFiveSeconds(benchmark::State& state)
{
    const char* path = benchFile();
    if (!path) return state.SkipWithError("set MIO_BENCH_VIDEO to a video file");
    VideoFileInfo info = recordFor(path);
    if (qVideoGetFileInfo(&info) <= 0) return state.SkipWithError("parse failed");
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = 160;
    header.biHeight = 90;
    header.biPlanes = 1;
    header.biBitCount = 24;
    int frame = static_cast<int>(5.0 * info.frameRate / 1000.0);
    for (auto _ : state) {
        // A new reader each time: a thumbnailer opens the file once per picture.
        HVIDEOREADER reader = nullptr;
        if (qVideoReadVideoBegin(&info, kVideoReadRough, &reader, &header) <= 0)
            return state.SkipWithError("reader failed");
        BITMAPINFOHEADER* dib = nullptr;
        if (qVideoReadVideo(&info, frame, &dib, 0, reader) <= 0) {
            qVideoReadVideoEnd(reader);
            return state.SkipWithError("read failed");
        }
        benchmark::DoNotOptimize(dib);
        qVideoReadVideoEnd(reader);
    }
    qVideoFreeFileInfo(&info);
}
BENCHMARK(roughThumbnailAtFiveSeconds)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
