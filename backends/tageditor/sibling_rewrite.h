// SPDX-License-Identifier: MIT
// Rewrites a user's file through a uniquely named copy in the same folder that replaces the
// original by rename only when the edit succeeded and the copy is on disk.
#pragma once

#include "checked_stream.h"

#include <tavrel/platform/types.h>

#include <functional>
#include <string>

namespace mio::tageditor {

// Copies `path` to a new sibling, runs `edit` on a writable stream over the copy, checks the
// stream for failed writes, flushes, and renames the copy over `path` (which must not be a
// symbolic link: the link itself would be replaced). On any failure the copy
// is removed and `path` is left byte for byte as it was. Returns S_OK, the edit's failure, or
// HRESULT_FROM_WIN32 of the system error.
HRESULT rewriteThroughSibling(const std::string& path,
                              const std::function<HRESULT(CheckedStream&)>& edit);

// HRESULT_FROM_WIN32 of an errno value.
HRESULT hresultFromErrno(int error);

} // namespace mio::tageditor
