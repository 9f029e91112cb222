// SPDX-License-Identifier: MIT
// Decoder -> converter -> scaler -> flip-rotator -> CopyPixels from a 24-megapixel JPEG to
// thumbnail sizes, next to libvips' vips_thumbnail on the same file. Quality is reported as PSNR
// (dB) against an exact area-average reduction of the fully decoded picture.
// The platform headers first: they define TRUE and FALSE, which glib then leaves alone.
#include "contracts/wincodec.h"
#include "tavrel/platform/files.h"

#include <benchmark/benchmark.h>
#include <vips/vips.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

std::string testFile()
{
    static std::string path;
    if (!path.empty()) return path;
    // A real photograph enlarged to 24 megapixels keeps natural detail in the compressed data.
    const std::string source = std::string(MIO_CORPUS_DIR) + "/jpeg/Canon_40D.jpg";
    path = (std::filesystem::temp_directory_path() / "mio_imaging_bench_24mp.jpg").string();
    VipsImage* in = vips_image_new_from_file(source.c_str(), nullptr);
    VipsImage* big = nullptr;
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", source.c_str());
        std::exit(1);
    }
    vips_resize(in, &big, double(kWidth) / vips_image_get_width(in), "vscale",
                double(kHeight) / vips_image_get_height(in), nullptr);
    vips_jpegsave(big, path.c_str(), "Q", 90, nullptr);
    g_object_unref(big);
    g_object_unref(in);
    return path;
}

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb; // R, G, B
};

// The whole picture at full size through libjpeg, then an exact box (area) reduction.
Picture reference(int w, int h)
{
    FILE* f = std::fopen(testFile().c_str(), "rb");
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_stdio_src(&d, f);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    const int sw = static_cast<int>(d.output_width), sh = static_cast<int>(d.output_height);
    std::vector<double> acc(size_t(w) * size_t(h) * 3, 0.0);
    std::vector<uint8_t> row(size_t(sw) * 3);
    const double sx = double(sw) / w, sy = double(sh) / h;
    for (int y = 0; y < sh; ++y) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&d, &r, 1);
        // Source row y covers output rows by overlap in y; likewise each pixel in x.
        for (int oy = static_cast<int>(y / sy); oy < h && oy * sy < y + 1; ++oy) {
            const double wy = std::min(y + 1.0, (oy + 1) * sy) - std::max(double(y), oy * sy);
            if (wy <= 0) continue;
            for (int x = 0; x < sw; ++x)
                for (int ox = static_cast<int>(x / sx); ox < w && ox * sx < x + 1; ++ox) {
                    const double wx =
                        std::min(x + 1.0, (ox + 1) * sx) - std::max(double(x), ox * sx);
                    if (wx <= 0) continue;
                    double* a = &acc[(size_t(oy) * w + ox) * 3];
                    for (int c = 0; c < 3; ++c)
                        a[c] += wx * wy * row[size_t(x) * 3 + c];
                }
        }
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    std::fclose(f);
    Picture p{w, h, std::vector<uint8_t>(acc.size())};
    for (size_t i = 0; i < acc.size(); ++i)
        p.rgb[i] = static_cast<uint8_t>(std::lround(std::clamp(acc[i] / (sx * sy), 0.0, 255.0)));
    return p;
}

double psnr(const Picture& a, const Picture& b)
{
    if (a.rgb.size() != b.rgb.size()) return 0;
    double se = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i)
        se += (double(a.rgb[i]) - b.rgb[i]) * (double(a.rgb[i]) - b.rgb[i]);
    const double mse = se / static_cast<double>(a.rgb.size());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Target size fitted into the limits with the picture's aspect ratio, as thumbnails are made.
void fit(int limitW, int limitH, int& w, int& h)
{
    w = limitW;
    h = static_cast<int>(std::lround(double(kHeight) * limitW / kWidth));
    if (h > limitH) {
        h = limitH;
        w = static_cast<int>(std::lround(double(kWidth) * limitH / kHeight));
    }
}

template <typename T> struct Ref {
    T* p = nullptr;
    ~Ref()
    {
        if (p) p->Release();
    }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
};

