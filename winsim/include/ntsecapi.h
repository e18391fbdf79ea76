// The part of ntsecapi.h that the tool uses: RtlGenRandom, exported by advapi32 as SystemFunction036.
#pragma once

#include <windows.h>

BOOLEAN SystemFunction036(PVOID random_buffer, ULONG random_buffer_length);
#define RtlGenRandom SystemFunction036
