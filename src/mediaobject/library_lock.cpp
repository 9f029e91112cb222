// SPDX-License-Identifier: MIT
// The process-wide file-library lock and its module start-up and shut-down.
#include "mediaobject/library_lock.h"

namespace mio {

void LibraryLock::create()
{
    if (m_enabled) return;
    InitializeCriticalSection(&m_section);
    m_enabled = true;
}

void LibraryLock::destroy()
{
    if (!m_enabled) return;
    m_enabled = false;
    DeleteCriticalSection(&m_section);
}

void LibraryLock::enter()
{
    if (m_enabled) EnterCriticalSection(&m_section);
}

bool LibraryLock::tryEnter()
{
    return !m_enabled || TryEnterCriticalSection(&m_section);
}

void LibraryLock::leave()
{
    if (m_enabled) LeaveCriticalSection(&m_section);
}

namespace {
LibraryLock g_fileLibrariesLock;
} // namespace

LibraryLock& imageLibraryLock()
{
    return g_fileLibrariesLock;
}
LibraryLock& videoLibraryLock()
{
    return g_fileLibrariesLock;
}

void libraryLocksInit()
{
    g_fileLibrariesLock.create();
}
void libraryLocksFini()
{
    g_fileLibrariesLock.destroy();
}

} // namespace mio
