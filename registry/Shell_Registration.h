// Registrations that the product made outside Windows Installer's own keys: the shared-DLL counts of
// its binaries, the control-panel applet and the smart-card readers named after the product or the
// maker.
#pragma once

#include <windows.h>

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_String.h"

// True when the last component of a file path (after its last backslash or slash) is the name,
// compared case-sensitively.
bool Is_Path_Of_File_Name(const Lib_StringW& path, const WCHAR* name);

// Deletes, in both registry views, the SharedDLLs values that count one of the product's binaries.
bool Remove_Shared_Files_From_Registry(Lib_Result& result);
// Deletes the applet's class and control-panel namespace registrations and its settings key.
bool Remove_Control_Panel(Lib_Result& result);
// Deletes the readers whose names carry the product's or the maker's name, but not the excluded one.
bool Remove_Calais_Readers(Lib_Result& result);
