#include "primitives/Folder_Safety.h"

#include <aclapi.h>
#include <string.h>

#include <vector>

#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"
#include "primitives/File_Primitives.h"
#include "primitives/Security.h"

namespace {

const BYTE Nt_Authority = 5;
const BYTE World_Authority = 1;
const BYTE Creator_Authority = 3;

// Rights that let their holder take an entry away or put another in its place.
const DWORD Delete_Rights = DELETE;
const DWORD Owner_Rights = WRITE_OWNER;
const DWORD List_Rights = WRITE_DAC;
const DWORD Program_File_Rights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;
// Rights on a folder of a kept tree that let their holder change what is in it; adding entries is
// told apart (a lock-down closes it, and nothing of what is there is changed by it).
const DWORD Kept_Folder_Rights = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
const DWORD Add_Rights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;

// A SID given by its authority and sub-authorities.
struct Known_Sid {
    BYTE authority;
    std::vector<DWORD> rids;
    const WCHAR* name;  // how the log names it; null: its SID text
};

const Known_Sid Trusted_Sids[] = {
    {Nt_Authority, {SECURITY_LOCAL_SYSTEM_RID}, nullptr},
    {Nt_Authority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}, nullptr},
    // TrustedInstaller, the owner of Windows' own folders.
    {Nt_Authority, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}, nullptr},
#ifdef VP_TRUST_WINE_USER
    // The Wine user, whom Wine makes the owner of every file and folder. Only the Wine checks'
    // executable (vpRemovalTool-wine-test.exe, and vpsim-wine-test) is built with this entry, from an
    // object of its own; the tool's executable never is (CMakeLists.txt).
    {Nt_Authority, {21, 0, 0, 0, 1000}, nullptr},
#endif
};
// Entries for these take effect for nobody else: CREATOR OWNER is replaced by the creator when an
// entry is made, OWNER RIGHTS stands for the owner, who is one of the trusted.
const Known_Sid Owner_Placeholders[] = {
    {Creator_Authority, {0}, nullptr},
    {Creator_Authority, {4}, nullptr},
};
const Known_Sid Named_Sids[] = {
    {Nt_Authority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}, TEXT("Users")},
    {Nt_Authority, {11}, TEXT("Authenticated Users")},
    {World_Authority, {0}, TEXT("Everyone")},
    {Nt_Authority, {4}, TEXT("INTERACTIVE")},
};

bool Is_Sid(const SID* sid, const Known_Sid& known) {
    if (sid->SubAuthorityCount != known.rids.size()) return false;
    for (int i = 0; i < 5; ++i) {
        if (sid->IdentifierAuthority.Value[i] != 0) return false;
    }
    if (sid->IdentifierAuthority.Value[5] != known.authority) return false;
    for (size_t i = 0; i < known.rids.size(); ++i) {
        if (sid->SubAuthority[i] != known.rids[i]) return false;
    }
    return true;
}

template <size_t N>
bool Is_Any(const SID* sid, const Known_Sid (&table)[N]) {
    for (const Known_Sid& known : table) {
        if (Is_Sid(sid, known)) return true;
    }
    return false;
}

// "Users", ... or the SID's text form ("S-1-5-21-...").
Lib_StringW Sid_Name(const SID* sid) {
    for (const Known_Sid& known : Named_Sids) {
        if (Is_Sid(sid, known)) return known.name;
    }
    return Sid_Text(sid);
}

// A SID that lies wholly within `size` bytes at `sid`.
bool Sid_Fits(const SID* sid, size_t size) {
    return size >= 8 && size >= 8 + 4 * static_cast<size_t>(sid->SubAuthorityCount);
}

