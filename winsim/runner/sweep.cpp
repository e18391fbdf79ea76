// vpsim sweep: drives every Windows call of a whole run to failure, one run per call.
//
// A first run without faults counts the calls the tool makes (N) and keeps their APIs in order. Then
// for each chosen k from 1 to N the tool runs again with the k-th call failing with a value Windows
// really gives for that API (single), or with that call and every later call of the same API failing
// (repeat). Each run is a forked child of a process that loaded the scenario once, so every run starts
// from the same machine and from fresh static state of the tool. A run passes when:
//   - it ends normally within the time limit and its output holds no sanitizer report;
//   - the tool's exit code tells the truth: 0 or 1 only when every key, value, file and folder that
//     the run without faults removed was removed or scheduled for the restart, 3 only when something
//     was not (or the check after the removal could not look at everything), 1618 only when nothing
//     but the log changed;
//   - the debugger output ends with the END banner, and so does the log file unless the failure made
//     some of the log's own lines unwritable (the log then has fewer lines than the debugger output);
//   - after each call that failed, the first error report of the debugger output names the call and
//     shows the injected value, unless kReportRules says why that call's failure goes unreported;
//   - every registry key and value, file and folder it removed or added, every key security change and
//     every deletion it scheduled for the restart is among the changes of the run without faults (a
//     restart deletion may also stand for a path that run removed at once, a security change for a key
//     that run deleted or whose security it changed too). The restart list, the bundle's RunOnce entry and the log file itself are
//     compared by their presence;
//   - it gives back everything it opened (Run_Tool's left_open): a failure class of its own, each
//     object on a "left open:" line.
#include "runner/runner.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#if __has_include(<backtrace.h>)
#include <backtrace.h>  // GCC's libbacktrace: the stack with its inlined functions, from the debug information
#include <cxxabi.h>
#define VP_SWEEP_CALL_SITES 1
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

int wmain(int argc, WCHAR* argv[]);  // the tool's entry

