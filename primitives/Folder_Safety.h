// Whether ordinary users can steer what the tool does to a path. The tool runs with the system's or an
// administrator's rights; a folder above what it removes, locks down or leaves for the restart that an
// ordinary user could delete, rename or replace by a junction would let that user point the work
// elsewhere (restart deletions are carried out by name at boot, with the system's rights). So every
// folder from the drive root down must be a plain folder (no junction or symbolic link), owned by
// Administrators, SYSTEM or TrustedInstaller, and its access list must give nobody else the right to
// delete it, to change its owner or its list, or (for each folder above the last) to delete what is in
// it. Deny entries are not weighed: the test errs on the side of refusing.
#pragma once

#include <windows.h>

#include "foundation/Lib_String.h"

enum SC_Path_State {
    SC_Path_Safe,
    SC_Path_Missing,  // a folder of the chain, or the entry, is not there
    SC_Path_Unsafe,   // the reason says which entry and why
};

// Checks every folder from the drive root of `folder` down to `folder` itself; `last_folder_rights` are
// further rights that nobody but the trusted owners may hold on `folder` itself (0: none). A failed
// call is reported and counts as unsafe. On SC_Path_Unsafe, reason reads like "C:\ProgramData\Package
// Cache is a junction or symbolic link".
SC_Path_State SC_Check_Folder_Chain(const WCHAR* folder, DWORD last_folder_rights, Lib_StringW& reason);

// The same for a program that is to be started with the system's rights at the next logon: its folder
// chain as above, the file itself a plain file with one name, and its folder's entries as
// SC_Check_Tree finds them with closed, not whole (a library put beside a program is loaded by it).
SC_Path_State SC_Check_Program(const WCHAR* program, Lib_StringW& reason);

// Whether the account is one of those that own what Windows and administrators make: SYSTEM,
// Administrators or TrustedInstaller. False for a null identifier.
bool SC_Is_Trusted_Owner(PSID owner);

// Checks a folder tree that is kept for a program to run from it, as it is (before anything of it is
// changed): every entry, the folder included (with whole, at any depth; else its direct entries), must
// be a plain file or folder (no link, a file with one name only) owned by a trusted account, and nobody
// else may change, delete or change the security of it, nor (a folder) delete what is in it. With
// closed, nobody else may add files or folders to any of its folders either; that is told only when
// nothing else was found. On SC_Path_Unsafe, reason reads like "C:\...\version.dll is owned by
// S-1-5-21-...".
SC_Path_State SC_Check_Tree(const WCHAR* folder, bool closed, bool whole, Lib_StringW& reason);

// Whether an entry (opened as itself) is owned by a trusted account; the reason as above.
SC_Path_State SC_Check_Owner(const WCHAR* path, Lib_StringW& reason);

// The folder part of a path (up to its last backslash), or the empty text when it has none.
Lib_StringW SC_Folder_Of(const WCHAR* path);
