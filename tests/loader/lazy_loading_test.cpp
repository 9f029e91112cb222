// SPDX-License-Identifier: MIT
// What the engine maps, seen from /proc/self/maps of a fresh child process: loading it and
// reading a JPEG leave FFmpeg, LibRaw, TagLib, libheif and OpenJPEG unmapped; the first file
// that needs one of them brings in that one alone.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <tavrel/platform/combase.h>
#include <tavrelmediaio/MediaFileIO.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "contracts/tag_editor.h"
#include "support/test_support.h"

namespace {

// Shared objects worth watching, by a part of their file name.
constexpr const char* kFfmpeg = "/libavformat.so";
constexpr const char* kLibRaw = "/libraw_r.so";
constexpr const char* kTagLib = "/libtag.so";
constexpr const char* kHeif = "/libheif.so";
constexpr const char* kOpenJpeg = "/libopenjp2.so";

bool mapped(const char* name)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(name) != std::string::npos) return true;
    return false;
}

// One letter per watched object, upper case when mapped: "ftrho" means none. The letter of
// OpenJPEG is left out once FFmpeg is in (libavcodec may itself depend on OpenJPEG).
std::string heavyMapped()
{
    std::string s;
    s += mapped(kFfmpeg) ? 'F' : 'f';
    s += mapped(kTagLib) ? 'T' : 't';
    s += mapped(kLibRaw) ? 'R' : 'r';
    s += mapped(kHeif) ? 'H' : 'h';
    s += mapped(kOpenJpeg) ? 'O' : 'o';
    return s;
}

// Runs body in a forked child (a fresh view of what is mapped, and a crash there fails the
// test instead of the run) and returns what it wrote.
std::string inChild(const std::function<std::string()>& body)
{
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string out = body();
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += " [child died]";
    return out;
}

std::u16string wide(const std::filesystem::path& path)
{
    const std::string narrow = path.string();
    return std::u16string(narrow.begin(), narrow.end()); // corpus paths are ASCII
}

// The engine as a host meets it, inside the child.
struct Engine {
    void* module = nullptr;
    ComPtr<IMediaFileIOMan> manager;

    std::string start()
    {
        module = dlopen(MIO_SERVER_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (!module) return std::string("dlopen: ") + dlerror();
        auto getClassObject = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, LPVOID*)>(
            dlsym(module, "DllGetClassObject"));
        if (!getClassObject) return "no DllGetClassObject";
        ComPtr<IClassFactory> factory;
        if (getClassObject(CLSID_MediaFileIOMan, IID_IClassFactory,
                           reinterpret_cast<void**>(factory.GetAddressOf())) != S_OK)
            return "no class object";
        if (factory->CreateInstance(nullptr, uuidof<IMediaFileIOMan>(),
                                    reinterpret_cast<void**>(manager.GetAddressOf())) != S_OK)
            return "no manager";
        if (manager->Initialize(0) != S_OK) return "Initialize failed";
        return {};
    }

    ComPtr<IMediaFileIO> parse(const std::filesystem::path& path)
    {
        ComPtr<IMediaFileIO> media;
        const std::u16string name = wide(path);
        if (manager->ParseFile(name.c_str(), media.GetAddressOf()) != S_OK) return {};
        return media;
    }
};

TEST(LazyLoading, AJpegParseMapsNoHeavyBackendAndAVideoParseMapsOnlyFfmpeg)
{
    MIO_CORPUS_FILE(jpeg, "jpeg/Canon_40D.jpg");
    MIO_CORPUS_FILE(video, "video/fixture-imovie.mp4");
    const std::string report = inChild([&] {
        std::string out = "start:" + heavyMapped();
        Engine engine;
        const std::string failure = engine.start();
        if (!failure.empty()) return out + " " + failure;
        out += " init:" + heavyMapped();
        auto picture = engine.parse(jpeg);
        int32_t width = 0, height = 0;
        if (!picture || picture->GetFrameSize(&width, &height) != S_OK) return out + " jpeg failed";
        out +=
            " jpeg:" + heavyMapped() + ":" + std::to_string(width) + "x" + std::to_string(height);
        auto clip = engine.parse(video);
        if (!clip || clip->GetFrameSize(&width, &height) != S_OK) return out + " video failed";
        out += " video:" + heavyMapped().substr(0, 4) + ":" + std::to_string(width) + "x" +
               std::to_string(height);
        return out;
    });
    EXPECT_EQ(report, "start:ftrho init:ftrho jpeg:ftrho:100x68 video:Ftrh:640x356");
}

TEST(LazyLoading, TheTagEditorMapsTagLibWhenFirstCreated)
{
    MIO_CORPUS_FILE(audio, "audio/duplicate_id3v2.mp3");
    const std::string report = inChild([&] {
        Engine engine;
        const std::string failure = engine.start();
        if (!failure.empty()) return failure;
        std::string out = "init:" + heavyMapped();
        auto song = engine.parse(audio);
        if (!song) return out + " parse failed";
        // The cover comes from the video library; the tag editor is not needed for it.
        PackedDib dib = nullptr;
        const HRESULT hr = song->GetPreviewThumbnail(&dib, 256, 256, FALSE, FALSE);
        out += " preview:" + heavyMapped().substr(0, 4) + ":";
        out += hr == S_OK && dib
                   ? std::to_string(dib->biWidth) + "x" + std::to_string(dib->biHeight)
                   : "none";
        // The engine registered the class at load; the first creation opens the module.
        ComPtr<ITagEditor> editor;
        if (CoCreateInstance(CLSID_TagEditor, nullptr, CLSCTX_ALL, IID_ITagEditor,
                             reinterpret_cast<void**>(editor.GetAddressOf())) != S_OK ||
            !editor)
            return out + " no tag editor";
        out += " editor:" + heavyMapped().substr(0, 4);
        TagBlock* block = nullptr;
        DWORD families = 0;
        const std::string path = audio.string();
        if (editor->Open(0, path.c_str(), &block, &families, 0) != S_OK || !block)
            return out + " open failed";
        out += (families & (1u << MetaFormatId3v2)) ? " id3v2" : " no id3v2";
        editor->Close();
        // A second object goes straight to the module's own class object.
        ComPtr<ITagEditor> second;
        out += CoCreateInstance(CLSID_TagEditor, nullptr, CLSCTX_ALL, IID_ITagEditor,
                                reinterpret_cast<void**>(second.GetAddressOf())) == S_OK
                   ? " again"
                   : " not again";
        return out;
    });
    EXPECT_EQ(report, "init:ftrho preview:Ftrh:70x70 editor:FTrh id3v2 again");
}

TEST(LazyLoading, ARawFileMapsLibRaw)
{
    MIO_CORPUS_FILE(raw, "raw/canon_eos_6d.dng");
    const std::string report = inChild([&] {
        Engine engine;
        const std::string failure = engine.start();
        if (!failure.empty()) return failure;
        std::string out = "init:" + heavyMapped();
        auto shot = engine.parse(raw);
        out += std::string(" raw:") + (shot ? "parsed" : "refused");
        out += ":" + std::string(mapped(kLibRaw) ? "R" : "r");
        return out;
    });
    EXPECT_EQ(report, "init:ftrho raw:parsed:R");
}

} // namespace
