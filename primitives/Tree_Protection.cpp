#include "primitives/Tree_Protection.h"
#include "primitives/Restart_Chain.h"

#include <aclapi.h>
#include <string.h>

#include <deque>

#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Lib_String.h"
#include "primitives/File_Primitives.h"
#include "primitives/Folder_Safety.h"
#include "primitives/Live_Changes.h"
#include "primitives/Registry_Primitives.h"
#include "primitives/Security.h"

namespace {

const WCHAR Take_Ownership_Privilege[] = TEXT("SeTakeOwnershipPrivilege");
const DWORD Read_And_Run_Access = 0x001200A9;  // FILE_GENERIC_READ | FILE_GENERIC_EXECUTE

// The tree of the outermost removal under way (main thread only), whether it has been locked down
// already (or tried): once per tree, and whether that succeeded.
Lib_StringW* Current_Tree = nullptr;
bool Tree_Done = false;
bool Tree_Locked = false;

struct Lock_Down {
    // users_read: a tree that is kept for a program to run from it, which Users may read and run.
    explicit Lock_Down(bool users_read = false) : users_may_read(users_read), removing(!users_read) {}

    // Administrators and SYSTEM, full control (and Users read and run where they keep that), passed
    // on to everything below.
    Owned_Local<PACL> top_list;
    // After the list, so that they go before it: Administrators' first.
    Owned_Sid users;
    Owned_Sid system;
    Owned_Sid administrators;
    ACL empty_list;  // below the top: no entries of its own, only what the top passes on
    bool privilege_enabled = false;
    bool users_may_read = false;
    bool removing = true;  // the tree is being removed (else kept)
    bool failed = false;  // a step failed: the tree is not locked down

    void Report(const WCHAR* step, DWORD error) {
        failed = true;
        SetLastError(error);
        Report_System_Error(step, error);
    }

