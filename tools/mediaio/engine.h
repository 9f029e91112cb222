// SPDX-License-Identifier: MIT
// The engine as the tool meets it: the module loaded with dlopen, one initialised manager, and
// the text and error helpers every command shares.
#pragma once

#include <tavrelmediaio/MediaFileIO.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mediaio {

std::u16string widen(const std::string& utf8);
std::string narrow(const WCHAR* text);
std::string hresultText(HRESULT hr);

// A text property read into a caller buffer; empty when the method fails or answers nothing.
// The buffer grows once when the engine says it is too small.
template <typename Getter> std::string readText(Getter get)
{
    for (int32_t chars : {256, 8192}) {
        std::u16string buffer(static_cast<size_t>(chars), u'\0');
        const HRESULT hr = get(buffer.data(), static_cast<int32_t>(chars * 2));
        if (SUCCEEDED(hr)) {
            buffer.back() = u'\0';
            return narrow(buffer.c_str());
        }
        if (hr != E_INVALIDARG) break;
    }
    return {};
}

class Engine {
  public:
    Engine() = default;
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Loads the module (explicit path, then MEDIAIO_LIBRARY, then the places a build or an
    // install puts it) without creating anything. On failure `error` says why.
    bool load(const std::string& explicitPath, std::string& error);

    // load(), then a manager initialised the way a host initialises it.
    bool start(const std::string& explicitPath, std::string& error);

    // An export of the loaded module, null when absent.
    void* symbol(const char* name) const;

    // The file the module was loaded from, as the loader resolved it.
    std::string modulePath() const;

    IMediaFileIOMan* manager() const { return m_manager.Get(); }

    // Parses one file; on failure `error` holds the HRESULT and the engine's error text.
    HRESULT parse(const std::string& path, ComPtr<IMediaFileIO>& file, std::string& error);

    // The engine's text for the last failure, empty when it has none.
    std::string lastErrorText();

    // "0x80004001, not supported for this file" and the engine's text when it has one: what an
    // error line shows for a refused call.
    std::string describeFailure(HRESULT hr);

  private:
    void* m_module = nullptr;
    ComPtr<IMediaFileIOMan> m_manager;
    std::vector<GUID> m_registered;
};

} // namespace mediaio
