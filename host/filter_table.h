// filter_table.h: the callbacks named in the filter descriptor besides ProcessFrame and Update
#pragma once

#include "host_api.h"

// Does nothing; returns 1.
HOST_ENTRY int32_t Init(FilterInstance* instance);

// Releases the scratch block if one is held; returns 1.
HOST_ENTRY int32_t Exit(FilterInstance* instance);

// On the switch message (1133) asks IsFilterActive and, when the filter is off, releases the
// scratch block so the next frame rebuilds it. Ignores every other message; returns 0.
HOST_ENTRY int32_t WindowProc(void* window, uint32_t message, uintptr_t wparam, intptr_t lparam,
                              void* editHandle, FilterInstance* instance);
