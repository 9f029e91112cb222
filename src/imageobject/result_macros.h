// SPDX-License-Identifier: MIT
// Result propagation for the image object's sources, and the last system error as an HRESULT.
#pragma once

#include <tavrel/platform/types.h>

#define RETURN_IF_FAILED(expr)                                                                     \
    do {                                                                                           \
        const HRESULT hr_ = (expr);                                                                \
        if (FAILED(hr_)) return hr_;                                                               \
    } while (0)
#define RETURN_HR_IF(hr, cond)                                                                     \
    do {                                                                                           \
        if (cond) return (hr);                                                                     \
    } while (0)

namespace mio {

/// HRESULT_FROM_WIN32 of the calling thread's last error; E_FAIL when a failing call left it at
/// 0, so that a failure can never read as success.
[[nodiscard]] inline HRESULT lastErrorResult()
{
    const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    return FAILED(hr) ? hr : E_FAIL;
}

} // namespace mio
