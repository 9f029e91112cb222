// SPDX-License-Identifier: MIT
// Metadata through the imaging component: listing every EXIF, IPTC and XMP value of 100
// 12-megapixel JPEGs in one process, and an in-place XMP rating commit into 1 MB and 10 MB files.
// Without arguments it makes the files, measures, and runs ExifTool and exiv2 on the same files;
// compare.sh drives the modes one by one ("generate DIR", "list DIR", "rate FILE RUNS") so that
// each side is timed as a process of its own.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

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

// CPU time of this process (user + system): the machine may be shared, wall time is noisy.
double cpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
            double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3);
}

// Bytes this process handed to write calls, and bytes it sent to storage (/proc/self/io).
std::pair<uint64_t, uint64_t> ioWritten()
{
    std::ifstream in("/proc/self/io");
    std::string key;
    uint64_t value = 0, wchar = 0, storage = 0;
    while (in >> key >> value) {
        if (key == "wchar:") wchar = value;
        if (key == "write_bytes:") storage = value;
    }
    return {wchar, storage};
}

fs::path listFile(const fs::path& dir, int i)
{
    return dir / ("img" + std::to_string(i) + ".jpg");
}

const fs::path kDonor = fs::path(MIO_CORPUS_DIR) / "jpeg" / "iptc-agency-photographer-example.jpg";

// 100 12-megapixel files with EXIF, IPTC and XMP in dir/list, and rate_1M.jpg, rate_10M.jpg.
bool generate(const fs::path& dir)
{
    if (!fs::exists(kDonor)) return false;
    const auto donor = readAll(kDonor);
    fs::create_directories(dir / "list");
    const auto big = withMetadataOf(donor, encode(4000, 3000, 85, 8));
    for (int i = 0; i < 100; ++i)
        writeAll(listFile(dir / "list", i), big);
    writeAll(dir / "rate_1M.jpg", withMetadataOf(donor, encode(1160, 870, 92, 200)));
    writeAll(dir / "rate_10M.jpg", withMetadataOf(donor, encode(3740, 2800, 92, 200)));
    return true;
}

struct ListTimes {
    size_t files = 0, values = 0;
    double wallMs = 0, cpuMs = 0;
};

ListTimes listDir(const fs::path& dir)
{
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".jpg") files.push_back(e.path());
    ListTimes t;
    const double c0 = cpuMs();
    const auto t0 = Clock::now();
    for (const fs::path& p : files) {
        const auto name = wide(p.string());
        ComPtr<IWICBitmapDecoder> d;
        ComPtr<IWICBitmapFrameDecode> f;
        ComPtr<IWICMetadataQueryReader> r;
        if (FAILED(g_factory->CreateDecoderFromFilename(name.c_str(), nullptr, GENERIC_READ,
                                                        WICDecodeMetadataCacheOnDemand,
                                                        d.GetAddressOf())) ||
            FAILED(d->GetFrame(0, f.GetAddressOf())) ||
            FAILED(f->GetMetadataQueryReader(r.GetAddressOf())))
            continue;
        t.values += listAll(r.Get());
        ++t.files;
    }
    t.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    t.cpuMs = cpuMs() - c0;
    return t;
}

struct RateTimes {
    int runs = 0;
    double wallMs = 0, cpuMs = 0;
    uint64_t wchar = 0, storage = 0;
    HRESULT hr = S_OK;
};

RateTimes rate(const fs::path& file, int runs)
{
    RateTimes t;
    // One warm-up commit checks the rating fits the room the packet has.
    if (t.hr = commitRating(file, u"1"); FAILED(t.hr)) return t;
    const auto io0 = ioWritten();
    const double c0 = cpuMs();
    const auto t0 = Clock::now();
    for (int i = 0; i < runs; ++i)
        if (t.hr = commitRating(file, i % 2 ? u"3" : u"4"); FAILED(t.hr)) return t;
    t.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    t.cpuMs = cpuMs() - c0;
    const auto io1 = ioWritten();
    t.wchar = io1.first - io0.first;
    t.storage = io1.second - io0.second;
    t.runs = runs;
    return t;
}

void printList(const ListTimes& t)
{
    const double n = t.files ? double(t.files) : 1;
    std::printf(
        "mio list: %zu files, %zu values, %.3f ms per file (wall), %.3f ms per file (cpu)\n",
        t.files, t.values, t.wallMs / n, t.cpuMs / n);
}

void printRate(const fs::path& file, const RateTimes& t)
{
    if (FAILED(t.hr)) {
        std::printf("mio rate %s: commit failed 0x%08X\n", file.filename().c_str(),
                    static_cast<unsigned>(t.hr));
        return;
    }
    const double n = t.runs;
    std::printf("mio rate %s (%ju bytes): %.3f ms per commit (wall), %.3f ms (cpu), %.0f bytes "
                "written per commit, %.0f bytes to storage\n",
                file.filename().c_str(), static_cast<uintmax_t>(fs::file_size(file)), t.wallMs / n,
                t.cpuMs / n, double(t.wchar) / n, double(t.storage) / n);
}

} // namespace

int main(int argc, char** argv)
{
    if (FAILED(mioImagingCreateFactory(IID_IWICImagingFactory,
                                       reinterpret_cast<void**>(g_factory.GetAddressOf())))) {
        std::puts("no imaging factory");
        return 1;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "generate" && argc == 3) return generate(argv[2]) ? 0 : 1;
    if (mode == "list" && argc == 3) {
        printList(listDir(argv[2]));
        return 0;
    }
    if (mode == "rate" && argc == 4) {
        const RateTimes t = rate(argv[2], std::atoi(argv[3]));
        printRate(argv[2], t);
        return FAILED(t.hr) ? 1 : 0;
    }
    if (!mode.empty()) {
        std::puts("usage: mio_metadata_bench [generate DIR | list DIR | rate FILE RUNS]");
        return 2;
    }

    const fs::path dir =
        fs::temp_directory_path() / ("mio_metadata_bench_" + std::to_string(getpid()));
    if (!generate(dir)) {
        std::puts("corpus file missing: benchmark skipped");
        return 0;
    }
    ::sync(); // the commits' flushes should not write back the files just made
    printList(listDir(dir / "list"));
    if (haveTool("exiftool"))
        std::printf("  exiftool -a -G1 (one process): %.3f ms per file (wall)\n",
                    runTool("exiftool -q -a -G1 " + (dir / "list").string()) / 100);
    if (haveTool("exiv2"))
        std::printf("  exiv2 -pa (one process): %.3f ms per file (wall)\n",
                    runTool("exiv2 -pa " + (dir / "list").string() + "/*.jpg") / 100);
    for (const char* name : {"rate_1M.jpg", "rate_10M.jpg"}) {
        const fs::path path = dir / name;
        printRate(path, rate(path, 50));
        if (haveTool("exiftool"))
            std::printf(
                "  exiftool -overwrite_original: %.3f ms per file (wall)\n",
                runTool("exiftool -q -overwrite_original -XMP-xmp:Rating=2 " + path.string()));
        if (haveTool("exiv2"))
            std::printf("  exiv2 -M: %.3f ms per file (wall)\n",
                        runTool("exiv2 -M'set Xmp.xmp.Rating 2' " + path.string()));
    }
    fs::remove_all(dir);
    return 0;
}
