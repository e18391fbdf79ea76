#include "primitives/Registry_Backup.h"

#include <aclapi.h>
#include <winternl.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Report.h"
#include "primitives/Folder_Safety.h"
#include "primitives/Registry_Primitives.h"
#include "primitives/Security.h"

// The name of the key of a handle, as the kernel knows it ("\REGISTRY\MACHINE\SOFTWARE\..."): the
// one name of a key whatever handle or view it was opened through (the 32-bit view's keys under their
// Wow6432Node paths). Documented as ZwQueryKey; the SDK headers do not declare it.
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key_handle, int information_class, PVOID information, ULONG length,
                                     PULONG result_length);

namespace {

typedef std::basic_string<WCHAR> Text;

const int Key_Name_Information = 3;  // KeyNameInformation
const NTSTATUS Status_Buffer_Overflow = NTSTATUS(0x80000005);
const NTSTATUS Status_Buffer_Too_Small = NTSTATUS(0xC0000023);
// The backup's folder, "vpRemovalTool-backup-" and 16 random hexadecimal digits in the log's
// folder, and its file in it.
const WCHAR* const Backup_Folder_Stem = TEXT("vpRemovalTool-backup-");
const WCHAR* const Backup_File_Name = TEXT("vpRemovalTool-backup.reg");
// regedit ends a line of hexadecimal data with a backslash once a comma reaches this column.
const size_t Hex_Line_Width = 75;

// The run's backup: its file once created, and whether the backup has begun or stopped.
struct Backup_State {
    Owned_Handle folder;  // held without delete sharing: nobody can rename or replace it meanwhile
    Owned_Handle file;
    Lib_StringW path;
    bool started = false;
    bool stopped = false;
    // The keys whose security was saved: a later change of the same key (the 32-bit view of a key
    // Windows shares between the views) must not save the run's own first change as the previous one.
    std::set<Text> secured_keys;
    // Other users' hives (Backup_Name_User_Hive): the kernel's name of each, the SID its keys are
    // written under, the file of a hive the run loaded, and whether this backup has said how to
    // restore into that file.
    struct User_Hive {
        Text hive, sid, file;
        bool explained = false;
    };
    std::vector<User_Hive> user_hives;
};

Backup_State& State() {
    static Backup_State state;
    return state;
}

// The first failure: reported (a null call: nothing to report), and the log says where the backup
// stops; nothing more is saved.
void Stop(const WCHAR* call, DWORD error) {
    Backup_State& state = State();
    if (state.stopped) return;
    state.stopped = true;
    if (call != nullptr) Report_System_Error(call, error);
    Log_Info_Detail(TEXT("The registry backup stops here; the changes that follow are not in it: "),
                    state.path.Is_Empty() ? Lib_StringW(TEXT("(no backup file)")) : state.path);
}

// Administrators and SYSTEM alone, full control, not inherited from the folder: the backup holds what
// the run removed, some of it from keys ordinary users cannot read. The folder's entries are passed on
// to what is made in it as inheritance tells.
DWORD Protect_Entry(HANDLE file, DWORD inheritance, const WCHAR*& failed_call) {
    Owned_Sid administrators, system;
    failed_call = TEXT("AllocateAndInitializeSid");
    if (!Make_Account_Sid(Nt_Account::Administrators, administrators) ||
        !Make_Account_Sid(Nt_Account::Local_System, system)) {
        return GetLastError();
    }
    const Access_Grant grants[] = {{administrators.Get(), TRUSTEE_IS_GROUP, Full_File_Access},
                                   {system.Get(), TRUSTEE_IS_GROUP, Full_File_Access}};
    Owned_Local<PACL> list;
    failed_call = TEXT("SetEntriesInAcl");
    DWORD error = Build_Access_List(grants, 2, inheritance, list);
    if (error != ERROR_SUCCESS) return error;
    failed_call = TEXT("SetSecurityInfo");
    return SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, list.Get(), nullptr);
}

