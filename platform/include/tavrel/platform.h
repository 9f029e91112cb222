// SPDX-License-Identifier: MIT
// The whole Windows API subset that libtavrelplatform.so offers to the engine and to hosts.
#pragma once

#include "tavrel/platform/types.h"
#include "tavrel/platform/unknwn.h"
#include "tavrel/platform/memory.h"
#include "tavrel/platform/oleauto.h"
#include "tavrel/platform/objidl.h"
#include "tavrel/platform/combase.h"
#include "tavrel/platform/sync.h"
#include "tavrel/platform/registry.h"
#include "tavrel/platform/typeinfo.h"
#include "tavrel/platform/text.h"
#include "tavrel/platform/files.h"
#include "tavrel/platform/profile.h"
#include "tavrel/platform/gdi.h"
#include "tavrel/platform/system.h"
