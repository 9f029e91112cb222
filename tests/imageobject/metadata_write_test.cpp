// SPDX-License-Identifier: MIT
// Image object metadata writing on corpus JPEG copies: caption, rating, keywords and removal read
// back by ExifTool, the one-time padded rewrite, and the original file kept intact when that
// rewrite fails (file size limit, full disk, read-only folder) in a child process.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "image_object_test_support.h"
#include "imageobject/image_file_io.h"
#include "metadata_test_support.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace objtest;

namespace {

HRESULT setText(const ComPtr<IMediaFileIO>& object,
                HRESULT (IMediaFileIO::*method)(const WCHAR*, int32_t), const std::u16string& text)
{
    return (object.Get()->*method)(text.c_str(), static_cast<int32_t>(2 * (text.size() + 1)));
}

bool isClosed(const ComPtr<IMediaFileIO>& object)
{
    int32_t total = 0;
    return object->GetMetaTags(7, &total, nullptr, 0) == E_FAIL;
}

size_t entriesIn(const fs::path& dir)
{
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir))
        ++n;
    return n;
}

TEST(ImageMetadataWrite, FileWithoutXmpIsPaddedOnceThenUpdatedInPlace)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(src);
    const auto pixels = decodedPixels(copy.path());
    ASSERT_FALSE(pixels.empty());
    const auto originalSize = fs::file_size(copy.path());

    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr); // read-only
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(object->UpdateMetaDataToFile(), E_FAIL);
    ASSERT_EQ(setText(object, &IMediaFileIO::SetCaption, u"Harbour at dusk"), S_OK);
    const auto paddedSize = fs::file_size(copy.path());
    EXPECT_GT(paddedSize, originalSize + 4096); // re-encoded with padding, caption not yet there
    EXPECT_EQ(exiftool(copy.path(), "-XMP-dc:Title"), "");
    ASSERT_EQ(setText(object, &IMediaFileIO::SetRating, u"4"), S_OK);
    const std::u16string keywords(u"sky\0sea\0", 8);
    ASSERT_EQ(object->SetSubjectTags(keywords.data(), 16), S_OK);
    ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);

    EXPECT_EQ(fs::file_size(copy.path()), paddedSize); // committed inside the padding
    EXPECT_EQ(exiftool(copy.path(), "-XMP-dc:Title"), "Harbour at dusk");
    EXPECT_EQ(exiftool(copy.path(), "-XMP-xmp:Rating"), "4");
    EXPECT_EQ(exiftool(copy.path(), "-XMP-microsoft:RatingPercent"), "75");
    EXPECT_EQ(exiftool(copy.path(), "-XMP-dc:Subject"), "sky|sea");
    EXPECT_EQ(exiftool(copy.path(), "-IFD0:Make"), "Canon");
    EXPECT_EQ(exiftool(copy.path(), "-ExifIFD:ExposureTime"), "0.00625");
    EXPECT_EQ(decodedPixels(copy.path()), pixels);

    WCHAR text[64] = {};
    ASSERT_EQ(object->GetCaption(text, sizeof text), S_OK);
    EXPECT_EQ(support::u8(text), "Harbour at dusk");

    // Opened read-only again: it has XMP now, so it is reopened, not rewritten.
    ASSERT_EQ(asMediaFile(object)->CloseMedia(), S_OK);
    auto again = open(copy.path(), hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(setText(again, &IMediaFileIO::SetCaption, u"Second"), S_OK);
    EXPECT_EQ(fs::file_size(copy.path()), paddedSize);
    ASSERT_EQ(again->UpdateMetaDataToFile(), S_OK);
    EXPECT_EQ(fs::file_size(copy.path()), paddedSize);
    EXPECT_EQ(exiftool(copy.path(), "-XMP-dc:Title"), "Second");
    EXPECT_EQ(decodedPixels(copy.path()), pixels);
}

TEST(ImageMetadataWrite, RatingTextsAndPercent)
{
    MIO_CORPUS_FILE(src, "jpeg/BlueSquare_xmp.jpg");
    struct Case {
        std::u16string text;
        std::string rating, percent;
    };
    const Case cases[] = {{u"0", "0", "0"}, {u"5", "5", "99"}, {u"9", "9", ""}, {u"x", "x", "0"}};
    for (const Case& c : cases) {
        support::ScopedCopy copy(src);
        HRESULT hr = E_FAIL;
        auto object = open(copy.path(), hr, VARIANT_FALSE);
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(setText(object, &IMediaFileIO::SetRating, c.text), S_OK);
        ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
        EXPECT_EQ(exiftool(copy.path(), "-XMP-xmp:Rating"), c.rating) << c.rating;
        EXPECT_EQ(exiftool(copy.path(), "-XMP-microsoft:RatingPercent"), c.percent) << c.rating;
    }
}

