#include "registry/User_Profiles.h"

#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Lib_Path.h"
#include "primitives/Machine_Changes.h"
#include "primitives/Registry_Backup.h"
#include "primitives/Registry_Primitives.h"
#include "primitives/Security.h"

namespace {

const WCHAR* const Profile_List_Path = TEXT("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
const WCHAR* const Hive_File_Name = TEXT("NTUSER.DAT");
// The name a hive the tool loads gets below HKEY_USERS, followed by the profile's SID.
const WCHAR* const Load_Name_Prefix = TEXT("vpRemovalTool-");
// ProfileList's State bits of profiles nobody keeps: a temporary profile, a backup profile.
const DWORD Profile_State_Temporary = 0x0800;
const DWORD Profile_State_Backup = 0x8000;

std::vector<User_Profile_Not_Cleaned>& Not_Cleaned() {
    static std::vector<User_Profile_Not_Cleaned> profiles;
    return profiles;
}

// Reports a failed call that leaves the profile (or the list of them) unlooked-at, and notes it.
void Note_Not_Cleaned(const Lib_StringW& shown, const WCHAR* call, LSTATUS status, Lib_Result& result) {
    result.Set(status, Lib_Result_Source_System);
    Report_System_Error(call, status);
    Not_Cleaned().push_back(User_Profile_Not_Cleaned{shown, call, status});
}

bool Ends_With_No_Case(const Lib_StringW& text, const WCHAR* suffix) {
    Lib_StringW tail(suffix);
    if (text.Get_Length() < tail.Get_Length()) return false;
    return text.Mid(text.Get_Length() - tail.Get_Length(), tail.Get_Length()).Compare_No_Case(suffix) == 0;
}

// The SID of the account the process runs as; reported and empty when it cannot be read.
Lib_StringW Running_Account_Sid() {
    Owned_Handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
        token.Release();
        Report_System_Error(TEXT("OpenProcessToken"), GetLastError());
        return Lib_StringW();
    }
    DWORD size = 0;
    if (!GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Report_System_Error(TEXT("GetTokenInformation"), GetLastError());
        return Lib_StringW();
    }
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
    if (!GetTokenInformation(token.Get(), TokenUser, buffer.data(), DWORD(buffer.size() * sizeof(DWORD)), &size)) {
        Report_System_Error(TEXT("GetTokenInformation"), GetLastError());
        return Lib_StringW();
    }
    return Sid_Text(static_cast<const SID*>(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid));
}

bool Is_Service_Account(const Lib_StringW& sid) {
    return sid.Compare_No_Case(TEXT("S-1-5-18")) == 0 || sid.Compare_No_Case(TEXT("S-1-5-19")) == 0 ||
           sid.Compare_No_Case(TEXT("S-1-5-20")) == 0;
}

// Reads State and the expanded ProfileImagePath of one entry; false (reported) when the entry cannot
// be read, but for an entry gone meanwhile, which is passed over quietly.
bool Read_Profile_Entry(const Lib_StringW& sid, DWORD& state, Lib_StringW& folder, Lib_Result& result) {
    Lib_StringW path;
    Combine_Path(Profile_List_Path, nullptr, sid.Get_Text(), path);
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.Get_Text(), 0, KEY_QUERY_VALUE, key.Receive());
    if (status != ERROR_SUCCESS) {
        key.Release();
        if (status != ERROR_FILE_NOT_FOUND) Note_Not_Cleaned(path, TEXT("RegOpenKeyEx"), status, result);
        return false;
    }
    // A missing State is a profile in use (0); a State that cannot be read leaves the profile unknown.
    state = 0;
    DWORD type = 0, size = sizeof(state);
    status = RegQueryValueExW(key.Get(), TEXT("State"), nullptr, &type, reinterpret_cast<BYTE*>(&state), &size);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && status != ERROR_MORE_DATA) {
        Note_Not_Cleaned(path, TEXT("RegQueryValueEx"), status, result);
        return false;
    }
    if (status != ERROR_SUCCESS || type != REG_DWORD) state = 0;

    folder = Lib_StringW();
    size = 0;
    status = RegQueryValueExW(key.Get(), TEXT("ProfileImagePath"), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ))
        return true;
    std::vector<WCHAR> text(size / sizeof(WCHAR) + 1, 0);
    if (status == ERROR_SUCCESS)
        status = RegQueryValueExW(key.Get(), TEXT("ProfileImagePath"), nullptr, &type,
                                  reinterpret_cast<BYTE*>(text.data()), &size);
    if (status != ERROR_SUCCESS) {
        Note_Not_Cleaned(path, TEXT("RegQueryValueEx"), status, result);
        return false;
    }
    DWORD needed = ExpandEnvironmentStringsW(text.data(), nullptr, 0);
    std::vector<WCHAR> expanded(needed + 1, 0);
    if (needed == 0 || ExpandEnvironmentStringsW(text.data(), expanded.data(), needed + 1) == 0) {
        Note_Not_Cleaned(path, TEXT("ExpandEnvironmentStrings"), GetLastError(), result);
        return false;
    }
    folder = Lib_StringW(expanded.data());
    return true;
}