// Writes the text as UTF-16LE; false when the backup has stopped or stops now.
bool Write(const Text& text) {
    Backup_State& state = State();
    if (state.stopped) return false;
    DWORD size = DWORD(text.size() * sizeof(WCHAR)), written = 0;
    if (!WriteFile(state.file.Get(), text.data(), size, &written, nullptr) || written != size) {
        DWORD error = GetLastError();
        Stop(TEXT("WriteFile"), error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error);
        return false;
    }
    return true;
}

// Makes the backup's folder in the log's folder, under a name nobody can know before the run makes it
// (CreateDirectoryW fails where any entry of that name exists), holds it open as itself, checks that
// it is a plain folder and protects it: nobody else can create anything in it from then on. The
// failed call and its error otherwise.
DWORD Make_Folder(Lib_StringW& folder_path, const WCHAR*& failed_call) {
    Backup_State& state = State();
    Lib_StringW log_path;
    failed_call = nullptr;
    if (!Log_Get_File_Path(log_path)) return ERROR_PATH_NOT_FOUND;  // the debugger output says why
    Lib_StringW stem = log_path.Mid(0, log_path.Reverse_Find(TEXT('\\')) + 1) + Backup_Folder_Stem;
    failed_call = TEXT("CreateDirectory");
    if (!Log_Create_Unpredictable(stem, TEXT(""), [](const Lib_StringW& path) {
            return CreateDirectoryW(path.Get_Text(), nullptr) == TRUE;
        }, folder_path, failed_call)) {
        return GetLastError();
    }
    failed_call = TEXT("CreateFile");
    state.folder = Owned_Handle(CreateFileW(folder_path.Get_Text(), READ_CONTROL | WRITE_DAC,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!state.folder.Is_Open()) return GetLastError();
    failed_call = TEXT("GetFileInformationByHandle");
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(state.folder.Get(), &information)) return GetLastError();
    if ((information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
        FILE_ATTRIBUTE_DIRECTORY) {
        return ERROR_BAD_PATHNAME;
    }
    return Protect_Entry(state.folder.Get(), SUB_CONTAINERS_AND_OBJECTS_INHERIT, failed_call);
}

// The owner of an open file or folder, and its SID's text; GetSecurityInfo's result.
DWORD Owner_Of(HANDLE entry, Lib_StringW& owner_text, PSID& owner, Owned_Local<PSECURITY_DESCRIPTOR>& descriptor) {
    DWORD error = GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                                  descriptor.Receive());
    if (error == ERROR_SUCCESS) owner_text = owner ? Lib_StringW(Sid_Text(static_cast<const SID*>(owner))) : Lib_StringW();
    return error;
}

// The folder was made by this run: it is owned as what the run has just made in it is (its account's
// default owner: Administrators for an elevated administrator, SYSTEM for LocalSystem, or the account
// itself where the policy makes creators owners), or by SYSTEM or Administrators.
DWORD Check_Folder_Owner(const Lib_StringW& folder_path, const WCHAR*& failed_call) {
    Backup_State& state = State();
    Lib_StringW folder_owner, file_owner;
    PSID folder_sid = nullptr, file_sid = nullptr;
    Owned_Local<PSECURITY_DESCRIPTOR> folder_descriptor, file_descriptor;
    failed_call = TEXT("GetSecurityInfo");
    DWORD error = Owner_Of(state.folder.Get(), folder_owner, folder_sid, folder_descriptor);
    if (error == ERROR_SUCCESS) error = Owner_Of(state.file.Get(), file_owner, file_sid, file_descriptor);
    if (error != ERROR_SUCCESS) return error;
    if (SC_Is_Trusted_Owner(folder_sid) || (!folder_owner.Is_Empty() && folder_owner.Compare(file_owner.Get_Text()) == 0)) {
        return ERROR_SUCCESS;
    }
    failed_call = nullptr;
    Log_Info_Detail(TEXT("The registry backup's folder was not made by this run (its owner is ") +
                        (folder_owner.Is_Empty() ? Lib_StringW(TEXT("nobody")) : folder_owner) + TEXT("):"),
                    folder_path);
    return ERROR_INVALID_OWNER;
}

