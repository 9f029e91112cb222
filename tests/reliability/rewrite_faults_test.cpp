// SPDX-License-Identifier: MIT
// Every rewrite of a user's file, walked through a failure at each of its open, write, flush,
// sync, rename and close calls in turn (1st, 2nd, ... until the rewrite runs clean): a failed
// rewrite must report a failure, leave the original byte for byte as it was and leave nothing
// beside it; a rewrite that still reports success must have written the complete new file.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/registry.h>
#include <tavrelmediaio/MediaFileIO.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "contracts/file_format_id_table.h"
#include "fault_injection.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

// ---- the engine as a host loads it ----

struct Server {
    void* handle = nullptr;
    HRESULT (*getClassObject)(REFCLSID, REFIID, LPVOID*) = nullptr;
};

const Server& server()
{
    static const Server s = [] {
        Server x;
        x.handle = dlopen(MIO_SERVER_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (x.handle)
            x.getClassObject =
                reinterpret_cast<decltype(x.getClassObject)>(dlsym(x.handle, "DllGetClassObject"));
        return x;
    }();
    return s;
}

ComPtr<IMediaFileIOMan2> newManager()
{
    ComPtr<IMediaFileIOMan2> manager;
    ComPtr<IClassFactory> factory;
    if (!server().getClassObject ||
        FAILED(server().getClassObject(CLSID_MediaFileIOMan, IID_IClassFactory,
                                       reinterpret_cast<void**>(factory.GetAddressOf()))))
        return manager;
    if (FAILED(factory->CreateInstance(nullptr, IID_IMediaFileIOMan2,
                                       reinterpret_cast<void**>(manager.GetAddressOf()))) ||
        FAILED(manager->Initialize(0)))
        manager.Reset();
    return manager;
}

std::u16string wide(const fs::path& path)
{
    return support::u16(path.string());
}

// A 24-bit bottom-up packed DIB in one fixed global block; the pattern depends on `seed`.
struct Picture {
    HGLOBAL block = nullptr;
    explicit Picture(int width, int height, int seed)
    {
        const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
        block = GlobalAlloc(GPTR, sizeof(BITMAPINFOHEADER) + stride * static_cast<size_t>(height));
        auto* header = static_cast<BITMAPINFOHEADER*>(block);
        header->biSize = sizeof(BITMAPINFOHEADER);
        header->biWidth = width;
        header->biHeight = height;
        header->biPlanes = 1;
        header->biBitCount = 24;
        header->biSizeImage = static_cast<DWORD>(stride * static_cast<size_t>(height));
        auto* pixels = reinterpret_cast<BYTE*>(header + 1);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                BYTE* p = pixels + static_cast<size_t>(y) * stride + 3 * static_cast<size_t>(x);
                p[0] = static_cast<BYTE>(x * 7 + seed);
                p[1] = static_cast<BYTE>(y * 5 + seed * 3);
                p[2] = static_cast<BYTE>((x ^ y) + seed);
            }
    }
    ~Picture() { GlobalFree(block); }
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;
    PackedDib dib() const { return static_cast<PackedDib>(block); }
};

HRESULT setText(IMediaFileIO* object, HRESULT (IMediaFileIO::*method)(const WCHAR*, int32_t),
                const std::u16string& text)
{
    return (object->*method)(text.c_str(), static_cast<int32_t>(2 * (text.size() + 1)));
}

std::u16string captionOf(IMediaFileIO* object)
{
    WCHAR text[128] = {};
    if (object->GetCaption(text, sizeof text) != S_OK) return u"<none>";
    return text;
}