// Generic rights as they apply to files and folders.
DWORD File_Rights(DWORD mask) {
    DWORD rights = mask & ~static_cast<DWORD>(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
    if (mask & GENERIC_ALL) rights |= 0x001F01FF;    // FILE_ALL_ACCESS
    if (mask & GENERIC_WRITE) rights |= 0x00120116;  // FILE_GENERIC_WRITE
    return rights;
}

// What a forbidden right lets its holder do, in the order the log prefers them.
struct Right_Text {
    DWORD right;
    const WCHAR* text;
};
const Right_Text Right_Texts[] = {
    {Delete_Rights, TEXT("delete it")},
    {FILE_DELETE_CHILD, TEXT("delete what is in it")},
    {Owner_Rights, TEXT("change its owner")},
    {List_Rights, TEXT("change its access list")},
    {FILE_WRITE_DATA, TEXT("change it or add files to it")},
    {FILE_APPEND_DATA, TEXT("change it or add folders to it")},
};

// The owner and access list of an open entry: trusted owner, and no forbidden right for anyone but
// the trusted. False with the reason (shown is the entry's path as the log names it).
bool Check_Security(HANDLE entry, const Lib_StringW& shown, DWORD forbidden, Lib_StringW& reason) {
    PSID owner = nullptr;
    PACL list = nullptr;
    Owned_Local<PSECURITY_DESCRIPTOR> descriptor;
    DWORD error = GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  &owner, nullptr, &list, nullptr, descriptor.Receive());
    if (error != ERROR_SUCCESS) {
        Report_System_Error(TEXT("GetSecurityInfo"), error);
        reason = shown + TEXT(" cannot be checked");
        return false;
    }
    bool safe = true;
    const SID* owner_sid = static_cast<const SID*>(owner);
    if (owner_sid == nullptr || !Is_Any(owner_sid, Trusted_Sids)) {
        reason = shown + TEXT(" is owned by ") + (owner_sid ? Sid_Name(owner_sid) : Lib_StringW(TEXT("nobody")));
        safe = false;
    } else if (list == nullptr) {
        reason = shown + TEXT(" has no access list (everyone may do anything)");
        safe = false;
    } else {
        const BYTE* base = reinterpret_cast<const BYTE*>(list);
        size_t at = sizeof(ACL);
        for (WORD index = 0; safe && index < list->AceCount; ++index) {
            const ACE_HEADER* header = reinterpret_cast<const ACE_HEADER*>(base + at);
            if (at + sizeof(ACE_HEADER) > list->AclSize || header->AceSize < sizeof(ACE_HEADER) ||
                at + header->AceSize > list->AclSize) {
                reason = shown + TEXT(" has an access list that cannot be read");
                safe = false;
                break;
            }
            at += header->AceSize;
            if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for what is created below, not for it
            if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE) continue;
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
                if (header->AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE || header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                    header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
                    reason = shown + TEXT(" has an access entry that cannot be checked");
                    safe = false;
                }
                continue;  // audit, label and other entries grant nothing
            }
            const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
            const SID* sid = reinterpret_cast<const SID*>(&ace->SidStart);
            if (header->AceSize < 8 || !Sid_Fits(sid, header->AceSize - 8u)) {
                reason = shown + TEXT(" has an access list that cannot be read");
                safe = false;
                break;
            }
            if (Is_Any(sid, Trusted_Sids) || Is_Any(sid, Owner_Placeholders)) continue;
            DWORD granted = File_Rights(ace->Mask) & forbidden;
            for (const Right_Text& right : Right_Texts) {
                if (granted & right.right) {
                    reason = shown + TEXT(" lets ") + Sid_Name(sid) + TEXT(" ") + right.text;
                    safe = false;
                    break;
                }
            }
        }
    }
    return safe;
}

// An entry opened as itself (a link is not followed), with what the security check needs.
class Open_Entry {
public:
    explicit Open_Entry(const Lib_StringW& path)
        : handle_(CreateFileW(Call_Path(path).Get_Text(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)),
          error_(handle_.Is_Open() ? ERROR_SUCCESS : GetLastError()) {}

    // Opens and reads the attributes: Safe when the entry is there and they could be read.
    SC_Path_State State(const Lib_StringW& shown, DWORD& attributes, Lib_StringW& reason) {
        if (!handle_.Is_Open()) {
            if (error_ == ERROR_FILE_NOT_FOUND || error_ == ERROR_PATH_NOT_FOUND) return SC_Path_Missing;
            Report_System_Error(TEXT("CreateFile"), error_);
            reason = shown + TEXT(" cannot be checked");
            return SC_Path_Unsafe;
        }
        BY_HANDLE_FILE_INFORMATION information = {};
        if (!GetFileInformationByHandle(handle_.Get(), &information)) {
            Report_System_Error(TEXT("GetFileInformationByHandle"), GetLastError());
            reason = shown + TEXT(" cannot be checked");
            return SC_Path_Unsafe;
        }
        attributes = information.dwFileAttributes;
        links_ = information.nNumberOfLinks;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            reason = shown + TEXT(" is a junction or symbolic link");
            return SC_Path_Unsafe;
        }
        return SC_Path_Safe;
    }
    HANDLE Get() const { return handle_.Get(); }
    DWORD Links() const { return links_; }

private:
    // Paths that reach MAX_PATH are given in the extended form.
    static Lib_StringW Call_Path(const Lib_StringW& path) {
        return path.Get_Length() < MAX_PATH ? path : SC_Extended_Path(path.Get_Text());
    }

