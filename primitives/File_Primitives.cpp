#include "primitives/File_Primitives.h"

#include <shlobj.h>

#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Lib_Path.h"
#include "primitives/Folder_Safety.h"
#include "primitives/Live_Changes.h"
#include "primitives/Registry_Primitives.h"
#include "primitives/Restart_Chain.h"
#include "primitives/Tree_Protection.h"

#include <deque>
#include <vector>

// Only a folder that is a junction or a folder symbolic link is removed as a link. A file that is a
// reparse point (a file symbolic link) goes through the ordinary file deletion, which removes the
// link itself as well.
bool SC_Is_Folder_Link(DWORD attributes) {
    const DWORD both = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & both) == both;
}

namespace {

// Attempts after the first failed deletion of an access-denied file, and the pause between them.
const int Delete_Retries = 10;
const DWORD Delete_Retry_Pause_Ms = 2000;
// The whole run pauses at most this long for refused deletions: anyone who can keep many files of a
// removable tree from being deleted would otherwise stretch the run by the retries of each. Once it
// is spent, each further file is tried once.
const DWORD Delete_Retry_Budget_Ms = 60000;
DWORD Delete_Retry_Waited_Ms = 0;  // main thread only, as every deletion
unsigned Restart_Deletions = 0;    // scheduled by this run, main thread only

// Counts one entry removed; true, the removal's result.
bool Count_Removed(unsigned& count) {
    ++count;
    return true;
}

// Pauses before the next try of a refused deletion; false, without pausing, once the run's waiting
// is spent (logged the first time).
bool Pause_Before_Retry() {
    if (Delete_Retry_Waited_Ms >= Delete_Retry_Budget_Ms) return false;
    Sleep(Delete_Retry_Pause_Ms);
    Delete_Retry_Waited_Ms += Delete_Retry_Pause_Ms;
    if (Delete_Retry_Waited_Ms >= Delete_Retry_Budget_Ms) {
        Log_Info(TEXT("The run has waited 60 seconds in all for refused deletions: each further file is tried once more, without waiting."));
    }
    return true;
}

void Record(Lib_Result& result, DWORD error) { result.Set(static_cast<int32_t>(error), Lib_Result_Source_System); }

bool Is_Missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

bool SC_List_Folder(const WCHAR* folder, Wide_Name_List& names, Lib_Result& result) {
    Lib_StringW pattern = Lib_StringW(folder) + TEXT("\\*");
    WIN32_FIND_DATAW entry = {};
    Owned_Find_Handle search(FindFirstFileW(pattern.Get_Text(), &entry));
    if (!search.Is_Open()) {
        DWORD error = GetLastError();
        if (Is_Missing(error)) return true;
        Report_System_Error(TEXT("FindFirstFile"), error);
        return false;
    }
    for (;;) {
        Lib_StringW name(entry.cFileName);
        if (name.Compare(TEXT(".")) != 0 && name.Compare(TEXT("..")) != 0) names.push_back(entry.cFileName);
        if (!FindNextFileW(search.Get(), &entry)) break;
    }
    DWORD error = GetLastError();
    search.Close();
    if (error == ERROR_NO_MORE_FILES) return true;
    Report_System_Error(TEXT("FindNextFile"), error);
    Record(result, error);
    return false;
}

namespace {

bool Delete_On_Reboot(const WCHAR* path, const WCHAR* shown, Lib_Result& result);

// path is what the calls are given, shown what the log names.
bool Delete_File_Retrying(const WCHAR* path, const WCHAR* shown, bool& reboot_required, Lib_Result& result) {
    if (DeleteFileW(path)) return Count_Removed(Removed_So_Far().files);
    DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION) {
        if (error != ERROR_ACCESS_DENIED) return false;

        Trace_Enter_Scope(TEXT("Check_Read_Only_File_Attributes"));
        DWORD attributes = 0;
        if (!SC_Get_File_Attributes(path, attributes, result)) {
            // The attribute read's own error value, kept by its report.
            DWORD attribute_error = GetLastError();
            Report_System_Error(TEXT("SC_Get_File_Attributes"), attribute_error);
            Record(result, attribute_error);
            Trace_Exit_Scope(TEXT("Check_Read_Only_File_Attributes"));
            return false;
        }
        bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        Trace_Exit_Scope(TEXT("Check_Read_Only_File_Attributes"));

        if (read_only) {
            Trace_Enter_Scope(TEXT("Remove_Read_Only_File_Attributes"));
            bool cleared = SC_Get_File_Attributes(path, attributes, result);
            if (cleared && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
                if (!SetFileAttributesW(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
                    DWORD set_error = GetLastError();
                    Report_System_Error(TEXT("SetFileAttributes"), set_error);
                    Record(result, set_error);
                    cleared = false;
                }
            }
            Trace_Exit_Scope(TEXT("Remove_Read_Only_File_Attributes"));
            if (!cleared) return false;
        }

        for (int attempt = 1; attempt <= Delete_Retries; ++attempt) {
            if (DeleteFileW(path)) return Count_Removed(Removed_So_Far().files);
            error = GetLastError();
            if (attempt == Delete_Retries || !Pause_Before_Retry()) break;
        }
    }

    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
        bool scheduled = Delete_On_Reboot(path, shown, result);
        if (scheduled) reboot_required = true;
        return scheduled;
    }
    Report_System_Error(TEXT("DeleteFile"), error);
    Record(result, error);
    return false;
}

}  // namespace

