// Kernel32's calls that open a path or read and change its attributes: CreateFileW (its handles
// closed by CloseHandle through the handle table), WriteFile, GetFileAttributesW and SetFileAttributesW.
#include "kernel32/kernel_open.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "machine/handles.h"
#include "kernel32/kernel_files.h"
#include "machine/paths.h"

namespace winsim {

namespace {

// A handle from CreateFileW. It records the node it was opened on: a rename or move of that node (or
// of a folder above it) never redirects it, and a node that goes leaves it without a node.
struct File_Handle : Kernel_Object, Fs_Open {
    Text path;  // the normalised path it was opened by, for the calls' subjects
    DWORD desired_access = 0;  // the access asked for, as the security calls on the handle check it
    uint64_t position = 0;  // where the next WriteFile writes
    bool delete_on_close = false;  // FILE_FLAG_DELETE_ON_CLOSE: the entry at path goes when it closes
    ~File_Handle() override;
    std::string What() const override { return (node && node->directory ? "folder " : "file ") + To_Utf8(path); }
};

void Attach(Fs_Open& open, Fs_Node* node) {
    open.node = node;
    node->opens.push_back(&open);
}

void Detach(Fs_Open& open) {
    if (!open.node) return;
    auto& opens = open.node->opens;
    opens.erase(std::remove(opens.begin(), opens.end(), &open), opens.end());
    open.node = nullptr;
}

File_Handle::~File_Handle() {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Fs_Node* opened = node;
    Detach(*this);
    if (!delete_on_close || !opened) return;
    // The name it was opened by goes, if it still names that entry (a rename in between is not
    // followed: the entry then stays).
    Path_Lookup found = Look_Up(machine, path, false);
    if (found.node == opened && found.parent) Remove_Entry(machine, *found.parent, opened->name);
}

// Two opens of one file conflict when either wants what the other does not share.
bool Opens_Conflict(DWORD access_a, DWORD share_a, DWORD access_b, DWORD share_b) {
    auto refuses = [](DWORD access, DWORD share) {
        return ((access & Access_Read) && !(share & FILE_SHARE_READ)) ||
               ((access & Access_Write) && !(share & FILE_SHARE_WRITE)) ||
               ((access & Access_Delete) && !(share & FILE_SHARE_DELETE));
    };
    return refuses(access_a, share_b) || refuses(access_b, share_a);
}

DWORD Data_Access_Of(DWORD desired) {
    DWORD access = 0;
    if (desired & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE))
        access |= Access_Read;
    if (desired & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) access |= Access_Write;
    if (desired & (GENERIC_ALL | DELETE)) access |= Access_Delete;
    return access;
}

// The attributes that SetFileAttributesW and file creation may set.
const DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                  FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

HANDLE Fail_Open(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

bool Sharing_Conflict(Machine& machine, const Fs_Node* node, DWORD access, DWORD share) {
    if (access == 0) return false;
    if (node->directory) {
        if (node->held_open && Opens_Conflict(access, share, Access_Read, FILE_SHARE_READ | FILE_SHARE_WRITE))
            return true;
        for (const Fs_Open* open : node->opens) {
            // An open without data access (attributes only) takes no part in sharing.
            if (open->access != 0 && Opens_Conflict(access, share, open->access, open->share)) return true;
        }
        return false;
    }
    // The opens of a file are the opens of all its names (hard links).
    const std::vector<Fs_Node*> single{const_cast<Fs_Node*>(node)};
    for (const Fs_Node* name : node->names ? *node->names : single) {
        if (name->held_open && Opens_Conflict(access, share, Access_Read | Access_Write, name->held_share)) return true;
        if (Is_Open_In_Runtime(machine, name)) return true;
        for (const Fs_Open* open : name->opens) {
            if (open->access != 0 && Opens_Conflict(access, share, open->access, open->share)) return true;
        }
    }
    return false;
}

DWORD Open_Breaks_Oplock(Machine& machine, Fs_Node* node, DWORD desired_access, DWORD flags, const char* api,
                         const Text& path) {
    if (!node || !node->oplocked) return 0;
    // Opening only for the attributes breaks no oplock.
    if (!(desired_access & ~DWORD(FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE))) return 0;
    if (flags & FILE_FLAG_OPEN_REQUIRING_OPLOCK) return ERROR_CANNOT_BREAK_OPLOCK;
    machine.oplock_waits.push_back(std::string(api) + " " + To_Utf8(path));
    // The oplock lives on the file, whichever of its names it was taken through.
    if (node->names)
        for (Fs_Node* name : *node->names) name->oplocked = false;
    node->oplocked = false;
    return 0;
}

bool Is_Open_Beneath(Machine& machine, const Fs_Node* folder) {
    if (!folder->directory || !folder->link_target.empty()) return false;
    // Iterative, so that a deep tree cannot exhaust the stack; each entry is visited once.
    std::vector<const Fs_Node*> pending;
    for (const auto& child : folder->children) pending.push_back(child.get());
    while (!pending.empty()) {
        const Fs_Node* node = pending.back();
        pending.pop_back();
        if (!node->opens.empty() || node->held_open || Is_Open_In_Runtime(machine, node)) return true;
        if (!node->directory || !node->link_target.empty()) continue;
        for (const auto& child : node->children) pending.push_back(child.get());
    }
    return false;
}

bool Is_Within(const Fs_Node* folder, const Fs_Node* node) {
    if (folder == node) return true;
    if (!folder->directory || !folder->link_target.empty()) return false;
    std::vector<const Fs_Node*> pending{folder};
    while (!pending.empty()) {
        const Fs_Node* next = pending.back();
        pending.pop_back();
        for (const auto& child : next->children) {
            if (child.get() == node) return true;
            if (child->directory && child->link_target.empty()) pending.push_back(child.get());
        }
    }
    return false;
}

bool File_Handle_Of(HANDLE handle, File_Handle_Info& info) {
    auto file = Get_Handle_As<File_Handle>(handle);
    if (!file) return false;
    info.node = file->node;
    info.path = file->path;
    info.desired_access = file->desired_access;
    return true;
}

}  // namespace winsim

using namespace winsim;

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags_and_attributes, HANDLE) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text text = From_Wide_Pointer(path);
    DWORD error = 0;
    if (machine.Record_Call("CreateFileW", text, &error)) return Fail_Open(error);
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return Fail_Open(ERROR_INVALID_PARAMETER);
    // Deletion on close needs the right to delete.
    if ((flags_and_attributes & FILE_FLAG_DELETE_ON_CLOSE) && !(access & (DELETE | GENERIC_ALL)))
        return Fail_Open(ERROR_INVALID_PARAMETER);

    bool follow_last = !(flags_and_attributes & FILE_FLAG_OPEN_REPARSE_POINT);
    Path_Lookup found = Look_Up(machine, text, follow_last);
    DWORD wanted = Data_Access_Of(access);
    bool existed = found.node != nullptr;
    if (!found.node) {
        if (found.error != ERROR_FILE_NOT_FOUND) return Fail_Open(found.error);
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) return Fail_Open(ERROR_FILE_NOT_FOUND);
        // A junction whose target is gone: nothing is created in its place.
        if (found.parent->Find_Child(found.last)) return Fail_Open(ERROR_FILE_NOT_FOUND);
        if (DWORD denied = Check_Create_Access(machine, found.full, false)) return Fail_Open(denied);
        Fs_Node* created = found.parent->Add_Child(found.last, false);
        Set_Creator(machine, *created);
        created->attributes = (flags_and_attributes & kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        found = Look_Up(machine, text, follow_last);
    } else {
        Fs_Node* node = found.node;
        if (disposition == CREATE_NEW) return Fail_Open(ERROR_FILE_EXISTS);
        bool replaces = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        if (node->directory) {
            // A folder opens only with backup semantics, and never to be replaced.
            if (!(flags_and_attributes & FILE_FLAG_BACKUP_SEMANTICS) || replaces) return Fail_Open(ERROR_ACCESS_DENIED);
        } else if ((node->attributes & FILE_ATTRIBUTE_READONLY) && ((wanted & Access_Write) || replaces)) {
            return Fail_Open(ERROR_ACCESS_DENIED);
        }
        if (flags_and_attributes & FILE_FLAG_DELETE_ON_CLOSE) {
            if (node->attributes & FILE_ATTRIBUTE_READONLY) return Fail_Open(ERROR_ACCESS_DENIED);
            if (DWORD denied = Check_Delete_Access(machine, found.full)) return Fail_Open(denied);
        }
        // Windows breaks an oplock before it checks the sharing: the holder may close its handle.
        if (DWORD oplock = Open_Breaks_Oplock(machine, node, access, flags_and_attributes, "CreateFileW", found.full))
            return Fail_Open(oplock);
        if (Sharing_Conflict(machine, node, wanted, share_mode)) return Fail_Open(ERROR_SHARING_VIOLATION);
        if (replaces) {
            node->data.clear();
            node->listed_size = 0;
            if (node->names)
                for (Fs_Node* name : *node->names) name->data.clear();
        }
    }

    auto handle = std::make_shared<File_Handle>();
    handle->path = found.full;
    handle->access = wanted;
    handle->desired_access = access;
    handle->share = share_mode;
    handle->delete_on_close = (flags_and_attributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    Attach(*handle, found.node);
    HANDLE result = Add_Handle(handle);
    // Opening an existing file where one may be created says so through the last error.
    bool may_create = disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS;
    SetLastError(existed && may_create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return result;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    auto handle = Get_Handle_As<File_Handle>(file);
    DWORD error = 0;
    if (machine.Record_Call("GetFileInformationByHandle", handle ? handle->path : Text(), &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!info) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *info = BY_HANDLE_FILE_INFORMATION{};
    info->dwVolumeSerialNumber = 0x5A3C19E7;
    // A node deleted while open answers as a file without links, as a deleted open file does.
    if (const Fs_Node* node = handle->node) {
        info->dwFileAttributes = Reported_Attributes(*node);
        uint64_t size = node->directory ? 0 : (node->data.empty() ? node->listed_size : node->data.size());
        info->nFileSizeHigh = DWORD(size >> 32);
        info->nFileSizeLow = DWORD(size);
        info->nNumberOfLinks = node->names ? DWORD(node->names->size()) : 1;
        uint64_t index = node->names ? reinterpret_cast<uintptr_t>(node->names.get()) : reinterpret_cast<uintptr_t>(node);
        info->nFileIndexHigh = DWORD(index >> 32);
        info->nFileIndexLow = DWORD(index);
    } else {
        info->dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    }
    return TRUE;
}

// Writes at the handle's position and moves it on; every name of the file shows the new data. A
// file that went while the handle was open takes the bytes nowhere. Only synchronous writes are
// modelled; a folder's handle is not among the handles WriteFile takes (ERROR_INVALID_FUNCTION).
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written, LPOVERLAPPED overlapped) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (bytes_written) *bytes_written = 0;
    auto handle = Get_Handle_As<File_Handle>(file);
    auto fail = [](DWORD error) {
        SetLastError(error);
        return FALSE;
    };
    // Not recorded in calls: the log writes one per line.
    DWORD error = 0;
    if (machine.Take_Fault("WriteFile", handle ? handle->path : Text(), &error)) return fail(error);
    if (!handle) return fail(ERROR_INVALID_HANDLE);
    if (overlapped) return fail(ERROR_INVALID_PARAMETER);
    if (!(handle->access & Access_Write)) return fail(ERROR_ACCESS_DENIED);
    if (bytes_to_write > 0 && !buffer) return fail(ERROR_NOACCESS);
    if (Fs_Node* node = handle->node) {
        if (node->directory) return fail(ERROR_INVALID_FUNCTION);
        std::vector<uint8_t>& data = node->data;
        if (data.size() < handle->position + bytes_to_write) data.resize(size_t(handle->position + bytes_to_write));
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        std::copy(bytes, bytes + bytes_to_write, data.begin() + std::ptrdiff_t(handle->position));
        node->listed_size = 0;
        if (node->names)
            for (Fs_Node* name : *node->names) name->data = data;
    }
    handle->position += bytes_to_write;
    if (bytes_written) *bytes_written = bytes_to_write;
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text text = From_Wide_Pointer(path);
    DWORD error = 0;
    if (machine.Record_Call("GetFileAttributesW", text, &error)) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    // The entry itself is asked, so a junction answers for itself, not for its target.
    Path_Lookup found = Look_Up(machine, text, false);
    if (!found.node) {
        SetLastError(found.error);
        return INVALID_FILE_ATTRIBUTES;
    }
    return Reported_Attributes(*found.node);
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text text = From_Wide_Pointer(path);
    DWORD error = 0;
    if (machine.Record_Call("SetFileAttributesW", text, &error)) {
        SetLastError(error);
        return FALSE;
    }
    Path_Lookup found = Look_Up(machine, text, false);
    if (!found.node) {
        SetLastError(found.error);
        return FALSE;
    }
    // Whether an entry is a folder or a reparse point is not an attribute that can be set; the
    // rest is replaced (FILE_ATTRIBUTE_NORMAL alone clears them all).
    Fs_Node* node = found.node;
    DWORD kept = node->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    node->attributes = kept | (attributes & kSettableAttributes);
    if (node->names)
        for (Fs_Node* name : *node->names) name->attributes = node->attributes;  // one file's attributes
    return TRUE;
}