    // Makes Administrators the owner; an owner change that is refused is tried again with the
    // take-ownership privilege, which then stays enabled until the whole tree is done.
    void Set_Owner(WCHAR* path) {
        DWORD error = SetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, administrators.Get(),
                                            nullptr, nullptr, nullptr);
        if (error == ERROR_ACCESS_DENIED && !privilege_enabled) {
            if (!SetProcessPrivilege(Take_Ownership_Privilege, true)) {
                Report(TEXT("SetProcessPrivilege"), GetLastError());
                Report(TEXT("SetNamedSecurityInfo"), error);
                return;
            }
            privilege_enabled = true;
            error = SetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, administrators.Get(),
                                          nullptr, nullptr, nullptr);
        }
        if (error != ERROR_SUCCESS) Report(TEXT("SetNamedSecurityInfo"), error);
    }

    void Set_List(WCHAR* path, bool top) {
        SECURITY_INFORMATION information =
            DACL_SECURITY_INFORMATION |
            (top ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
        DWORD error = SetNamedSecurityInfoW(path, SE_FILE_OBJECT, information, nullptr, nullptr,
                                            top ? top_list.Get() : &empty_list, nullptr);
        if (error != ERROR_SUCCESS) Report(TEXT("SetNamedSecurityInfo"), error);
    }

    // The number of names of a file (hard links); 0 when it cannot be told (reported).
    DWORD Names_Of(const WCHAR* name) {
        Owned_Handle file(CreateFileW(name, FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.Is_Open()) {
            Report(TEXT("CreateFile"), GetLastError());
            return 0;
        }
        BY_HANDLE_FILE_INFORMATION information;
        memset(&information, 0, sizeof(information));
        if (!GetFileInformationByHandle(file.Get(), &information)) {
            DWORD error = GetLastError();
            file.Close();
            Report(TEXT("GetFileInformationByHandle"), error);
            return 0;
        }
        return information.nNumberOfLinks;
    }

    // One folder being listed: its search, and the entry it found last, not yet visited while
    // pending.
    struct Listing {
        Owned_Find_Handle search;
        WIN32_FIND_DATAW entry;
        bool pending = true;
    };

    // Starts the listing of the folder at path; false when there is nothing to list (a failure
    // other than a missing folder is reported).
    bool List(Walk_Path& path, std::deque<Listing>& listings) {
        Lib_StringW pattern;
        if (!path.For_Call(2, pattern)) return false;  // the listing adds "\*"
        pattern = pattern + TEXT("\\*");
        listings.emplace_back();
        Listing& listing = listings.back();
        memset(&listing.entry, 0, sizeof(listing.entry));
        listing.search = Owned_Find_Handle(FindFirstFileW(pattern.Get_Text(), &listing.entry));
        if (listing.search.Is_Open()) return true;
        DWORD error = GetLastError();
        listings.pop_back();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) Report(TEXT("FindFirstFile"), error);
        return false;
    }

    // Calls visit for every entry below the folder at path that is not a link (links are not
    // entered: their security by name would be their target's), with its path and whether it is a
    // folder, in listing order, a folder before its entries; a folder's entries are visited when
    // visit answers true for it. The folders being listed are kept on a list of their own, not on the
    // call stack: a tree may be as deep as the longest path allows.
    template <typename Visit>
    void For_Each_Entry(Walk_Path& path, Visit visit) {
        std::deque<Listing> listings;
        if (!List(path, listings)) return;
        while (!listings.empty()) {
            Listing& listing = listings.back();
            if (!listing.pending && !FindNextFileW(listing.search.Get(), &listing.entry)) {
                DWORD error = GetLastError();
                listings.pop_back();
                if (error != ERROR_NO_MORE_FILES) Report(TEXT("FindNextFile"), error);
                if (!listings.empty()) path.Leave();
                continue;
            }
            listing.pending = false;
            const WIN32_FIND_DATAW& entry = listing.entry;
            Lib_StringW child_name(entry.cFileName);
            bool dots = child_name.Compare(TEXT(".")) == 0 || child_name.Compare(TEXT("..")) == 0;
            if (dots || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
            bool is_folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            path.Enter(entry.cFileName);
            if (visit(path, is_folder) && is_folder && List(path, listings)) continue;
            path.Leave();
        }
    }

    // A file with other names (hard links) has one security for all of them, and Windows passes a
    // changed list on to it from the folder of any of its names: an ordinary user may have linked a
    // file from elsewhere into the tree, whose security the lock-down would then change. In a tree
    // being removed such a name goes first (its other names stay); a tree that is kept cannot be
    // locked down with one in it. Before any list is changed.
    void Other_Names(Walk_Path& tree) {
        For_Each_Entry(tree, [&](Walk_Path& child, bool is_folder) {
            if (is_folder) return true;
            Lib_StringW call_path;
            if (!child.For_Call(0, call_path)) {
                failed = true;
                return false;
            }
            DWORD names = Names_Of(call_path.Get_Text());
            if (names <= 1) return false;
            if (!removing) {
                Log_Info_Detail(TEXT("Security not changed (the file has other names): "), child.Shown());
                failed = true;
            } else if (DeleteFileW(call_path.Get_Text())) {
                ++Removed_So_Far().files;
                Log_Info_Detail(TEXT("Removed: "), child.Shown());
            } else {
                Report(TEXT("DeleteFile"), GetLastError());
            }
            return false;
        });
    }

    // Owner and list of an entry; true for a folder whose entries are to be done next. Each folder is
    // locked before its entries are visited, so that none of them can be replaced in between. A file
    // with other names that turned up since they were removed keeps its security.
    bool Entry(Walk_Path& path, bool folder, bool top) {
        Lib_StringW call_path;
        if (!path.For_Call(0, call_path)) return false;
        LibT_Buffer<WCHAR> name_buffer = call_path.To_Wide_Buffer();
        WCHAR* name = name_buffer.Get_Data();
        if (!folder) {
            DWORD names = Names_Of(name);
            if (names == 0) return false;  // reported
            if (names > 1) {
                Log_Info_Detail(TEXT("Security not changed (the file has other names): "), path.Shown());
                failed = true;
                return false;
            }
        }
        // A kept tree is trusted once locked down: an entry that someone else owns keeps its owner
        // and fails the lock-down, so that nothing another account made passes for the tool's.
        Lib_StringW reason;
        if (!removing && SC_Check_Owner(path.Shown().Get_Text(), reason) != SC_Path_Safe) {
            Log_Info_Detail(Lib_StringW(TEXT("Security not changed (")) + reason + TEXT("): "), path.Shown());
            failed = true;
            return false;
        }
        Set_Owner(name);
        Set_List(name, top);
        return folder;
    }

    // Locks the tree down; false when it could not be done whole (each failure is reported).
    bool Run(const Lib_StringW& tree_path) {
        Walk_Path tree(tree_path.Get_Text());
        Lib_StringW top_path;
        if (!tree.For_Call(0, top_path)) return false;
        // The top is held open (not followed if it is a link) while it is worked on, so that it
        // cannot be renamed and swapped for a link: opened for listing without delete sharing (an
        // open asking for no data access would hold nobody back). A top that cannot be held is not
        // locked down by name, and a top that is a link is left alone.
        Owned_Handle top(CreateFileW(top_path.Get_Text(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!top.Is_Open()) {
            Report(TEXT("CreateFile"), GetLastError());
            return false;
        }
        BY_HANDLE_FILE_INFORMATION information;
        memset(&information, 0, sizeof(information));
        if (!GetFileInformationByHandle(top.Get(), &information)) {
            Report(TEXT("GetFileInformationByHandle"), GetLastError());
        } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                   !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            Lists_And_Tree(tree);
        } else {
            failed = true;
        }
        return !failed;
    }

    // The SIDs of the lists; false when one cannot be made (reported).
    bool Make_Sids() {
        if (Make_Account_Sid(Nt_Account::Administrators, administrators) &&
            Make_Account_Sid(Nt_Account::Local_System, system) && Make_Account_Sid(Nt_Account::Users, users)) {
            return true;
        }
        Report(TEXT("AllocateAndInitializeSid"), GetLastError());
        return false;
    }

    // The top's list; false when it cannot be built (reported).
    bool Make_Top_List() {
        const Access_Grant grants[] = {{administrators.Get(), TRUSTEE_IS_GROUP, Full_File_Access},
                                       {system.Get(), TRUSTEE_IS_USER, Full_File_Access},
                                       {users.Get(), TRUSTEE_IS_GROUP, Read_And_Run_Access}};
        DWORD error = Build_Access_List(grants, users_may_read ? 3 : 2, SUB_CONTAINERS_AND_OBJECTS_INHERIT, top_list);
        if (error != ERROR_SUCCESS) {
            Report(TEXT("SetEntriesInAcl"), error);
            return false;
        }
        return true;
    }

    void Lists_And_Tree(Walk_Path& tree) {
        Other_Names(tree);
        if (failed || !Make_Sids() || !Make_Top_List()) return;
        // An empty list of its own (never a missing one, which would give everyone every right).
        memset(&empty_list, 0, sizeof(empty_list));
        empty_list.AclRevision = ACL_REVISION;
        empty_list.AclSize = sizeof(ACL);
        if (Entry(tree, true, true))
            For_Each_Entry(tree, [&](Walk_Path& entry, bool is_folder) { return Entry(entry, is_folder, false); });
    }

    // A link that waits for the restart, changed through a handle opened on the link itself (its
    // security by name would be its target's): owner Administrators and the top's list, so that its
    // maker can no longer point it elsewhere. False when that could not be done (reported).
    bool Link(const WCHAR* path) {
        Owned_Handle link(CreateFileW(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!link.Is_Open()) {
            Report(TEXT("CreateFile"), GetLastError());
            return false;
        }
        if (Make_Sids() && Make_Top_List()) {
            DWORD error = SetSecurityInfo(link.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, administrators.Get(),
                                          nullptr, nullptr, nullptr);
            if (error == ERROR_ACCESS_DENIED && !privilege_enabled) {
                if (SetProcessPrivilege(Take_Ownership_Privilege, true)) {
                    privilege_enabled = true;
                    error = SetSecurityInfo(link.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                            administrators.Get(), nullptr, nullptr, nullptr);
                } else {
                    Report(TEXT("SetProcessPrivilege"), GetLastError());
                }
            }
            if (error != ERROR_SUCCESS) Report(TEXT("SetSecurityInfo"), error);
            error = SetSecurityInfo(link.Get(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    top_list.Get(), nullptr);
            if (error != ERROR_SUCCESS) Report(TEXT("SetSecurityInfo"), error);
        }
        return !failed;
    }

    ~Lock_Down() {
        if (privilege_enabled && !SetProcessPrivilege(Take_Ownership_Privilege, false))
            Report(TEXT("SetProcessPrivilege"), GetLastError());
    }
};

}  // namespace

// The deepest folder whose chain was found safe for a restart deletion inside the current tree.
static Lib_StringW Safe_Chain;

Tree_Protection_Scope::Tree_Protection_Scope(const WCHAR* folder) : outermost_(Current_Tree == nullptr) {
    if (!outermost_) return;
    Current_Tree = new Lib_StringW(folder);
    Tree_Done = false;
    Safe_Chain.Clear();
}

Tree_Protection_Scope::~Tree_Protection_Scope() {
    if (!outermost_) return;
    delete Current_Tree;
    Current_Tree = nullptr;
    Safe_Chain.Clear();
}

bool Restart_Chain_Known_Safe(const Lib_StringW& folder) {
    if (Current_Tree == nullptr || Safe_Chain.Is_Empty() || folder.Is_Empty()) return false;
    const long long length = folder.Get_Length();
    if (length > Safe_Chain.Get_Length()) return false;
    if (length < Safe_Chain.Get_Length() && Safe_Chain.Get_Text()[length] != TEXT('\\')) return false;
    return Safe_Chain.Mid(0, length).Compare_No_Case(folder.Get_Text()) == 0;
}

void Note_Safe_Restart_Chain(const Lib_StringW& folder) {
    if (Current_Tree != nullptr) Safe_Chain = folder;
}

bool Protect_Tree_Before_Restart_Deletion() {
    if (Current_Tree == nullptr) return true;
    if (Tree_Done) return Tree_Locked;
    Tree_Done = true;
    DWORD last_error = GetLastError();
    {
        Lock_Down lock_down;
        Tree_Locked = lock_down.Run(*Current_Tree);
    }
    SetLastError(last_error);
    return Tree_Locked;
}

bool Live_Changes::Lock_Down_Kept_Folder(const WCHAR* folder) {
    DWORD last_error = GetLastError();
    bool locked = false;
    {
        Lock_Down lock_down(true);
        locked = lock_down.Run(Lib_StringW(folder));
    }
    SetLastError(last_error);
    return locked;
}

bool Lock_Down_Link(const WCHAR* path) {
    DWORD last_error = GetLastError();
    bool locked = false;
    {
        Lock_Down lock_down;
        locked = lock_down.Link(path);
    }
    SetLastError(last_error);
    return locked;
}
