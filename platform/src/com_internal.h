// SPDX-License-Identifier: MIT
// Internal helpers shared by the COM runtime, the registry and the registrar.
#pragma once

#include <string>
#include <string_view>

#include "tavrel/platform/types.h"

namespace tavrel {

/// Upper-case braced form, 38 characters.
std::u16string guidToString(const GUID& g);
/// Exactly the braced form (either case); false otherwise.
bool guidFromString(std::u16string_view s, GUID* out);
/// HKCR\<progId>\CLSID default value; REGDB_E_CLASSNOTREG or CO_E_CLASSSTRING on failure.
HRESULT clsidFromProgId(std::u16string_view progId, CLSID* out);

} // namespace tavrel
