#include "files/Installer_Caches.h"

#include <shlobj.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "diagnostics/Lib_Result.h"
#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "files/Self_Removal.h"
#include "foundation/Lib_Path.h"
#include "primitives/File_Primitives.h"
#include "primitives/Folder_Safety.h"
#include "primitives/Registry_Primitives.h"
#include "primitives/Tree_Protection.h"
#include "registry/Uninstall_Entries.h"

namespace {

// The company's cache folder: the company name without its final full stop.
const WCHAR* const Company_Cache_Folder = TEXT("Corvanta LLP");
const WCHAR* const Package_Cache_Folder = TEXT("Package Cache");
const WCHAR* const Driver_Package_Marker = TEXT("vpDrivers");

}  // namespace

namespace {

// Whether path lies inside folder (names compared without regard to letter case).
bool Is_Inside(const Lib_StringW& path, const Lib_StringW& folder) {
    long long length = folder.Get_Length();
    if (path.Get_Length() <= length + 1 || path.Get_Text()[length] != TEXT('\\')) return false;
    return path.Mid(0, length).Compare_No_Case(folder.Get_Text()) == 0;
}

// The machine-wide commands that Windows starts with an administrator's rights: the installed
// programs' uninstall and modify commands, and what runs at every or at the next logon, in both views.
const WCHAR* const Uninstall_Keys[] = {TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"),
                                       TEXT("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall")};
const WCHAR* const Uninstall_Commands[] = {TEXT("UninstallString"), TEXT("QuietUninstallString"), TEXT("ModifyPath")};
const WCHAR* const Logon_Keys[] = {TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"),
                                   TEXT("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"),
                                   TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"),
                                   TEXT("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce")};

// A path as Windows resolves it, letters A to Z folded to lower case: "/" read as "\", a leading
// "\\?\" or "\??\" dropped, repeated separators made one, "." and ".." names resolved.
Wide_Name Folded_Path(const Lib_StringW& path) {
    Lib_StringW lower(path);
    lower.Make_Lower();
    Wide_Name text(lower.Get_Text(), static_cast<size_t>(lower.Get_Length()));
    for (WCHAR& c : text) {
        if (c == TEXT('/')) c = TEXT('\\');
    }
    if (text.compare(0, 4, TEXT("\\\\?\\")) == 0 || text.compare(0, 4, TEXT("\\??\\")) == 0) text.erase(0, 4);
    std::vector<Wide_Name> names;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(TEXT('\\'), start);
        if (end == Wide_Name::npos) end = text.size();
        Wide_Name name = text.substr(start, end - start);
        if (name == TEXT("..")) {
            if (names.size() > 1) names.pop_back();
        } else if (!name.empty() && name != TEXT(".")) {
            names.push_back(name);
        }
        start = end + 1;
    }
    Wide_Name folded;
    for (const Wide_Name& name : names) {
        if (!folded.empty()) folded += TEXT('\\');
        folded += name;
    }
    return folded;
}

// The programs of the machine-wide commands, each folded, with the command's value
// ("HKLM\...\VALUE"), in the order read. They are read once for the stage, as they are when it
// runs, so those an earlier stage deleted no longer count: the entries are listed again, and an entry's
// commands come from the pass's reading of the uninstall entries (when there is one) unless that
// reading could not read one of them.
class Machine_Commands {
public:
    explicit Machine_Commands(Uninstall_Entries* read) {
        const size_t views = Is_64Bit_OS() ? 2 : 1;
        for (size_t view = 0; view < views; ++view) {
            Read_Uninstall_Entries(Uninstall_Keys[view], read != nullptr ? read->In_View(view) : nullptr);
        }
        for (size_t at = 0; at < 4; ++at) {
            if (at % 2 < views) Read_Logon_Commands(Logon_Keys[at]);
        }
    }

