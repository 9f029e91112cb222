// SPDX-License-Identifier: MIT
// The path the file libraries receive: ANSI, within 259 characters, short-aliased when needed.
#pragma once

#include <contracts/video_library.h>
#include <tavrel/platform/types.h>

namespace mio {

/// Prepares `path` for the libraries. Paths over 259 characters are replaced by their short
/// form. With `record`, fills its ANSI path; a path the ANSI code page cannot hold (or whose
/// ANSI form does not fit 260 bytes) also gets the wide path block (a locked 520-byte movable
/// block, owned by the record and released by qVideoFreeFileInfo) with kVideoFlagWidePath,
/// and the short form as its ANSI path. A path that cannot be made to fit leaves the ANSI
/// path empty rather than cut, so no library opens a different file. With `out` (260
/// characters), copies the path to use. Returns true when the short form replaced the path.
bool NormalizePath(const WCHAR* path, VideoFileInfo* record, WCHAR* out);

} // namespace mio
