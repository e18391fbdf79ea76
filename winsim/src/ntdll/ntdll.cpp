// The two ntdll calls the tool makes: NtDeleteKey, the one way Windows offers to delete a key through
// a handle (so a symbolic link opened with REG_OPTION_OPEN_LINK goes as the link), and
// RtlNtStatusToDosError, which gives the Win32 error of its status.
#include <winternl.h>

#include <mutex>

#include "key_handles.h"
#include "machine.h"

using namespace winsim;

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key_handle) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    HKEY key = static_cast<HKEY>(key_handle);
    DWORD fault;
    if (machine.Record_Call("NtDeleteKey", Handle_Subject(key), &fault)) return NTSTATUS(fault);
    return Delete_Key_Of_Handle(key);
}

// The statuses the simulated calls give, with the Win32 errors Windows maps them to.
extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS status) {
    switch (ULONG(status)) {
        case 0x00000000: return ERROR_SUCCESS;
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