// Creates the backup at the first change: a new file in a new folder of its own (Make_Folder), never
// through a link, shared with nobody while the run holds it; its path goes to the console and the log
// before the change is made. True when the backup can be written to.
bool Start() {
    Backup_State& state = State();
    if (state.stopped) return false;
    if (state.started) return true;
    state.started = true;
    Lib_StringW folder_path;
    const WCHAR* failed_call = nullptr;
    DWORD error = Make_Folder(folder_path, failed_call);
    if (error == ERROR_SUCCESS) {
        state.path = folder_path + TEXT("\\") + Backup_File_Name;
        failed_call = TEXT("CreateFile");
        state.file = Owned_Handle(CreateFileW(state.path.Get_Text(), GENERIC_WRITE | WRITE_DAC | READ_CONTROL, 0,
                                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                              nullptr));
        error = state.file.Is_Open() ? Protect_Entry(state.file.Get(), NO_INHERITANCE, failed_call) : GetLastError();
        if (error == ERROR_SUCCESS) error = Check_Folder_Owner(folder_path, failed_call);
    }
    if (error != ERROR_SUCCESS) {
        if (!state.file.Is_Open()) state.path = Lib_StringW();
        Stop(failed_call, error);
        return false;
    }
    Log_Info_Detail(TEXT("Registry backup:"), state.path);
    Console_Print((TEXT("Registry backup: ") + state.path + TEXT("\n")).Get_Text());
    Text header;
    header += WCHAR(0xFEFF);
    header += TEXT("Windows Registry Editor Version 5.00\r\n");
    return Write(header);
}

bool Starts_With_No_Case(const Text& text, size_t at, const WCHAR* prefix) {
    for (; *prefix != 0; ++prefix, ++at) {
        if (at >= text.size()) return false;
        WCHAR a = text[at], b = *prefix;
        if (a >= TEXT('a') && a <= TEXT('z')) a = WCHAR(a - TEXT('a') + TEXT('A'));
        if (b >= TEXT('a') && b <= TEXT('z')) b = WCHAR(b - TEXT('a') + TEXT('A'));
        if (a != b) return false;
    }
    return true;
}

// The regedit path of a key opened through any handle: "\REGISTRY\MACHINE\X" is HKEY_LOCAL_MACHINE\X,
// another user's hive named by Backup_Name_User_Hive HKEY_USERS\SID, any other user's hive
// HKEY_CURRENT_USER and its classes hive HKEY_CURRENT_USER\Software\Classes (the run's user's).
// Failures are the backup's.
bool Key_Path(HKEY key, Text& path) {
    std::vector<ULONG> buffer(256);
    ULONG needed = 0;
    NTSTATUS status = NtQueryKey(key, Key_Name_Information, buffer.data(), ULONG(buffer.size() * sizeof(ULONG)),
                                 &needed);
    if (status == Status_Buffer_Overflow || status == Status_Buffer_Too_Small) {
        buffer.resize(needed / sizeof(ULONG) + 1);
        status = NtQueryKey(key, Key_Name_Information, buffer.data(), ULONG(buffer.size() * sizeof(ULONG)), &needed);
    }
    if (status != 0) {
        Stop(TEXT("NtQueryKey"), RtlNtStatusToDosError(status));
        return false;
    }
    const WCHAR* name = reinterpret_cast<const WCHAR*>(buffer.data() + 1);
    Text native(name, name + buffer[0] / sizeof(WCHAR));
    const WCHAR* const machine = TEXT("\\REGISTRY\\MACHINE");
    const WCHAR* const user = TEXT("\\REGISTRY\\USER\\");
    if (Starts_With_No_Case(native, 0, machine)) {
        path = TEXT("HKEY_LOCAL_MACHINE") + native.substr(Text(machine).size());
        return true;
    }
    if (Starts_With_No_Case(native, 0, user)) {
        size_t hive_start = Text(user).size();
        size_t hive_end = native.find(TEXT('\\'), hive_start);
        if (hive_end == Text::npos) hive_end = native.size();
        Text hive = native.substr(hive_start, hive_end - hive_start);
        for (const Backup_State::User_Hive& named : State().user_hives) {
            if (Lib_StringW(named.hive.c_str()).Compare_No_Case(hive.c_str()) != 0) continue;
            path = TEXT("HKEY_USERS\\") + named.sid + native.substr(hive_end);
            return true;
        }
        const Text classes_suffix = TEXT("_Classes");
        bool classes = hive_end - hive_start > classes_suffix.size() &&
                       Starts_With_No_Case(native, hive_end - classes_suffix.size(), classes_suffix.c_str());
        path = Text(classes ? TEXT("HKEY_CURRENT_USER\\Software\\Classes") : TEXT("HKEY_CURRENT_USER")) +
               native.substr(hive_end);
        return true;
    }
    Stop(TEXT("NtQueryKey"), ERROR_BAD_PATHNAME);
    return false;
}

