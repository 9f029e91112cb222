// SPDX-License-Identifier: MIT
// Internal: batches of registry changes that reach the hive files together or not at all.
#pragma once

#include "tavrel/platform/types.h"

namespace tavrel {

/// While a batch lives, the calling thread holds the registry lock, changes stay in memory,
/// and the hive files are locked against other processes from the first change on. commit()
/// writes the changed hives and returns a Win32 error; a batch destroyed without a successful
/// commit drops its changes. Batches nest: only the outermost one writes.
class RegistryBatch {
  public:
    RegistryBatch();
    ~RegistryBatch();
    RegistryBatch(const RegistryBatch&) = delete;
    RegistryBatch& operator=(const RegistryBatch&) = delete;
    DWORD commit();

  private:
    bool m_done = false;
};

} // namespace tavrel
