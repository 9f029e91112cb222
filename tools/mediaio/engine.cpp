// SPDX-License-Identifier: MIT
// Loads libtavrelmediaio.so the way a host does and wraps the manager for the commands.
#include "engine.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#ifndef MIO_DEFAULT_MODULE
#define MIO_DEFAULT_MODULE ""
#endif

namespace mediaio {

std::u16string widen(const std::string& utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (length <= 0) return {};
    std::u16string text(static_cast<size_t>(length), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, text.data(), length);
    text.resize(static_cast<size_t>(length - 1));
    return text;
}

std::string narrow(const WCHAR* text)
{
    if (!text) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

std::string hresultText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

namespace {

std::filesystem::path executableDir()
{
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self.parent_path();
}

// Candidates in order: what the user named, the environment, an install beside bin/, the
// build tree the tool came from, and finally the loader's own search path.
std::vector<std::string> moduleCandidates(const std::string& explicitPath)
{
    if (!explicitPath.empty()) return {explicitPath};
    std::vector<std::string> out;
    if (const char* env = std::getenv("MEDIAIO_LIBRARY"); env && *env) return {env};
    const auto dir = executableDir();
    if (!dir.empty()) {
        out.push_back((dir / "../lib/libtavrelmediaio.so.0").string());
        out.push_back((dir / "../../src/server/libtavrelmediaio.so.0").string());
    }
    if (*MIO_DEFAULT_MODULE) out.emplace_back(MIO_DEFAULT_MODULE);
    out.emplace_back("libtavrelmediaio.so.0");
    return out;
}

} // namespace

Engine::~Engine()
{
    m_manager.Reset();
    for (const GUID& clsid : m_registered)
        TavrelRevokeInprocClass(clsid);
    if (!m_module) return;
    // Unload only when no object of the engine is left alive.
    auto canUnloadNow = reinterpret_cast<HRESULT (*)()>(dlsym(m_module, "DllCanUnloadNow"));
    if (canUnloadNow && canUnloadNow() == S_OK) dlclose(m_module);
}

bool Engine::load(const std::string& explicitPath, std::string& error)
{
    if (m_module) return true;
    const auto candidates = moduleCandidates(explicitPath);
    std::string lastFailure;
    for (const auto& candidate : candidates) {
        const bool isPath = candidate.find('/') != std::string::npos;
        if (isPath && candidates.size() > 1 && access(candidate.c_str(), F_OK) != 0) continue;
        // A clean absolute name: the module registers the name it was loaded by.
        std::error_code ec;
        const std::string name =
            isPath ? std::filesystem::absolute(candidate, ec).lexically_normal().string()
                   : candidate;
        m_module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_module) break;
        const char* why = dlerror();
        lastFailure = why ? why : candidate;
    }
    if (!m_module) {
        error =
            "cannot load the engine library: " +
            (lastFailure.empty() ? std::string("libtavrelmediaio.so.0 not found") : lastFailure) +
            " (use --library PATH or MEDIAIO_LIBRARY)";
        return false;
    }
    if (!symbol("DllGetClassObject")) {
        error = modulePath() + " is not the engine library (no DllGetClassObject)";
        return false;
    }
    return true;
}

void* Engine::symbol(const char* name) const
{
    return m_module ? dlsym(m_module, name) : nullptr;
}

std::string Engine::modulePath() const
{
    void* any = symbol("DllGetClassObject");
    Dl_info info{};
    if (!any || !dladdr(any, &info) || !info.dli_fname) return {};
    return info.dli_fname;
}

bool Engine::start(const std::string& explicitPath, std::string& error)
{
    if (!load(explicitPath, error)) return false;
    auto getClassObject =
        reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, LPVOID*)>(symbol("DllGetClassObject"));
    // The manager creates the image object with CoCreateInstance; offering the loaded module's
    // classes in-process makes it reach this module without a registration, as a registered
    // module would be reached.
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
    if (FAILED(hr)) {
        error = "cannot start the engine: " + hresultText(hr);
        m_manager.Reset();
        return false;
    }
    return true;
}

std::string Engine::lastErrorText()
{
    if (!m_manager) return {};
    WCHAR text[256] = {};
    if (FAILED(m_manager->GetErrorString(text, static_cast<int32_t>(sizeof text)))) return {};
    text[255] = u'\0';
    return narrow(text);
}

namespace {

// Plain words for the results the engine's methods commonly give.
const char* meaningOf(HRESULT hr)
{
    switch (static_cast<uint32_t>(hr)) {
    case 0x80004001u:
        return "not supported for this file";
    case 0x80004005u:
        return "refused by the engine";
    case 0x80070057u:
        return "invalid argument or value";
    case 0x8007000Eu:
        return "out of memory";
    case 0x80070005u:
        return "access denied";
    case 0x80070002u:
        return "file not found";
    case 0x80070003u:
        return "folder not found";
    case 0x80070020u:
        return "the file is in use";
    case 0x80070070u:
        return "the disk is full";
    case 0x88982F50u:
        return "the imaging component has no codec for this format";
    case 0x88982F40u:
        return "the property is not in the file";
    case 0x88982F52u:
        return "not enough room in the file's metadata block";
    default:
        return nullptr;
    }
}

} // namespace

std::string Engine::describeFailure(HRESULT hr)
{
    std::string text = hresultText(hr);
    if (const char* meaning = meaningOf(hr)) text += std::string(", ") + meaning;
    const std::string engineText = lastErrorText();
    return engineText.empty() ? text : text + ": " + engineText;
}

HRESULT Engine::parse(const std::string& path, ComPtr<IMediaFileIO>& file, std::string& error)
{
    file.Reset();
    const HRESULT hr = m_manager->ParseFile(widen(path).c_str(), file.GetAddressOf());
    if (SUCCEEDED(hr) && file) return S_OK;
    std::string text = lastErrorText();
    if (text.empty() && access(path.c_str(), R_OK) != 0) text = std::strerror(errno);
    error = "cannot open (" + hresultText(FAILED(hr) ? hr : E_FAIL) + ")" +
            (text.empty() ? std::string() : ": " + text);
    return FAILED(hr) ? hr : E_FAIL;
}

} // namespace mediaio