TEST(ImageMetadataWrite, KeywordListSizes)
{
    MIO_CORPUS_FILE(src, "jpeg/BlueSquare_xmp.jpg");
    const std::u16string list(u"a\0b\0\0", 5);
    const std::pair<int32_t, std::string> cases[] = {{10, "a|b"}, {8, "a|b"}, {6, "a"}};
    for (const auto& [size, expected] : cases) {
        support::ScopedCopy copy(src);
        HRESULT hr = E_FAIL;
        auto object = open(copy.path(), hr, VARIANT_FALSE);
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(object->SetSubjectTags(list.data(), size), S_OK);
        ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
        EXPECT_EQ(exiftool(copy.path(), "-XMP-dc:Subject"), expected) << size;
    }
    // Size 2: the bag is removed and an empty value handed on; the query writer refuses it, so
    // nothing is marked modified and the commit leaves the file as it was.
    support::ScopedCopy copy(src);
    ASSERT_TRUE(exiftoolEdit(copy.path(), {"-XMP-dc:Subject=old"}));
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr, VARIANT_FALSE);
    ASSERT_EQ(hr, S_OK);
    const HRESULT emptied = object->SetSubjectTags(list.data(), 2);
    ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
    EXPECT_EQ(emptied, WINCODEC_ERR_PROPERTYUNEXPECTEDTYPE);
    EXPECT_EQ(exiftool(copy.path(), "-XMP-dc:Subject"), "old");
    // The removal is still pending in the writer: the next accepted write commits it too.
    ASSERT_EQ(setText(object, &IMediaFileIO::SetCaption, u"t"), S_OK);
    ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
    EXPECT_EQ(exiftool(copy.path(), "-XMP-dc:Subject"), "");
    EXPECT_EQ(exiftool(copy.path(), "-XMP-dc:Format"), "image/jpeg"); // the rest of XMP stays
    EXPECT_EQ(object->SetSubjectTags(nullptr, 4), E_FAIL);
}

TEST(ImageMetadataWrite, RemovalReachesFileOnlyOnUpdate)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(src);
    const auto before = support::readFile(copy.path());
    const auto pixels = decodedPixels(copy.path());
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr, VARIANT_FALSE);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(object->UpdateMetaDataToFile(), S_OK); // nothing pending: file untouched
    ASSERT_EQ(object->RemoveAllMetaData(1), S_OK);
    EXPECT_EQ(support::readFile(copy.path()), before);
    EXPECT_EQ(object->RemoveAllMetaData(5), E_NOTIMPL);
    ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
    EXPECT_EQ(exiftool(copy.path(), "-IFD0:Make"), "");
    EXPECT_EQ(exiftool(copy.path(), "-ExifIFD:ExposureTime"), "");
    EXPECT_EQ(decodedPixels(copy.path()), pixels);
}

TEST(ImageMetadataWrite, RefusedWritesNeitherReopenNorPad)
{
    MIO_CORPUS_FILE(src, "jpeg/BlueSquare_xmp.jpg");
    support::ScopedCopy copy(src);
    const auto before = support::readFile(copy.path());
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr); // read-only, has XMP
    ASSERT_EQ(hr, S_OK);
    const BYTE data[4] = {'a', 0, 0, 0};
    EXPECT_EQ(object->SetMetaData(1, 0, data, 4), E_NOTIMPL);
    EXPECT_EQ(object->UpdateMetaDataToFile(), E_FAIL); // still read-only: refused before reopening
    EXPECT_EQ(object->SetMetaData(7, 999, data, 4), E_FAIL);
    EXPECT_EQ(object->SetMetaData(7, 4, nullptr, 4), E_FAIL);
    EXPECT_EQ(support::readFile(copy.path()), before);

    // A JPEG without XMP is not re-encoded with padding for a write that cannot succeed.
    MIO_CORPUS_FILE(bare, "jpeg/Canon_40D.jpg");
    support::ScopedCopy bareCopy(bare);
    const auto bareBefore = support::readFile(bareCopy.path());
    auto bareObject = open(bareCopy.path(), hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(bareObject->SetMetaData(1, 271, data, 4), E_NOTIMPL);
    EXPECT_EQ(bareObject->SetMetaData(7, 999, data, 4), E_FAIL);
    bareObject.Reset();
    EXPECT_EQ(support::readFile(bareCopy.path()), bareBefore);

    // A PNG cannot be reopened for metadata writing: the reopen's failure, object closed.
    support::TempDir dir;
    writePng(dir / "a.png", testPicture(8, 8));
    auto png = open(dir / "a.png", hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(setText(png, &IMediaFileIO::SetCaption, u"x"), WINCODEC_ERR_UNSUPPORTEDOPERATION);
    EXPECT_TRUE(isClosed(png));
    EXPECT_EQ(setText(png, &IMediaFileIO::SetCaption, u"x"), E_FAIL);
}

// ---- the padded rewrite failing part-way ----

struct ChildReport {
    HRESULT hr = S_OK;
    int closed = 0;    // the object is closed afterwards
    int identical = 0; // checked by the child when the file is out of the parent's sight
    int leftovers = 0; // entries beside the original
    int setupFailed = 0;
};

/// Runs `body` in a child process (limits and identity changes stay there) and returns its report.
std::optional<ChildReport> inChild(const std::function<ChildReport()>& body)
{
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const ChildReport report = body();
        [[maybe_unused]] const auto n = write(fds[1], &report, sizeof report);
        _exit(0);
    }
    close(fds[1]);
    ChildReport report;
    const ssize_t n = read(fds[0], &report, sizeof report);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n != static_cast<ssize_t>(sizeof report)) return std::nullopt;
    return report;
}

