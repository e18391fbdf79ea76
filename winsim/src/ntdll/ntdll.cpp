// The ntdll calls the tool makes: NtDeleteKey, the one way Windows offers to delete a key through a
// handle (so a symbolic link opened with REG_OPTION_OPEN_LINK goes as the link), NtQueryKey for the
// kernel's name of a key, and RtlNtStatusToDosError, which gives the Win32 error of its status.
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "advapi32/key_handles.h"
#include "machine/machine.h"

using namespace winsim;

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key_handle) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    HKEY key = static_cast<HKEY>(key_handle);
    DWORD fault;
    if (machine.Record_Call("NtDeleteKey", Handle_Subject(key), &fault)) return NTSTATUS(fault);
    return Delete_Key_Of_Handle(key);
}

// KeyNameInformation (3) only: a ULONG with the name's size in bytes, then the name, not terminated.
// A buffer too small for the whole name receives what fits of it (STATUS_BUFFER_OVERFLOW), one too
// small for the size receives nothing (STATUS_BUFFER_TOO_SMALL); result_length says what is needed.
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key_handle, int information_class, PVOID information, ULONG length,
                                     PULONG result_length) {
    constexpr NTSTATUS kInvalidHandle = NTSTATUS(0xC0000008), kInvalidParameter = NTSTATUS(0xC000000D),
                       kBufferOverflow = NTSTATUS(0x80000005), kBufferTooSmall = NTSTATUS(0xC0000023);
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    HKEY key = static_cast<HKEY>(key_handle);
    DWORD fault;
    if (machine.Record_Call("NtQueryKey", Handle_Subject(key), &fault)) return NTSTATUS(fault);
    if (information_class != 3 || !result_length) return kInvalidParameter;
    Text name = Kernel_Name_Of_Handle(key);
    if (name.empty()) return kInvalidHandle;
    ULONG name_size = ULONG(name.size() * sizeof(char16_t));
    *result_length = sizeof(ULONG) + name_size;
    if (length < sizeof(ULONG) || !information) return kBufferTooSmall;
    BYTE* out = static_cast<BYTE*>(information);
    std::memcpy(out, &name_size, sizeof(ULONG));
    ULONG fits = std::min<ULONG>(name_size, length - ULONG(sizeof(ULONG)));
    std::memcpy(out + sizeof(ULONG), name.data(), fits);
    return fits == name_size ? 0 : kBufferOverflow;
}

// The statuses the simulated calls give, with the Win32 errors Windows maps them to.
extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS status) {
    switch (ULONG(status)) {
        case 0x00000000: return ERROR_SUCCESS;
        case 0x80000005: return ERROR_MORE_DATA;              // STATUS_BUFFER_OVERFLOW
        case 0xC000000D: return ERROR_INVALID_PARAMETER;      // STATUS_INVALID_PARAMETER
        case 0xC0000023: return ERROR_INSUFFICIENT_BUFFER;    // STATUS_BUFFER_TOO_SMALL
        case 0xC0000008: return ERROR_INVALID_HANDLE;         // STATUS_INVALID_HANDLE
        case 0xC0000017: return ERROR_NOT_ENOUGH_MEMORY;      // STATUS_NO_MEMORY
        case 0xC0000022: return ERROR_ACCESS_DENIED;          // STATUS_ACCESS_DENIED
        case 0xC0000034: return ERROR_FILE_NOT_FOUND;         // STATUS_OBJECT_NAME_NOT_FOUND
        case 0xC000009A: return ERROR_NO_SYSTEM_RESOURCES;    // STATUS_INSUFFICIENT_RESOURCES
        case 0xC0000121: return ERROR_ACCESS_DENIED;          // STATUS_CANNOT_DELETE
        case 0xC000017C: return ERROR_KEY_DELETED;            // STATUS_KEY_DELETED
        default: return ERROR_MR_MID_NOT_FOUND;               // Windows' answer for a status it does not map
    }
}