void Append_Hex_Byte(Text& out, BYTE byte) {
    static const char digits[] = "0123456789abcdef";
    out += WCHAR(digits[byte >> 4]);
    out += WCHAR(digits[byte & 15]);
}

void Append_Hex_Number(Text& out, unsigned long long number, int width) {
    static const char digits[] = "0123456789abcdef";
    WCHAR text[17] = {};
    int first = 16;
    do {
        text[--first] = WCHAR(digits[number & 15]);
        number >>= 4;
    } while ((number > 0 || 16 - first < width) && first > 0);
    out += text + first;
}

// The bytes as regedit lists them after a type: "xx,xx,..." with, once a comma reaches the line's
// width, a backslash and the rest two blanks in; wrap false for a comment, which cannot go on.
void Append_Hex(Text& out, size_t line_start, const BYTE* data, size_t size, bool wrap) {
    size_t column = out.size() - line_start;
    for (size_t at = 0; at < size; ++at) {
        Append_Hex_Byte(out, data[at]);
        column += 2;
        if (at + 1 == size) break;
        out += TEXT(',');
        ++column;
        if (wrap && column >= Hex_Line_Width) {
            out += TEXT("\\\r\n  ");
            column = 2;
        }
    }
}

bool Has_Line_Break(const WCHAR* text, size_t length) {
    for (size_t at = 0; at < length; ++at) {
        if (text[at] == TEXT('\r') || text[at] == TEXT('\n') || text[at] == 0) return true;
    }
    return false;
}

void Append_Quoted(Text& out, const WCHAR* text, size_t length) {
    out += TEXT('"');
    for (size_t at = 0; at < length; ++at) {
        if (text[at] == TEXT('\\') || text[at] == TEXT('"')) out += TEXT('\\');
        out += text[at];
    }
    out += TEXT('"');
}

// A REG_SZ that regedit writes as "TEXT": whole UTF-16 units ending in its one zero, no line break.
bool Is_Plain_String(const BYTE* data, size_t size) {
    if (size < sizeof(WCHAR) || size % sizeof(WCHAR) != 0) return false;
    size_t units = size / sizeof(WCHAR);
    for (size_t at = 0; at < units; ++at) {
        WCHAR c = WCHAR(data[2 * at] | (data[2 * at + 1] << 8));
        if ((c == 0) != (at + 1 == units) || c == TEXT('\r') || c == TEXT('\n')) return false;
    }
    return true;
}

