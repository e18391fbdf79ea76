#include "runner/sweep_tables.h"

#include <cstdio>
#include <vector>

using winsim::Machine;
using winsim::Text;
using winsim::To_Utf8;

namespace {

// What each API answers when it fails in the sweep: a value Windows gives for that call on a machine
// in use (a key deleted under an open handle, a file held open, access refused, memory exhausted).
// The C runtime's functions take an errno value.
struct Api_Failure {
    const char* api;
    DWORD error;
};
const Api_Failure kFailureTable[] = {
    {"RegOpenKeyExW", ERROR_ACCESS_DENIED},
    {"RegCreateKeyExW", ERROR_ACCESS_DENIED},
    {"RegDeleteKeyW", ERROR_ACCESS_DENIED},
    {"NtDeleteKey", 0xC0000022u},  // STATUS_ACCESS_DENIED
    {"NtQueryKey", 0xC000009Au},   // STATUS_INSUFFICIENT_RESOURCES
    {"RegDeleteValueW", ERROR_ACCESS_DENIED},
    {"RegSetValueExW", ERROR_ACCESS_DENIED},
    {"RegCloseKey", ERROR_INVALID_HANDLE},
    {"RegEnumKeyExW", ERROR_KEY_DELETED},
    {"RegEnumValueW", ERROR_KEY_DELETED},
    {"RegQueryInfoKeyW", ERROR_KEY_DELETED},
    {"RegQueryValueExW", ERROR_KEY_DELETED},
    {"RegLoadKeyW", ERROR_SHARING_VIOLATION},  // the user logs on meanwhile
    {"RegUnLoadKeyW", ERROR_ACCESS_DENIED},
    {"ExpandEnvironmentStringsW", ERROR_NOT_ENOUGH_MEMORY},
    {"GetLongPathNameW", ERROR_ACCESS_DENIED},  // a folder of the path that may not be listed
    {"CreateFileW", ERROR_SHARING_VIOLATION},
    {"OpenMutexW", ERROR_ACCESS_DENIED},
    {"DeleteFileW", ERROR_SHARING_VIOLATION},
    {"RemoveDirectoryW", ERROR_SHARING_VIOLATION},
    {"MoveFileExW", ERROR_ACCESS_DENIED},
    {"GetFileAttributesW", ERROR_ACCESS_DENIED},
    {"SetFileAttributesW", ERROR_ACCESS_DENIED},
    {"CreateDirectoryW", ERROR_ACCESS_DENIED},
    {"FindFirstFileW", ERROR_ACCESS_DENIED},
    {"FindNextFileW", ERROR_NOT_ENOUGH_MEMORY},
    {"GetFileInformationByHandle", ERROR_ACCESS_DENIED},
    {"WriteFile", ERROR_DISK_FULL},
    {"GetFullPathNameW", ERROR_FILENAME_EXCED_RANGE},
    {"GetWindowsDirectoryW", ERROR_INSUFFICIENT_BUFFER},
    {"GetModuleFileNameW", ERROR_INSUFFICIENT_BUFFER},
    {"GetComputerNameW", ERROR_NOT_ENOUGH_MEMORY},
    {"SHGetSpecialFolderPathW", ERROR_ACCESS_DENIED},
    {"GetSystemMetrics", ERROR_INVALID_PARAMETER},
    {"VerifyVersionInfoW", ERROR_OLD_WIN_VERSION},
    {"MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION},
    {"WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER},
    {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"FormatMessageA", ERROR_MR_MID_NOT_FOUND},
    {"CreateMutexW", ERROR_ACCESS_DENIED},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE},
    {"ReleaseMutex", ERROR_NOT_OWNER},
    {"CloseHandle", ERROR_INVALID_HANDLE},
    {"_beginthreadex", ERROR_NOT_ENOUGH_MEMORY},
    {"ResumeThread", ERROR_INVALID_HANDLE},
    {"TerminateThread", ERROR_ACCESS_DENIED},
    {"GetExitCodeThread", ERROR_INVALID_HANDLE},
    {"OpenProcessToken", ERROR_ACCESS_DENIED},
    {"OpenThreadToken", ERROR_ACCESS_DENIED},
    {"DuplicateTokenEx", ERROR_NOT_ENOUGH_MEMORY},
    {"SetThreadToken", ERROR_ACCESS_DENIED},
    {"GetTokenInformation", ERROR_ACCESS_DENIED},
    {"LookupAccountSidW", ERROR_NONE_MAPPED},  // the account's domain cannot be reached
    {"SetTokenInformation", ERROR_PRIVILEGE_NOT_HELD},
    {"LookupPrivilegeValueW", ERROR_NO_SUCH_PRIVILEGE},
    {"AdjustTokenPrivileges", ERROR_ACCESS_DENIED},
    {"ImpersonateSelf", ERROR_NOT_ENOUGH_MEMORY},
    {"RevertToSelf", ERROR_ACCESS_DENIED},
    {"WTSQueryUserToken", ERROR_PRIVILEGE_NOT_HELD},
    {"AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY},
    {"FreeSid", ERROR_INVALID_PARAMETER},
    {"SetEntriesInAclW", ERROR_NOT_ENOUGH_MEMORY},
    {"SetNamedSecurityInfoW", ERROR_ACCESS_DENIED},
    {"GetNamedSecurityInfoW", ERROR_ACCESS_DENIED},
    {"GetSecurityInfo", ERROR_ACCESS_DENIED},
    {"SetSecurityInfo", ERROR_ACCESS_DENIED},
    {"RtlGenRandom", ERROR_NOT_ENOUGH_MEMORY},  // no value of its own documented: the source cannot be had
    {"SCardEstablishContext", 0x8010001Du},  // SCARD_E_NO_SERVICE
    {"SCardReleaseContext", 0x80100003u},    // SCARD_E_INVALID_HANDLE
    {"SCardListCardsW", 0x80100006u},        // SCARD_E_NO_MEMORY
    {"SCardForgetCardTypeW", ERROR_ACCESS_DENIED},
    {"SCardFreeMemory", 0x80100003u},
    {"MsiEnumRelatedProductsW", ERROR_BAD_CONFIGURATION},
    {"SetupUninstallOEMInfW", ERROR_ACCESS_DENIED},
    {"_wfopen_s", 13},  // EACCES: the file is held open without sharing
    {"fread_s", 5},     // EIO
    {"_vsnwprintf_s", 12},  // ENOMEM
    {"wprintf", 5},     // EIO
};

const Report_Rule kReportRules[] = {
    // The log's own calls: a line that cannot reach the file still reaches the debugger output.
    {"GetWindowsDirectoryW", nullptr, nullptr, nullptr, "the log's path: no log file, the lines go to the debugger output only"},
    {"CreateDirectoryW", "\\TEMP", nullptr, nullptr, "the log's folder: no log file, the lines go to the debugger output only"},
    {"GetFileAttributesW", "\\TEMP", nullptr, nullptr, "the log's folder: no log file, the lines go to the debugger output only"},
    {"DeleteFileW", "\\TEMP\\vpRemovalTool", nullptr, nullptr, "the previous run's log: the log gets another name (console)"},
    {"CreateFileW", "\\TEMP\\vpRemovalTool", nullptr, nullptr,
     "the log file: it gets another name (console), or none and the lines go to the debugger output only"},
    {"WriteFile", "\\TEMP\\vpRemovalTool", nullptr, nullptr, "a log line that cannot be written still reaches the debugger output"},
    {"RtlGenRandom", nullptr, "Log_Create_Unpredictable < Start_Log < ...", nullptr,
     "the log's other name: no log file (console), the lines go to the debugger output only"},
    {"WaitForSingleObject", "mutex", nullptr, nullptr, "the log lock's wait: its result is not examined"},
    {"ReleaseMutex", nullptr, nullptr, nullptr, "the log lock is the only mutex; its release is not examined"},
    {"WideCharToMultiByte", nullptr, nullptr, nullptr, "a failed conversion gives an empty text (the log line's file copy)"},
    {"MultiByteToWideChar", nullptr, nullptr, nullptr, "a failed conversion gives an empty text"},
    {"_vsnwprintf_s", nullptr, nullptr, nullptr, "a failed formatting leaves the number or time out of its line"},
    {"FormatMessageA", nullptr, nullptr, nullptr, "no message text: the report's message line is left out"},
    {"GetModuleFileNameW", nullptr, nullptr, nullptr, "the trace lines lose their module name"},
    {"VerifyVersionInfoW", nullptr, nullptr, nullptr, "a failing version test counts as a negative answer"},
    {"wprintf", nullptr, nullptr, nullptr, "a console progress line; its result is not examined"},
    // Calls whose result is not examined.
    {"CloseHandle", nullptr, nullptr, nullptr, "closing a handle the tool is done with; the result is ignored"},
    {"RegCloseKey", nullptr, nullptr, nullptr,
     "closing a key after its work; the result is ignored (only the emptiness test of a component key reports it)"},
    {"SCardReleaseContext", nullptr, nullptr, nullptr, "closing the context after the card is forgotten; ignored"},
    {"FreeSid", nullptr, nullptr, nullptr, "releasing a SID after the rights are set; ignored"},
    {"GetSystemMetrics", nullptr, nullptr, nullptr, "no failure result: 0 reads as a local session"},
    // .inf candidates: one that cannot be opened is skipped; a short read ends its text.
    {"_wfopen_s", ".inf", nullptr, nullptr, "an .inf that cannot be opened is skipped"},
    {"fread_s", nullptr, nullptr, nullptr, "a short read of an .inf ends its text"},
    // Files and folders in use wait for the restart ("Deleted:" line) instead of a report.
    {"DeleteFileW", nullptr, nullptr, nullptr, "a file in use is scheduled for deletion at the restart"},
    {"RemoveDirectoryW", nullptr, nullptr, nullptr, "a folder in use is scheduled for deletion at the restart, or left"},
    // Values read with Get_Registry_Value, which fails silently: the entry is passed over.
    {"RegQueryValueExW", "\\BundleUpgradeCode", nullptr, nullptr, "Get_Registry_Value: silent"},
    {"RegQueryValueExW", "\\BundleCachePath", nullptr, nullptr, "Get_Registry_Value: silent"},
    {"RegQueryValueExW", "\\InstallSource", nullptr, nullptr, "Get_Registry_Value: silent"},
    {"RegQueryValueExW", "\\QuietUninstallString", nullptr, nullptr, "Get_Registry_Value: silent"},
    {"RegQueryValueExW", "\\DisplayName", nullptr, nullptr, "Get_Registry_Value: silent"},
    {"RegQueryValueExW", "\\Deployment Name", nullptr, nullptr, "Get_Registry_Value: silent"},
    // Get_Registry_Value fails silently in the removal (the entry is passed over); the check pass
    // reports what it could not read.
    {"RegOpenKeyExW", nullptr, "Get_Registry_Value < Remove_Subkey_If_Named < ... < Remove_Product < wmain", nullptr,
     "Get_Registry_Value of an uninstall entry, a dependency or a deployment: silent"},
    // The pass's one reading of the uninstall entries notes what it could not read: each stage that
    // wants such a value reads it again and reports by its own rules.
    {"RegOpenKeyExW", nullptr, "Read_Uninstall_Entry < ...", nullptr,
     "the uninstall entries' reading: each stage reads the entry again"},
    {"RegQueryValueExW", nullptr, "... < Read_Uninstall_Entry < ...", nullptr,
     "the uninstall entries' reading: each stage reads the value again"},
    {"RegOpenKeyExW", nullptr, "Get_Registry_Value < Get_Package_Source_Folder < ... < Remove_Product < wmain", nullptr,
     "Get_Registry_Value of the package folders: silent"},
    // The bundle search runs in the registry stage, in the caches stage and in the self-removal.
    {"RegOpenKeyExW", nullptr, "Get_Registry_Value < Check_Bundle_Upgrade_Code < ... < Remove_Product < wmain", nullptr,
     "the bundle search's Get_Registry_Value: silent"},
    {"RegOpenKeyExW", nullptr, "Get_Registry_Value < Check_Bundle_Upgrade_Code < ... < Remove_Self < wmain", nullptr,
     "the bundle search's Get_Registry_Value: silent"},
    {"RegOpenKeyExW", nullptr, "Get_Registry_Value < Find_Bundle_Uninstall < ... < Remove_Product < wmain", nullptr,
     "the bundle search's Get_Registry_Value of the quiet uninstall: silent"},
    {"RegOpenKeyExW", nullptr, "Get_Registry_Value < Find_Bundle_Uninstall < ... < Remove_Self < wmain", nullptr,
     "the bundle search's Get_Registry_Value of the quiet uninstall: silent"},
    // Whether a forgotten card type's key went: an open that fails leaves it uncounted.
    {"RegOpenKeyExW", nullptr, "Machine_Key_Exists < ...", nullptr,
     "whether a forgotten card type's key went, for the summary's count: a failure leaves it uncounted"},
    // A key deleted as itself is opened for deletion, and a refused open is the deletion's failure.
    {"RegOpenKeyExW", nullptr, "Delete_Key_Itself < ...", "RegDeleteKey", nullptr},
    // Marked values deleted in both views by the subkey cleaning: statuses ignored, nothing logged.
    {"RegOpenKeyExW", nullptr, "Delete_Registry_Value_Quietly < Clean_Subkeys < ...", nullptr,
     "the marked values' deletion: statuses ignored"},
    {"RegDeleteValueW", nullptr, "Delete_Registry_Value_Quietly < Clean_Subkeys < ...", nullptr,
     "the marked values' deletion: statuses ignored"},
    // The owner change of the readers' key refused with access denied is retried with the
    // take-ownership privilege; the rows cannot tell that first call of a view from the later ones.
    {"SetNamedSecurityInfoW", nullptr, "Open_Up_Readers < ... < Set_Calais_Readers_Rights < wmain", nullptr,
     "an owner change refused is retried with the take-ownership privilege"},
    {"SetNamedSecurityInfoW", "C:\\", nullptr, nullptr,
     "the lock-down of a tree: an owner change refused is retried with the take-ownership privilege"},
    {"SetSecurityInfo", nullptr, nullptr, nullptr,
     "the lock-down of a link: an owner change refused is retried with the take-ownership privilege"},
    {"LocalAlloc", nullptr, "Log_Error_Report < ...", nullptr,
     "FormatMessageA's buffer inside a report: the message line is left out"},
    // Other names.
    // The readers' rights stage reports SetProcessPrivilege; the user profiles' hive privileges and the
    // running account's SID report the call itself.
    {"OpenProcessToken", nullptr, nullptr, "SetProcessPrivilege|OpenProcessToken", nullptr},
    {"LookupPrivilegeValueW", nullptr, nullptr, "SetProcessPrivilege|LookupPrivilegeValue", nullptr},
    {"AdjustTokenPrivileges", nullptr, nullptr, "SetProcessPrivilege|AdjustTokenPrivileges", nullptr},
    // winsim's SetEntriesInAclW allocates its list, GetSecurityInfo and GetNamedSecurityInfoW the
    // descriptor they return.
    {"LocalAlloc", nullptr, nullptr, "SetEntriesInAcl|GetSecurityInfo|GetNamedSecurityInfo", nullptr},
    // A key deleted through its handle is reported as the deletion, with the status as a Win32 value.
    {"NtDeleteKey", nullptr, nullptr, "RegDeleteKey", nullptr, ERROR_ACCESS_DENIED},
    // The backup asks for a key's name: its status is reported as a Win32 value.
    {"NtQueryKey", nullptr, nullptr, "NtQueryKey", nullptr, ERROR_NO_SYSTEM_RESOURCES},
};

std::vector<std::string> Site_Frames(const std::string& site) {
    std::vector<std::string> frames;
    for (size_t start = 0; !site.empty();) {
        size_t end = site.find(" < ", start);
        frames.push_back(site.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 3;
    }
    return frames;
}

}  // namespace

bool Site_Fits(const std::string& site, const char* pattern) {
    const std::vector<std::string> frames = Site_Frames(site), wanted = Site_Frames(pattern);
    size_t f = 0, w = 0, star = std::string::npos, star_f = 0;
    while (f < frames.size()) {
        if (w < wanted.size() && wanted[w] == "...") {
            star = w++;
            star_f = f;
        } else if (w < wanted.size() && wanted[w] == frames[f]) {
            ++w;
            ++f;
        } else if (star != std::string::npos) {
            w = star + 1;
            f = ++star_f;
        } else {
            return false;
        }
    }
    while (w < wanted.size() && wanted[w] == "...") ++w;
    return w == wanted.size();
}

const Report_Rule* Rule_For(const Machine::Fault_Hit& hit) {
    for (const Report_Rule& rule : kReportRules) {
        if (hit.api != rule.api) continue;
        if (rule.subject && Upper(hit.subject).find(Upper(winsim::From_Utf8(rule.subject))) == std::string::npos) continue;
        if (rule.site && !Site_Fits(hit.site, rule.site)) continue;
        return &rule;
    }
    return nullptr;
}

std::string Number_Text(DWORD value) {
    char text[32];
    std::snprintf(text, sizeof text, "%d(0x%X)", static_cast<int>(value), static_cast<unsigned>(value));
    return text;
}

bool Failure_For(const std::string& api, DWORD& error) {
    for (const Api_Failure& entry : kFailureTable) {
        if (api == entry.api) {
            error = entry.error;
            return true;
        }
    }
    return false;
}

std::string Upper(const Text& text) {
    Text upper(text);
    for (char16_t& c : upper) c = winsim::Upcase(c);
    return To_Utf8(upper);
}

