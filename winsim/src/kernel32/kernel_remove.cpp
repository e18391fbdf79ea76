// Kernel32's folder removal and restart-time deletion over drive C:: RemoveDirectoryW, and
// MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT, which records the operation where Windows keeps it:
// the REG_MULTI_SZ value PendingFileRenameOperations of
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager.
#include <windows.h>

#include "kernel_open.h"
#include "kernel_paths.h"

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
    std::vector<uint8_t> data;
    if (Reg_Value* existing = key->Find_Value(u"PendingFileRenameOperations")) {
        data = existing->data;
        // Drop the list's closing zero; a string's own terminator stays.
        if (data.size() >= 4 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0 &&
            data[data.size() - 3] == 0 && data[data.size() - 4] == 0)
            data.resize(data.size() - 2);
    }
    Append_String(data, source);
    Append_String(data, destination);
    data.push_back(0);
    data.push_back(0);
    key->Set_Value(u"PendingFileRenameOperations", REG_MULTI_SZ, std::move(data));
    return true;
}

// A rename within drive C: (no copy to another volume): DELETE on the entry or FILE_DELETE_CHILD
// on its folder, and the right to create it in the new folder. The entry keeps what it states of
// its own security; what it inherits comes from its new folder.
BOOL Rename(Machine& machine, const Text& source, const Text& destination, DWORD flags) {
    if (flags & ~DWORD(MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
    Path_Lookup from = Look_Up(machine, source, false);
    if (!from.node) return Fail(from.error);
    if (!from.parent) return Fail(ERROR_ACCESS_DENIED);
    Path_Lookup to = Look_Up(machine, destination, false);
    if (to.node) return Fail(ERROR_ALREADY_EXISTS);  // replacing an existing entry is not modelled
    if (!to.parent || to.error != ERROR_FILE_NOT_FOUND) return Fail(to.error == ERROR_SUCCESS ? ERROR_PATH_NOT_FOUND : to.error);
    if (DWORD denied = Check_Delete_Access(machine, from.full)) return Fail(denied);
    if (DWORD denied = Check_Create_Access(machine, to.full, from.node->directory)) return Fail(denied);
    if (Sharing_Conflict(machine, from.node, Access_Delete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return Fail(ERROR_SHARING_VIOLATION);
    // A folder moved into its own tree.
    Text inside = from.full + u"\\";
    if (to.full.size() > inside.size() && Same_Name(to.full.substr(0, inside.size()), inside))
        return Fail(ERROR_SHARING_VIOLATION);
    Fs_Node* moved = to.parent->Add_Child(to.last, from.node->directory);
    Text name = from.node->name;
    *moved = std::move(*from.node);
    moved->name = to.last;
    from.parent->Remove_Child(name);
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
    found.parent->Remove_Child(name);
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text source = From_Wide_Pointer(existing);
    DWORD error = 0;
    if (machine.Record_Call("MoveFileExW", source, &error)) return Fail(error);
    // The tool moves nothing now; a rename is what an ordinary user's process may try.
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
        destination = Text(flags & MOVEFILE_REPLACE_EXISTING ? u"!" : u"") + u"\\??\\" + target.Full();
    }
    if (!Append_Pending_Operation(machine, u"\\??\\" + found.full, destination)) return Fail(ERROR_ACCESS_DENIED);
    return TRUE;
}