// One thumbnail through the imaging component; bottom-up BGR rows, as a DIB wants them.
bool pipeline(IWICImagingFactory* factory, const std::u16string& name, int w, int h, Picture* out)
{
    Ref<IWICBitmapDecoder> decoder;
    Ref<IWICBitmapFrameDecode> frame;
    Ref<IWICFormatConverter> converter;
    Ref<IWICBitmapScaler> scaler;
    Ref<IWICBitmapFlipRotator> flip;
    if (FAILED(factory->CreateDecoderFromFilename(name.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, &decoder)) ||
        FAILED(decoder->GetFrame(0, &frame)) ||
        FAILED(factory->CreateFormatConverter(&converter)) ||
        FAILED(converter->Initialize(frame.p, GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                                     nullptr, 0.0, WICBitmapPaletteTypeCustom)) ||
        FAILED(factory->CreateBitmapScaler(&scaler)) ||
        FAILED(scaler->Initialize(converter.p, UINT(w), UINT(h), WICBitmapInterpolationModeFant)) ||
        FAILED(factory->CreateBitmapFlipRotator(&flip)) ||
        FAILED(flip->Initialize(scaler.p, WICBitmapTransformFlipVertical)))
        return false;
    const UINT stride = (UINT(w) * 3 + 3) & ~3u;
    std::vector<uint8_t> dib(size_t(stride) * h);
    const WICRect rc{0, 0, w, h};
    if (FAILED(flip->CopyPixels(&rc, stride, UINT(dib.size()), dib.data()))) return false;
    if (out) {
        *out = Picture{w, h, std::vector<uint8_t>(size_t(w) * h * 3)};
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c)
                    out->rgb[(size_t(y) * w + x) * 3 + c] =
                        dib[size_t(h - 1 - y) * stride + size_t(x) * 3 + 2 - c];
    }
    return true;
}

bool vipsThumb(int w, int h, Picture* out)
{
    VipsImage* thumb = nullptr;
    if (vips_thumbnail(testFile().c_str(), &thumb, w, "height", h, nullptr)) return false;
    size_t size = 0;
    void* mem = vips_image_write_to_memory(thumb, &size);
    if (out) {
        *out = Picture{
            vips_image_get_width(thumb), vips_image_get_height(thumb),
            std::vector<uint8_t>(static_cast<uint8_t*>(mem), static_cast<uint8_t*>(mem) + size)};
    }
    g_free(mem);
    g_object_unref(thumb);
    return mem != nullptr;
}

std::u16string u16(const std::string& s)
{
    return std::u16string(s.begin(), s.end()); // the temp path is ASCII
}

void BM_ImagingPipeline(benchmark::State& state)
{
    int w = 0, h = 0;
    fit(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), w, h);
    IWICImagingFactory* factory = nullptr;
    mioImagingCreateFactory(IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
    const std::u16string name = u16(testFile());
    for (auto _ : state)
        if (!pipeline(factory, name, w, h, nullptr)) state.SkipWithError("pipeline failed");
    Picture ours;
    pipeline(factory, name, w, h, &ours);
    state.counters["psnr_dB"] = psnr(ours, reference(w, h));
    state.SetLabel(std::to_string(w) + "x" + std::to_string(h));
    factory->Release();
}

void BM_VipsThumbnail(benchmark::State& state)
{
    int w = 0, h = 0;
    fit(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), w, h);
    testFile();
    for (auto _ : state)
        if (!vipsThumb(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), nullptr))
            state.SkipWithError("vips failed");
    Picture theirs;
    vipsThumb(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), &theirs);
    state.counters["psnr_dB"] =
        theirs.width == w && theirs.height == h ? psnr(theirs, reference(w, h)) : 0;
    state.SetLabel(std::to_string(theirs.width) + "x" + std::to_string(theirs.height));
}

BENCHMARK(BM_ImagingPipeline)->Args({160, 120})->Args({1024, 768})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VipsThumbnail)->Args({160, 120})->Args({1024, 768})->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (VIPS_INIT(argv[0])) return 1;
    vips_cache_set_max(0);   // every call decodes again, like ours
    vips_concurrency_set(1); // one thread each: the comparison is per core
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vips_shutdown();
    return 0;
}
