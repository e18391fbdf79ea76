// What an ordinary user's process does to the folders of drive C: while the tool runs. Each step
// goes through the simulated file calls, so their rules apply to it as to any other opener (sharing,
// opens beneath a folder, and the access checks of the calling token where winsim models them); the
// calling token is an ordinary user's (Machine::other_process_token). Tests run these at a chosen
// call of the tool through Machine::Add_Action, or directly.
#pragma once

#include "machine/machine.h"

namespace winsim {

// MoveFileExW(from, to, 0): 0, or the error Windows gives.
DWORD User_Rename(Machine& machine, const Text& from, const Text& to);
// A new empty folder at path made a junction to target (CreateDirectoryW, then the folder opened for
// writing with FILE_FLAG_OPEN_REPARSE_POINT and given its mount point): 0, or the first error.
DWORD User_Make_Junction(Machine& machine, const Text& path, const Text& target);
// Renames the folder away (to its path with "~" appended) and plants a junction to target under its
// old name, as a user would to redirect a walk through that folder. Stops at the first refusal and
// answers its error.
DWORD User_Swap_For_Junction(Machine& machine, const Text& folder, const Text& target);

}  // namespace winsim
