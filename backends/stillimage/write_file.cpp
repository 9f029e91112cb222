// SPDX-License-Identifier: MIT
// The write path of the library: record checks, palette and quality lookup, atomic output.
#include "write_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contracts/common_library.h"
#include "palette_handle.h"
#include "tavrel/platform/memory.h"
#include "tavrel/platform/profile.h"

namespace mio::stillimage {

OutputFile::~OutputFile()
{
    if (m_file) std::fclose(m_file);
    if (!m_tempPath.empty()) ::unlink(m_tempPath.c_str());
}

int OutputFile::open(const std::string& finalPath)
{
    m_finalPath = finalPath;
    const size_t slash = finalPath.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : finalPath.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
    std::string pattern = dir + "/." + leaf + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        return fail(kLibErrOpen, (err == ENOENT ? "folder not found: " : "cannot create file: ") +
                                     finalPath + ": " + std::strerror(err));
    }
    m_tempPath = pattern;
    m_file = ::fdopen(fd, "wb");
    if (!m_file) {
        ::close(fd);
        return fail(kLibErrMemory, "out of memory");
    }
    return 1;
}

int OutputFile::commit()
{
    if (!m_file) return 0;
    // mkstemp makes the file 0600; give it the mode of an ordinary new document.
    const bool flushed = std::fflush(m_file) == 0 && !std::ferror(m_file) &&
                         ::fchmod(::fileno(m_file), 0644) == 0 && ::fsync(::fileno(m_file)) == 0;
    const int closed = std::fclose(m_file);
    m_file = nullptr;
    if (!flushed || closed != 0) return fail(kLibErrOpen, "cannot write file: " + m_finalPath);
    if (::rename(m_tempPath.c_str(), m_finalPath.c_str()) != 0)
        return fail(kLibErrOpen,
                    "cannot replace file: " + m_finalPath + ": " + std::strerror(errno));
    m_tempPath.clear();
    return 1;
}

int jpegQualitySetting()
{
    char ini[260] = {};
    if (q32GetKelvraIniFileName(ini, sizeof(ini)) <= 0) return 85;
    const int q = static_cast<int>(GetPrivateProfileIntA("QF_IJPG", "Quality", 85, ini));
    return std::clamp(q, 1, 100);
}

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