ChildReport captionThroughPaddedRewrite(const fs::path& file)
{
    ChildReport report;
    const auto before = support::readFile(file);
    HRESULT hr = E_FAIL;
    auto object = open(file, hr);
    if (FAILED(hr)) {
        report.setupFailed = 1;
        report.hr = hr;
        return report;
    }
    report.hr = setText(object, &IMediaFileIO::SetCaption, u"lost?");
    report.closed = isClosed(object) ? 1 : 0;
    report.identical = support::readFile(file) == before ? 1 : 0;
    report.leftovers = static_cast<int>(entriesIn(file.parent_path())) - 1;
    return report;
}

TEST(ImageMetadataWriteFaults, WriteFailingHalfwayKeepsOriginal)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(src);
    const auto before = support::readFile(copy.path());
    const auto report = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{before.size() / 2, before.size() / 2};
        setrlimit(RLIMIT_FSIZE, &limit);
        return captionThroughPaddedRewrite(copy.path());
    });
    ASSERT_TRUE(report.has_value());
    ASSERT_EQ(report->setupFailed, 0);
    EXPECT_EQ(report->hr, HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(report->closed, 1);
    EXPECT_EQ(report->leftovers, 0);
    EXPECT_EQ(support::readFile(copy.path()), before);
}

TEST(ImageMetadataWriteFaults, FullDiskKeepsOriginal)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::TempDir dir;
    const auto mountPoint = dir / "small";
    fs::create_directory(mountPoint);
    const auto report = inChild([&] {
        ChildReport r;
        // A private mount namespace, so the small file system vanishes with the child.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=12k") != 0) {
            r.setupFailed = 2;
            return r;
        }
        const auto file = mountPoint / "photo.jpg";
        fs::copy_file(src, file);
        return captionThroughPaddedRewrite(file);
    });
    ASSERT_TRUE(report.has_value());
    if (report->setupFailed == 2) GTEST_SKIP() << "no mount namespace for a small file system";
    ASSERT_EQ(report->setupFailed, 0);
    EXPECT_EQ(report->hr, HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    EXPECT_EQ(report->closed, 1);
    EXPECT_EQ(report->identical, 1);
    EXPECT_EQ(report->leftovers, 0);
}

TEST(ImageMetadataWriteFaults, ReadOnlyFolderKeepsOriginal)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(src);
    const auto before = support::readFile(copy.path());
    // Root ignores permission bits, so the child gives up root first.
    fs::permissions(copy.path(), fs::perms(0666));
    fs::permissions(copy.path().parent_path(), fs::perms(0555));
    const auto report = inChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            ChildReport r;
            r.setupFailed = 2;
            return r;
        }
        return captionThroughPaddedRewrite(copy.path());
    });
    fs::permissions(copy.path().parent_path(), fs::perms(0755));
    ASSERT_TRUE(report.has_value());
    if (report->setupFailed == 2) GTEST_SKIP() << "cannot drop privileges";
    ASSERT_EQ(report->setupFailed, 0) << std::hex << report->hr;
    EXPECT_EQ(report->hr, E_ACCESSDENIED);
    EXPECT_EQ(report->closed, 1);
    EXPECT_EQ(report->leftovers, 0);
    EXPECT_EQ(support::readFile(copy.path()), before);
}

} // namespace

namespace {

TEST(ImageMetadataWrite, RefusedCommitKeepsChangePending)
{
    MIO_CORPUS_FILE(src, "jpeg/BlueSquare_xmp.jpg");
    support::ScopedCopy copy(src);
    const auto before = support::readFile(copy.path());
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr, VARIANT_FALSE);
    ASSERT_EQ(hr, S_OK);
    // Far more than the file's XMP room: the in-place commit cannot take it.
    ASSERT_EQ(setText(object, &IMediaFileIO::SetCaption, std::u16string(200000, u'w')), S_OK);
    const HRESULT first = object->UpdateMetaDataToFile();
    EXPECT_EQ(first, WINCODEC_ERR_TOOMUCHMETADATA);
    EXPECT_EQ(object->UpdateMetaDataToFile(), first); // still pending, tried again
    EXPECT_EQ(support::readFile(copy.path()), before);
}

} // namespace

namespace {

TEST(ImageMetadataWrite, PaddedRewriteThroughSymbolicLinkKeepsTheLink)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(src);
    const auto link = copy.path().parent_path() / "link.jpg";
    fs::create_symlink(copy.path().filename(), link);
    HRESULT hr = E_FAIL;
    auto object = open(link, hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(setText(object, &IMediaFileIO::SetCaption, u"linked"), S_OK);
    ASSERT_EQ(object->UpdateMetaDataToFile(), S_OK);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(exiftool(copy.path(), "-XMP-dc:Title"), "linked");
    EXPECT_EQ(entriesIn(copy.path().parent_path()), 2u);
}

} // namespace
