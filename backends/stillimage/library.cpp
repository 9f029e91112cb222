// SPDX-License-Identifier: MIT
// The exported calls of the still-image library: format list, file records, read and write.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "codec.h"
#include "contracts/common_library.h"
#include "contracts/still_image_library.h"
#include "mapped_file.h"
#include "palette_handle.h"
#include "sniff.h"
#include "write_file.h"

#include "tavrel/platform/memory.h"

using namespace mio;
using namespace mio::stillimage;

namespace {

// The record keeps the codec that parsed the file in a library-private byte, so a read uses
// the same decoder (a raw file may be served by the TIFF reader when the raw decoder cannot).
constexpr size_t kCodecByteOffset = 264;

struct RecordLock {
    explicit RecordLock(HGLOBAL h)
        : handle(h), data(h ? static_cast<ImageFileData*>(GlobalLock(h)) : nullptr)
    {
    }
    ~RecordLock()
    {
        if (data) GlobalUnlock(handle);
    }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;
    HGLOBAL handle;
    ImageFileData* data;
};

void fillDescriptor(QfImageDescriptor& out, const ImageDesc& in)
{
    out.bitCount = in.bitCount;
    out.width = in.width;
    out.height = in.height;
    out.xResolution = resolutionField(in.xDpi);
    out.yResolution = resolutionField(in.yDpi);
    out.colorType = in.colorType;
    out.palette = 0;
    if (in.colorType == QF_COLOR_PALETTE4 || in.colorType == QF_COLOR_PALETTE8)
        out.palette = createPaletteField(in.palette);
}

struct Detected {
    const FormatRow* format = nullptr;
    Codec codec = Codec::None;
};

// Content decides over the extension: a JPEG named .png is read as the JPEG it is. Formats
// without a signature (Targa, WBMP) are taken by extension only.
int detect(const char* path, Bytes file, Detected& out)
{
    const FormatRow* byExt = formatByExtension(pathExtension(path));
    if (byExt && byExt->read == Codec::Raw && sniffRaw(file)) {
        out = {byExt, Codec::Raw};
        return 1;
    }
    for (const FormatRow& row : kFormatRows) {
        if (row.read == Codec::None || row.read == Codec::Raw) continue;
        if (!sniffCodec(row.read, file)) continue;
        // Several rows share a codec (ico/cur, jp2/jpc, heic/avif): the content picks one.
        const FormatRow* chosen = refineRow(row.read, file, &row);
        out = {chosen, chosen->read};
        return 1;
    }
    if (byExt && byExt->read != Codec::None && !hasSignature(byExt->read)) {
        out = {byExt, byExt->read};
        return 1;
    }
    if (byExt && byExt->read == Codec::None)
        return fail(kLibErrUnsupported, std::string("unsupported format: ") + byExt->name +
                                            " files cannot be read yet");
    if (byExt) return fail(kLibErrFormat, std::string("not a valid ") + byExt->name + " file");
    return fail(kLibErrFormat, "unknown image format");
}

int32_t saturatedSize(size_t size)
{
    return static_cast<int32_t>(std::min<size_t>(size, 0x7FFFFFFF));
}

void freePalettes(ImageFileData& rec)
{
    const uint32_t a = rec.main.palette, b = rec.preview.palette;
    deletePaletteField(a);
    if (b != a) deletePaletteField(b);
    rec.main.palette = rec.preview.palette = 0;
}

int readImpl(HGLOBAL hFileData, QfTransferBlock* block, QfReadRowsProc proc)
{
    if (!hFileData || !block || !proc) return fail(kLibErrArgument, "invalid read arguments");
    std::string path;
    Codec codec = Codec::None;
    QfImageDescriptor wantMain{}, wantPreview{};
    int32_t maskCount = 0;
    {
        RecordLock rec(hFileData);
        if (!rec.data) return fail(kLibErrArgument, "invalid image record");
        path.assign(rec.data->path, strnlen(rec.data->path, sizeof(rec.data->path)));
        codec = static_cast<Codec>(reinterpret_cast<const uint8_t*>(rec.data)[kCodecByteOffset]);
        wantMain = rec.data->main;
        wantPreview = rec.data->preview;
        maskCount = rec.data->maskCount;
    }
    Part part;
    if (block->mainWanted && block->mainMode == QF_MODE_MASK)
        part = Part::Mask;
    else if (block->mainWanted)
        part = Part::Main;
    else if (block->previewWanted)
        part = Part::Preview;
    else
        return fail(kLibErrArgument, "the transfer block asks for no image");
    if (part == Part::Mask && maskCount <= 0) return fail(kLibErrArgument, "the image has no mask");

    const CodecOps* ops = codecOps(codec);
    if (!ops || !ops->read) return fail(kLibErrUnsupported, "no decoder available for this file");
    MappedFile file;
    if (!file.open(path.c_str())) return 0;
    HeaderInfo info;
    if (!ops->parse(file.bytes(), info)) return 0;
    // The file must still be the one the record describes.
    if (info.main.width != wantMain.width || info.main.height != wantMain.height)
        return fail(kLibErrCorrupt, "the file has changed since it was opened");
    const ImageDesc& desc = part == Part::Preview ? info.preview : info.main;
    if (part == Part::Preview) {
        if (!info.hasPreview) return fail(kLibErrArgument, "the file has no preview image");
        if (desc.width != wantPreview.width || desc.height != wantPreview.height)
            return fail(kLibErrCorrupt, "the file has changed since it was opened");
    }
    RowSink sink(block, proc, desc.width, desc.height);
    return ops->read(file.bytes(), info, part, sink) > 0 ? 1 : 0;
}

} // namespace