    // Whether the commands could all be read: when not, any folder may be named by one.
    bool Complete() const { return complete_; }
    const std::vector<std::pair<Wide_Name, Lib_StringW>>& Programs() const { return programs_; }

private:
    // The entries and values are listed as the read-only pass counts them (without those it counts
    // as removed); a key or value that cannot be read is reported and makes the commands incomplete.
    void Read_Uninstall_Entries(const WCHAR* key_path, const std::vector<Uninstall_Entry>* read) {
        Lib_String_List entries;
        if (!List(key_path, entries, true)) return;
        std::unordered_map<Wide_Name, const Uninstall_Entry*> read_by_name;
        if (read != nullptr) {
            read_by_name.reserve(read->size());
            for (const Uninstall_Entry& entry : *read) read_by_name.emplace(entry.name.Get_Text(), &entry);
        }
        const Uninstall_Value commands[] = {Uninstall_String_Read, Quiet_Uninstall_String_Read, Modify_Path_Read};
        for (const Lib_StringW& entry : entries) {
            const Lib_StringW entry_path = Lib_StringW(key_path) + TEXT("\\") + entry;
            const auto found = read_by_name.find(entry.Get_Text());
            const bool all_read =
                found != read_by_name.end() &&
                std::none_of(std::begin(commands), std::end(commands),
                             [&found](Uninstall_Value value) { return found->second->values[value].Unread(); });
            if (!all_read) {
                Read_Commands(entry_path, nullptr);
                continue;
            }
            for (Uninstall_Value value : commands) {
                const Uninstall_Value_Text& command = found->second->values[value];
                if (command.status == ERROR_SUCCESS) {
                    Take_Command(entry_path, Uninstall_Value_Name(value), command.type, command.text);
                }
            }
        }
    }

    void Read_Logon_Commands(const WCHAR* key_path) {
        Lib_String_List values;
        if (List(key_path, values, false) && !values.empty()) Read_Commands(Lib_StringW(key_path), &values);
    }

    bool List(const WCHAR* key_path, Lib_String_List& names, bool subkeys) {
        Lib_Result result;
        Lib_String_List keys;
        Lib_String_List values;
        if (!Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, key_path, keys, values, result, 0)) {
            complete_ = false;
            return false;
        }
        names = subkeys ? keys : values;
        return true;
    }

    // The listed values of the key, or (none listed) the uninstall commands.
    void Read_Commands(const Lib_StringW& key_path, const Lib_String_List* listed) {
        Owned_Key key;
        LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.Get_Text(), 0, KEY_QUERY_VALUE, key.Receive());
        if (status == ERROR_FILE_NOT_FOUND) return;
        if (status != ERROR_SUCCESS) {
            Report_System_Error(TEXT("RegOpenKeyEx"), status);
            complete_ = false;
            return;
        }
        if (listed == nullptr) {
            for (const WCHAR* value : Uninstall_Commands) Read_Command(key.Get(), key_path, value);
        } else {
            for (const Lib_StringW& value : *listed) Read_Command(key.Get(), key_path, value.Get_Text());
        }
    }

    void Read_Command(HKEY key, const Lib_StringW& key_path, const WCHAR* value_name) {
        DWORD type = REG_NONE;
        Lib_StringW command;
        bool second_query = false;
        LSTATUS status = Query_Value_Text(key, value_name, command, &type, second_query);
        if (status == ERROR_FILE_NOT_FOUND) return;
        if (status != ERROR_SUCCESS) {
            Report_System_Error(TEXT("RegQueryValueEx"), status);
            complete_ = false;
            return;
        }
        Take_Command(key_path, value_name, type, std::move(command));
    }

    // Notes the program a command value starts (or, when that cannot be told, that the commands are
    // not complete).
    void Take_Command(const Lib_StringW& key_path, const WCHAR* value_name, DWORD type, Lib_StringW command) {
        const Lib_StringW value_path = Lib_StringW(TEXT("HKLM\\")) + key_path + TEXT("\\") + value_name;
        // The command as Windows starts it: an expandable value's variables replaced.
        if (type == REG_EXPAND_SZ && !Expand(command)) {
            Unresolved(value_path, TEXT("its variables cannot be expanded"));
            return;
        }
        // A quoted program is what the quotes hold. Without quotes Windows tries the text up to each
        // blank in turn, so the whole text reaches every folder that one of them could name.
        const WCHAR* text = command.Get_Text();
        while (*text == TEXT(' ') || *text == TEXT('\t')) ++text;
        Lib_StringW program_text = *text == TEXT('"') ? Command_Program(command) : Lib_StringW(text);
        Wide_Name program = Folded_Path(program_text);
        // A short (8.3) name anywhere on the path may stand for the cache or one of its folders: the
        // path is compared in its long form.
        if (program.find(TEXT('~')) != Wide_Name::npos) {
            if (!Long_Form(program_text)) {
                Unresolved(value_path, TEXT("its short names cannot be resolved"));
                return;
            }
            program = Folded_Path(program_text);
        }
        programs_.emplace_back(std::move(program), value_path);
    }

    // A command whose program cannot be told: any folder may be the one it runs from.
    void Unresolved(const Lib_StringW& value_path, const WCHAR* why) {
        Log_Info(Lib_StringW(TEXT("The command of ")) + value_path + TEXT(" cannot be read as a path (") + why + TEXT(")."));
        complete_ = false;
    }

    static bool Expansion_Failed() {
        Report_System_Error(TEXT("ExpandEnvironmentStrings"), GetLastError());
        return false;
    }

    // Replaces the command's %NAME% variables as Windows does when it starts it. False when that
    // fails, or when a variable is left that the run's environment does not know (the command's may).
    static bool Expand(Lib_StringW& command) {
        DWORD needed = ExpandEnvironmentStringsW(command.Get_Text(), nullptr, 0);
        if (needed == 0) return Expansion_Failed();
        std::vector<WCHAR> expanded(needed + 1, 0);
        DWORD written = ExpandEnvironmentStringsW(command.Get_Text(), expanded.data(), needed + 1);
        if (written == 0) return Expansion_Failed();
        if (written > needed + 1) return false;
        command = Lib_StringW(expanded.data());
        int percents = 0;
        for (const WCHAR* c = command.Get_Text(); *c != 0; ++c) percents += *c == TEXT('%') ? 1 : 0;
        return percents < 2;
    }

    // The path with its short names replaced by the long ones. What is not there (a program or its
    // folders gone) keeps its names after the longest part that is. False when no part can be read.
    static bool Long_Form(Lib_StringW& path) {
        Lib_StringW head = path, tail;
        for (;;) {
            DWORD needed = GetLongPathNameW(head.Get_Text(), nullptr, 0);
            if (needed != 0) {
                std::vector<WCHAR> long_form(needed + 1, 0);
                DWORD written = GetLongPathNameW(head.Get_Text(), long_form.data(), needed + 1);
                if (written == 0) Report_System_Error(TEXT("GetLongPathName"), GetLastError());
                if (written == 0 || written > needed) return false;
                path = Lib_StringW(long_form.data()) + tail;
                return true;
            }
            DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                Report_System_Error(TEXT("GetLongPathName"), error);
                return false;
            }
            long long separator = head.Reverse_Find(TEXT('\\'));
            if (separator <= 2) return false;  // not even the drive's first folder
            tail = head.Mid(separator, head.Get_Length() - separator) + tail;
            head = head.Mid(0, separator);
        }
    }

    bool complete_ = true;
    std::vector<std::pair<Wide_Name, Lib_StringW>> programs_;
};