namespace {

using winsim::Fs_Node;
using winsim::Machine;
using winsim::Reg_Key;
using winsim::Reg_Value;
using winsim::Text;
using winsim::To_Utf8;

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
    {"GetExitCodeThread", ERROR_INVALID_HANDLE},
    {"OpenProcessToken", ERROR_ACCESS_DENIED},
    {"OpenThreadToken", ERROR_ACCESS_DENIED},
    {"DuplicateTokenEx", ERROR_NOT_ENOUGH_MEMORY},
    {"SetThreadToken", ERROR_ACCESS_DENIED},
    {"GetTokenInformation", ERROR_ACCESS_DENIED},
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

// The call site of a failed call: the tool's functions on the stack when the call failed, innermost
// first ("Get_Registry_Value < Check_Bundle_Upgrade_Code < ... < wmain"), inlined ones included, as
// the debug information names them (the presets that sweep build with -g). The simulated machine's
// own frames (winsim/) and those outside the source tree (the standard library's) are left out.
#if defined(VP_SWEEP_CALL_SITES)
backtrace_state* Backtrace_State() {
    static backtrace_state* const state = backtrace_create_state(nullptr, 0, nullptr, nullptr);
    return state;
}

// A function's own name, as its inlined copies are named too: without its class or namespace, its
// template arguments and its parameters ("operator" for a lambda's body).
std::string Function_Name(const char* function) {
    int status = -1;
    char* demangled = abi::__cxa_demangle(function, nullptr, nullptr, &status);
    const std::string full = status == 0 && demangled ? demangled : function;
    std::free(demangled);
    std::string name;
    int depth = 0;
    for (char c : full) {
        if (c == '<' || c == '(' || c == '{') ++depth;
        else if (c == '>' || c == ')' || c == '}') --depth;
        else if (depth == 0 && c == ':') name.clear();
        else if (depth == 0) name += c;
    }
    return name;
}

bool Tool_Frame(const char* file) {
    // This file is ROOT/winsim/runner/sweep.cpp; the source tree may also be mapped to relative paths.
    // Views of the literal, not strings: a call may fail inside a static destructor at the tool's exit,
    // after function-local strings here would already be destroyed.
    constexpr std::string_view self = __FILE__;
    constexpr std::string_view winsim_dir = self.substr(0, self.size() - std::string_view("runner/sweep.cpp").size());
    constexpr std::string_view root = winsim_dir.substr(0, winsim_dir.size() - std::string_view("winsim/").size());
    const std::string_view path = file;
    if (path.substr(0, root.size()) != root || (root.empty() && path.substr(0, 1) == "/")) return false;
    return path.substr(0, winsim_dir.size()) != winsim_dir;
}

std::string Call_Site() {
    std::vector<std::string> names;
    backtrace_full(
        Backtrace_State(), 0,
        [](void* data, uintptr_t, const char* file, int, const char* function) {
            auto& names = *static_cast<std::vector<std::string>*>(data);
            if (file && function && Tool_Frame(file)) names.push_back(Function_Name(function));
            return 0;
        },
        nullptr, &names);
    std::string site;
    for (const std::string& name : names) site += (site.empty() ? "" : " < ") + name;
    return site;
}

// Whether the debug information names the tool's functions. Read here, in the parent, it is read once
// for every run to inherit.
bool Call_Sites_Known() {
    bool known = false;
    backtrace_pcinfo(
        Backtrace_State(), reinterpret_cast<uintptr_t>(&wmain),
        [](void* data, uintptr_t, const char* file, int, const char* function) {
            *static_cast<bool*>(data) = file && function && Tool_Frame(file);
            return 1;
        },
        nullptr, &known);
    Call_Site();
    return known;
}
#else
std::string Call_Site() { return std::string(); }
bool Call_Sites_Known() { return false; }
#endif

// Where the tool reports a failed call. A failure of API "NameW" (or "Name") is reported as "Name"
// with the injected error value, unless a row below says otherwise: other report names ("A|B"), or,
// with no names, a failure that the tool leaves unreported on purpose, with the reason. A row with a
// subject applies only to calls whose subject (path, key, value or object kind) contains it, a row
// with a site only to calls made from that call site: the tool's functions on the stack, innermost
// first, where "..." stands for any number of them (the check pass runs the stages from
// Check_For_Product, so a site ending "Remove_Product < wmain" is the removal's alone); the first row
// that applies counts. A log line's wording plays no part.
std::string Upper(const Text& text);

struct Report_Rule {
    const char* api;
    const char* subject;  // null: any; else the call's subject contains it
    const char* site;     // null: any; else the call's site fits it
    const char* names;    // null: no report expected
    const char* reason;   // why no report is expected
    DWORD shown = 0;      // non-zero: the Win32 value the report shows for the injected status
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
    {"RegOpenKeyExW", nullptr, "Get_Registry_Value < Remove_Subkeys_With_Value < ... < Remove_Product < wmain", nullptr,
     "Get_Registry_Value of an uninstall entry, a dependency or a deployment: silent"},
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
    {"OpenProcessToken", nullptr, nullptr, "SetProcessPrivilege", nullptr},  // the readers' rights stage
    {"LookupPrivilegeValueW", nullptr, nullptr, "SetProcessPrivilege", nullptr},
    {"AdjustTokenPrivileges", nullptr, nullptr, "SetProcessPrivilege", nullptr},
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

// Whether a call site fits a rule's: the same functions in the same order, "..." standing for any
// number of them.
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

// "5(0x5)", as the error report prints a value.
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

std::string Hex(const std::vector<uint8_t>& data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(data.size() * 2);
    for (uint8_t byte : data) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

using Items = std::unordered_set<std::string>;

struct Item_Rules {
    std::string log_folder;  // upper case, with its closing backslash
    std::string log_path;    // the log's usual path, upper case
};

// Every key ("K path"), value ("V path "name" [type data]"), folder ("D path"), file ("F path") and
// file content ("C path size:hash") of the machine, plus its restart deletions ("R path").
void Key_Items(const Reg_Key& key, const std::string& path, Items& items) {
    items.insert("K " + path);
    bool run_once = path.size() >= 8 && path.compare(path.size() - 8, 8, "\\RUNONCE") == 0;
    for (const Reg_Value& value : key.values) {
        std::string name = Upper(value.name);
        std::string item = "V " + path + " \"" + name + "\"";
        bool by_presence = run_once || name == "PENDINGFILERENAMEOPERATIONS";
        if (!by_presence) item += " " + std::to_string(value.type) + " " + Hex(value.data);
        items.insert(item);
    }
    for (const auto& subkey : key.subkeys) Key_Items(*subkey, path + "\\" + Upper(subkey->name), items);
}

void Node_Items(const Fs_Node& folder, const std::string& path, const Item_Rules& rules, Items& items) {
    for (const auto& child : folder.children) {
        std::string child_path = path + "\\" + Upper(child->name);
        if (child->directory) {
            items.insert("D " + child_path);
            if (child->link_target.empty()) Node_Items(*child, child_path, rules, items);
            continue;
        }
        // Whichever name the log has, it is the log: compared by its presence; so is the registry
        // backup, whose content is what the run removed before a failure stopped it.
        if (path + "\\" == rules.log_folder && Is_Log_Name(Upper(child->name))) {
            items.insert("F " + rules.log_path);
            continue;
        }
        if (path + "\\" == rules.log_folder && Is_Backup_Name(Upper(child->name))) {
            items.insert("F " + rules.log_folder + "VPREMOVALTOOL-BACKUP.REG");
            continue;
        }
        items.insert("F " + child_path);
        std::string data(child->data.begin(), child->data.end());
        items.insert("C " + child_path + " " + std::to_string(data.size()) + ":" +
                     std::to_string(std::hash<std::string>()(data)));
    }
}

Items Machine_Items(Machine& machine, const Item_Rules& rules) {
    Items items;
    Key_Items(machine.hklm, "HKEY_LOCAL_MACHINE", items);
    Key_Items(machine.User_Profile(), "HKEY_CURRENT_USER", items);
    Key_Items(machine.System_Profile(), "HKEY_USERS\\.DEFAULT", items);
    Node_Items(machine.drive_c, "C:", rules, items);
    std::istringstream pending(Pending_Deletes(machine));
    for (std::string line; std::getline(pending, line);) {
        if (!line.empty()) items.insert("R " + Upper(winsim::From_Utf8(line)));
    }
    // security.txt: per key its path, then its "before:" and "after:" lines; a key is one item.
    std::istringstream security(winsim::Security_Changes(machine));
    std::string block;
    for (std::string line; std::getline(security, line);) {
        if (line.empty()) continue;
        if (line[0] != ' ' && !block.empty()) {
            items.insert("S " + block);
            block.clear();
        }
        std::string upper = Upper(winsim::From_Utf8(line));
        size_t name_at = upper.rfind('\\') + 1;
        if (line[0] != ' ' && upper.compare(0, name_at, rules.log_folder) == 0 && Is_Backup_Name(upper.substr(name_at)))
            upper = rules.log_folder + "VPREMOVALTOOL-BACKUP.REG";
        block += block.empty() ? upper : " | " + line;
    }
    if (!block.empty()) items.insert("S " + block);
    return items;
}

// The lines of a text split at LF, CR LF and lone CR, with their leading blanks removed; empty
// lines dropped.
std::vector<std::string> Trimmed_Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    auto flush = [&] {
        size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos) lines.push_back(line.substr(start));
        line.clear();
    };
    for (char c : text) {
        if (c == '\n' || c == '\r') flush();
        else line += c;
    }
    flush();
    return lines;
}

bool Ends_With_Banner(const std::vector<std::string>& lines) {
    if (lines.size() < 3) return false;
    auto rule = [](const std::string& line) { return !line.empty() && line.find_first_not_of('=') == std::string::npos; };
    const std::string& middle = lines[lines.size() - 2];
    size_t end = middle.find(" END ");
    return rule(lines.back()) && rule(lines[lines.size() - 3]) && end != std::string::npos &&
           rule(middle.substr(0, end)) && rule(middle.substr(end + 5));
}

// The log the run wrote: the path the console names when the usual one was taken ("Log file: PATH"),
// else the usual one.
std::string Log_Path_Of(Machine& machine, const std::string& usual) {
    std::string console = To_Utf8(machine.console);
    const std::string line = "Log file: ";
    for (size_t at = console.find(line); at != std::string::npos; at = console.find(line, at + 1)) {
        if (at != 0 && console[at - 1] != '\n') continue;
        size_t end = console.find('\n', at);
        return console.substr(at + line.size(), end == std::string::npos ? std::string::npos : end - at - line.size());
    }
    return usual;
}

std::string Banner_Check(Machine& machine, const std::string& usual_log_path) {
    const std::string log_path = Log_Path_Of(machine, usual_log_path);
    std::string debug_text;
    for (const Text& line : machine.debug_output) debug_text += To_Utf8(line);
    std::vector<std::string> debug_lines = Trimmed_Lines(debug_text);
    if (!Ends_With_Banner(debug_lines))
        return "the debugger output does not end with the END banner (last line: \"" +
               (debug_lines.empty() ? std::string() : debug_lines.back()) + "\")";
    Fs_Node* log = machine.Find_Path(winsim::From_Utf8(log_path));
    std::vector<std::string> log_lines;
    if (log && !log->directory) log_lines = Trimmed_Lines(std::string(log->data.begin(), log->data.end()));
    if (log_lines.size() >= debug_lines.size() && !Ends_With_Banner(log_lines))
        return "the log does not end with the END banner (last line: \"" +
               (log_lines.empty() ? std::string() : log_lines.back()) + "\")";
    return "ok";
}

// The error report of a failed call: after the call, the first error report in the debugger output
// must name the call (one of the rule's names) and, on its code line, the injected value.
std::string Report_Check(Machine& machine, const Machine::Fault_Hit& hit, DWORD error) {
    const Report_Rule* rule = Rule_For(hit);
    if (rule && !rule->names) return "ok";
    if (rule && rule->shown) error = rule->shown;
    std::vector<std::string> names;
    if (rule) {
        std::string list = rule->names;
        for (size_t start = 0;;) {
            size_t bar = list.find('|', start);
            names.push_back(list.substr(start, bar - start));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
    } else {
        std::string name = hit.api;
        if (name.size() > 1 && name.back() == 'W') name.pop_back();
        names.push_back(name);
    }
    const std::string prefix = "Error occurred in function: ";
    std::vector<std::string> lines;
    std::string text;
    // The report is written by the thread whose call failed; the log serialises lines, not reports,
    // so a line of another thread (the smart-card worker, or the main thread while a worker reports)
    // may stand between its lines.
    for (size_t i = hit.debug_texts; i < machine.debug_output.size(); ++i) {
        if (machine.debug_threads[i] == hit.thread) text += To_Utf8(machine.debug_output[i]);
    }
    lines = Trimmed_Lines(text);
    std::string what = "no error report naming " + names[0];
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, prefix.size(), prefix) != 0) continue;
        std::string name = lines[i].substr(prefix.size());
        if (name.compare(0, 13, "Error source ") == 0 || name.compare(0, 13, "Error code   ") == 0) continue;
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            what = "the first error report after it names " + name + ", not " + names[0];
            break;
        }
        std::string code = prefix + "Error code   " + Number_Text(error);
        if (i + 2 < lines.size() && lines[i + 2] == code) return "ok";
        what = "the report of " + name + " does not show " + Number_Text(error);
        break;
    }
    return what + " (subject " + To_Utf8(hit.subject) + "; site " + hit.site + ")";
}

