// Open files of the simulated machine and the sharing rules between them: handles opened with
// CreateFileW, files held open by another process (Fs_Node::held_open) and files open through the
// C runtime, as the file calls that open, delete or list a path must respect them.
#pragma once

#include "machine/machine.h"

namespace winsim {

// What an open does with the file's data, as sharing sees it. Opening only for the attributes
// takes part in no sharing check, as on Windows.
enum Data_Access : DWORD {
    Access_Read = 1,
    Access_Write = 2,
    Access_Delete = 4,
};

// True when opening the node with that access and FILE_SHARE_* mode meets a sharing violation.
// The opens of a file are those of all its names (hard links). A file held open by another process
// is held for reading and writing with the sharing of Fs_Node::held_share (none for a locked one); a
// folder held open by another process is held as a process holds its current folder: for reading,
// shared for reading and writing, so it can be listed but not removed. The caller holds machine.lock.
bool Sharing_Conflict(Machine& machine, const Fs_Node* node, DWORD access, DWORD share);

// An open of an existing file that breaks another process's opportunistic lock (Fs_Node::oplocked):
// one that asks for more than FILE_READ_ATTRIBUTES, FILE_WRITE_ATTRIBUTES and SYNCHRONIZE. With
// FILE_FLAG_OPEN_REQUIRING_OPLOCK in flags the open fails instead: the answer is
// ERROR_CANNOT_BREAK_OPLOCK, for the caller to fail with. Without it Windows makes the open wait
// until the holder acknowledges the break: the call is noted in Machine::oplock_waits as "API path",
// and the holder is taken to have closed its handle (the oplock is gone); the answer is 0.
// The caller holds machine.lock.
DWORD Open_Breaks_Oplock(Machine& machine, Fs_Node* node, DWORD desired_access, DWORD flags, const char* api,
                         const Text& path);

// True when an entry beneath the folder is open (a handle, another process's hold, the C runtime):
// Windows then refuses to rename or move the folder with ERROR_ACCESS_DENIED. Costs the size of the
// folder's tree. The caller holds machine.lock.
bool Is_Open_Beneath(Machine& machine, const Fs_Node* folder);
// True when node is the folder or lies in its tree (not through junctions).
bool Is_Within(const Fs_Node* folder, const Fs_Node* node);

// What a CreateFileW handle refers to: the entry it was opened on (null once that entry is gone), the
// path it was opened by and the access it asked for. False when the handle is not an open file.
struct File_Handle_Info {
    Fs_Node* node = nullptr;
    Text path;
    DWORD desired_access = 0;
};
bool File_Handle_Of(HANDLE handle, File_Handle_Info& info);

}  // namespace winsim
