// SPDX-License-Identifier: MIT
// The write path of the library: record checks and palette lookup, then the codec's writer.
#include "write_file.h"

#include <algorithm>
#include <cstring>

#include "contracts/common_library.h"
#include "palette_handle.h"
#include "tavrel/platform/memory.h"

namespace mio::stillimage {
namespace {

PaletteColors greyRamp()
{
    PaletteColors p;
    p.count = 256;
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<uint8_t>(i);
        p.entries[i] = {v, v, v};
    }
    return p;
}

bool descFromRecord(const QfImageDescriptor& d, ImageDesc& out)
{
    if (d.bitCount != 8 && d.bitCount != 16 && d.bitCount != 24 && d.bitCount != 32) return false;
    if (!sizeAcceptable(d.width, d.height)) return false;
    out.bitCount = d.bitCount;
    out.width = d.width;
    out.height = d.height;
    out.xDpi = d.xResolution / 10000.0;
    out.yDpi = d.yResolution / 10000.0;
    out.colorType = d.colorType;
    if (d.bitCount == 8 && !readPaletteField(d.palette, out.palette)) out.palette = greyRamp();
    return true;
}

struct WriteRecordLock {
    explicit WriteRecordLock(HGLOBAL h)
        : handle(h), data(static_cast<ImageFileData*>(GlobalLock(h)))
    {
    }
    ~WriteRecordLock()
    {
        if (data) GlobalUnlock(handle);
    }
    WriteRecordLock(const WriteRecordLock&) = delete;
    WriteRecordLock& operator=(const WriteRecordLock&) = delete;
    HGLOBAL handle;
    ImageFileData* data;
};

} // namespace
} // namespace mio::stillimage

using namespace mio;
using namespace mio::stillimage;

int32_t writeRecord(HGLOBAL hFileData, QfTransferBlock* block, QfWriteRowsProc proc)
{
    if (!hFileData || !block || !proc) return fail(kLibErrArgument, "invalid write arguments");
    WriteJob job;
    {
        WriteRecordLock rec(hFileData);
        if (!rec.data) return fail(kLibErrArgument, "invalid image record");
        const ImageFileData& d = *rec.data;
        job.path.assign(d.path, strnlen(d.path, sizeof(d.path)));
        job.format = formatById(d.formatId);
        if (!job.format) return fail(kLibErrArgument, "unknown format id");
        if (!descFromRecord(d.main, job.main))
            return fail(kLibErrArgument, "the bitmap must be 8, 16, 24 or 32 bits and of a "
                                         "size the library accepts");
        job.withPreview = block->previewWanted != 0;
        if (job.withPreview && !descFromRecord(d.preview, job.preview)) job.withPreview = false;
    }
    if (job.path.empty()) return fail(kLibErrArgument, "no file path given");
    if (!block->mainWanted) return fail(kLibErrArgument, "the transfer block asks for no image");
    const CodecOps* ops = codecOps(job.format->write);
    if (job.format->write == Codec::None || !ops || !ops->write)
        return fail(kLibErrUnsupported,
                    std::string("unsupported format: cannot write ") + job.format->name + " files");
    if (job.format->write == Codec::Jpeg) job.jpegQuality = jpegQualitySetting();
    RowSource mainRows(block, proc, false, job.main.height);
    RowSource previewRows(block, proc, true, job.preview.height);
    return ops->write(job, mainRows, job.withPreview ? &previewRows : nullptr) > 0 ? 1 : 0;
}