void SC_Reset_Delete_Waiting() {
    Delete_Retry_Waited_Ms = 0;
    Restart_Deletions = 0;
    Removed_So_Far() = Removal_Counts();
}

unsigned SC_Restart_Deletions_Scheduled() { return Restart_Deletions; }

bool SC_Get_File_Attributes(const WCHAR* path, DWORD& attributes, Lib_Result& result) {
    attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        Report_System_Error(TEXT("GetFileAttributes"), error);
        Record(result, error);
        return false;
    }
    return true;
}

SC_Object_State SC_Is_File_System_Object_Exists(const WCHAR* path) {
    bool exists = false;
    if (Changes().Known_Path_State(path, exists)) return exists ? SC_Object_Exists : SC_Object_Missing;
    Owned_Handle handle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD error = GetLastError();
    if (handle.Is_Open()) return SC_Object_Exists;
    if (Is_Missing(error)) return SC_Object_Missing;
    Report_System_Error(TEXT("CreateFile"), error);
    return SC_Object_Failed;
}

bool SC_Find_Files(const WCHAR* folder, Wide_Name_List& names, Lib_Result& result) {
    Log_Indent();
    size_t first = names.size();
    bool listed = SC_List_Folder(folder, names, result);
    Log_Unindent();
    if (listed) Changes().Drop_Deleted_Entries(folder, names, first);
    return listed;
}

bool SC_Is_Directory_Empty(const WCHAR* folder, bool& empty, Lib_Result& result) {
    empty = false;
    Wide_Name_List names;
    if (!SC_Find_Files(folder, names, result)) return false;
    empty = names.empty();
    return true;
}

bool Live_Changes::SC_Delete_File_On_Reboot(const WCHAR* path, Lib_Result& result) {
    return Delete_On_Reboot(path, path, result);
}

namespace {

// Whether a deletion may wait for the restart: it is carried out at boot by name, with the system's
// rights, so the folders of its path must be beyond ordinary users' reach (a tree being removed is
// locked down first), and a link that waits is locked down itself so that its maker cannot point it
// elsewhere. Missing: the path's folder is gone, so nothing is there to schedule.
SC_Path_State Check_Restart_Deletion(const WCHAR* path, const WCHAR* shown) {
    Lib_StringW reason;
    SC_Path_State state = SC_Path_Unsafe;
    if (!Protect_Tree_Before_Restart_Deletion()) {
        reason = TEXT("the folder tree could not be locked down");
    } else {
        Lib_StringW folder = SC_Folder_Of(path);
        if (folder.Is_Empty()) {
            reason = Lib_StringW(shown) + TEXT(" is not a full path");
        } else if (Restart_Chain_Known_Safe(folder)) {
            state = SC_Path_Safe;
        } else {
            state = SC_Check_Folder_Chain(folder.Get_Text(), 0, reason);
            if (state == SC_Path_Safe) Note_Safe_Restart_Chain(folder);
        }
        if (state == SC_Path_Safe) {
            DWORD attributes = GetFileAttributesW(path);
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                DWORD error = GetLastError();
                if (Is_Missing(error)) {
                    state = SC_Path_Missing;
                } else {
                    Report_System_Error(TEXT("GetFileAttributes"), error);
                    reason = Lib_StringW(shown) + TEXT(" cannot be checked");
                    state = SC_Path_Unsafe;
                }
            } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !Lock_Down_Link(path)) {
                reason = Lib_StringW(shown) + TEXT(" is a link that could not be locked down");
                state = SC_Path_Unsafe;
            }
        }
    }
    if (state == SC_Path_Unsafe) {
        Log_Info(Lib_StringW(TEXT("Not scheduled for deletion at the restart (")) + reason + TEXT("): ") + shown);
    }
    return state;
}