// The machine's commands, read at the first question: a stage that finds no folder to decide on
// reads none of them (the check after a removal, which took the folders).
class Commands_On_Demand {
public:
    explicit Commands_On_Demand(Uninstall_Entries* uninstall_entries) : uninstall_entries_(uninstall_entries) {}

    const Machine_Commands& Get() {
        if (!commands_) commands_.emplace(uninstall_entries_);
        return *commands_;
    }

private:
    Uninstall_Entries* const uninstall_entries_;
    std::optional<Machine_Commands> commands_;
};

// The machine-wide commands that start a program inside a folder of the cache: the folder's name,
// folded, with the first command's value.
class Cache_Commands {
public:
    Cache_Commands(Commands_On_Demand& commands, const Lib_StringW& cache_root)
        : commands_(commands), root_(cache_root) {}

    bool Complete() { return Indexed().Complete(); }
    // The value of the first command that runs from the cache's folder of that name, or empty.
    Lib_StringW Naming(const Wide_Name& entry_name) {
        Indexed();
        Lib_StringW folded(entry_name.c_str());
        folded.Make_Lower();
        auto found = named_.find(Wide_Name(folded.Get_Text(), static_cast<size_t>(folded.Get_Length())));
        return found == named_.end() ? Lib_StringW() : found->second;
    }

private:
    const Machine_Commands& Indexed() {
        const Machine_Commands& commands = commands_.Get();
        if (indexed_) return commands;
        indexed_ = true;
        const Wide_Name root = Folded_Path(root_) + TEXT('\\');
        for (const auto& command : commands.Programs()) {
            const Wide_Name& program = command.first;
            if (program.compare(0, root.size(), root) != 0) continue;
            const size_t end = program.find(TEXT('\\'), root.size());
            if (end == Wide_Name::npos || end == root.size()) continue;  // directly in the cache, or no name
            named_.emplace(program.substr(root.size(), end - root.size()), command.second);
        }
        return commands;
    }

