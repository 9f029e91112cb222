// SPDX-License-Identifier: MIT
// Metadata through the imaging component: listing every EXIF, IPTC and XMP value of 100
// 12-megapixel JPEGs in one process, and an in-place XMP rating commit into 1 MB and 10 MB files,
// each next to ExifTool (and exiv2 when installed) on the same files.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "contracts/wincodec.h"
#include "tavrel/platform.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<uint8_t> readAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
void writeAll(const fs::path& p, const std::vector<uint8_t>& b)
{
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
std::u16string wide(const std::string& s)
{
    return {s.begin(), s.end()}; // ASCII temp paths
}

// A noisy picture of w x h at quality q: the noise sets the file size.
std::vector<uint8_t> encode(unsigned w, unsigned h, int quality, unsigned noise)
{
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t{w} * 3);
    uint32_t seed = 12345;
    while (c.next_scanline < h) {
        for (size_t x = 0; x < row.size(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            row[x] = static_cast<uint8_t>((x / 3 + c.next_scanline) / 8 + (seed >> 24) % noise);
        }
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> bytes(out, out + size);
    free(out);
    jpeg_destroy_compress(&c);
    return bytes;
}

// The metadata segments of `donor` (every APPn and COM) put after SOI of `picture`, replacing
// the picture's own JFIF header.
std::vector<uint8_t> withMetadataOf(const std::vector<uint8_t>& donor,
                                    const std::vector<uint8_t>& picture)
{
    std::vector<uint8_t> out = {0xFF, 0xD8};
    for (size_t i = 2; i + 4 <= donor.size() && donor[i] == 0xFF && donor[i + 1] != 0xDA;) {
        const size_t len = size_t{donor[i + 2]} << 8 | donor[i + 3];
        const uint8_t m = donor[i + 1];
        if ((m >= 0xE0 && m <= 0xEF) || m == 0xFE)
            out.insert(out.end(), donor.begin() + static_cast<std::ptrdiff_t>(i),
                       donor.begin() + static_cast<std::ptrdiff_t>(i + 2 + len));
        i += 2 + len;
    }
    size_t skip = 2;
    if (picture[2] == 0xFF && picture[3] == 0xE0)
        skip += 2 + (size_t{picture[4]} << 8 | picture[5]);
    out.insert(out.end(), picture.begin() + static_cast<std::ptrdiff_t>(skip), picture.end());
    return out;
}

ComPtr<IWICImagingFactory> g_factory;

size_t listAll(IWICMetadataQueryReader* r, int depth = 0)
{
    ComPtr<IEnumString> names;
    if (FAILED(r->GetEnumerator(names.GetAddressOf()))) return 0;
    size_t n = 0;
    LPOLESTR name = nullptr;
    ULONG got = 0;
    while (names->Next(1, &name, &got) == S_OK) {
        tavrel::PropVariant v;
        if (SUCCEEDED(r->GetMetadataByName(name, &v))) {
            ++n;
            if (v.vt == VT_UNKNOWN && depth < 6) {
                ComPtr<IWICMetadataQueryReader> nested;
                if (SUCCEEDED(
                        v.punkVal->QueryInterface(IID_IWICMetadataQueryReader,
                                                  reinterpret_cast<void**>(nested.GetAddressOf()))))
                    n += listAll(nested.Get(), depth + 1);
            }
        }
        CoTaskMemFree(name);
    }
    return n;
}

double runTool(const std::string& command)
{
    const auto t0 = Clock::now();
    const int rc = std::system((command + " >/dev/null 2>&1").c_str());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    return rc == 0 ? ms : -1;
}

bool haveTool(const char* name)
{
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

HRESULT commitRating(const fs::path& file, const char16_t* rating)
{
    const auto name = wide(file.string());
    tavrel::UniqueHandle h(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) return E_FAIL;
    ComPtr<IWICBitmapDecoder> decoder;
    HRESULT hr = g_factory->CreateDecoderFromFileHandle(reinterpret_cast<ULONG_PTR>(h.get()),
                                                        nullptr, WICDecodeMetadataCacheOnDemand,
                                                        decoder.GetAddressOf());
    ComPtr<IWICBitmapFrameDecode> frame;
    if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, frame.GetAddressOf());
    ComPtr<IWICFastMetadataEncoder> fast;
    if (SUCCEEDED(hr))
        hr = g_factory->CreateFastMetadataEncoderFromFrameDecode(frame.Get(), fast.GetAddressOf());
    ComPtr<IWICMetadataQueryWriter> w;
    if (SUCCEEDED(hr)) hr = fast->GetMetadataQueryWriter(w.GetAddressOf());
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_LPWSTR;
    v.pwszVal = const_cast<LPWSTR>(rating);
    if (SUCCEEDED(hr)) hr = w->SetMetadataByName(u"/xmp/xmp:Rating", &v);
    if (SUCCEEDED(hr)) hr = fast->Commit();
    return hr;
}

} // namespace

int main()
{
    const fs::path donorPath =
        fs::path(MIO_CORPUS_DIR) / "jpeg" / "iptc-agency-photographer-example.jpg";
    if (!fs::exists(donorPath)) {
        std::puts("corpus file missing: benchmark skipped");
        return 0;
    }
    if (FAILED(mioImagingCreateFactory(IID_IWICImagingFactory,
                                       reinterpret_cast<void**>(g_factory.GetAddressOf())))) {
        std::puts("no imaging factory");
        return 1;
    }
    const fs::path dir =
        fs::temp_directory_path() / ("mio_metadata_bench_" + std::to_string(getpid()));
    fs::create_directories(dir / "list");
    const auto donor = readAll(donorPath);

    // 1. Listing: 100 12-megapixel files with EXIF, IPTC and XMP.
    const auto big = withMetadataOf(donor, encode(4000, 3000, 85, 8));
    for (int i = 0; i < 100; ++i)
        writeAll(dir / "list" / ("img" + std::to_string(i) + ".jpg"), big);
    size_t values = 0;
    const auto t0 = Clock::now();
    for (int i = 0; i < 100; ++i) {
        const auto name = wide((dir / "list" / ("img" + std::to_string(i) + ".jpg")).string());
        ComPtr<IWICBitmapDecoder> d;
        ComPtr<IWICBitmapFrameDecode> f;
        ComPtr<IWICMetadataQueryReader> r;
        if (FAILED(g_factory->CreateDecoderFromFilename(name.c_str(), nullptr, GENERIC_READ,
                                                        WICDecodeMetadataCacheOnDemand,
                                                        d.GetAddressOf())) ||
            FAILED(d->GetFrame(0, f.GetAddressOf())) ||
            FAILED(f->GetMetadataQueryReader(r.GetAddressOf())))
            continue;
        values += listAll(r.Get());
    }
    const double listMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    std::printf("listing: %zu values from 100 files of %zu bytes, %.3f ms per file\n", values,
                big.size(), listMs / 100);
    if (haveTool("exiftool"))
        std::printf("  exiftool -a -G1 (one process): %.3f ms per file\n",
                    runTool("exiftool -q -a -G1 " + (dir / "list").string()) / 100);
    if (haveTool("exiv2"))
        std::printf("  exiv2 -pa (one process): %.3f ms per file\n",
                    runTool("exiv2 -pa " + (dir / "list").string() + "/*.jpg") / 100);

    // 2. In-place rating commit at 1 MB and 10 MB (XMP with 4 KiB of padding).
    struct Size {
        const char* label;
        unsigned w, h, noise;
    };
    for (const Size s : {Size{"1 MB", 1000, 750, 200}, Size{"10 MB", 3200, 2400, 200}}) {
        const auto file = withMetadataOf(donor, encode(s.w, s.h, 92, s.noise));
        const fs::path path = dir / (std::string("rate_") + s.label[0] + s.label[1] + ".jpg");
        writeAll(path, file);
        // The donor's packet has its own padding; one warm-up run checks it fits.
        if (const HRESULT hr = commitRating(path, u"1"); FAILED(hr)) {
            std::printf("rating %s: commit failed 0x%08X\n", s.label, static_cast<unsigned>(hr));
            continue;
        }
        const int runs = 50;
        const auto t1 = Clock::now();
        for (int i = 0; i < runs; ++i)
            commitRating(path, i % 2 ? u"3" : u"4");
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t1).count();
        // An in-place commit writes the XMP segment's payload and nothing else.
        size_t xmpBytes = 0;
        for (size_t i = 2; i + 4 <= file.size() && file[i] == 0xFF && file[i + 1] != 0xDA;) {
            const size_t len = size_t{file[i + 2]} << 8 | file[i + 3];
            if (file[i + 1] == 0xE1 && len > 31 &&
                std::memcmp(&file[i + 4], "http://ns.adobe.com/xap/1.0/", 28) == 0)
                xmpBytes = len - 2;
            i += 2 + len;
        }
        std::printf("rating %s (%zu bytes): %.3f ms per in-place commit, %zu bytes written\n",
                    s.label, file.size(), ms / runs, xmpBytes);
        if (haveTool("exiftool"))
            std::printf(
                "  exiftool -overwrite_original: %.3f ms per file\n",
                runTool("exiftool -q -overwrite_original -XMP-xmp:Rating=2 " + path.string()));
        if (haveTool("exiv2"))
            std::printf("  exiv2 -M: %.3f ms per file\n",
                        runTool("exiv2 -M'set Xmp.xmp.Rating 2' " + path.string()));
    }
    fs::remove_all(dir);
    return 0;
}
