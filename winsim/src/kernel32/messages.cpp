// Kernel32's system message texts and local memory: FormatMessageA answers with the English texts
// of Windows' system message table, in a buffer that LocalFree releases.
#include "machine/machine.h"
#include "machine/open_objects.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace winsim {

namespace {

struct System_Message {
    DWORD id;
    const char* text;  // without the line break that ends every text of the table
};

// The values the tool can meet: the Windows errors of the API slice, the version and message
// errors, and the smart-card statuses. Setup's own values (0xE0000xxx) have no text in the system
// table, as on Windows.
const System_Message kSystemMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {31, "A device attached to the system is not functioning."},
    {24, "The program issued a command but the command length is incorrect."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {65, "Network access is denied."},
    {67, "The network name cannot be found."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {145, "The directory is not empty."},
    {160, "One or more arguments are not correct."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {299, "Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {487, "Attempt to access invalid address."},
    {534, "Arithmetic result exceeded 32 bits."},
    {802, "The operation did not complete successfully because it would cause an oplock to be broken. The caller has requested that existing oplocks not be broken."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {998, "Invalid access to memory location."},
    {1004, "Invalid flags."},
    {1008, "An attempt was made to reference a token that does not exist."},
    {1009, "The configuration registry database is corrupt."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1014, "One of the files in the registry database had to be recovered by use of a log or alternate "
           "copy. The recovery was successful."},
    {1015, "The registry is corrupted. The structure of one of the files containing registry data is "
           "corrupted, or the system's memory image of the file is corrupted, or the file could not be "
           "recovered because the alternate copy or log was absent or corrupted."},
    {1016, "An I/O operation initiated by the registry failed unrecoverably. The registry could not read "
           "in, or write out, or flush, one of the files that contain the system's image of the registry."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1021, "Cannot create a stable subkey under a volatile parent key."},
    {1060, "The specified service does not exist as an installed service."},
    {1062, "The service has not been started."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1150, "The specified program requires a newer version of Windows."},
    {1300, "Not all privileges or groups referenced are assigned to the caller."},
    {1307, "This security ID may not be assigned as the owner of this object."},
    {1313, "A specified privilege does not exist."},
    {1314, "A required privilege is not held by the client."},
    {1332, "No mapping between account names and security IDs was done."},
    {1336, "The access control list (ACL) structure is invalid."},
    {1337, "The security ID structure is invalid."},
    {1338, "The security descriptor structure is invalid."},
    {1346, "Either a required impersonation level was not provided, or the provided impersonation level "
           "is invalid."},
    {1347, "Cannot open an anonymous level security token."},
    {1349, "The type of the token object is inappropriate for its attempted use."},
    {1601, "The Windows Installer Service could not be accessed. This can occur if the Windows Installer "
           "is not correctly installed. Contact your support personnel for assistance."},
    {1605, "This action is only valid for products that are currently installed."},
    {1610, "The configuration data for this product is corrupt. Contact your support personnel."},
    {1784, "The supplied user buffer is not valid for the requested operation."},
    {1815, "The specified resource language ID cannot be found in the image file."},
    {1920, "The file cannot be accessed by the system."},
    {1921, "The name of the file cannot be resolved by the system."},
    {4390, "The file or directory is not a reparse point."},
    {0x80100001, "An internal consistency check failed."},
    {0x80100002, "The action was cancelled by an SCardCancel request."},
    {0x80100003, "The supplied handle was invalid."},
    {0x80100004, "One or more of the supplied parameters could not be properly interpreted."},
    {0x80100005, "Registry startup information is missing or invalid."},
    {0x80100006, "Not enough memory available to complete this command."},
    {0x80100007, "An internal consistency timer has expired."},
    {0x80100008, "The data buffer to receive returned data is too small for the returned data."},
    {0x80100009, "The specified reader name is not recognized."},
    {0x8010000A, "The user-specified timeout value has expired."},
    {0x8010000B, "The smart card cannot be accessed because of other connections outstanding."},
    {0x8010000C, "The operation requires a Smart Card, but no Smart Card is currently in the device."},
    {0x8010000D, "The specified smart card name is not recognized."},
    {0x8010000E, "The system could not dispose of the media in the requested manner."},
    {0x8010000F, "The requested protocols are incompatible with the protocol currently in use with the "
                 "smart card."},
    {0x80100010, "The reader or smart card is not ready to accept commands."},
    {0x80100011, "One or more of the supplied parameters values could not be properly interpreted."},
    {0x80100012, "The action was cancelled by the system, presumably to log off or shut down."},
    {0x80100013, "An internal communications error has been detected."},
    {0x80100014, "An internal error has been detected, but the source is unknown."},
    {0x80100015, "An ATR obtained from the registry is not a valid ATR string."},
    {0x80100016, "An attempt was made to end a non-existent transaction."},
    {0x80100017, "The specified reader is not currently available for use."},
    {0x80100018, "The operation has been aborted to allow the server application to exit."},
    {0x80100019, "The PCI Receive buffer was too small."},
    {0x8010001A, "The reader driver does not meet minimal requirements for support."},
    {0x8010001B, "The reader driver did not produce a unique reader name."},
    {0x8010001C, "The smart card does not meet minimal requirements for support."},
    {0x8010001D, "The Smart Card Resource Manager is not running."},
    {0x8010001E, "The Smart Card Resource Manager has shut down."},
    {0x8010001F, "An unexpected card error has occurred."},
    {0x80100020, "No Primary Provider can be found for the smart card."},
    {0x80100021, "The requested order of object creation is not supported."},
    {0x80100022, "This smart card does not support the requested feature."},
    {0x80100023, "The identified directory does not exist in the smart card."},
    {0x80100024, "The identified file does not exist in the smart card."},
    {0x80100025, "The supplied path does not represent a smart card directory."},
    {0x80100026, "The supplied path does not represent a smart card file."},
    {0x80100027, "Access is denied to this file."},
    {0x80100028, "The smartcard does not have enough memory to store the information."},
    {0x80100029, "There was an error trying to set the smart card file object pointer."},
    {0x8010002A, "The supplied PIN is incorrect."},
    {0x8010002B, "An unrecognized error code was returned from a layered component."},
    {0x8010002C, "The requested certificate does not exist."},
    {0x8010002D, "The requested certificate could not be obtained."},
    {0x8010002E, "Cannot find a smart card reader."},
    {0x8010002F, "A communications error with the smart card has been detected.  Retry the operation."},
    {0x80100030, "The requested key container does not exist on the smart card."},
    {0x80100031, "The Smart Card Resource Manager is too busy to complete this operation."},
    {0x80100065, "The reader cannot communicate with the smart card, due to ATR configuration conflicts."},
    {0x80100066, "The smart card is not responding to a reset."},
    {0x80100067, "Power has been removed from the smart card, so that further communication is not possible."},
    {0x80100068, "The smart card has been reset, so any shared state information is invalid."},
    {0x80100069, "The smart card has been removed, so that further communication is not possible."},
    {0x8010006A, "Access was denied because of a security violation."},
    {0x8010006B, "The card cannot be accessed because the wrong PIN was presented."},
    {0x8010006C, "The card cannot be accessed because the maximum number of PIN entry attempts has been "
                 "reached."},
    {0x8010006D, "The end of the smart card file has been reached."},
    {0x8010006E, "The action was cancelled by the user."},
    {0x8010006F, "No PIN was presented to the smart card."},
};

const char* Find_System_Message(DWORD id) {
    for (const System_Message& message : kSystemMessages)
        if (message.id == id) return message.text;
    return nullptr;
}

// English texts answer the neutral and default languages and every English sublanguage.
bool Is_English_Request(DWORD language_id) {
    return language_id == 0 || language_id == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
           (language_id & 0x3FF) == LANG_ENGLISH;
}

// Blocks handed out by LocalAlloc; LocalFree releases only these, so that a stray or repeated
// release is refused instead of corrupting the heap.
std::mutex& Local_Lock() {
    static auto* lock = new std::mutex();
    return *lock;
}

std::set<void*>& Local_Blocks() {
    static auto* blocks = new std::set<void*>();
    return *blocks;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if (flags & ~UINT(LMEM_ZEROINIT)) {  // movable blocks are not simulated
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = 0;
    if (The_Machine().Take_Fault("LocalAlloc", Text(), &error)) {
        SetLastError(error);
        return nullptr;
    }
    void* block = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(Local_Lock());
    Local_Blocks().insert(block);
    Note_Open(Object_Kind::Local_Memory, reinterpret_cast<uintptr_t>(block), std::to_string(bytes) + " bytes");
    return block;
}

HLOCAL LocalFree(HLOCAL memory) {
    if (!memory) return nullptr;
    {
        std::lock_guard<std::mutex> guard(Local_Lock());
        if (Local_Blocks().erase(memory) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return memory;
        }
    }
    Note_Closed(Object_Kind::Local_Memory, reinterpret_cast<uintptr_t>(memory));
    std::free(memory);
    return nullptr;
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer,
                     DWORD size, va_list* arguments) {
    (void)source;  // only the system table is simulated, which takes no source
    (void)arguments;
    bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (allocate && buffer) *reinterpret_cast<char**>(buffer) = nullptr;
    DWORD error = 0;
    if (The_Machine().Take_Fault("FormatMessageA", Text(), &error)) {
        SetLastError(error);
        return 0;
    }
    DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if (!buffer || !(flags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) ||
        (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK)) {  // wrapping at a width is not simulated
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!Is_English_Request(language_id)) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const char* text = Find_System_Message(message_id);
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    // Inserts need arguments; the simulation formats none, so only texts without inserts may be
    // asked for without FORMAT_MESSAGE_IGNORE_INSERTS.
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && std::strchr(text, '%')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string message = text;
    if (width == 0) message += "\r\n";  // the table's own line break; the maximum width drops it
    DWORD length = DWORD(message.size());
    if (allocate) {
        SIZE_T bytes = std::max<SIZE_T>(length + 1, size);
        auto* block = static_cast<char*>(LocalAlloc(LPTR, bytes));
        if (!block) return 0;
        std::memcpy(block, message.c_str(), length + 1);
        Note_Open(Object_Kind::Local_Memory, reinterpret_cast<uintptr_t>(block),
                  "message text of FormatMessageA(" + std::to_string(message_id) + ")");
        *reinterpret_cast<char**>(buffer) = block;
        return length;
    }
    if (size < length + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, message.c_str(), length + 1);
    return length;
}
