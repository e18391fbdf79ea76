// The part of winternl.h (and of ntdll) that the tool uses: NTSTATUS and its conversion to a Win32
// error, and NtDeleteKey and NtQueryKey, which the tool declares itself as the SDK's headers do not.
#pragma once

#include <windows.h>

typedef LONG NTSTATUS;
#ifndef NTAPI
#define NTAPI
#endif

extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS status);
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key_handle);
// KeyNameInformation (3) only: a ULONG byte count, then the key's kernel name ("\REGISTRY\MACHINE\...").
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key_handle, int information_class, PVOID information, ULONG length,
                                     PULONG result_length);
