// SPDX-License-Identifier: MIT
// The interface and class served by the test's in-process server module.
#pragma once

#include "tavrel/platform/unknwn.h"

TAVREL_DEFINE_GUID(CLSID_TestProbe, 0x9a0c4f3e, 0x5b21, 0x4c7d, 0x8e, 0x11, 0x2f, 0x6a, 0x3b, 0x4c,
                   0x5d, 0x70);
TAVREL_DEFINE_GUID(IID_ITestProbe, 0x9a0c4f3e, 0x5b21, 0x4c7d, 0x8e, 0x11, 0x2f, 0x6a, 0x3b, 0x4c,
                   0x5d, 0x71);

struct ITestProbe : IUnknown {
    /// The number of objects and server locks alive in the module right now.
    STDMETHOD_(LONG, LiveCount)() PURE;
};
TAVREL_INTERFACE_ID(ITestProbe, IID_ITestProbe);
