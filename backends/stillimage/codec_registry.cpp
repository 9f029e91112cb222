// SPDX-License-Identifier: MIT
// Maps codec ids to their functions: built-in codecs directly, heavy ones from their own
// shared objects, loaded on first use.
#include <dlfcn.h>
#include <mutex>
#include <string>

#include "codec.h"

namespace mio::stillimage {

extern const CodecOps kJpegOps;
extern const CodecOps kPngOps;
extern const CodecOps kGifOps;
extern const CodecOps kBmpOps;
extern const CodecOps kTiffOps;
extern const CodecOps kPnmOps;
extern const CodecOps kTgaOps;
extern const CodecOps kSunOps;
extern const CodecOps kWbmpOps;
extern const CodecOps kPcxOps;
extern const CodecOps kIcoOps;
extern const CodecOps kPsdOps;
extern const CodecOps kWebPOps;
extern const CodecOps kEpsOps;
extern const CodecOps kMacPaintOps;
extern const CodecOps kMspOps;
extern const CodecOps kIffOps;

namespace {

// A heavy codec lives in lib<name>.so beside this library and exports
// `mio_stillimage_codec`, returning its CodecOps.
const CodecOps* loadModule(const char* name)
{
    Dl_info self{};
    if (!dladdr(reinterpret_cast<void*>(&loadModule), &self) || !self.dli_fname) return nullptr;
    std::string path(self.dli_fname);
    const size_t slash = path.find_last_of('/');
    path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "lib" + name +
           ".so";
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return nullptr;
    using Entry = const CodecOps* (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(module, "mio_stillimage_codec"));
    // The module stays loaded for the life of the process: records may refer to its codec.
    return entry ? entry() : nullptr;
}

struct LazyModule {
    explicit LazyModule(const char* moduleName) : name(moduleName) {}
    const char* name;
    std::once_flag once;
    const CodecOps* ops = nullptr;
    const CodecOps* get()
    {
        std::call_once(once, [this] { ops = loadModule(name); });
        return ops;
    }
};

LazyModule g_heif{"mio_stillimage_heif"};
LazyModule g_jpeg2000{"mio_stillimage_jpeg2000"};
LazyModule g_raw{"mio_stillimage_raw"};

} // namespace

const CodecOps* codecOps(Codec codec)
{
    switch (codec) {
    case Codec::Jpeg:
        return &kJpegOps;
    case Codec::Png:
        return &kPngOps;
    case Codec::Gif:
        return &kGifOps;
    case Codec::Bmp:
        return &kBmpOps;
    case Codec::Tiff:
        return &kTiffOps;
    case Codec::Pnm:
        return &kPnmOps;
    case Codec::Tga:
        return &kTgaOps;
    case Codec::SunRaster:
        return &kSunOps;
    case Codec::Wbmp:
        return &kWbmpOps;
    case Codec::Pcx:
        return &kPcxOps;
    case Codec::Ico:
        return &kIcoOps;
    case Codec::Psd:
        return &kPsdOps;
    case Codec::WebP:
        return &kWebPOps;
    case Codec::Eps:
        return &kEpsOps;
    case Codec::MacPaint:
        return &kMacPaintOps;
    case Codec::Msp:
        return &kMspOps;
    case Codec::Iff:
        return &kIffOps;
    case Codec::Heif:
        return g_heif.get();
    case Codec::Jpeg2000:
        return g_jpeg2000.get();
    case Codec::Raw:
        return g_raw.get();
    default:
        return nullptr;
    }
}

} // namespace mio::stillimage