bool Delete_On_Reboot(const WCHAR* path, const WCHAR* shown, Lib_Result& result) {
    Log_Indent();
    bool scheduled = false;
    SC_Path_State state = Check_Restart_Deletion(path, shown);
    if (state == SC_Path_Missing) {
        // Already gone: nothing was scheduled.
        Log_Info_Detail(TEXT("Deleted:"), shown);
    } else if (state == SC_Path_Safe) {
        if (MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            Log_Info_Detail(TEXT("Deleted:"), shown);
            scheduled = true;
            ++Restart_Deletions;
        } else {
            DWORD error = GetLastError();
            if (Is_Missing(error)) {
                // Already gone: nothing was scheduled.
                Log_Info_Detail(TEXT("Deleted:"), shown);
            } else {
                Report_System_Error(TEXT("MoveFileEx"), error);
                Record(result, error);
            }
        }
    }
    Log_Unindent();
    return scheduled;
}

}  // namespace

bool Live_Changes::SC_Delete_File(const WCHAR* path, bool& reboot_required, Lib_Result& result) {
    Log_Indent();
    bool deleted = Delete_File_Retrying(path, path, reboot_required, result);
    Log_Unindent();
    return deleted;
}

Lib_StringW SC_Extended_Path(const WCHAR* full_path) {
    Lib_StringW full(full_path);
    const WCHAR* text = full.Get_Text();
    // Already in a form that Windows takes as it is ("\\?\...", or a device path "\\.\...").
    if (text[0] == TEXT('\\') && text[1] == TEXT('\\') && (text[2] == TEXT('?') || text[2] == TEXT('.')) &&
        text[3] == TEXT('\\'))
        return full;
    // "\\server\share\..." becomes "\\?\UNC\server\share\...".
    if (text[0] == TEXT('\\') && text[1] == TEXT('\\')) return Lib_StringW(TEXT("\\\\?\\UNC\\")) + (text + 2);
    return Lib_StringW(TEXT("\\\\?\\")) + full;
}