struct Plan {
    std::string api;  // empty: no fault
    unsigned nth = 0;
    DWORD error = 0;
    bool repeat = false;
    bool trace = false;
    bool full_exit = true;  // the child ends through static destructors and the leak check
};

// The child: runs the tool once on the machine the parent loaded and writes what the checks need.
[[noreturn]] void Run_Child(const Plan& plan, const std::vector<Text>& tool_args, const Items& before,
                            const Item_Rules& rules, const std::string& result_path, const std::string& capture_path) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int capture = open(capture_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (capture >= 0) {
        dup2(capture, 1);
        dup2(capture, 2);
        close(capture);
    }
    Machine& machine = winsim::The_Machine();
    if (!plan.api.empty()) machine.Add_Fault(plan.api, plan.nth, plan.error, Text(), plan.repeat);
    machine.trace_apis = plan.trace;
    machine.fault_site = Call_Site;

    std::vector<std::string> left_open;
    int exit_code = Run_Tool(machine, tool_args, left_open);

    std::string out = "exit " + std::to_string(exit_code) + "\n";
    for (const std::string& line : left_open) out += "open " + line + "\n";
    out += "calls " + std::to_string(machine.call_count) + "\n";
    out += "banner " + Banner_Check(machine, rules.log_path) + "\n";
    if (To_Utf8(machine.console).find("\nNot checked: ") != std::string::npos) out += "unchecked\n";
    for (const Machine::Fault_Hit& hit : machine.fault_hits) out += "report " + Report_Check(machine, hit, plan.error) + "\n";
    Items after = Machine_Items(machine, rules);
    for (const std::string& item : before)
        if (!after.count(item)) out += "- " + item + "\n";
    for (const std::string& item : after)
        if (!before.count(item)) out += "+ " + item + "\n";
    for (const std::string& api : machine.api_trace) out += "api " + api + "\n";
    std::ofstream(result_path, std::ios::binary | std::ios::trunc) << out;
    std::fflush(stdout);
    if (plan.full_exit) std::exit(0);  // static destructors and the leak check run as after any run
    std::_Exit(0);
}

