// SPDX-License-Identifier: MIT
// Opens a backend shared object on first use: beside the engine, then in the install folder.
#include "lazy_library.h"

#include "contracts/common_library.h"

#include <dlfcn.h>

#include <new>

#ifndef MIO_INSTALL_LIBDIR
#define MIO_INSTALL_LIBDIR "/usr/local/lib"
#endif

namespace mio::loader {

std::string besideThisModule(const char* fileName)
{
    Dl_info self{};
    if (!dladdr(reinterpret_cast<void*>(&besideThisModule), &self) || !self.dli_fname) return {};
    std::string path(self.dli_fname);
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    path.resize(slash + 1);
    return path + fileName;
}

void LazyLibrary::open(const char* const* names, void** slots, size_t count)
{
    std::string firstError;
    void* handle = nullptr;
    std::string candidates[2];
    if (m_fileName[0] == '/') {
        candidates[0] = m_fileName;
    } else {
        candidates[0] = besideThisModule(m_fileName);
        candidates[1] = std::string(MIO_INSTALL_LIBDIR "/") + m_fileName;
    }
    for (const std::string& path : candidates) {
        if (path.empty()) continue;
        // RTLD_LOCAL: the backend's names stay out of the global scope, where they would
        // meet the loader's definitions of the same contract functions.
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle) break;
        if (firstError.empty())
            if (const char* text = dlerror()) firstError = text;
    }
    const std::string prefix = std::string(m_displayName) + " library not available: ";
    if (!handle) {
        m_failure =
            prefix + (firstError.empty() ? std::string(m_fileName) + ": not found" : firstError);
        m_state.store(kFailed, std::memory_order_release);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        dlerror();
        slots[i] = dlsym(handle, names[i]);
        if (!slots[i]) {
            const char* text = dlerror();
            m_failure = prefix + (text ? std::string(text) : std::string("missing ") + names[i]);
            for (size_t j = 0; j < count; ++j)
                slots[j] = nullptr;
            // The object stays open: unloading a backend whose constructors ran is riskier
            // than keeping a few pages mapped.
            m_state.store(kFailed, std::memory_order_release);
            return;
        }
    }
    m_state.store(kLoaded, std::memory_order_release);
}

bool LazyLibrary::load(const char* const* names, void** slots, size_t count)
{
    try {
        std::call_once(m_once, [&] { open(names, slots, count); });
    } catch (const std::bad_alloc&) {
        // call_once leaves the flag unset after an exception, so a later call tries again.
        mioCommonSetLastError(kLibErrMemory, "Out of memory loading a library");
        return false;
    }
    if (loaded()) return true;
    reportFailure();
    return false;
}

void LazyLibrary::reportFailure() const
{
    if (m_state.load(std::memory_order_acquire) != kFailed) {
        mioCommonSetLastError(kLibErrUnsupported, "library not available");
        return;
    }
    mioCommonSetLastError(kLibErrUnsupported, m_failure.c_str());
}

} // namespace mio::loader