// One value's line, as regedit writes it: "NAME" (or @ for the default value), "=", then its data by
// type: "TEXT" for a plain REG_SZ, dword:xxxxxxxx for a REG_DWORD of four bytes, hex: for REG_BINARY and
// hex(N): for everything else. A name with a line break (or a zero) cannot be written so: it goes into
// a comment with name and data in hexadecimal.
void Append_Value(Text& out, const WCHAR* name, size_t name_length, DWORD type, const BYTE* data, size_t size) {
    size_t line_start = out.size();
    if (Has_Line_Break(name, name_length)) {
        out += TEXT("; Not restorable by reg import (a line break or zero in its name): value name (UTF-16LE) hex:");
        Append_Hex(out, line_start, reinterpret_cast<const BYTE*>(name), name_length * sizeof(WCHAR), false);
        out += TEXT(" type ");
        Append_Hex_Number(out, type, 1);
        out += TEXT(" data hex:");
        Append_Hex(out, line_start, data, size, false);
        out += TEXT("\r\n");
        return;
    }
    if (name_length == 0) {
        out += TEXT('@');
    } else {
        Append_Quoted(out, name, name_length);
    }
    out += TEXT('=');
    if (type == REG_SZ && Is_Plain_String(data, size)) {
        Text text;
        for (size_t at = 0; at + 2 < size; at += 2) text += WCHAR(data[at] | (data[at + 1] << 8));
        Append_Quoted(out, text.data(), text.size());
    } else if (type == REG_DWORD && size == 4) {
        out += TEXT("dword:");
        Append_Hex_Number(out, DWORD(data[0] | (data[1] << 8) | (data[2] << 16) | (DWORD(data[3]) << 24)), 8);
    } else {
        if (type == REG_BINARY) {
            out += TEXT("hex:");
        } else {
            out += TEXT("hex(");
            Append_Hex_Number(out, type, 1);
            out += TEXT("):");
        }
        Append_Hex(out, line_start, data, size, true);
    }
    out += TEXT("\r\n");
}

// The key's header line: "[PATH]", or a comment for a path with a line break, which regedit files
// cannot hold (its values then go into comments too).
void Append_Key_Header(Text& out, const Text& path) {
    out += TEXT("\r\n");
    if (Has_Line_Break(path.data(), path.size())) {
        size_t line_start = out.size();
        out += TEXT("; Not restorable by reg import (a line break in its path): key path (UTF-16LE) hex:");
        Append_Hex(out, line_start, reinterpret_cast<const BYTE*>(path.data()), path.size() * sizeof(WCHAR), false);
        out += TEXT("\r\n");
        return;
    }
    out += TEXT('[');
    out += path;
    out += TEXT("]\r\n");
}

bool Is_Link_Value(const WCHAR* name, size_t length, DWORD type) {
    return type == REG_LINK && Lib_StringW(Text(name, length).c_str()).Compare_No_Case(TEXT("SymbolicLinkValue")) == 0;
}

// Appends the open key (its path given) with its values, then each subkey's tree, opened through this
// key by its one name without following a link. Failures stop the backup.
bool Save_Tree(HKEY key, const Text& path, Text& out) {
    DWORD subkey_count = 0, longest_subkey = 0, value_count = 0, longest_name = 0, largest_data = 0;
    LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkey_count, &longest_subkey, nullptr,
                                      &value_count, &longest_name, &largest_data, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        Stop(TEXT("RegQueryInfoKey"), status);
        return false;
    }
    Text values;
    bool link = false;
    std::vector<WCHAR> name(size_t(longest_name) + 1);
    std::vector<BYTE> data(size_t(largest_data) + 1);
    for (DWORD index = 0; index < value_count; ++index) {
        DWORD name_length = DWORD(name.size()), size = DWORD(data.size()), type = 0;
        status = RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type, data.data(), &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            Stop(TEXT("RegEnumValue"), status);
            return false;
        }
        link = link || Is_Link_Value(name.data(), name_length, type);
        Append_Value(values, name.data(), name_length, type, data.data(), size);
    }
    if (link && subkey_count == 0) {
        // A symbolic link is deleted as the link; reg import would make a plain key of it.
        out += TEXT("\r\n; Not restorable by reg import (a registry symbolic link): ");
        out += path;
        out += TEXT("\r\n");
        return true;
    }
    Append_Key_Header(out, path);
    out += values;

    // Names first, then the subtrees: the enumeration indices stay those of an unchanged key.
    std::vector<Text> children;
    std::vector<WCHAR> child(size_t(longest_subkey) + 1);
    for (DWORD index = 0; index < subkey_count; ++index) {
        DWORD length = DWORD(child.size());
        status = RegEnumKeyExW(key, index, child.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            Stop(TEXT("RegEnumKeyEx"), status);
            return false;
        }
        Text child_name(child.data(), length);
        if (child_name.find(WCHAR(0)) != Text::npos) {
            // Such a key can be neither opened by its name nor deleted (the deletion reports it).
            out += TEXT("; Not saved (a zero character in its name): a subkey of the key above\r\n");
            continue;
        }
        children.push_back(child_name);
    }
    for (const Text& child_name : children) {
        Owned_Key opened;
        status = RegOpenKeyExW(key, child_name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, opened.Receive());
        if (status == ERROR_FILE_NOT_FOUND) continue;
        if (status != ERROR_SUCCESS) {
            Stop(TEXT("RegOpenKeyEx"), status);
            return false;
        }
        if (!Save_Tree(opened.Get(), path + TEXT("\\") + child_name, out)) return false;
    }
    return true;
}

