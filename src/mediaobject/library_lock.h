// SPDX-License-Identifier: MIT
// The process-wide locks that serialise the use of the file libraries and their records.
#pragma once

#include <tavrel/platform/sync.h>

#include <utility>

namespace mio {

/// A process-wide recursive lock with an enabled flag: enter, leave and the final deletion
/// happen only while the flag is set, so a lock whose module never created it is a no-op.
/// The section is created by libraryLocksInit and deleted by libraryLocksFini.
class LibraryLock {
  public:
    LibraryLock() = default;
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;

    void create();
    void destroy();
    void enter();
    /// Enters only when no other thread holds the lock; true when entered (a disabled lock
    /// is never entered and answers true).
    bool tryEnter();
    /// Ignored by the platform when the calling thread does not hold the section.
    void leave();
    bool enabled() const { return m_enabled; }

  private:
    CRITICAL_SECTION m_section{};
    bool m_enabled = false;
};

/// The still-image library's lock and the video library's lock. Both names give the same
/// section: a thread that keeps an object of one library alive and then parses a file of
/// the other would otherwise wait forever on a second thread doing the opposite. With one
/// section no such cycle can form; nesting the two (an image read inside a video object)
/// is a recursive enter.
LibraryLock& imageLibraryLock();
LibraryLock& videoLibraryLock();

/// Called by the module at load and unload (tests call them from their main).
void libraryLocksInit();
void libraryLocksFini();

/// One entry of a LibraryLock, left in the destructor. `adopt` takes over an entry the
/// caller already made (the manager enters, the media object that receives the record
/// leaves); `release` hands the entry back without leaving.
class LibraryLockHold {
  public:
    LibraryLockHold() = default;
    static LibraryLockHold enter(LibraryLock& lock)
    {
        lock.enter();
        return LibraryLockHold(&lock);
    }
    static LibraryLockHold adopt(LibraryLock& lock) { return LibraryLockHold(&lock); }
    LibraryLockHold(LibraryLockHold&& other) noexcept : m_lock(std::exchange(other.m_lock, nullptr))
    {
    }
    LibraryLockHold& operator=(LibraryLockHold&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_lock = std::exchange(other.m_lock, nullptr);
        }
        return *this;
    }
    LibraryLockHold(const LibraryLockHold&) = delete;
    LibraryLockHold& operator=(const LibraryLockHold&) = delete;
    ~LibraryLockHold() { reset(); }

    explicit operator bool() const { return m_lock != nullptr; }
    void reset()
    {
        if (LibraryLock* lock = std::exchange(m_lock, nullptr)) lock->leave();
    }
    /// The lock, still entered; the caller now owes the leave.
    LibraryLock* release() { return std::exchange(m_lock, nullptr); }

  private:
    explicit LibraryLockHold(LibraryLock* lock) : m_lock(lock) {}
    LibraryLock* m_lock = nullptr;
};

} // namespace mio