QF_API int32_t qfFileGetFileFmtNum()
{
    return kFormatCount;
}

QF_API int32_t qfFileGetFormatExt(int32_t nFormatId, char* pszExtArea, int32_t /*nSelect*/)
{
    const FormatRow* row = formatById(nFormatId);
    if (!row || !pszExtArea) return 0;
    const size_t n = std::min<size_t>(std::strlen(row->extensions), QF_FORMAT_EXT_AREA - 1);
    std::memcpy(pszExtArea, row->extensions, n);
    pszExtArea[n] = '\0';
    return 1;
}

QF_API HGLOBAL qfFileGetFormatInfo(int32_t nFormatId)
{
    // One block per format, made on first request and kept for the life of the process.
    static HGLOBAL blocks[kFormatCount] = {};
    static std::mutex mutex;
    const FormatRow* row = formatById(nFormatId);
    if (!row) return nullptr;
    std::lock_guard<std::mutex> guard(mutex);
    HGLOBAL& slot = blocks[nFormatId - 1];
    if (slot) return slot;
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFormatInfo));
    auto* info = h ? static_cast<ImageFormatInfo*>(GlobalLock(h)) : nullptr;
    if (!info) {
        if (h) GlobalFree(h);
        return nullptr;
    }
    info->formatId = row->id;
    info->flags = (row->read != Codec::None ? QF_FORMAT_CAN_READ : 0u) |
                  (row->write != Codec::None ? QF_FORMAT_CAN_WRITE : 0u);
    // The field holds three letters; longer primary extensions (webp, heic, avif) leave it
    // empty rather than cut, since a cut name could match another format.
    const std::string_view ext = primaryExtension(*row);
    if (ext.size() < sizeof(info->extension)) std::memcpy(info->extension, ext.data(), ext.size());
    std::strncpy(info->name, row->name, sizeof(info->name) - 1);
    GlobalUnlock(h);
    slot = h;
    return slot;
}

QF_API int32_t qfFileGetFormatID(const char* pszName)
{
    if (!pszName) return 0;
    const FormatRow* row = formatByNameOrExtension(pszName);
    return row ? row->id : 0;
}

QF_API HGLOBAL qfFileGetFileData(const char* pszPath, int32_t /*nFlags*/)
{
    if (!pszPath || !*pszPath) {
        fail(kLibErrArgument, "no file path given");
        return nullptr;
    }
    if (std::strlen(pszPath) >= sizeof(ImageFileData::path)) {
        fail(kLibErrArgument, "path longer than 259 bytes");
        return nullptr;
    }
    MappedFile file;
    if (!file.open(pszPath)) return nullptr;
    Detected found;
    if (!detect(pszPath, file.bytes(), found)) return nullptr;
    HeaderInfo info;
    const CodecOps* ops = codecOps(found.codec);
    if (!ops) {
        fail(kLibErrUnsupported,
             std::string("the ") + found.format->name + " decoder is not available");
        return nullptr;
    }
    if (!ops->parse(file.bytes(), info)) {
        // A camera raw that the raw decoder cannot develop may still be a readable TIFF.
        if (found.codec != Codec::Raw || !sniffCodec(Codec::Tiff, file.bytes())) return nullptr;
        const CodecOps* tiff = codecOps(Codec::Tiff);
        info = HeaderInfo{};
        if (!tiff || !tiff->parse(file.bytes(), info)) return nullptr;
        found.codec = Codec::Tiff;
    }
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFileData));
    RecordLock rec(h);
    if (!rec.data) {
        if (h) GlobalFree(h);
        fail(kLibErrMemory, "out of memory");
        return nullptr;
    }
    ImageFileData& d = *rec.data;
    d.formatId = found.format->id;
    std::strncpy(d.path, pszPath, sizeof(d.path) - 1);
    reinterpret_cast<uint8_t*>(&d)[kCodecByteOffset] = static_cast<uint8_t>(found.codec);
    d.fileSize = saturatedSize(file.size());
    fillDescriptor(d.main, info.main);
    d.hasPreview = info.hasPreview ? 1 : 0;
    if (info.hasPreview) fillDescriptor(d.preview, info.preview);
    d.maskCount = info.maskCount;
    d.frameCount = static_cast<uint16_t>(std::min<uint32_t>(info.frameCount, 0xFFFF));
    return h;
}

QF_API int32_t q32FileFreeFileData(HGLOBAL hFileData)
{
    if (!hFileData) return 0;
    {
        RecordLock rec(hFileData);
        if (!rec.data) return 0;
        freePalettes(*rec.data);
    }
    return GlobalFree(hFileData) == nullptr ? 1 : 0;
}

QF_API int32_t q32FileIsDSCRawDataFile(const char* pszPath)
{
    if (!pszPath) return 0;
    const FormatRow* row = formatByExtension(pathExtension(pszPath));
    if (!row || row->read != Codec::Raw) return 0;
    MappedFile file;
    if (!file.open(pszPath)) return 0;
    return sniffRaw(file.bytes()) ? 1 : 0;
}

QF_API int32_t qfFileRead(HGLOBAL hFileData, QfTransferBlock* pBlock, QfReadRowsProc pfnRows)
{
    return readImpl(hFileData, pBlock, pfnRows);
}

QF_API int32_t qfFileReadMerged(HGLOBAL hFileData, QfTransferBlock* pBlock, QfReadRowsProc pfnRows)
{
    // Every reader already delivers the flattened picture of a layered file.
    return readImpl(hFileData, pBlock, pfnRows);
}

QF_API int32_t qfFileWrite(HGLOBAL hFileData, QfTransferBlock* pBlock, QfWriteRowsProc pfnRows)
{
    return writeRecord(hFileData, pBlock, pfnRows);
}
