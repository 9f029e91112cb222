// SPDX-License-Identifier: MIT
// Helpers of the concurrency stress suite: the loaded module, made-up input files, and a text
// fingerprint of everything an object answers so runs on many threads compare with one thread.
#pragma once

#include <tavrelmediaio/MediaFileIO.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace stress {

namespace fs = std::filesystem;

/// The manager class factory of the engine module, loaded once for the process (as a host keeps
/// it loaded while objects may live). Null when the module cannot be loaded.
IClassFactory* managerFactory();
std::string moduleLoadError();

/// A new, initialised manager, or null.
ComPtr<IMediaFileIOMan> createManager();

/// An environment value as a positive number, or the fallback.
long envNumber(const char* name, long fallback);

/// A packed bitmap in a locked movable block, freed by the destructor.
class DibBlock {
  public:
    DibBlock(int32_t width, int32_t height, uint32_t seed);
    ~DibBlock();
    DibBlock(const DibBlock&) = delete;
    DibBlock& operator=(const DibBlock&) = delete;
    PackedDib get() const { return m_dib; }
    bool ok() const { return m_dib != nullptr; }

  private:
    HGLOBAL m_block = nullptr;
    PackedDib m_dib = nullptr;
};

/// Bytes of a packed bitmap: header, colour table or masks, rows. 0 for a header that does not
/// describe a plausible bitmap.
size_t dibBytes(const BITMAPINFOHEADER* dib);

/// A 24-bit BMP file of the given bitmap; a 16-bit mono PCM WAV of the given length.
bool writeBmp(const fs::path& path, PackedDib dib);
bool writeWav(const fs::path& path, uint32_t sampleRate, uint32_t samples);

uint64_t fnv1a(const void* data, size_t size, uint64_t hash = 0xcbf29ce484222325ull);
std::string hex(uint64_t value);
std::u16string wide(const fs::path& path);
std::string narrow(const WCHAR* text);

/// Where a worker is, for the watchdog's report.
enum class Phase : int {
    Idle,
    Parse,
    Properties,
    Thumbnail,
    FrameThumbnail,
    Metadata,
    Release,
    Write,
    Commit,
    Reparse,
};
const char* phaseName(Phase phase);

/// Called at each step so the watchdog sees progress.
using PhaseHook = void (*)(void* context, Phase phase);

/// The fingerprint of an open object: properties, preview and frame thumbnails (their headers and
/// a hash of their bytes), the mask, metadata lists and texts. Calls `hook` before each step.
std::string describe(IMediaFileIO* object, PhaseHook hook = nullptr, void* context = nullptr);

/// The same without the thumbnails, for an object that other threads use at the same time
/// (a thumbnail stays valid only until the object's next thumbnail request).
std::string describeWithoutThumbnails(IMediaFileIO* object);

/// Parse result and fingerprint of a path in one line: "hr=...;" then describe().
std::string parseAndDescribe(IMediaFileIOMan* manager, const fs::path& path, bool* isImageObject,
                             PhaseHook hook = nullptr, void* context = nullptr);

bool isImageObject(IMediaFileIO* object);

/// The preview thumbnail hash alone (160 x 120, generated when needed); empty on failure.
std::string thumbnailHash(IMediaFileIO* object);

} // namespace stress