std::vector<std::string> namesIn(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ---- one rewrite: how to make its original, reach the call that rewrites, and check a success

class Rewrite {
  public:
    virtual ~Rewrite() = default;
    virtual std::string fileName() const = 0;
    /// Writes the original file (nothing is armed yet). False skips the rewrite.
    virtual bool prepare(IMediaFileIOMan2* manager, const fs::path& file) = 0;
    /// The steps before the rewrite, e.g. opening the object and staging a change.
    virtual HRESULT begin(IMediaFileIOMan2*, const fs::path&) { return S_OK; }
    /// The call that rewrites the file; this is what runs with a failure armed.
    virtual HRESULT run(IMediaFileIOMan2* manager, const fs::path& file) = 0;
    /// Drops what begin() opened.
    virtual void end() { m_object.Reset(); }
    /// Whether the file holds the complete result of a successful run.
    virtual bool verify(IMediaFileIOMan2* manager, const fs::path& file) = 0;
    /// Whether the file is whole after a failure that came once it had been replaced; for a
    /// rewrite of several steps, an earlier step's complete result is whole too.
    virtual bool whole(IMediaFileIOMan2* manager, const fs::path& file)
    {
        return verify(manager, file);
    }

  protected:
    ComPtr<IMediaFileIO> m_object;
};

// A JPEG written by the engine: no XMP, so the first caption needs the padded re-encode.
bool writeJpeg(IMediaFileIOMan2* manager, const fs::path& file)
{
    const Picture picture(61, 37, 1);
    return manager->WriteImageFile(wide(file).c_str(), *FileFormatIdTable::numberOfExtension("jpg"),
                                   picture.dib(), FALSE, 90) == S_OK;
}

class PaddedXmpRewrite final : public Rewrite {
  public:
    std::string fileName() const override { return "photo.jpg"; }
    bool prepare(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        if (!writeJpeg(manager, file)) return false;
        m_originalSize = fs::file_size(file);
        return true;
    }
    HRESULT begin(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        return manager->ParseFile(wide(file).c_str(), m_object.ReleaseAndGetAddressOf());
    }
    HRESULT run(IMediaFileIOMan2*, const fs::path&) override
    {
        return setText(m_object.Get(), &IMediaFileIO::SetCaption, u"padded");
    }
    bool verify(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        // The padded copy replaced the file; the caption itself waits for the commit.
        if (fs::file_size(file) < m_originalSize + 4096) return false;
        ComPtr<IMediaFileIO> again;
        if (manager->ParseFile(wide(file).c_str(), again.GetAddressOf()) != S_OK) return false;
        int32_t width = 0, height = 0;
        return again->GetFrameSize(&width, &height) == S_OK && width == 61 && height == 37;
    }

  private:
    uintmax_t m_originalSize = 0;
};

class InPlaceXmpCommit final : public Rewrite {
  public:
    std::string fileName() const override { return "photo.jpg"; }
    bool prepare(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        if (!writeJpeg(manager, file)) return false;
        ComPtr<IMediaFileIO> object;
        return manager->ParseFile(wide(file).c_str(), object.GetAddressOf()) == S_OK &&
               setText(object.Get(), &IMediaFileIO::SetCaption, u"first caption") == S_OK &&
               object->UpdateMetaDataToFile() == S_OK;
    }
    HRESULT begin(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        const HRESULT hr =
            manager->ParseFile(wide(file).c_str(), m_object.ReleaseAndGetAddressOf());
        if (FAILED(hr)) return hr;
        return setText(m_object.Get(), &IMediaFileIO::SetCaption, u"second, longer caption");
    }
    HRESULT run(IMediaFileIOMan2*, const fs::path&) override
    {
        return m_object->UpdateMetaDataToFile();
    }
    bool verify(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        ComPtr<IMediaFileIO> again;
        return manager->ParseFile(wide(file).c_str(), again.GetAddressOf()) == S_OK &&
               captionOf(again.Get()) == u"second, longer caption";
    }
};

// WriteImageFile over an existing file of the same format, with a picture of another size.
class OverwriteImage final : public Rewrite {
  public:
    explicit OverwriteImage(std::string extension) : m_extension(std::move(extension)) {}
    std::string fileName() const override { return "picture." + m_extension; }
    bool prepare(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        const Picture first(40, 30, 2);
        return manager->WriteImageFile(wide(file).c_str(), format(), first.dib(), FALSE, 80) ==
               S_OK;
    }
    HRESULT run(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        const Picture second(33, 21, 9);
        return manager->WriteImageFile(wide(file).c_str(), format(), second.dib(), FALSE, 80);
    }
    bool verify(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        ComPtr<IMediaFileIO> again;
        int32_t width = 0, height = 0;
        return manager->ParseFile(wide(file).c_str(), again.GetAddressOf()) == S_OK &&
               again->GetFrameSize(&width, &height) == S_OK && width == 33 && height == 21;
    }

  private:
    int32_t format() const { return *FileFormatIdTable::numberOfExtension(m_extension); }
    std::string m_extension;
};

// A tag edit through an object from DirectSetMetadata, saved by UpdateMetaDataToFile.
class TagSave final : public Rewrite {
  public:
    TagSave(std::string corpusFile, int32_t code, int32_t tag)
        : m_corpusFile(std::move(corpusFile)), m_code(code), m_tag(tag)
    {
    }
    std::string fileName() const override
    {
        return "song" + fs::path(m_corpusFile).extension().string();
    }
    bool prepare(IMediaFileIOMan2*, const fs::path& file) override
    {
        const fs::path source = support::corpusPathOrEmpty(m_corpusFile);
        if (source.empty()) return false;
        fs::copy_file(source, file);
        return true;
    }
    HRESULT begin(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        const HRESULT hr =
            manager->DirectSetMetadata(wide(file).c_str(), m_object.ReleaseAndGetAddressOf());
        if (FAILED(hr)) return hr;
        const std::u16string title = u"Fault-tested title";
        return m_object->SetMetaData(m_code, m_tag, reinterpret_cast<const BYTE*>(title.c_str()),
                                     static_cast<int32_t>(2 * (title.size() + 1)));
    }
    HRESULT run(IMediaFileIOMan2*, const fs::path&) override
    {
        return m_object->UpdateMetaDataToFile();
    }
    bool verify(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        ComPtr<IMediaFileIO> again;
        if (manager->DirectSetMetadata(wide(file).c_str(), again.GetAddressOf()) != S_OK)
            return false;
        WCHAR text[64] = {};
        return again->GetMetaDataStr(m_code, m_tag, text, sizeof text) == S_OK &&
               std::u16string(text) == u"Fault-tested title";
    }

  private:
    std::string m_corpusFile;
    int32_t m_code;
    int32_t m_tag;
};

// XMP through a media object from DirectSetMetadata (the metadata file rewriter): the title
// written to a JPEG without XMP (padded rewrite, then the in-place commit) or with room for it.
class RewriterXmpWrite final : public Rewrite {
  public:
    explicit RewriterXmpWrite(bool padded) : m_padded(padded) {}
    std::string fileName() const override { return "still.jpg"; }
    bool prepare(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        if (!writeJpeg(manager, file)) return false;
        if (!m_padded) return true;
        ComPtr<IMediaFileIO> object;
        return manager->DirectSetMetadata(wide(file).c_str(), object.GetAddressOf()) == S_OK &&
               setTitle(object.Get(), u"first") == S_OK && object->UpdateMetaDataToFile() == S_OK;
    }
    HRESULT begin(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        return manager->DirectSetMetadata(wide(file).c_str(), m_object.ReleaseAndGetAddressOf());
    }
    HRESULT run(IMediaFileIOMan2*, const fs::path&) override
    {
        const HRESULT hr = setTitle(m_object.Get(), u"rewritten title");
        return FAILED(hr) ? hr : m_object->UpdateMetaDataToFile();
    }
    bool verify(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        ComPtr<IMediaFileIO> again;
        if (manager->DirectSetMetadata(wide(file).c_str(), again.GetAddressOf()) != S_OK)
            return false;
        WCHAR text[64] = {};
        return again->GetMetaDataStr(MetaFormatXmp, kTitle, text, sizeof text) == S_OK &&
               std::u16string(text) == u"rewritten title";
    }

    bool whole(IMediaFileIOMan2* manager, const fs::path& file) override
    {
        // The padded copy is in place and the title not yet written: the same picture.
        ComPtr<IMediaFileIO> again;
        int32_t width = 0, height = 0;
        return manager->ParseFile(wide(file).c_str(), again.GetAddressOf()) == S_OK &&
               again->GetFrameSize(&width, &height) == S_OK && width == 61 && height == 37;
    }

  private:
    static constexpr int32_t kTitle = 4; // the XMP title (dc:title)
    static HRESULT setTitle(IMediaFileIO* object, const std::u16string& title)
    {
        return object->SetMetaData(MetaFormatXmp, kTitle,
                                   reinterpret_cast<const BYTE*>(title.c_str()),
                                   static_cast<int32_t>(2 * (title.size() + 1)));
    }
    bool m_padded;
};

// ---- the walk ----

struct Cell {
    int calls = 0;              // calls of the operation in a clean run
    int failures = 0;           // injected failures reported as failures, original kept
    int toleratedClose = 0;     // a close failed after the data was out; the file is complete
    int failedAfterReplace = 0; // a later step failed once the complete new file was in place
};

class RewriteFaults : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_NE(server().handle, nullptr) << dlerror();
        m_registry = std::make_unique<support::TempDir>();
        TavrelSetRegistryRoot(m_registry->path().c_str(), m_registry->path().c_str());
        // The settings file (JPEG quality) lives outside the watched folder.
        setenv("XDG_CONFIG_HOME", m_registry->path().c_str(), 1);
        m_manager = newManager();
        ASSERT_NE(m_manager.Get(), nullptr);
    }
    void TearDown() override { faults::watch({}); }

    /// Fails call 1, 2, ... of `op` until a run no longer reaches the failing call.
    Cell walk(Rewrite& rewrite, faults::Op op, int error)
    {
        Cell cell;
        for (int n = 1; n <= 400; ++n) {
            SCOPED_TRACE(std::string(faults::name(op)) + " call " + std::to_string(n) +
                         " fails with " + std::strerror(error));
            support::TempDir dir;
            const fs::path file = dir / rewrite.fileName();
            faults::watch(dir.path().string());
            if (!rewrite.prepare(m_manager.Get(), file)) {
                m_skipped = true;
                return cell;
            }
            const auto before = support::readFile(file);
            const HRESULT began = rewrite.begin(m_manager.Get(), file);
            EXPECT_EQ(began, S_OK);
            if (began != S_OK) return cell;

            faults::arm(op, n, error);
            const HRESULT hr = rewrite.run(m_manager.Get(), file);
            faults::disarm();
            const bool fired = faults::fired();
            const auto names = namesIn(dir.path());
            rewrite.end();
            EXPECT_EQ(names, std::vector<std::string>{rewrite.fileName()}) << "left beside it";

            if (!fired) {
                EXPECT_EQ(hr, S_OK) << "clean run";
                EXPECT_TRUE(rewrite.verify(m_manager.Get(), file)) << "clean run";
                cell.calls = n - 1;
                faults::watch({});
                return cell;
            }
            if (FAILED(hr) && faults::renamedBeforeFault() && support::readFile(file) != before) {
                // A step after the new file replaced the old one (such as reopening it) failed:
                // the file must then be the complete new one.
                EXPECT_TRUE(rewrite.whole(m_manager.Get(), file)) << "replaced by a broken file";
                ++cell.failedAfterReplace;
            } else if (FAILED(hr)) {
                EXPECT_EQ(support::readFile(file), before) << "original changed";
                ++cell.failures;
            } else {
                // Only a failed close of a descriptor whose data was already written may go
                // unreported; the new file must then be whole.
                EXPECT_EQ(op, faults::Op::Close) << "failure reported as success, hr " << hr;
                EXPECT_TRUE(rewrite.verify(m_manager.Get(), file)) << "success without result";
                ++cell.toleratedClose;
            }
            if (HasFailure()) return cell; // one broken step is enough detail
        }
        ADD_FAILURE() << "no clean run";
        return cell;
    }

    /// Walks every operation; `replaces` says the rewrite ends in a rename over the original.
    void walkAll(Rewrite& rewrite, const std::string& label, bool replaces = true)
    {
        std::map<faults::Op, int> calls;
        for (const faults::Op op : faults::kAllOps) {
            for (const int error : {EIO, ENOSPC}) {
                if (error == ENOSPC && op != faults::Op::Write && op != faults::Op::StdioWrite &&
                    op != faults::Op::StdioFlush && op != faults::Op::Sync)
                    continue;
                const Cell cell = walk(rewrite, op, error);
                if (m_skipped) return;
                calls[op] = cell.calls;
                std::printf("[matrix] %-30s %-9s %-6s calls %2d  original-kept %2d  "
                            "failed-after-replace %d  close-error-ignored-file-complete %d\n",
                            label.c_str(), faults::name(op), error == EIO ? "EIO" : "ENOSPC",
                            cell.calls, cell.failures, cell.failedAfterReplace,
                            cell.toleratedClose);
                if (HasFailure()) return;
            }
        }
        // The stand-ins saw the rewrite at all: its data went out and, where it replaces the
        // file, through one rename.
        EXPECT_GT(calls[faults::Op::Write] + calls[faults::Op::StdioWrite], 0) << label;
        EXPECT_EQ(calls[faults::Op::Rename], replaces ? 1 : 0) << label;
    }

    std::unique_ptr<support::TempDir> m_registry;
    ComPtr<IMediaFileIOMan2> m_manager;
    bool m_skipped = false;
};

