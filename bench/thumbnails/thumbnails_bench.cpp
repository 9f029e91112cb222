// SPDX-License-Identifier: MIT
// Thumbnail timings through the public interface, as a host makes them: the engine module loaded
// with dlopen, one manager, ParseFile per file, then preview or frame thumbnails.
#include <tavrelmediaio/MediaFileIO.h>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef MIO_DEFAULT_MODULE
#define MIO_DEFAULT_MODULE "libtavrelmediaio.so.0"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::u16string widen(const std::string& text)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return {};
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    out.pop_back();
    return out;
}

// The module and one initialised manager; classes offered in-process as a registration would.
class Host {
  public:
    bool start()
    {
        const char* env = std::getenv("MEDIAIO_LIBRARY");
        m_module = dlopen(env && *env ? env : MIO_DEFAULT_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (!m_module) {
            std::fprintf(stderr, "cannot load the engine: %s\n", dlerror());
            return false;
        }
        auto getClassObject = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, LPVOID*)>(
            dlsym(m_module, "DllGetClassObject"));
        if (!getClassObject) return false;
        for (const GUID* clsid : {&CLSID_ImageFileIO, &CLSID_MediaFileIO, &CLSID_MediaFileIOMan})
            if (SUCCEEDED(TavrelRegisterInprocClass(*clsid, getClassObject)))
                m_registered.push_back(*clsid);
        ComPtr<IClassFactory> factory;
        HRESULT hr = getClassObject(CLSID_MediaFileIOMan, IID_IClassFactory,
                                    reinterpret_cast<void**>(factory.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = factory->CreateInstance(nullptr, IID_IMediaFileIOMan,
                                         reinterpret_cast<void**>(m_manager.GetAddressOf()));
        if (SUCCEEDED(hr)) hr = m_manager->Initialize(0);
        if (FAILED(hr)) std::fprintf(stderr, "cannot start the engine: 0x%08X\n", unsigned(hr));
        return SUCCEEDED(hr);
    }
    ~Host()
    {
        m_manager.Reset();
        for (const GUID& clsid : m_registered)
            TavrelRevokeInprocClass(clsid);
        // The module stays loaded: objects of it may still be released at exit.
    }
    ComPtr<IMediaFileIO> parse(const std::string& path)
    {
        ComPtr<IMediaFileIO> file;
        if (FAILED(m_manager->ParseFile(widen(path).c_str(), file.GetAddressOf()))) return {};
        return file;
    }

  private:
    void* m_module = nullptr;
    ComPtr<IMediaFileIOMan> m_manager;
    std::vector<GUID> m_registered;
};

bool writeBmp(const std::string& path, const BITMAPINFOHEADER* dib)
{
    const size_t stride = (size_t(dib->biWidth) * dib->biBitCount + 31) / 32 * 4;
    const size_t colours =
        dib->biBitCount <= 8 ? (dib->biClrUsed ? dib->biClrUsed : 1u << dib->biBitCount) : 0;
    const size_t body = dib->biSize + colours * 4 + stride * size_t(std::abs(dib->biHeight));
    uint8_t head[14] = {'B', 'M'};
    const uint32_t total = uint32_t(14 + body), offset = uint32_t(14 + dib->biSize + colours * 4);
    std::memcpy(head + 2, &total, 4);
    std::memcpy(head + 10, &offset, 4);
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    bool ok = std::fwrite(head, 1, 14, out) == 14 && std::fwrite(dib, 1, body, out) == body;
    return std::fclose(out) == 0 && ok;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One file: ParseFile, preview at w x h (generated when the file has none), written as BMP.
int one(Host& host, int w, int h, const std::string& in, const std::string& out)
{
    auto file = host.parse(in);
    PackedDib dib = nullptr;
    if (!file || file->GetPreviewThumbnail(&dib, w, h, TRUE, FALSE) != S_OK || !dib) return 1;
    return writeBmp(out, dib) ? 0 : 1;
}

// Per file: the median of `runs` times of ParseFile + preview + release, in process.
int previews(Host& host, int runs, const std::vector<std::string>& files)
{
    double total = 0;
    int failed = 0;
    for (const auto& path : files) {
        std::vector<double> times;
        bool ok = true;
        int w = 0, h = 0;
        for (int r = 0; r < runs && ok; ++r) {
            const auto start = Clock::now();
            auto file = host.parse(path);
            PackedDib dib = nullptr;
            ok = file && file->GetPreviewThumbnail(&dib, 160, 120, TRUE, FALSE) == S_OK && dib;
            if (ok) w = dib->biWidth, h = dib->biHeight;
            file.Reset();
            times.push_back(msSince(start));
        }
        const char* name = std::strrchr(path.c_str(), '/');
        name = name ? name + 1 : path.c_str();
        if (!ok) {
            ++failed;
            std::printf("%-34s failed\n", name);
            continue;
        }
        total += median(times);
        std::printf("%-34s %3dx%-3d %8.2f ms\n", name, w, h, median(times));
    }
    std::printf("total (medians) %.1f ms over %zu files, %d failed\n", total, files.size(), failed);
    return failed ? 1 : 0;
}

// Frame stepping on one object: ParseFile, then `count` frames `stride` apart, each timed; the
// same frames with a new object per frame show what the open reader saves.
int step(Host& host, const std::string& path, int count, int stride, bool rough)
{
    {
        // Warm-up outside the timings: the first decode of a process pages in the codec.
        auto warm = host.parse(path);
        PackedDib dib = nullptr;
        if (!warm || warm->GetFrameThumbnail(&dib, 160, 120, 0, rough, FALSE) != S_OK) return 1;
    }
    auto start = Clock::now();
    auto file = host.parse(path);
    if (!file) return 1;
    const double parse = msSince(start);
    std::vector<double> kept, fresh;
    for (int i = 0; i < count; ++i) {
        PackedDib dib = nullptr;
        start = Clock::now();
        if (file->GetFrameThumbnail(&dib, 160, 120, i * stride, rough, FALSE) != S_OK) return 1;
        kept.push_back(msSince(start));
    }
    file.Reset();
    for (int i = 0; i < count; ++i) {
        start = Clock::now();
        auto again = host.parse(path);
        PackedDib dib = nullptr;
        if (!again || again->GetFrameThumbnail(&dib, 160, 120, i * stride, rough, FALSE) != S_OK)
            return 1;
        fresh.push_back(msSince(start));
    }
    std::printf("%s frames %d apart, %s: ParseFile %.1f ms\n", path.c_str(), stride,
                rough ? "rough" : "exact", parse);
    std::printf("frame  one object (ms)  new object per frame (ms, ParseFile included)\n");
    for (int i = 0; i < count; ++i)
        std::printf("%5d  %15.2f  %15.2f\n", i * stride, kept[size_t(i)], fresh[size_t(i)]);
    double later = 0, laterFresh = 0;
    for (size_t i = 1; i < kept.size(); ++i)
        later += kept[i], laterFresh += fresh[i];
    const double n = double(std::max<size_t>(1, kept.size() - 1));
    std::printf("first %.2f ms, later frames mean %.2f ms (new object each: %.2f ms)\n", kept[0],
                later / n, laterFresh / n);
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: mio_thumbnails_bench one W H FILE OUT.bmp\n"
                         "       mio_thumbnails_bench previews RUNS FILE...\n"
                         "       mio_thumbnails_bench step FILE COUNT STRIDE [--rough]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return usage();
    const std::string command = argv[1];
    Host host;
    if (!host.start()) return 1;
    if (command == "one" && argc == 6)
        return one(host, std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5]);
    if (command == "previews" && argc >= 4)
        return previews(host, std::max(1, std::atoi(argv[2])),
                        std::vector<std::string>(argv + 3, argv + argc));
    if (command == "step" && (argc == 5 || argc == 6))
        return step(host, argv[2], std::max(1, std::atoi(argv[3])), std::max(1, std::atoi(argv[4])),
                    argc == 6 && std::strcmp(argv[5], "--rough") == 0);
    return usage();
}
