// SPDX-License-Identifier: MIT
// Shrinking a 6000 x 4000 24-bit bitmap and converting 48/32-bit bitmaps to 24 bits, next to
// libvips doing the same on the same pixels on one thread. Rates are source megapixels per second
// of process CPU time (vips works in a worker thread), which also keeps them steady on a busy box.
#include <benchmark/benchmark.h>
#include <vips/vips.h>
// glib's TRUE and FALSE differ in spelling from the platform's; the platform's are used below.
#undef TRUE
#undef FALSE

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "dib/packed_dib.h"
#include "dib/thumbnail_fit.h"

using namespace mio;

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr double kMegapixels = kWidth * double{kHeight} / 1e6;

// A photo-like test card: smooth gradients, fine stripes and noise, so that neither filter gets
// an easy flat field.
const UniquePackedDib& source(int bits)
{
    static UniquePackedDib s24, s32, s48;
    UniquePackedDib& slot = bits == 24 ? s24 : bits == 32 ? s32 : s48;
    if (slot) return slot;
    slot.reset(DibAlloc(kWidth, kHeight, bits));
    std::mt19937 rng(42);
    const size_t stride = DibStride(slot.get());
    BYTE* bitsPtr = DibBits(slot.get());
    for (int y = 0; y < kHeight; ++y) {
        BYTE* row = bitsPtr + static_cast<size_t>(y) * stride;
        for (int x = 0; x < kWidth; ++x) {
            const double fx = x / double{kWidth}, fy = y / double{kHeight};
            const int stripes = ((x / 3 + y / 5) % 7) * 6;
            const int noise = static_cast<int>(rng() % 24);
            const int c[3] = {static_cast<int>(200 * fx) + stripes / 2 + noise / 2,
                              static_cast<int>(180 * fy * (1 - fx)) + stripes + noise / 3,
                              static_cast<int>(120 + 100 * std::sin(fx * 9 + fy * 5)) + noise / 4};
            for (int k = 0; k < 3; ++k) {
                const int v = std::min(255, std::max(0, c[k]));
                if (bits == 48) {
                    const int w = v * 257 + static_cast<int>(rng() % 200);
                    row[6 * x + 2 * k] = static_cast<BYTE>(std::min(w, 65535));
                    row[6 * x + 2 * k + 1] = static_cast<BYTE>(std::min(w, 65535) >> 8);
                } else {
                    row[(bits / 8) * x + k] = static_cast<BYTE>(v);
                }
            }
            if (bits == 32) row[4 * x + 3] = 255;
        }
    }
    return slot;
}

// The same pixels as a vips image (top-down order does not matter for speed). Band order is
// kept as stored (blue, green, red) since neither operation mixes bands.
VipsImage* vipsSource(int bits)
{
    const auto& dib = source(bits);
    const size_t bytes = DibImageSize(dib.get());
    return vips_image_new_from_memory(DibBits(dib.get()), bytes, kWidth, kHeight,
                                      bits == 32 ? 4 : 3,
                                      bits == 48 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR);
}

void setRate(benchmark::State& state)
{
    state.counters["MP/s"] = benchmark::Counter(
        kMegapixels * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Peak signal-to-noise ratio between two 24-bit BGR buffers of the same size.
double psnr(const BYTE* a, const BYTE* b, size_t n)
{
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        sum += d * d;
    }
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(n)));
}

VipsImage* vipsShrink(VipsImage* in, int w, int h)
{
    VipsImage* out = nullptr;
    if (vips_resize(in, &out, w / double{kWidth}, "vscale", h / double{kHeight}, nullptr))
        return nullptr;
    return out;
}

void BM_ShrinkDib(benchmark::State& state)
{
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const auto& src = source(24);
    for (auto _ : state) {
        PackedDib out = nullptr;
        if (DibResample(src.get(), &out, w, h) <= 0) state.SkipWithError("resample failed");
        UniquePackedDib own(out);
        benchmark::DoNotOptimize(out);
    }
    setRate(state);

    // Agreement with the peer, outside the timed loop. Rows are bottom-up in ours and were
    // handed to vips in stored order, so stored row y matches vips row y.
    PackedDib ours = nullptr;
    if (DibResample(src.get(), &ours, w, h) <= 0) return;
    UniquePackedDib own(ours);
    VipsImage* in = vipsSource(24);
    VipsImage* out = vipsShrink(in, w, h);
    if (out && out->Xsize == w && out->Ysize == h) {
        size_t size = 0;
        auto* theirs = static_cast<BYTE*>(vips_image_write_to_memory(out, &size));
        std::vector<BYTE> packed(static_cast<size_t>(w) * 3 * h);
        for (int y = 0; y < h; ++y)
            std::memcpy(packed.data() + static_cast<size_t>(y) * w * 3,
                        DibBits(ours) + y * DibStride(ours), static_cast<size_t>(w) * 3);
        state.counters["PSNR_vs_vips_dB"] = psnr(packed.data(), theirs, packed.size());
        g_free(theirs);
    }
    if (out) g_object_unref(out);
    g_object_unref(in);
}

void BM_ShrinkVips(benchmark::State& state)
{
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    VipsImage* in = vipsSource(24);
    for (auto _ : state) {
        VipsImage* out = vipsShrink(in, w, h);
        size_t size = 0;
        void* mem = out ? vips_image_write_to_memory(out, &size) : nullptr;
        if (!mem) state.SkipWithError("vips_resize failed");
        benchmark::DoNotOptimize(mem);
        g_free(mem);
        if (out) g_object_unref(out);
    }
    g_object_unref(in);
    setRate(state);
}

void BM_ConvertDibTo24(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(0));
    const auto& src = source(bits);
    UniquePackedDib dst(DibAlloc(kWidth, kHeight, 24));
    for (auto _ : state) {
        PackedDib out = dst.get();
        if (DibConvert(src.get(), &out, 24, false) <= 0) state.SkipWithError("conversion failed");
        benchmark::ClobberMemory();
    }
    setRate(state);
}

void BM_ConvertVipsTo24(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(0));
    VipsImage* in = vipsSource(bits);
    for (auto _ : state) {
        VipsImage* out = nullptr;
        const int failed = bits == 48
                               ? vips_cast(in, &out, VIPS_FORMAT_UCHAR, "shift", TRUE, nullptr)
                               : vips_extract_band(in, &out, 0, "n", 3, nullptr);
        size_t size = 0;
        void* mem = failed ? nullptr : vips_image_write_to_memory(out, &size);
        if (!mem) state.SkipWithError("vips conversion failed");
        benchmark::DoNotOptimize(mem);
        g_free(mem);
        if (out) g_object_unref(out);
    }
    g_object_unref(in);
    setRate(state);
}

} // namespace

BENCHMARK(BM_ShrinkDib)
    ->Args({160, 120})
    ->Args({1024, 768})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_ShrinkVips)
    ->Args({160, 120})
    ->Args({1024, 768})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_ConvertDibTo24)
    ->Arg(48)
    ->Arg(32)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_ConvertVipsTo24)
    ->Arg(48)
    ->Arg(32)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

int main(int argc, char** argv)
{
    if (VIPS_INIT(argv[0])) return 1;
    vips_concurrency_set(1); // one core for both sides
    vips_cache_set_max(0);   // every iteration computes afresh
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vips_shutdown();
    return 0;
}