// Opens what a change will touch, for reading; false for a missing key (nothing to save) or a failure.
bool Open_To_Save(HKEY root, const WCHAR* key_path, DWORD options, REGSAM access, Owned_Key& key) {
    LSTATUS status = RegOpenKeyExW(root, key_path, options, access, key.Receive());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return false;
    if (status != ERROR_SUCCESS) {
        Stop(TEXT("RegOpenKeyEx"), status);
        return false;
    }
    return true;
}

// Owner and the key's own entries in SDDL; the inherited ones come back from its parent.
Text Sddl_Of(PSID owner, const ACL* list, bool is_protected) {
    Text sddl = TEXT("O:");
    sddl += Sid_Text(static_cast<const SID*>(owner)).Get_Text();
    sddl += TEXT("D:");
    if (is_protected) sddl += TEXT('P');
    if (list == nullptr) return sddl;
    const BYTE* entry = reinterpret_cast<const BYTE*>(list) + sizeof(ACL);
    for (WORD at = 0; at < list->AceCount; ++at) {
        const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(entry);
        entry += ace->Header.AceSize;
        BYTE flags = ace->Header.AceFlags;
        if (flags & INHERITED_ACE) continue;
        sddl += ace->Header.AceType == ACCESS_DENIED_ACE_TYPE ? TEXT("(D;") : TEXT("(A;");
        if (flags & OBJECT_INHERIT_ACE) sddl += TEXT("OI");
        if (flags & CONTAINER_INHERIT_ACE) sddl += TEXT("CI");
        if (flags & NO_PROPAGATE_INHERIT_ACE) sddl += TEXT("NP");
        if (flags & INHERIT_ONLY_ACE) sddl += TEXT("IO");
        sddl += TEXT(";0x");
        Append_Hex_Number(sddl, ace->Mask, 1);
        sddl += TEXT(";;;");
        sddl += Sid_Text(reinterpret_cast<const SID*>(&ace->SidStart)).Get_Text();
        sddl += TEXT(')');
    }
    return sddl;
}

// A text in PowerShell's single quotes.
Text Single_Quoted(const Text& text) {
    Text quoted = TEXT("'");
    for (WCHAR c : text) {
        quoted += c;
        if (c == TEXT('\'')) quoted += c;
    }
    return quoted + TEXT("'");
}

// Before the first key of a hive that the run loaded from its file: how to put the keys back while
// the user is not logged on, when the hive is not loaded.
void Explain_User_Hive(const Text& path, Text& out) {
    for (Backup_State::User_Hive& named : State().user_hives) {
        Text root = TEXT("HKEY_USERS\\") + named.sid;
        if (named.file.empty() || named.explained || !Starts_With_No_Case(path, 0, (root + TEXT("\\")).c_str()))
            continue;
        named.explained = true;
        Text hku = TEXT("HKU\\") + named.sid;
        out += TEXT("\r\n; ") + root + TEXT(" is the hive of a user who was not logged on (") + named.file +
               TEXT(").\r\n; To restore its keys while that user is not logged on, in an elevated command prompt:\r\n;   reg load ") +
               hku + TEXT(" \"") + named.file + TEXT("\"\r\n;   reg import THIS-FILE\r\n;   reg unload ") + hku +
               TEXT("\r\n");
    }
}

}  // namespace

void Backup_Name_User_Hive(const WCHAR* hive_name, const WCHAR* sid, const WCHAR* hive_file) {
    std::vector<Backup_State::User_Hive>& hives = State().user_hives;
    for (auto at = hives.begin(); at != hives.end(); ++at) {
        if (Lib_StringW(at->hive.c_str()).Compare_No_Case(hive_name) != 0) continue;
        hives.erase(at);
        break;
    }
    if (sid) hives.push_back(Backup_State::User_Hive{hive_name, sid, hive_file ? hive_file : TEXT(""), false});
}

