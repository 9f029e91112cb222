// SPDX-License-Identifier: MIT
// Header parse and full decode through the still-image library, next to libjpeg-turbo (the core
// of djpeg) and libvips decoding the same files on one thread. Files are made once in /tmp.
#include <benchmark/benchmark.h>
#include <vips/vips.h>
#undef TRUE
#undef FALSE

#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "stillimage_io.h"

namespace {

// A photo-like 6000 x 4000 picture (24 megapixels): gradients, stripes and noise.
struct Source {
    int32_t width, height;
    std::vector<std::vector<uint8_t>> rows;
    std::vector<BYTE*> pointers;
};

Source makeSource(int32_t w, int32_t h)
{
    Source s{w, h, {}, {}};
    std::mt19937 rng(7);
    for (int32_t y = 0; y < h; ++y) {
        std::vector<uint8_t> row(size_t(w) * 3);
        for (int32_t x = 0; x < w; ++x) {
            const int stripes = ((x / 3 + y / 5) % 7) * 6, noise = int(rng() % 24);
            row[3 * x] = uint8_t(std::min(255, 200 * x / w + stripes / 2 + noise / 2));
            row[3 * x + 1] = uint8_t(std::min(255, 180 * y / h + stripes + noise / 3));
            row[3 * x + 2] = uint8_t(std::min(255, 120 + (x ^ y) % 100 + noise / 4));
        }
        s.rows.push_back(std::move(row));
    }
    for (auto& r : s.rows)
        s.pointers.push_back(r.data());
    return s;
}

BYTE** supply(QfTransferBlock* block, int32_t, int32_t first, int32_t, int32_t, uint32_t, int32_t,
              uint32_t)
{
    return static_cast<Source*>(block->context)->pointers.data() + first;
}

// Writes the picture through the library's own writer once per format.
std::string sample(const char* ext, int32_t w, int32_t h)
{
    const std::string path =
        std::string("/tmp/mio_stillimage_bench_") + std::to_string(w) + "." + ext;
    if (std::filesystem::exists(path)) return path;
    Source src = makeSource(w, h);
    HGLOBAL rec = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFileData));
    auto* d = static_cast<ImageFileData*>(GlobalLock(rec));
    d->formatId = qfFileGetFormatID(ext);
    std::snprintf(d->path, sizeof(d->path), "%s", path.c_str());
    d->main = {24, w, h, 720000, 720000, QF_COLOR_RGB, 0};
    GlobalUnlock(rec);
    QfTransferBlock block{};
    block.mainWanted = 1;
    block.mainMode = QF_MODE_ROWS;
    block.context = &src;
    qfFileWrite(rec, &block, supply);
    q32FileFreeFileData(rec);
    return path;
}

const std::string& jpeg24mp()
{
    static const std::string path = sample("jpg", 6000, 4000);
    return path;
}

void BM_JpegHeaderOnly(benchmark::State& state)
{
    const std::string& path = jpeg24mp();
    for (auto _ : state) {
        HGLOBAL h = qfFileGetFileData(path.c_str(), 0);
        if (!h) state.SkipWithError("parse failed");
        q32FileFreeFileData(h);
    }
}

void BM_JpegDecodeLibrary(benchmark::State& state)
{
    const std::string& path = jpeg24mp();
    sibench::Target target;
    for (auto _ : state) {
        if (!sibench::decodeFile(path, target)) state.SkipWithError("decode failed");
    }
    state.counters["MP/s"] =
        benchmark::Counter(24.0, benchmark::Counter::kIsIterationInvariantRate);
}

// What djpeg does, minus writing the output: libjpeg-turbo decoding to RGB rows.
void BM_JpegDecodeLibjpegTurbo(benchmark::State& state)
{
    const std::string& path = jpeg24mp();
    std::vector<uint8_t> out(6000 * 4000 * 3);
    for (auto _ : state) {
        FILE* f = std::fopen(path.c_str(), "rb");
        jpeg_decompress_struct cinfo;
        jpeg_error_mgr err;
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_decompress(&cinfo);
        jpeg_stdio_src(&cinfo, f);
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_RGB;
        jpeg_start_decompress(&cinfo);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = out.data() + size_t(cinfo.output_scanline) * 18000;
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        std::fclose(f);
    }
    state.counters["MP/s"] =
        benchmark::Counter(24.0, benchmark::Counter::kIsIterationInvariantRate);
}

void decodeLibrary(benchmark::State& state, const char* ext)
{
    const std::string path = sample(ext, 3000, 2000);
    sibench::Target target;
    for (auto _ : state) {
        if (!sibench::decodeFile(path, target)) state.SkipWithError("decode failed");
    }
    state.counters["MP/s"] = benchmark::Counter(6.0, benchmark::Counter::kIsIterationInvariantRate);
}

void decodeVips(benchmark::State& state, const char* ext)
{
    const std::string path = sample(ext, 3000, 2000);
    for (auto _ : state) {
        VipsImage* image =
            vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
        size_t size = 0;
        void* mem = image ? vips_image_write_to_memory(image, &size) : nullptr;
        if (!mem) state.SkipWithError("vips failed");
        g_free(mem);
        if (image) g_object_unref(image);
    }
    state.counters["MP/s"] = benchmark::Counter(6.0, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_PngDecodeLibrary(benchmark::State& s)
{
    decodeLibrary(s, "png");
}
void BM_PngDecodeVips(benchmark::State& s)
{
    decodeVips(s, "png");
}
void BM_TiffDecodeLibrary(benchmark::State& s)
{
    decodeLibrary(s, "tif");
}
void BM_TiffDecodeVips(benchmark::State& s)
{
    decodeVips(s, "tif");
}

BENCHMARK(BM_JpegHeaderOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JpegDecodeLibrary)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_JpegDecodeLibjpegTurbo)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PngDecodeLibrary)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PngDecodeVips)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_TiffDecodeLibrary)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_TiffDecodeVips)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

} // namespace

int main(int argc, char** argv)
{
    if (VIPS_INIT(argv[0])) return 1;
    vips_concurrency_set(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vips_shutdown();
    return 0;
}