// SeBackupPrivilege and SeRestorePrivilege enabled in the process token for the owner's lifetime; each
// goes back to the state it had.
class Hive_Privileges {
public:
    Hive_Privileges() : previous_(1 + Previous_Room * 3, 0) {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.Receive())) {
            token_.Release();
            Report_System_Error(TEXT("OpenProcessToken"), GetLastError());
            return;
        }
        std::vector<DWORD> wanted(1 + 2 * 3, 0);
        TOKEN_PRIVILEGES* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(wanted.data());
        privileges->PrivilegeCount = 2;
        const WCHAR* const names[2] = {SE_BACKUP_NAME, SE_RESTORE_NAME};
        for (DWORD at = 0; at < 2; ++at) {
            if (!LookupPrivilegeValueW(nullptr, names[at], &privileges->Privileges[at].Luid)) {
                Report_System_Error(TEXT("LookupPrivilegeValue"), GetLastError());
                return;
            }
            privileges->Privileges[at].Attributes = SE_PRIVILEGE_ENABLED;
        }
        DWORD length = 0;
        if (!AdjustTokenPrivileges(token_.Get(), FALSE, privileges, DWORD(previous_.size() * sizeof(DWORD)), Previous(),
                                   &length)) {
            Report_System_Error(TEXT("AdjustTokenPrivileges"), GetLastError());
            return;
        }
        // A privilege the token lacks stays off; the load then answers ERROR_PRIVILEGE_NOT_HELD.
        adjusted_ = true;
    }
    ~Hive_Privileges() {
        if (!adjusted_ || Previous()->PrivilegeCount == 0) return;
        if (!AdjustTokenPrivileges(token_.Get(), FALSE, Previous(), 0, nullptr, nullptr))
            Report_System_Error(TEXT("AdjustTokenPrivileges"), GetLastError());
    }
    Hive_Privileges(const Hive_Privileges&) = delete;
    Hive_Privileges& operator=(const Hive_Privileges&) = delete;

private:
    // Room for the previous state of every privilege a token may hold.
    static const DWORD Previous_Room = 64;
    TOKEN_PRIVILEGES* Previous() { return reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.data()); }

    Owned_Handle token_;
    std::vector<DWORD> previous_;
    bool adjusted_ = false;
};

// A hive the tool loaded below HKEY_USERS: the handle of its root while the work runs, and the unload
// that the destructor makes when nothing else did, so that no failure in between leaves it loaded.
class Loaded_User_Hive {
public:
    explicit Loaded_User_Hive(const Lib_StringW& name) : name_(name) {}
    ~Loaded_User_Hive() { Unload(); }
    Loaded_User_Hive(const Loaded_User_Hive&) = delete;
    Loaded_User_Hive& operator=(const Loaded_User_Hive&) = delete;

    LSTATUS Load(const Lib_StringW& file) {
        LSTATUS status = RegLoadKeyW(HKEY_USERS, name_.Get_Text(), file.Get_Text());
        loaded_ = status == ERROR_SUCCESS;
        return status;
    }
    Owned_Key& Root() { return root_; }

    // Closes the handle of the hive's root (the work's own handles are closed by then) and unloads the
    // hive; a failed unload is reported and tried once more. False when the hive stays loaded.
    bool Unload() {
        if (!loaded_) return true;
        root_.Close();
        LSTATUS status = RegUnLoadKeyW(HKEY_USERS, name_.Get_Text());
        if (status != ERROR_SUCCESS) {
            Report_System_Error(TEXT("RegUnLoadKey"), status);
            status = RegUnLoadKeyW(HKEY_USERS, name_.Get_Text());
        }
        loaded_ = false;
        if (status == ERROR_SUCCESS) return true;
        Report_System_Error(TEXT("RegUnLoadKey"), status);
        Log_Info_Detail(TEXT("Left loaded (the hive could not be unloaded): "), TEXT("HKEY_USERS\\") + name_);
        return false;
    }

private:
    Lib_StringW name_;
    Owned_Key root_;
    bool loaded_ = false;
};

// Opens HKEY_USERS\NAME; ERROR_FILE_NOT_FOUND when no hive is loaded under that name.
LSTATUS Open_Users_Key(const Lib_StringW& name, Owned_Key& key) {
    LSTATUS status = RegOpenKeyExW(HKEY_USERS, name.Get_Text(), 0, KEY_READ, key.Receive());
    if (status != ERROR_SUCCESS) key.Release();
    return status;
}