void Backup_Key_Tree(HKEY root, const WCHAR* key_path) {
    if (State().stopped) return;
    Owned_Key key;
    if (!Open_To_Save(root, key_path, REG_OPTION_OPEN_LINK, KEY_READ, key)) return;
    Text path, out;
    if (!Key_Path(key.Get(), path)) return;
    Explain_User_Hive(path, out);
    if (!Save_Tree(key.Get(), path, out)) return;
    if (Start()) Write(out);
}

void Backup_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, REGSAM view_flags) {
    if (State().stopped) return;
    Owned_Key key;
    if (!Open_To_Save(root, key_path, 0, KEY_QUERY_VALUE | view_flags, key)) return;
    DWORD type = 0, size = 0;
    LSTATUS status = RegQueryValueExW(key.Get(), value_name, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return;
    std::vector<BYTE> data(size_t(size) + 1);
    if (status == ERROR_SUCCESS) status = RegQueryValueExW(key.Get(), value_name, nullptr, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) {
        Stop(TEXT("RegQueryValueEx"), status);
        return;
    }
    Text path, out;
    if (!Key_Path(key.Get(), path)) return;
    Append_Key_Header(out, path);
    Text name(value_name);
    Append_Value(out, name.data(), name.size(), type, data.data(), size);
    if (Start()) Write(out);
}

void Backup_Key_Security(const WCHAR* object_name, SE_OBJECT_TYPE object_type) {
    if (State().stopped) return;
    // "MACHINE\PATH", as the security calls name keys, opened for its kernel name.
    Text name(object_name);
    const WCHAR* const machine = TEXT("MACHINE\\");
    if (!Starts_With_No_Case(name, 0, machine)) return;
    Owned_Key key;
    REGSAM view = object_type == SE_REGISTRY_WOW64_32KEY ? KEY_WOW64_32KEY : 0;
    if (!Open_To_Save(HKEY_LOCAL_MACHINE, object_name + Text(machine).size(), 0, READ_CONTROL | view, key)) return;
    Text path;
    if (!Key_Path(key.Get(), path)) return;
    Lib_StringW lower_path(path.c_str());
    lower_path.Make_Lower();
    if (!State().secured_keys.insert(lower_path.Get_Text()).second) return;
    PSID owner = nullptr;
    PACL list = nullptr;
    Owned_Local<PSECURITY_DESCRIPTOR> descriptor;
    DWORD error = GetNamedSecurityInfoW(object_name, object_type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &list, nullptr, descriptor.Receive());
    if (error == ERROR_FILE_NOT_FOUND) return;
    if (error != ERROR_SUCCESS) {
        Stop(TEXT("GetNamedSecurityInfo"), error);
        return;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor.Get(), &control, &revision)) {
        Stop(TEXT("GetSecurityDescriptorControl"), GetLastError());
        return;
    }
    Text sddl = Sddl_Of(owner, list, (control & SE_DACL_PROTECTED) != 0);
    Text literal_path = Single_Quoted(TEXT("Registry::") + path);
    Text out = TEXT("\r\n; Security of [") + path + TEXT("] before the run changed it (owner and access list, SDDL):\r\n;   ") +
               sddl + TEXT("\r\n; To restore it, in an elevated PowerShell:\r\n;   $acl = Get-Acl -LiteralPath ") +
               literal_path + TEXT("; $acl.SetSecurityDescriptorSddlForm(") + Single_Quoted(sddl) +
               TEXT("); Set-Acl -LiteralPath ") + literal_path + TEXT(" -AclObject $acl\r\n");
    if (Start()) Write(out);
}

void Backup_Close_File() {
    Backup_State& state = State();
    state.file.Close();
    state.folder.Close();
    state.path = Lib_StringW();
    state.started = false;
    state.stopped = false;
    state.secured_keys.clear();
    for (Backup_State::User_Hive& named : state.user_hives) named.explained = false;
}
