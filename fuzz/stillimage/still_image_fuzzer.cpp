// SPDX-License-Identifier: MIT
// Fuzz target: one still-image reader through the library's public calls, on a file written
// from the input and named with the reader's extension (some formats are known by name only).
#include "contracts/still_image_library.h"
#include "tavrel/platform/memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#ifndef MIO_FUZZ_EXTENSION
#error "MIO_FUZZ_EXTENSION names the file extension of the reader under test"
#endif

namespace {

// Decoding a picture of hundreds of megapixels from a few bytes only costs time; the header
// parse still sees every declared size, the row read is skipped above this.
constexpr int64_t kMaxReadPixels = int64_t{1} << 22;

struct ReadState {
    size_t rowBytes = 0;
    int32_t width = 0;
    int32_t height = 0;
    uint32_t checksum = 0;
};

int32_t onRows(QfTransferBlock* block, int32_t xOffset, int32_t firstRow, int32_t pixelCount,
               int32_t rowCount, BYTE** rows, int32_t, int32_t, int32_t)
{
    auto* state = static_cast<ReadState*>(block->context);
    // A reader must stay inside the picture it declared.
    if (xOffset < 0 || pixelCount < 0 || xOffset + pixelCount > state->width || firstRow < 0 ||
        rowCount < 0 || firstRow + rowCount > state->height)
        std::abort();
    for (int32_t r = 0; r < rowCount; ++r) {
        // Touch every byte so the sanitizer sees rows shorter than they claim to be.
        const BYTE* row = rows[r];
        for (size_t i = 0; i < state->rowBytes; ++i)
            state->checksum += row[i];
    }
    return 1;
}

size_t bytesPerRow(const QfImageDescriptor& d, bool mask)
{
    const size_t width = static_cast<size_t>(d.width);
    if (mask) return width;
    return (width * static_cast<size_t>(d.bitCount > 0 ? d.bitCount : 0) + 7) / 8;
}

void readPart(HGLOBAL record, const QfImageDescriptor& d, bool preview, bool mask)
{
    if (d.width <= 0 || d.height <= 0) std::abort(); // a record must describe a picture
    if (int64_t{d.width} * d.height > kMaxReadPixels) return;
    ReadState state;
    state.rowBytes = bytesPerRow(d, mask);
    state.width = d.width;
    state.height = d.height;
    QfTransferBlock block{};
    if (preview) {
        block.previewWanted = 1;
        block.previewMode = QF_MODE_ROWS;
    } else {
        block.mainWanted = 1;
        block.mainMode = mask ? QF_MODE_MASK : QF_MODE_ROWS;
    }
    block.context = &state;
    (void)qfFileRead(record, &block, onRows);
}

struct TempFile {
    std::string path;
    TempFile()
    {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(dir) + "/mio-fuzz-XXXXXX." MIO_FUZZ_EXTENSION;
        const int suffix = static_cast<int>(sizeof(MIO_FUZZ_EXTENSION)); // dot + extension
        const int fd = mkstemps(pattern.data(), suffix);
        if (fd < 0) std::abort();
        close(fd);
        path = pattern;
    }
    ~TempFile() { unlink(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};

bool writeAll(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TempFile file;
    if (!writeAll(file.path, data, size)) std::abort();
    HGLOBAL record = qfFileGetFileData(file.path.c_str(), 0);
    if (!record) return 0;
    auto* info = static_cast<ImageFileData*>(GlobalLock(record));
    if (!info) std::abort();
    const ImageFileData copy = *info;
    GlobalUnlock(record);

    readPart(record, copy.main, false, false);
    if (copy.hasPreview) readPart(record, copy.preview, true, false);
    if (copy.maskCount > 0) readPart(record, copy.main, false, true);
    // The merged read is the same decode for flat files and the layered path for PSD.
    QfTransferBlock block{};
    ReadState state;
    state.rowBytes = bytesPerRow(copy.main, false);
    state.width = copy.main.width;
    state.height = copy.main.height;
    block.mainWanted = 1;
    block.mainMode = QF_MODE_ROWS;
    block.context = &state;
    if (int64_t{copy.main.width} * copy.main.height <= kMaxReadPixels)
        (void)qfFileReadMerged(record, &block, onRows);

    if (!q32FileFreeFileData(record)) std::abort();
    return 0;
}