    Owned_Handle handle_;
    DWORD error_;
    DWORD links_ = 0;
};

// The drive root ("C:\") and the names below it of a full path, which may be given in the extended
// form ("\\?\C:\..."). False for any other form, and for a "." or ".." among the names.
bool Split_Full_Path(const WCHAR* path, Lib_StringW& root, std::vector<Lib_StringW>& names) {
    Lib_StringW text(path);
    const WCHAR* at = text.Get_Text();
    if (at[0] == TEXT('\\') && at[1] == TEXT('\\') && at[2] == TEXT('?') && at[3] == TEXT('\\')) at += 4;
    WCHAR letter = at[0];
    bool is_letter = (letter >= TEXT('A') && letter <= TEXT('Z')) || (letter >= TEXT('a') && letter <= TEXT('z'));
    if (!is_letter || at[1] != TEXT(':') || (at[2] != TEXT('\\') && at[2] != TEXT('/'))) return false;
    const WCHAR drive[] = {letter, TEXT(':'), TEXT('\\'), 0};
    root = drive;
    names.clear();
    std::vector<WCHAR> name;
    for (const WCHAR* c = at + 3;; ++c) {
        if (*c == 0 || *c == TEXT('\\') || *c == TEXT('/')) {
            if (!name.empty()) {
                name.push_back(0);
                Lib_StringW part(name.data());
                if (part.Compare(TEXT(".")) == 0 || part.Compare(TEXT("..")) == 0) return false;
                names.push_back(part);
                name.clear();
            }
            if (*c == 0) break;
        } else {
            name.push_back(*c);
        }
    }
    return true;
}

}  // namespace

SC_Path_State SC_Check_Folder_Chain(const WCHAR* folder, DWORD last_folder_rights, Lib_StringW& reason) {
    Lib_StringW path;
    std::vector<Lib_StringW> names;
    if (!Split_Full_Path(folder, path, names)) {
        reason = Lib_StringW(folder) + TEXT(" is not a plain path on a local drive");
        return SC_Path_Unsafe;
    }
    for (size_t level = 0; level <= names.size(); ++level) {
        if (level > 0) path = level == 1 ? path + names[0] : path + TEXT("\\") + names[level - 1];
        const bool last = level == names.size();
        Open_Entry entry(path);
        DWORD attributes = 0;
        SC_Path_State state = entry.State(path, attributes, reason);
        if (state != SC_Path_Safe) return state;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            reason = path + TEXT(" is not a folder");
            return SC_Path_Unsafe;
        }
        DWORD forbidden = Delete_Rights | Owner_Rights | List_Rights | (last ? last_folder_rights : FILE_DELETE_CHILD);
        if (!Check_Security(entry.Get(), path, forbidden, reason)) return SC_Path_Unsafe;
    }
    return SC_Path_Safe;
}

