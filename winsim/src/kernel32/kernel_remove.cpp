// Kernel32's folder removal and restart-time deletion over drive C:: RemoveDirectoryW, and
// MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT, which records the operation where Windows keeps it:
// the REG_MULTI_SZ value PendingFileRenameOperations of
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager.
#include <windows.h>

#include "kernel32/kernel_open.h"
#include "machine/paths.h"

namespace winsim {

namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

void Append_String(std::vector<uint8_t>& data, const Text& text) {
    for (char16_t c : text) {
        data.push_back(uint8_t(c & 0xFF));
        data.push_back(uint8_t(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
}

// Appends one operation (source, destination; an empty destination deletes the source) to the
// pending list. The list is a REG_MULTI_SZ: each string ends with a zero, the list with one more.
// False when the Session Manager key may not be written.
bool Append_Pending_Operation(Machine& machine, const Text& source, const Text& destination) {
    Reg_Key* key = &machine.hklm;
    for (const char16_t* name : {u"SYSTEM", u"CurrentControlSet", u"Control", u"Session Manager"}) {
        Reg_Key* next = key->Find_Subkey(name);
        if (!next) {
            if (key->write_protected) return false;
            next = key->Add_Subkey(name);
        }
        key = next;
    }
    if (key->write_protected) return false;
    Reg_Value* existing = key->Find_Value(u"PendingFileRenameOperations");
    if (!existing) {
        key->Set_Value(u"PendingFileRenameOperations", REG_MULTI_SZ, {});
        existing = key->Find_Value(u"PendingFileRenameOperations");
    }
    existing->type = REG_MULTI_SZ;
    // Appended where the value is kept, so that a run of many deletions costs the length of what it
    // adds, not that of the list each time.
    std::vector<uint8_t>& data = existing->data;
    // Drop the list's closing zero; a string's own terminator stays.
    if (data.size() >= 4 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0 &&
        data[data.size() - 3] == 0 && data[data.size() - 4] == 0)
        data.resize(data.size() - 2);
    Append_String(data, source);
    Append_String(data, destination);
    data.push_back(0);
    data.push_back(0);
    return true;
}

// A folder moved directly into itself: the rename opens the new name's folder, which is the folder
// being moved. Before Windows 11 22H2 (build 22621) that open did not share deletion with the
// source's own open and failed with a sharing violation; from that build on it shares deletion, and
// the rename itself is refused as an invalid parameter.
DWORD Into_Itself_Error(const Machine& machine) {
    const DWORD kFirstBuildSharingDeletion = 22621;
    return machine.os.build >= kFirstBuildSharingDeletion ? ERROR_INVALID_PARAMETER : ERROR_SHARING_VIOLATION;
}

// A rename or move on drive C: as Windows does it: the source is opened for deletion (a sharing
// violation when an open of it does not share deletion), then its entry is moved under the new
// name. A folder with anything open beneath it is refused (ERROR_ACCESS_DENIED), as is a folder
// moved deeper into its own tree; one moved directly into itself is refused as the machine's build
// refuses it (see Into_Itself_Error). The node moves with its opens: a handle keeps naming what it opened.
// An ordinary user's process needs DELETE on the entry or FILE_DELETE_CHILD on its folder, and the
// right to create it in the new folder; the entry keeps what it states of its own security.
BOOL Rename(Machine& machine, const Text& source, const Text& destination, DWORD flags) {
    Path_Lookup from = Look_Up(machine, source, false);
    if (!from.node) return Fail(from.error);
    if (!from.parent) return Fail(ERROR_ACCESS_DENIED);  // the root of the drive
    Fs_Node* node = from.node;
    if (DWORD denied = Check_Delete_Access(machine, from.full)) return Fail(denied);
    Open_Breaks_Oplock(machine, node, DELETE, 0, "MoveFileExW", from.full);
    if (Sharing_Conflict(machine, node, Access_Delete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return Fail(ERROR_SHARING_VIOLATION);
    Path_Lookup to = Look_Up(machine, destination, false);
    if (!to.parent) return Fail(to.error == ERROR_SUCCESS ? ERROR_ACCESS_DENIED : to.error);
    if (to.node == node) return TRUE;  // the same entry: nothing to move
    if (DWORD denied = Check_Create_Access(machine, to.full, node->directory)) return Fail(denied);
    if (to.node) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
        if (to.node->directory || node->directory) return Fail(ERROR_ACCESS_DENIED);
        if (Sharing_Conflict(machine, to.node, Access_Delete,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
            return Fail(ERROR_ACCESS_DENIED);
    }
    if (node->directory && Is_Within(node, to.parent))
        return Fail(to.parent == node ? Into_Itself_Error(machine) : ERROR_ACCESS_DENIED);
    if (Is_Open_Beneath(machine, node)) return Fail(ERROR_ACCESS_DENIED);
    if (to.node) to.parent->Remove_Child(to.node->name);
    Text last = to.last;
    std::unique_ptr<Fs_Node> moved = from.parent->Take_Child(node->name);
    to.parent->Put_Child(std::move(moved), last);
    return TRUE;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

BOOL RemoveDirectoryW(LPCWSTR path) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text text = From_Wide_Pointer(path);
    DWORD error = 0;
    if (machine.Record_Call("RemoveDirectoryW", text, &error)) return Fail(error);

    // The entry itself: a junction goes as a link, whatever its target holds.
    Path_Lookup found = Look_Up(machine, text, false);
    if (!found.node) return Fail(found.error);
    Fs_Node* node = found.node;
    if (!found.parent) return Fail(ERROR_ACCESS_DENIED);  // the root of the drive
    // The order is Windows': a file is refused when opened as a folder, a sharing conflict when it
    // is opened for deletion, the read-only attribute and the contents when it is marked for deletion.
    if (!node->directory) return Fail(ERROR_DIRECTORY);
    if (DWORD denied = Check_Delete_Access(machine, found.full)) return Fail(denied);
    if (Sharing_Conflict(machine, node, Access_Delete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return Fail(ERROR_SHARING_VIOLATION);
    if (node->attributes & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
    if (node->link_target.empty() && !node->children.empty()) return Fail(ERROR_DIR_NOT_EMPTY);
    Text name = node->name;  // a copy: the node goes away during the removal
    Remove_Entry(machine, *found.parent, name);
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text source = From_Wide_Pointer(existing);
    DWORD error = 0;
    if (machine.Record_Call("MoveFileExW", source, &error)) return Fail(error);
    if (!(flags & MOVEFILE_DELAY_UNTIL_REBOOT)) return Rename(machine, source, From_Wide_Pointer(new_name), flags);

    // Windows opens the source before it records anything: a missing one is refused, one that is
    // in use is not (being in use is why the operation waits for the restart).
    Path_Lookup found = Look_Up(machine, source, false);
    if (!found.node) return Fail(found.error);
    Text destination;
    if (new_name) {
        Win32_Path target = Parse_Win32_Path(new_name);
        if (target.error != ERROR_SUCCESS) return Fail(target.error);
        // A replacing move is marked with '!' in front of its destination.
        destination = Text(flags & MOVEFILE_REPLACE_EXISTING ? u"!" : u"") + u"\\??\\" + target.full;
    }
    if (!Append_Pending_Operation(machine, u"\\??\\" + found.full, destination)) return Fail(ERROR_ACCESS_DENIED);
    return TRUE;
}
