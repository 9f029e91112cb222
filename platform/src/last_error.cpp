// SPDX-License-Identifier: MIT
// The per-thread last error that every platform call sets on failure.
#include "tavrel/platform/types.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

TAVREL_API DWORD GetLastError() { return t_lastError; }

TAVREL_API void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
