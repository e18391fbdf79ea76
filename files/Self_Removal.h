// The stage that schedules the quiet uninstall of the installer bundle named by the tool's argument
// for the next logon.
#pragma once

#include "foundation/Lib_String.h"

// The bundle upgrade code (compared without regard to letter case); an empty one finds nothing. The
// command is written only when the program it starts is beyond the reach of ordinary users.
void Remove_Self(const Lib_StringW& bundle_upgrade_code);

// The quiet uninstall command of the first bundle entry whose upgrade code matches (empty when there
// is none), and the entry's name; reads silently.
void Find_Bundle_Uninstall(const Lib_StringW& bundle_upgrade_code, Lib_StringW& entry_name, Lib_StringW& command);
// The program a command line starts, as Windows reads it: the quoted text at its start, else the text
// up to the first blank. Empty when there is none.
Lib_StringW Command_Program(const Lib_StringW& command);
