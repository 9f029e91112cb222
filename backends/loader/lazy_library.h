// SPDX-License-Identifier: MIT
// A backend shared object opened on first use and kept for the life of the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

namespace mio::loader {

/// One heavy backend that the engine reaches through a loader. The object is opened once, on
/// the first call that needs it, from the folder of the module that holds this code, else
/// from the install library folder; a failure is remembered and reported the same way on
/// every later call (no retry storms from a thumbnailer walking a folder of videos).
class LazyLibrary {
  public:
    /// displayName: the start of the failure text ("video" gives "video library not
    /// available: ..."). fileName: the shared object's file name (its soname), or an
    /// absolute path, which is then the only place tried. Both must outlive the object.
    LazyLibrary(const char* displayName, const char* fileName) noexcept
        : m_displayName(displayName), m_fileName(fileName)
    {
    }
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

    /// Opens the object if that has not been tried yet and resolves every name of `names`
    /// into `slots` (same order). Returns true when the object is open with every name
    /// resolved; otherwise records the failure as the thread's last library error and returns
    /// false. Thread-safe, but only the call that does the opening fills `slots`: callers
    /// keep what it resolved (the loaders do it in a static initialiser).
    bool load(const char* const* names, void** slots, size_t count);

    /// True once a load has succeeded; never opens anything.
    bool loaded() const noexcept { return m_state.load(std::memory_order_acquire) == kLoaded; }

    /// Records the remembered failure (or a generic one) as the thread's last library error.
    void reportFailure() const;

    /// The failure text, empty while nothing failed.
    const std::string& failure() const noexcept { return m_failure; }

  private:
    static constexpr int kUntried = 0;
    static constexpr int kLoaded = 1;
    static constexpr int kFailed = 2;

    void open(const char* const* names, void** slots, size_t count);

    const char* m_displayName;
    const char* m_fileName;
    std::once_flag m_once;
    std::atomic<int> m_state{kUntried};
    std::string m_failure;
};

/// Path of fileName in the folder of the module that holds this code (the engine, or an
/// executable that links the loader); empty when that folder cannot be found.
std::string besideThisModule(const char* fileName);

} // namespace mio::loader
