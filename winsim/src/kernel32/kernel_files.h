// Shared by the simulated file calls: the C runtime's open files and the name rules of drive C:.
#pragma once

#include "machine/machine.h"

namespace winsim {

// True while the file is open through _wfopen_s in this process. Such a file is opened without
// sharing, so every other open, deletion or move of it must fail. The caller holds machine.lock.
bool Is_Open_In_Runtime(Machine& machine, const Fs_Node* node);

// True when a path of drive C: holds a character that Windows refuses in names (< > : " | ? * or a
// control character) after its drive prefix.
bool Has_Invalid_Name_Character(const Text& path);

}  // namespace winsim