    Commands_On_Demand& commands_;
    const Lib_StringW root_;
    bool indexed_ = false;
    std::unordered_map<Wide_Name, Lib_StringW> named_;
};

// The kept folders that are not locked down, with the reason, since the stage began (main thread
// only).
std::vector<std::pair<Lib_StringW, Lib_StringW>> Refused_Folders;

// Keeps a cache folder that a program runs from, and locks it down when what is there passes the
// check; what another account made or may change stays as it is and is not locked down.
void Keep_Folder(const Lib_StringW& why, const Lib_StringW& folder) {
    Log_Info_Detail(Lib_StringW(TEXT("Kept (")) + why + TEXT("): "), folder);
    Lib_StringW reason;
    if (SC_Check_Tree(folder.Get_Text(), false, true, reason) != SC_Path_Safe) {
        Log_Info_Detail(Lib_StringW(TEXT("Not locked down (")) + reason + TEXT("): "), folder);
        Refused_Folders.emplace_back(folder, reason);
    } else if (!Changes().Lock_Down_Kept_Folder(folder.Get_Text())) {
        Refused_Folders.emplace_back(folder, Lib_StringW(TEXT("the lock-down of ")) + folder + TEXT(" failed"));
    }
}

// Whether nothing is at the path; what cannot be looked at counts as there, reported.
bool Is_Missing_Entry(const Lib_StringW& path) {
    if (GetFileAttributesW(path.Get_Text()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    Report_System_Error(TEXT("GetFileAttributes"), error);
    return false;
}

// Keeps a folder that a machine-wide command still runs a program from (true): deleted, it could be
// made again by anyone who may create folders where it was, with their program in it. When the
// commands could not all be read, any folder is kept as it is.
bool Keep_If_Run_From(Cache_Commands& commands, const Wide_Name& name, const Lib_StringW& folder) {
    if (!commands.Complete()) {
        Log_Info_Detail(TEXT("Kept (the machine's commands could not all be read): "), folder);
        return true;
    }
    const Lib_StringW naming = commands.Naming(name);
    if (naming.Is_Empty()) return false;
    Keep_Folder(naming + TEXT(" runs from it"), folder);
    return true;
}

// Whether a name in the folder holds the marker.
bool Holds_Marked_Name(const Lib_StringW& folder, const WCHAR* marker, bool& marked, Lib_Result& result) {
    marked = false;
    Wide_Name_List contents;
    if (!SC_Find_Files(folder.Get_Text(), contents, result)) return false;
    for (const Wide_Name& name : contents) {
        if (name.find(marker) != Wide_Name::npos) marked = true;
    }
    return true;
}

// The product's entries in a cache folder that is left alone: they stay, and are not removed. The
// folder is only listed, by name; neither it nor an entry that is a link is entered.
void Note_Entries_Left_Alone(const Lib_StringW& cache_root, const WCHAR* marker, const Lib_StringW& reason) {
    DWORD attributes = GetFileAttributesW(cache_root.Get_Text());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return;
    Lib_Result result;
    Wide_Name_List entries;
    if (!SC_Find_Files(cache_root.Get_Text(), entries, result)) return;
    for (const Wide_Name& entry : entries) {
        Lib_StringW entry_path;
        Combine_Path(cache_root.Get_Text(), nullptr, entry.c_str(), entry_path);
        attributes = GetFileAttributesW(entry_path.Get_Text());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND) Report_System_Error(TEXT("GetFileAttributes"), error);
            continue;
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
        bool marked = false;
        if (Holds_Marked_Name(entry_path, marker, marked, result) && marked) {
            Changes().Left_Alone(entry_path.Get_Text(), reason);
        }
    }
}

}  // namespace

Lib_StringW Kept_Folder_Refusal(const Lib_StringW& program) {
    for (const auto& refused : Refused_Folders) {
        if (Is_Inside(program, refused.first)) return refused.second;
    }
    return Lib_StringW();
}