// The work in a hive loaded under the profile's SID (the user is logged on); its keys are backed up
// under that SID.
// The work in a hive loaded under hive_name; its keys are backed up under the profile's SID, with
// hive_file for a hive the run loaded. A failed work (the work reported it) is noted, since the
// profile's settings may still be there.
bool Work_In_Hive(const User_Profile& profile, const Lib_StringW& hive_name, const WCHAR* hive_file, HKEY root,
                  const std::function<bool(HKEY root)>& work, const Lib_Result& result) {
    Backup_Name_User_Hive(hive_name.Get_Text(), profile.sid.Get_Text(), hive_file);
    Changes().Name_Key(root, (TEXT("HKEY_USERS\\") + profile.sid).Get_Text());
    bool done = work(root);
    Changes().Forget_Key_Name(root);
    Backup_Name_User_Hive(hive_name.Get_Text(), nullptr, nullptr);
    if (!done)
        Not_Cleaned().push_back(User_Profile_Not_Cleaned{TEXT("HKEY_USERS\\") + profile.sid, TEXT("Unregister_Settings"),
                                                         LSTATUS(result.Get_Code())});
    return done;
}

void Note_Not_Loaded(const User_Profile& profile, const Lib_StringW& file, LSTATUS status, Lib_Result& result) {
    Lib_StringW shown = TEXT("HKEY_USERS\\") + profile.sid + TEXT(" (") + file + TEXT(")");
    Note_Not_Cleaned(shown, TEXT("RegLoadKey"), status, result);
    Log_Info_Detail(TEXT("Not cleaned (the hive could not be loaded): "), shown);
}

}  // namespace

bool List_User_Profiles(std::vector<User_Profile>& profiles, Lib_Result& result) {
    profiles.clear();
    Not_Cleaned().clear();
    Lib_String_List sids, values;
    if (!Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, Profile_List_Path, sids, values, result, 0)) {
        // reported by the enumeration; noted with its answer
        Not_Cleaned().push_back(User_Profile_Not_Cleaned{Profile_List_Path, TEXT("RegEnumKeyEx"),
                                                         LSTATUS(result.Get_Code())});
        return false;
    }
    Lib_StringW own_sid = Running_Account_Sid();
    bool all_read = true;
    for (const Lib_StringW& sid : sids) {
        if (Is_Service_Account(sid) || sid.Compare_No_Case(own_sid.Get_Text()) == 0 || Ends_With_No_Case(sid, TEXT(".bak")))
            continue;
        User_Profile profile;
        DWORD state = 0;
        profile.sid = sid;
        if (!Read_Profile_Entry(sid, state, profile.folder, result)) {
            all_read = false;
            continue;
        }
        if (state & (Profile_State_Temporary | Profile_State_Backup)) continue;
        profiles.push_back(profile);
    }
    return all_read;
}

bool With_User_Hive(const User_Profile& profile, const std::function<bool(HKEY root)>& work, Lib_Result& result) {
    Owned_Key root;
    LSTATUS status = Open_Users_Key(profile.sid, root);
    if (status == ERROR_SUCCESS) return Work_In_Hive(profile, profile.sid, nullptr, root.Get(), work, result);
    if (status != ERROR_FILE_NOT_FOUND) {
        Note_Not_Cleaned(TEXT("HKEY_USERS\\") + profile.sid, TEXT("RegOpenKeyEx"), status, result);
        return false;
    }

    Lib_StringW file;
    Combine_Path(profile.folder.Get_Text(), nullptr, Hive_File_Name, file);
    DWORD attributes = profile.folder.Is_Empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(file.Get_Text());
    DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    if (profile.folder.Is_Empty() || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        // RegLoadKeyW would create the file: a profile folder deleted by hand holds nothing of the product.
        Log_Info_Detail(TEXT("No user hive (the profile has no NTUSER.DAT): "), file);
        return true;
    }
    if (error != ERROR_SUCCESS) {
        // Whether the file is there is not known: loading it might make one.
        Note_Not_Cleaned(TEXT("HKEY_USERS\\") + profile.sid + TEXT(" (") + file + TEXT(")"), TEXT("GetFileAttributes"),
                         error, result);
        return false;
    }

    Hive_Privileges privileges;
    Loaded_User_Hive hive(Load_Name_Prefix + profile.sid);
    Log_Info_Detail(TEXT("Loading the user's hive: "), file);
    status = hive.Load(file);
    if (status == ERROR_SHARING_VIOLATION && Open_Users_Key(profile.sid, root) == ERROR_SUCCESS) {
        // The user logged on meanwhile: the hive is loaded under the SID now.
        return Work_In_Hive(profile, profile.sid, nullptr, root.Get(), work, result);
    }
    if (status != ERROR_SUCCESS) {
        Note_Not_Loaded(profile, file, status, result);
        return false;
    }
    Lib_StringW name = Load_Name_Prefix + profile.sid;
    status = Open_Users_Key(name, hive.Root());
    if (status != ERROR_SUCCESS) {
        Note_Not_Cleaned(TEXT("HKEY_USERS\\") + profile.sid, TEXT("RegOpenKeyEx"), status, result);
        hive.Unload();
        return false;
    }
    bool done = Work_In_Hive(profile, name, file.Get_Text(), hive.Root().Get(), work, result);
    return hive.Unload() && done;
}

const std::vector<User_Profile_Not_Cleaned>& User_Profiles_Not_Cleaned() { return Not_Cleaned(); }