struct Outcome {
    bool finished = false;  // the child wrote its result and ended normally
    std::string problem;    // why it did not, or what the checks found
    int exit_code = -1;
    unsigned long calls = 0;
    std::string banner;
    std::vector<std::string> reports;  // per failed call: "ok" or what is missing
    std::unordered_set<std::string> changes;  // "- item" and "+ item"
    std::vector<std::string> apis;
    bool unchecked = false;  // the check after the removal could not look at everything
    std::vector<std::string> left_open;  // what the run opened and did not give back
};

std::string Read_File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Sanitizer_Report(const std::string& capture) {
    return capture.find("Sanitizer") != std::string::npos || capture.find("runtime error:") != std::string::npos;
}

struct Slot {
    pid_t pid = 0;
    size_t index = 0;  // which run
    std::chrono::steady_clock::time_point started;
    std::string result_path, capture_path;
};

Outcome Collect(const Slot& slot, int status, bool timed_out) {
    Outcome outcome;
    std::string capture = Read_File(slot.capture_path);
    if (timed_out) {
        outcome.problem = "no end within the time limit (hung?)";
    } else if (WIFSIGNALED(status)) {
        outcome.problem = "ended by signal " + std::to_string(WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0) {
        outcome.problem = "the run ended with status " + std::to_string(WEXITSTATUS(status));
    }
    if (Sanitizer_Report(capture)) outcome.problem += (outcome.problem.empty() ? "" : "; ") + std::string("sanitizer report");
    if (!outcome.problem.empty()) {
        // The first lines of the run's own output say what happened.
        std::istringstream lines(capture);
        int shown = 0;
        for (std::string line; shown < 40 && std::getline(lines, line); ++shown) outcome.problem += "\n      " + line;
    }
    std::istringstream result(Read_File(slot.result_path));
    for (std::string line; std::getline(result, line);) {
        if (line.compare(0, 5, "exit ") == 0) {
            outcome.exit_code = std::atoi(line.c_str() + 5);
            outcome.finished = true;
        } else if (line.compare(0, 6, "calls ") == 0) {
            outcome.calls = std::strtoul(line.c_str() + 6, nullptr, 10);
        } else if (line.compare(0, 7, "banner ") == 0) {
            outcome.banner = line.substr(7);
        } else if (line.compare(0, 7, "report ") == 0) {
            outcome.reports.push_back(line.substr(7));
        } else if (line.compare(0, 4, "api ") == 0) {
            outcome.apis.push_back(line.substr(4));
        } else if (line.compare(0, 5, "open ") == 0) {
            outcome.left_open.push_back(line.substr(5));
        } else if (line == "unchecked") {
            outcome.unchecked = true;
        } else if (!line.empty()) {
            outcome.changes.insert(line);
        }
    }
    if (!outcome.finished && outcome.problem.empty()) outcome.problem = "no result written";
    return outcome;
}

// The run without faults, as the other runs are compared with it.
struct Baseline {
    std::unordered_set<std::string> changes;
    std::unordered_set<std::string> secured;  // paths whose security that run changed
    explicit Baseline(const Outcome& run) : changes(run.changes) {
        for (const std::string& change : changes)
            if (change.compare(0, 4, "+ S ") == 0) secured.insert(change.substr(4, change.find(" | ") - 4));
    }
};

// What a run did beyond the run without faults: changes that are not among that run's changes.
std::vector<std::string> Extra_Changes(const Outcome& run, const Baseline& baseline) {
    std::vector<std::string> extra;
    for (const std::string& change : run.changes) {
        if (baseline.changes.count(change)) continue;
        if (change.compare(0, 4, "+ R ") == 0) {
            std::string path = change.substr(4);
            if (baseline.changes.count("- F " + path) || baseline.changes.count("- D " + path)) continue;
        }
        // A file's content is recorded after its path ("C PATH SIZE:HASH").
        std::string item = change.compare(0, 4, "- C ") == 0 ? change.substr(4, change.rfind(' ') - 4) : change.substr(4);
        if ((change.compare(0, 4, "- D ") == 0 || change.compare(0, 4, "- F ") == 0 ||
             change.compare(0, 4, "- C ") == 0) &&
            baseline.secured.count(item)) {
            // What that run kept and locked down for the bundle's quiet uninstall: when a failed read
            // keeps the command from being found, that cache goes with the product's others.
            continue;
        }
        if (change.compare(0, 4, "+ S ") == 0) {
            // A key whose security changed with its parent's, and which that run deleted afterwards.
            std::string path = change.substr(4, change.find(" | ") - 4);
            if (baseline.changes.count("- K " + path) || baseline.changes.count("- D " + path) ||
                baseline.changes.count("- F " + path))
                continue;
            // A key whose security that run changed too: a failure part-way leaves part of that
            // change (the rights stage keeps a new owner when the access list cannot be set).
            if (baseline.secured.count(path)) continue;
        }
        extra.push_back(change);
    }
    return extra;
}

// What the run without faults removed and this run left: keys, values, files and folders that this
// run neither removed nor scheduled for deletion at the restart.
std::vector<std::string> Left_Behind(const Outcome& run, const Baseline& baseline) {
    std::vector<std::string> left;
    for (const std::string& change : baseline.changes) {
        if (run.changes.count(change)) continue;
        const char kind = change[2];
        const std::string path = kind == 'C' ? change.substr(4, change.rfind(' ') - 4) : change.substr(4);
        if (change.compare(0, 4, "+ R ") == 0) {
            // A deletion that run scheduled for the restart, which this one made at once.
            if (run.changes.count("- F " + path) || run.changes.count("- D " + path)) continue;
        } else if (change.compare(0, 2, "- ") != 0) {
            continue;
        } else if (kind == 'D' || kind == 'F' || kind == 'C') {
            if (run.changes.count("+ R " + path)) continue;
        } else if (kind == 'V') {
            // The bundle's own entries in RunOnce are the self-removal's to replace, not the product.
            if (path.find("\\RUNONCE \"") != std::string::npos) continue;
        } else if (kind != 'K') {
            continue;
        }
        left.push_back(change.substr(2));
    }
    std::sort(left.begin(), left.end());
    return left;
}

// The exit code must tell the truth: 0 or 1 only when nothing of the product was left, 3 only when
// something was (or the check after the removal could not look at everything), 1618 only when
// nothing was changed but the log written.
std::string Exit_Code_Problem(const Outcome& run, const Baseline& baseline, const Item_Rules& rules) {
    const std::vector<std::string> left = Left_Behind(run, baseline);
    const std::string code = "exit code " + std::to_string(run.exit_code);
    switch (run.exit_code) {
    case 0:
    case 1:
        if (left.empty()) return std::string();
        return code + " though the run left " + left.front() +
               (left.size() > 1 ? " and " + std::to_string(left.size() - 1) + " more" : std::string());
    case 3:
        if (!left.empty() || run.unchecked) return std::string();
        return code + " though nothing of the product was left";
    case ERROR_INSTALL_ALREADY_RUNNING:
        for (const std::string& change : run.changes)
            if (change != "+ F " + rules.log_path) return code + " though the run changed " + change.substr(2);
        return std::string();
    default:
        return code;
    }
}

int Usage(const std::string& message) {
    std::fprintf(stderr,
                 "vpsim: %s\nusage: vpsim sweep MACHINE_DIR [--repeat] [--api NAME] [--every M] [--offset R] "
                 "[--jobs J] "
                 "[--timeout SECONDS] [-- ARG...]\n",
                 message.c_str());
    return 64;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer each run costs what its child touches: every page it writes is copied from
// the parent, and LeakSanitizer reads the globals of every module at the child's exit. The sweep
// therefore runs with no allocation stacks in reports and no quarantine of freed blocks (a freed block
// stays poisoned until it is handed out again), unless ASAN_OPTIONS says otherwise: rerun a failing
// call with --api NAME --every 1 --offset K-1 and the runtime's defaults for the full report.
const char kSweepAsanOptions[] = "malloc_context_size=0:quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
const char kSweepOptionsSet[] = "VPSIM_SWEEP_ASAN_OPTIONS_SET";
// After the tool itself, a child's exit (static destructors, LeakSanitizer's reading of every
// module) is what a run costs most: every eighth run ends that way, the others end at once. Memory
// errors are caught in every run as they happen.
const size_t kFullExitEvery = 8;
#else
const size_t kFullExitEvery = 1;
#endif

int Sweep(const std::vector<std::string>& args) {
#if defined(__SANITIZE_ADDRESS__)
    if (!std::getenv(kSweepOptionsSet)) {
        // The options take effect at start-up only: the sweep starts again with them in front of the
        // caller's own (which win).
        const char* caller = std::getenv("ASAN_OPTIONS");
        std::string options = std::string(kSweepAsanOptions) + (caller && *caller ? ":" + std::string(caller) : "");
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        setenv(kSweepOptionsSet, "1", 1);
        std::vector<std::string> words{"vpsim", "sweep"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        std::perror("vpsim: cannot restart with the sweep's sanitizer options");
    }
#endif
    std::string machine_dir;
    std::vector<Text> tool_args;
    bool repeat = false;
    std::string only_api;
    unsigned long every = 1, offset = 0, jobs = 1, timeout = 120;
    for (size_t i = 0; i < args.size(); ++i) {
        auto number = [&](unsigned long& out) {
            if (i + 1 == args.size()) return false;
            char* end = nullptr;
            out = std::strtoul(args[++i].c_str(), &end, 10);
            return *end == 0 && out > 0;
        };
        if (args[i] == "--") {
            for (++i; i < args.size(); ++i) tool_args.push_back(winsim::From_Utf8(args[i]));
        } else if (args[i] == "--repeat") {
            repeat = true;
        } else if (args[i] == "--api") {
            if (i + 1 == args.size()) return Usage("--api needs an API name");
            only_api = args[++i];
        } else if (args[i] == "--every") {
            if (!number(every)) return Usage("--every needs a positive number");
        } else if (args[i] == "--offset") {
            if (i + 1 == args.size()) return Usage("--offset needs a number");
            offset = std::strtoul(args[++i].c_str(), nullptr, 10);
        } else if (args[i] == "--jobs") {
            if (!number(jobs)) return Usage("--jobs needs a positive number");
        } else if (args[i] == "--timeout") {
            if (!number(timeout)) return Usage("--timeout needs a positive number");
        } else if (args[i].compare(0, 1, "-") == 0 || !machine_dir.empty()) {
            return Usage("unexpected argument \"" + args[i] + "\"");
        } else {
            machine_dir = args[i];
        }
    }
    if (machine_dir.empty()) return Usage("sweep needs MACHINE_DIR");

    Machine& machine = winsim::The_Machine();
    std::string error;
    if (!Load_Machine(machine, machine_dir, error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return 64;
    }
    Item_Rules rules;
    rules.log_folder = Upper(machine.windows_directory + u"\\TEMP\\");
    rules.log_path = rules.log_folder + "VPREMOVALTOOL.TXT";
    const Items before = Machine_Items(machine, rules);
    if (!Call_Sites_Known()) {
        std::fprintf(stderr, "vpsim: the sweep names each failed call's site from the debug information: "
                             "build vpsim with GCC and -g (the linux, linux-asan and linux-tsan presets)\n");
        return 64;
    }

    char folder_template[] = "/tmp/vpsim-sweep-XXXXXX";
    if (!mkdtemp(folder_template)) {
        std::perror("vpsim: mkdtemp");
        return 74;
    }
    const std::string work(folder_template);
    const auto sweep_start = std::chrono::steady_clock::now();

    std::vector<Plan> plans(1);
    plans[0].trace = true;
    std::vector<Slot> slots(jobs);
    for (size_t s = 0; s < slots.size(); ++s) {
        slots[s].result_path = work + "/result-" + std::to_string(s);
        slots[s].capture_path = work + "/output-" + std::to_string(s);
    }

    sigset_t child_ended;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_ended, nullptr);

    // Runs the given plans, at most `jobs` at a time, and hands each outcome to `take` with its plan's
    // index as its run ends. Outcomes are not kept: whatever the parent's heap holds, every child
    // copies on write and every child's leak check reads.
    auto run_all = [&](const std::vector<Plan>& batch, const std::function<void(size_t, const Outcome&)>& take) {
        size_t next = 0, running = 0;
        std::fflush(stdout);
        std::fflush(stderr);
        while (next < batch.size() || running > 0) {
            for (Slot& slot : slots) {
                if (slot.pid != 0 || next == batch.size()) continue;
                pid_t pid = fork();
                if (pid < 0) {
                    std::perror("vpsim: fork");
                    std::exit(74);
                }
                if (pid == 0) Run_Child(batch[next], tool_args, before, rules, slot.result_path, slot.capture_path);
                slot.pid = pid;
                slot.index = next++;
                slot.started = std::chrono::steady_clock::now();
                ++running;
            }
            // Sleep until a child ends (SIGCHLD, blocked so that it waits here) or a second passes.
            timespec second = {1, 0};
            sigtimedwait(&child_ended, nullptr, &second);
            for (Slot& slot : slots) {
                if (slot.pid == 0) continue;
                int status = 0;
                pid_t done = waitpid(slot.pid, &status, WNOHANG);
                bool timed_out = false;
                if (done == 0) {
                    if (std::chrono::steady_clock::now() - slot.started < std::chrono::seconds(timeout)) continue;
                    kill(slot.pid, SIGKILL);
                    waitpid(slot.pid, &status, 0);
                    timed_out = true;
                }
                take(slot.index, Collect(slot, status, timed_out));
                slot.pid = 0;
                --running;
            }
        }
    };

    Outcome fault_free;
    run_all(plans, [&](size_t, const Outcome& run) { fault_free = run; });
    if (!fault_free.problem.empty() || fault_free.banner != "ok" ||
        (fault_free.exit_code != 0 && fault_free.exit_code != 1) || !fault_free.left_open.empty()) {
        std::printf("the run without faults fails: %s%s exit code %d, banner %s\n", fault_free.problem.c_str(),
                    fault_free.problem.empty() ? "" : ";", fault_free.exit_code, fault_free.banner.c_str());
        for (const std::string& line : fault_free.left_open) std::printf("   left open: %s\n", line.c_str());
        return 1;
    }
    const std::vector<std::string> apis = std::move(fault_free.apis);
    const size_t call_total = apis.size();
    if (call_total == 0) {
        // Nothing to sweep means the count is broken, not that every call passed.
        std::printf("the run without faults made no Windows call that the sweep could see\n");
        return 1;
    }
    std::printf("run without faults: %zu calls, exit code %d, %zu changes\n", call_total, fault_free.exit_code,
                fault_free.changes.size());
    const Baseline baseline(fault_free);
    fault_free = Outcome();

    // The k-th call is named by its API and its rank among that API's calls, so that runs whose
    // threads interleave differently still fail the same call.
    std::vector<Plan> batch;
    std::vector<size_t> ks;
    std::map<std::string, unsigned> seen;
    unsigned failures = 0;
    for (size_t k = 1; k <= call_total; ++k) {
        const std::string& api = apis[k - 1];
        unsigned nth = ++seen[api];
        if ((k - 1) % every != offset % every || (!only_api.empty() && api != only_api)) continue;
        Plan plan;
        plan.api = api;
        plan.nth = nth;
        plan.repeat = repeat;
        if (!Failure_For(api, plan.error)) {
            std::printf("k=%zu %s: no failure value for this API in the sweep's table\n", k, api.c_str());
            ++failures;
            continue;
        }
        plan.full_exit = batch.size() % kFullExitEvery == 0;
        batch.push_back(plan);
        ks.push_back(k);
    }
#if defined(__SANITIZE_ADDRESS__)
    // A leak check here reads what every child's check reads, so the children find those pages
    // mapped instead of faulting each one in again.
    __lsan_do_recoverable_leak_check();
#endif
    // Only the problems found are kept, per run, to be printed in call order; what a run left open is
    // a failure class of its own.
    std::vector<std::vector<std::string>> found(batch.size());
    std::vector<std::vector<std::string>> leaks(batch.size());
    run_all(batch, [&](size_t i, const Outcome& run) {
        leaks[i] = run.left_open;
        std::vector<std::string>& problems = found[i];
        if (!run.problem.empty()) problems.push_back(run.problem);
        if (run.finished) {
            std::string exit_problem = Exit_Code_Problem(run, baseline, rules);
            if (!exit_problem.empty()) problems.push_back(exit_problem);
            if (run.banner != "ok") problems.push_back(run.banner);
            if (run.reports.empty()) problems.push_back("the call did not fail (no injected fault hit it)");
            for (const std::string& report : run.reports)
                if (report != "ok") problems.push_back(report);
            for (const std::string& extra : Extra_Changes(run, baseline))
                problems.push_back("change beyond the run without faults: " + extra);
        }
    });
    unsigned leaking = 0;
    for (size_t i = 0; i < batch.size(); ++i) {
        const std::vector<std::string>& problems = found[i];
        if (problems.empty() && leaks[i].empty()) continue;
        ++failures;
        if (!leaks[i].empty()) ++leaking;
        std::printf("k=%zu: %s call %u fails with %lu%s:\n", ks[i], batch[i].api.c_str(), batch[i].nth,
                    static_cast<unsigned long>(batch[i].error), repeat ? " (and every later one)" : "");
        for (const std::string& problem : problems) std::printf("   %s\n", problem.c_str());
        for (const std::string& line : leaks[i]) std::printf("   left open: %s\n", line.c_str());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sweep_start).count();
    std::printf("%s sweep: %zu runs of %zu calls (every %lu from call %lu), %u failed (%u leaving something open), "
                "%.1f s\n",
                repeat ? "repeated-failure" : "single-failure", batch.size() + 1, call_total, every,
                offset % every + 1, failures, leaking, seconds);
    for (Slot& slot : slots) {
        std::remove(slot.result_path.c_str());
        std::remove(slot.capture_path.c_str());
    }
    rmdir(work.c_str());
    return failures == 0 ? 0 : 1;
}