SC_Path_State SC_Check_Tree(const WCHAR* folder, bool closed, bool whole, Lib_StringW& reason) {
    // Whether others may add entries is told only when nothing worse was found.
    Lib_StringW open_reason;
    // Checks one entry as it is found; folders are kept to be listed (no recursion: a tree may be
    // deep).
    std::vector<Lib_StringW> folders;
    auto Check_Entry = [&](const Lib_StringW& path, bool top) {
        Open_Entry entry(path);
        DWORD attributes = 0;
        SC_Path_State state = entry.State(path, attributes, reason);
        if (state == SC_Path_Missing && !top) {
            reason = path + TEXT(" went while it was checked");
            return SC_Path_Unsafe;
        }
        if (state != SC_Path_Safe) return state;
        const bool is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (top && !is_folder) {
            reason = path + TEXT(" is not a folder");
            return SC_Path_Unsafe;
        }
        if (!is_folder && entry.Links() > 1) {
            reason = path + TEXT(" has other names (hard links)");
            return SC_Path_Unsafe;
        }
        if (!Check_Security(entry.Get(), path, is_folder ? Kept_Folder_Rights : Program_File_Rights, reason))
            return SC_Path_Unsafe;
        if (is_folder) {
            Lib_StringW why;
            if (open_reason.Is_Empty() && !Check_Security(entry.Get(), path, Add_Rights, why)) open_reason = why;
            if (top || whole) folders.push_back(path);
        }
        return SC_Path_Safe;
    };
    SC_Path_State state = Check_Entry(Lib_StringW(folder), true);
    while (state == SC_Path_Safe && !folders.empty()) {
        Lib_StringW current = folders.back();
        folders.pop_back();
        Lib_StringW pattern = current + TEXT("\\*");
        if (pattern.Get_Length() >= MAX_PATH) pattern = SC_Extended_Path(pattern.Get_Text());
        WIN32_FIND_DATAW found;
        memset(&found, 0, sizeof(found));
        Owned_Find_Handle search(FindFirstFileW(pattern.Get_Text(), &found));
        if (!search.Is_Open()) {
            Report_System_Error(TEXT("FindFirstFile"), GetLastError());
            reason = current + TEXT(" cannot be checked");
            return SC_Path_Unsafe;
        }
        do {
            Lib_StringW name(found.cFileName);
            if (name.Compare(TEXT(".")) == 0 || name.Compare(TEXT("..")) == 0) continue;
            state = Check_Entry(current + TEXT("\\") + name, false);
        } while (state == SC_Path_Safe && FindNextFileW(search.Get(), &found));
        if (state != SC_Path_Safe) return state;
        DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES) {
            Report_System_Error(TEXT("FindNextFile"), error);
            reason = current + TEXT(" cannot be checked");
            return SC_Path_Unsafe;
        }
    }
    if (state == SC_Path_Safe && closed && !open_reason.Is_Empty()) {
        reason = open_reason;
        return SC_Path_Unsafe;
    }
    return state;
}

SC_Path_State SC_Check_Owner(const WCHAR* path, Lib_StringW& reason) {
    Lib_StringW shown(path);
    Open_Entry entry(shown);
    DWORD attributes = 0;
    SC_Path_State state = entry.State(shown, attributes, reason);
    if (state != SC_Path_Safe) return state;
    PSID owner = nullptr;
    Owned_Local<PSECURITY_DESCRIPTOR> descriptor;
    DWORD error = GetSecurityInfo(entry.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                  nullptr, descriptor.Receive());
    if (error != ERROR_SUCCESS) {
        Report_System_Error(TEXT("GetSecurityInfo"), error);
        reason = shown + TEXT(" cannot be checked");
        return SC_Path_Unsafe;
    }
    const SID* owner_sid = static_cast<const SID*>(owner);
    if (owner_sid != nullptr && Is_Any(owner_sid, Trusted_Sids)) return SC_Path_Safe;
    reason = shown + TEXT(" is owned by ") + (owner_sid ? Sid_Name(owner_sid) : Lib_StringW(TEXT("nobody")));
    return SC_Path_Unsafe;
}

SC_Path_State SC_Check_Program(const WCHAR* program, Lib_StringW& reason) {
    Lib_StringW folder = SC_Folder_Of(program);
    if (folder.Is_Empty()) {
        reason = Lib_StringW(program) + TEXT(" is not a full path");
        return SC_Path_Unsafe;
    }
    // The chain, the program, then what is beside it (a library beside a program is loaded by it):
    // owned by the trusted and closed to everyone else.
    SC_Path_State state = SC_Check_Folder_Chain(folder.Get_Text(), 0, reason);
    if (state != SC_Path_Safe) return state;
    Lib_StringW path(program);
    Open_Entry entry(path);
    DWORD attributes = 0;
    state = entry.State(path, attributes, reason);
    if (state != SC_Path_Safe) return state;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        reason = path + TEXT(" is not a file");
        return SC_Path_Unsafe;
    }
    // Another name of the file may lie where others can reach it.
    if (entry.Links() > 1) {
        reason = path + TEXT(" has other names (hard links)");
        return SC_Path_Unsafe;
    }
    if (!Check_Security(entry.Get(), path, Program_File_Rights, reason)) return SC_Path_Unsafe;
    return SC_Check_Tree(folder.Get_Text(), true, false, reason);
}

bool SC_Is_Trusted_Owner(PSID owner) {
    return owner != nullptr && Is_Any(static_cast<const SID*>(owner), Trusted_Sids);
}

Lib_StringW SC_Folder_Of(const WCHAR* path) {
    Lib_StringW text(path);
    long long separator = text.Reverse_Find(TEXT('\\'));
    if (separator <= 0) return Lib_StringW();
    // The folder of an entry directly in a drive's root is the root itself ("C:\").
    if (separator == 2 && text.Get_Text()[1] == TEXT(':')) return text.Mid(0, 3);
    return text.Mid(0, separator);
}