namespace {

// Removes the cache's marked entries; the machine's commands are read for the first marked entry, once
// for the stage.
void Remove_Cache_Entries(int csidl, const WCHAR* cache_folder, const WCHAR* marker, const Lib_StringW& kept_program,
                          Commands_On_Demand& machine_commands) {
    Log_Info(TEXT("Removing new caches (with WIX)..."));
    Lib_Result result;
    bool reboot_required = false;
    Wide_Name_List entries;

    Lib_StringW cache_root;
    Lib_StringW reason;
    SC_Path_State root_state = SC_Path_Missing;
    if (Changes().Get_Absolute_File_Path_From_Special_Folder(csidl, cache_folder, nullptr, cache_root, result)) {
        // Users may create folders in the all-users data folder: a cache folder that one of them made,
        // or replaced by a junction, is none of the tool's business.
        root_state = SC_Check_Folder_Chain(cache_root.Get_Text(), 0, reason);
        if (root_state == SC_Path_Unsafe) {
            Log_Info(Lib_StringW(TEXT("Left alone (")) + reason + TEXT("): ") + cache_root);
            Note_Entries_Left_Alone(cache_root, marker, reason);
        }
    }
    if (root_state == SC_Path_Safe && SC_Find_Files(cache_root.Get_Text(), entries, result)) {
        Cache_Commands commands(machine_commands, cache_root);
        for (const Wide_Name& entry : entries) {
            Lib_StringW entry_path;
            Combine_Path(cache_root.Get_Text(), nullptr, entry.c_str(), entry_path);
            DWORD attributes = GetFileAttributesW(entry_path.Get_Text());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                DWORD error = GetLastError();
                Report_System_Error(TEXT("GetFileAttributes"), error);
                result.Set(static_cast<int32_t>(error), Lib_Result_Source_System);
                continue;
            }
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
            // A junction or symbolic link is never looked through: what it points to is not a cache
            // entry, and its names could make the tool remove it.
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                Log_Info_Detail(TEXT("Not examined (link): "), entry_path);
                continue;
            }
            if (!kept_program.Is_Empty() && Is_Inside(kept_program, entry_path)) {
                Keep_Folder(TEXT("the bundle's quiet uninstall runs from it"), entry_path);
                continue;
            }
            bool marked = false;
            if (!Holds_Marked_Name(entry_path, marker, marked, result)) break;
            if (!marked || Keep_If_Run_From(commands, entry, entry_path)) continue;

            Log_Indent();
            if (!Changes().SC_Remove_Directory(entry_path.Get_Text(), true, reboot_required, result)) {
                Log_Info_Detail(TEXT("Removed failed!!!: "), entry_path);
            }
            Log_Unindent();
        }
    }
    Log_Info(TEXT("New caches (with WIX) removed."));
}

}  // namespace

void Remove_New_Caches(int csidl, const WCHAR* cache_folder, const WCHAR* marker, const Lib_StringW& kept_program) {
    Commands_On_Demand machine_commands(nullptr);
    Remove_Cache_Entries(csidl, cache_folder, marker, kept_program, machine_commands);
}

bool Delete_All_Caches(const Lib_StringW& bundle_upgrade_code, Uninstall_Entries& uninstall_entries) {
    Log_Info(TEXT("Deleting all caches..."));
    Lib_Result result;
    // Deferrals made here are counted where they are scheduled (SC_Restart_Deletions_Scheduled).
    bool reboot_required = false;
    Lib_StringW entry_name;
    Lib_StringW quiet_command;
    Find_Bundle_Uninstall(bundle_upgrade_code, entry_name, quiet_command);
    Refused_Folders.clear();
    Log_Indent();
    Lib_StringW company_cache;
    if (Changes().Get_Absolute_File_Path_From_Special_Folder(CSIDL_COMMON_APPDATA, Company_Cache_Folder, nullptr,
                                                             company_cache, result)) {
        // The company's folder lies in the all-users data folder too, where anyone may make it again.
        // The machine's commands are read once for both folders, and only when a folder is there to
        // decide on: thousands of programs may be installed. A folder that is not there is removed.
        Commands_On_Demand machine_commands(&uninstall_entries);
        Cache_Commands commands(machine_commands, SC_Folder_Of(company_cache.Get_Text()));
        if (!Is_Missing_Entry(company_cache) && !Keep_If_Run_From(commands, Company_Cache_Folder, company_cache))
            Changes().SC_Remove_Directory(company_cache.Get_Text(), true, reboot_required, result);
        Remove_Cache_Entries(CSIDL_COMMON_APPDATA, Package_Cache_Folder, Driver_Package_Marker,
                             Command_Program(quiet_command), machine_commands);
    }
    Log_Unindent();
    Log_Info(TEXT("All caches deleted."));
    return true;
}

bool Delete_All_Caches(const Lib_StringW& bundle_upgrade_code) {
    Uninstall_Entries uninstall_entries;
    return Delete_All_Caches(bundle_upgrade_code, uninstall_entries);
}