TEST_F(RewriteFaults, ImageObjectPaddedXmpRewrite)
{
    PaddedXmpRewrite rewrite;
    walkAll(rewrite, "image object padding");
    ASSERT_FALSE(m_skipped) << "the engine could not write the JPEG to start from";
}

TEST_F(RewriteFaults, ImageObjectInPlaceXmpCommit)
{
    InPlaceXmpCommit rewrite;
    walkAll(rewrite, "image object in-place commit", false);
    ASSERT_FALSE(m_skipped) << "the engine could not write the JPEG to start from";
}

TEST_F(RewriteFaults, WriteImageFileOverExistingFile)
{
    // One format per writer library and each of the own small-format writers.
    for (const char* extension : {"jpg", "png", "tif", "gif", "bmp", "pcx", "tga", "pnm", "jp2"}) {
        SCOPED_TRACE(extension);
        OverwriteImage rewrite(extension);
        walkAll(rewrite, std::string("WriteImageFile ") + extension);
        ASSERT_FALSE(m_skipped) << "no first file written";
        if (HasFailure()) return;
    }
}

TEST_F(RewriteFaults, TagEditorSave)
{
    struct Case {
        const char* file;
        int32_t code;
        int32_t tag;
    };
    // ID3v2 title, Vorbis comment title, ASF title.
    for (const Case& c :
         {Case{"audio/silence-44-s.mp3", 4, 17}, Case{"audio/silence-44-s.flac", 5, 1},
          Case{"audio/silence-1.wma", 6, 1}}) {
        SCOPED_TRACE(c.file);
        TagSave rewrite(c.file, c.code, c.tag);
        walkAll(rewrite, std::string("tag save ") + fs::path(c.file).extension().string());
        if (m_skipped) GTEST_SKIP() << "corpus file not available: " << c.file;
        if (HasFailure()) return;
    }
}

TEST_F(RewriteFaults, RewriterXmpPaddingAndCommit)
{
    RewriterXmpWrite rewrite(false);
    walkAll(rewrite, "rewriter padding+commit");
    ASSERT_FALSE(m_skipped) << "the engine could not write the JPEG to start from";
}

TEST_F(RewriteFaults, RewriterXmpInPlaceCommit)
{
    RewriterXmpWrite rewrite(true);
    walkAll(rewrite, "rewriter in-place commit", false);
    ASSERT_FALSE(m_skipped) << "the engine could not write the JPEG to start from";
}

} // namespace