namespace {

// Removes a folder link itself; what it points to is left as it is. A link in use is handled as a
// folder in use: with defer it is scheduled for deletion at the next restart.
bool Remove_Folder_Link(const WCHAR* path, const WCHAR* shown, bool defer, Lib_Result& result) {
    if (RemoveDirectoryW(path)) {
        Count_Removed(Removed_So_Far().folders);
        Log_Info_Detail(TEXT("Removed: "), shown);
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
        if (!defer) return false;
        if (Delete_On_Reboot(path, shown, result)) {
            Log_Info_Detail(TEXT("Removed: "), shown);
            return true;
        }
        Log_Info_Detail(TEXT("Removed failed!!!: "), shown);
        return false;
    }
    Report_System_Error(TEXT("RemoveDirectory"), error);
    Record(result, error);
    return false;
}

// A folder of a tree being removed: held open from its check until its contents are done, its
// entries as listed, the next one to remove, and whether a deletion below it waits for the restart.
struct Removed_Folder {
    Owned_Handle held;
    Wide_Name_List names;
    size_t next = 0;
    bool reboot = false;
};

enum Folder_Opening { Folder_Opened, Folder_Gone, Folder_Failed };

// Checks and holds the folder at path and lists it. Gone: it was not there, or it was a link and is
// removed as one.
Folder_Opening Open_Removed_Folder(Walk_Path& path, bool defer, Removed_Folder& folder, Lib_Result& result) {
    Lib_StringW call_path;
    if (!path.For_Call(0, call_path)) return Folder_Failed;

    // The check opens the folder entry itself (a link is not followed) and keeps it open until its
    // contents are done. While it is held, nobody can rename, move or delete it, nor rename or move a
    // folder above it (Windows refuses to move a folder with anything open beneath it), so no path
    // through it can be redirected to a link: it is opened without delete sharing.
    folder.held = Owned_Handle(CreateFileW(call_path.Get_Text(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder.held.Is_Open()) {
        DWORD error = GetLastError();
        if (Is_Missing(error)) return Folder_Gone;
        Report_System_Error(TEXT("CreateFile"), error);
        return Folder_Failed;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(folder.held.Get(), &information)) {
        DWORD error = GetLastError();
        Report_System_Error(TEXT("GetFileInformationByHandle"), error);
        Record(result, error);
        return Folder_Failed;
    }
    // A folder that is itself a junction or folder symbolic link goes as a link: what it points to is
    // not the tool's to delete.
    if (SC_Is_Folder_Link(information.dwFileAttributes)) {
        folder.held.Close();
        return Remove_Folder_Link(call_path.Get_Text(), path.Shown().Get_Text(), defer, result) ? Folder_Gone
                                                                                                 : Folder_Failed;
    }
    Lib_StringW listed;
    if (!path.For_Call(2, listed)) return Folder_Failed;  // the listing adds "\*"
    return SC_Find_Files(listed.Get_Text(), folder.names, result) ? Folder_Opened : Folder_Failed;
}

// Removes the folder at path once its contents are done (its handle closed first).
bool Remove_Emptied_Folder(Walk_Path& path, bool defer, Lib_Result& result) {
    const WCHAR* shown = path.Shown().Get_Text();
    Lib_StringW call_path;
    if (!path.For_Call(0, call_path)) return false;
    if (RemoveDirectoryW(call_path.Get_Text())) {
        Count_Removed(Removed_So_Far().folders);
        Log_Info_Detail(TEXT("Removed: "), shown);
        return true;
    }
    DWORD error = GetLastError();
    if (defer && (error == ERROR_SHARING_VIOLATION || error == ERROR_DIR_NOT_EMPTY)) {
        if (Delete_On_Reboot(call_path.Get_Text(), shown, result)) {
            Log_Info_Detail(TEXT("Removed: "), shown);
            return true;
        }
        Log_Info_Detail(TEXT("Removed failed!!!: "), shown);
    }
    return false;
}

// Removes one entry of a folder that is not a folder itself (a file, or a folder link); false when
// it stays (logged).
bool Remove_Leaf(Walk_Path& entry, DWORD attributes, bool defer, bool& reboot_required, Lib_Result& result,
                 const Lib_StringW& call_path) {
    if (SC_Is_Folder_Link(attributes)) {
        if (Remove_Folder_Link(call_path.Get_Text(), entry.Shown().Get_Text(), defer, result)) return true;
        Log_Info_Detail(TEXT("Removed failed!!!!: "), entry.Shown());
        return false;
    }
    Log_Indent();
    bool deleted = Delete_File_Retrying(call_path.Get_Text(), entry.Shown().Get_Text(), reboot_required, result);
    Log_Unindent();
    if (!deleted) {
        Log_Info_Detail(TEXT("Removed failed!!!!: "), entry.Shown());
        return false;
    }
    Log_Info_Detail(TEXT("Removed: "), entry.Shown());
    return true;
}

// Removes the tree at path, children before their folder and each folder's entries in listing
// order. The folders being worked on are kept on a list of their own, not on the call stack: a tree
// may be as deep as the longest path allows. A sub-folder's restart flag counts only when the
// sub-folder itself went; the first failure ends the removal.
bool Remove_Tree(Walk_Path& path, bool defer, bool& reboot_required, Lib_Result& result) {
    std::deque<Removed_Folder> folders(1);
    Folder_Opening opening = Open_Removed_Folder(path, defer, folders.back(), result);
    if (opening != Folder_Opened) return opening == Folder_Gone;
    for (;;) {
        Removed_Folder& folder = folders.back();
        if (folder.next == folder.names.size()) {
            folder.held.Close();
            bool removed = Remove_Emptied_Folder(path, defer, result);
            bool reboot = folder.reboot;
            folders.pop_back();
            if (folders.empty()) {
                if (reboot) reboot_required = true;
                return removed;
            }
            if (!removed) break;
            if (reboot) folders.back().reboot = true;
            path.Leave();
            continue;
        }
        path.Enter(folder.names[folder.next++].c_str());
        Lib_StringW call_path;
        if (!path.For_Call(0, call_path)) break;
        DWORD attributes = GetFileAttributesW(call_path.Get_Text());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            DWORD error = GetLastError();
            // Gone since the listing: a second name of a file elsewhere goes before the tree's
            // lock-down, and another process may have removed an entry.
            if (error == ERROR_FILE_NOT_FOUND) {
                path.Leave();
                continue;
            }
            Report_System_Error(TEXT("GetFileAttributes"), error);
            Record(result, error);
            attributes = 0;  // handled as a file
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !SC_Is_Folder_Link(attributes)) {
            folders.emplace_back();
            opening = Open_Removed_Folder(path, defer, folders.back(), result);
            if (opening == Folder_Opened) continue;
            folders.pop_back();
            if (opening == Folder_Failed) break;
        } else if (!Remove_Leaf(path, attributes, defer, folder.reboot, result, call_path)) {
            break;
        }
        path.Leave();
    }
    if (folders.front().reboot) reboot_required = true;
    return false;
}

}  // namespace

Walk_Path::Walk_Path(const WCHAR* root) : shown(root), root_length(shown.Get_Length()) {}

void Walk_Path::Enter(const WCHAR* entry_name) {
    long long length = shown.Get_Length();
    lengths.push_back(length);
    if (length > 0 && shown.Get_Text()[length - 1] != TEXT('\\')) shown.Append(TEXT("\\"));
    shown.Append(entry_name);
}

void Walk_Path::Leave() {
    shown.Get_Buffer_Set_Length(lengths.back());
    lengths.pop_back();
}

bool Walk_Path::For_Call(long long extra, Lib_StringW& text) {
    if (shown.Get_Length() + extra < MAX_PATH) {
        text = shown;
        return true;
    }
    if (extended_root.Is_Empty()) {
        Lib_StringW root = shown.Mid(0, root_length);
        std::vector<WCHAR> buffer(static_cast<size_t>(root_length) + MAX_PATH);
        for (;;) {
            DWORD length = GetFullPathNameW(root.Get_Text(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
            if (length == 0) {
                Report_System_Error(TEXT("GetFullPathName"), GetLastError());
                return false;
            }
            if (length < buffer.size()) break;
            buffer.resize(length);  // the size needed, terminator included
        }
        extended_root = SC_Extended_Path(buffer.data());
    }
    // The names below the root, joined to its extended form as the ordinary form joins them.
    text = extended_root;
    if (lengths.empty()) return true;
    long long names_start = lengths.front();
    if (shown.Get_Text()[names_start] == TEXT('\\')) ++names_start;
    long long length = text.Get_Length();
    if (length > 0 && text.Get_Text()[length - 1] != TEXT('\\')) text.Append(TEXT("\\"));
    text.Append(shown.Get_Text() + names_start);
    return true;
}

bool Live_Changes::SC_Remove_Directory(const WCHAR* folder, bool defer, bool& reboot_required, Lib_Result& result) {
    // Nothing is removed below a folder that ordinary users could replace; a tree that is not there
    // is removed already.
    Lib_StringW reason;
    SC_Path_State state = SC_Check_Folder_Chain(folder, 0, reason);
    if (state == SC_Path_Missing) return true;
    if (state == SC_Path_Unsafe) {
        Log_Info(Lib_StringW(TEXT("Left alone (")) + reason + TEXT("): ") + folder);
        return false;
    }
    Tree_Protection_Scope tree(folder);  // the outermost call names the tree
    Walk_Path root(folder);
    return Remove_Tree(root, defer, reboot_required, result);
}

bool Live_Changes::SC_Remove_Empty_Directory(const WCHAR* folder, Lib_Result& result) {
    bool empty = false;
    if (!SC_Is_Directory_Empty(folder, empty, result)) return false;
    if (!empty) return true;  // leaving a folder that still holds something is success
    if (RemoveDirectoryW(folder)) return Count_Removed(Removed_So_Far().folders);
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || Is_Missing(error)) return SC_Delete_File_On_Reboot(folder, result);
    Report_System_Error(TEXT("RemoveDirectory"), error);
    Record(result, error);
    return false;
}

bool Live_Changes::Get_Absolute_File_Path_From_Special_Folder(int csidl, const WCHAR* sub_folder,
                                                              const WCHAR* file_name, Lib_StringW& path,
                                                              Lib_Result& result) {
    return SC_Special_Folder_Path(csidl, sub_folder, file_name, true, path, result);
}

bool SC_Special_Folder_Path(int csidl, const WCHAR* sub_folder, const WCHAR* file_name, bool create,
                            Lib_StringW& path, Lib_Result& result) {
    bool found = false;
    {
        WCHAR folder[MAX_PATH] = {};
        // Without create, a special folder that is not there is answered with a failure that leaves
        // the last-error value as it was or says the file was not found.
        if (!create) SetLastError(ERROR_SUCCESS);
        if (SHGetSpecialFolderPathW(nullptr, folder, csidl, create ? TRUE : FALSE)) {
            Combine_Path(folder, sub_folder, file_name, path);
            found = true;
        } else {
            DWORD error = GetLastError();
            if (create || (error != ERROR_SUCCESS && !Is_Missing(error))) {
                Report_System_Error(TEXT("SHGetSpecialFolderPath"), error);
                Record(result, error);
            }
        }
    }
    DWORD error = GetLastError();
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_ALREADY_EXISTS) {
        Trace_Exit_Scope(TEXT("Get_Absolute_File_Path_From_Special_Folder"));
    }
    return found;
}
