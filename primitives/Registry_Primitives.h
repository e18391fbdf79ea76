// The registry operations through which every registry stage works. Each opens what it needs, does
// one job, closes its handles and returns true on success; failures go into the caller's Lib_Result
// and, for most operations, into the log as an error report. During a read-only pass over the machine
// the deleting operations record what they would delete, change nothing, and the reading ones answer
// as if the recorded deletions had been made.
#pragma once

#include <windows.h>

#include "diagnostics/Check_Pass.h"
#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Lib_Lists.h"
#include "foundation/Lib_String.h"

// A registry key that may be named to the read-only pass (Check_Name_Key): the pass forgets the name
// when the key is closed, before its handle can come back for another key.
struct Named_Registry_Key_Kind : Lib_Registry_Key_Kind {
    static void Give_Back(HKEY key) {
        Check_Forget_Key(key);
        RegCloseKey(key);
    }
};
using Owned_Registry_Key = LibT_Owned<Named_Registry_Key_Kind>;

// Deletes one key that has no subkeys; a missing key counts as deleted.
bool Delete_Registry_Key(HKEY root, const WCHAR* key_path, Lib_Result& result);
// Deletes a key with all its subkeys, children first; a missing key counts as deleted.
bool Delete_Registry_Key_Recursive(HKEY root, const WCHAR* key_path, Lib_Result& result);
// Deletes the tree of a subkey below a parent, in the 64-bit and then in the 32-bit registry view.
bool Delete_Registry_Keys_In_Path(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                  Lib_Result& result);
// The same in a hive whose contents another user controls: the parent is opened as itself in each
// view, and a parent that is a symbolic link is logged and left alone ("Left alone (registry link):
// PATH"), since what it points to lies outside the hive.
bool Delete_Registry_Keys_In_Path_Without_Links(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                                Lib_Result& result);
bool Delete_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, Lib_Result& result,
                           REGSAM view_flags);
// Deletes one value in one view without looking at the outcome or logging anything.
void Delete_Registry_Value_Quietly(HKEY root, const WCHAR* key_path, const WCHAR* value_name, REGSAM view_flags);
// Replaces the lists with the names of the key's direct subkeys and values, in enumeration order. A
// missing key gives two empty lists. A name that holds a zero character is logged and left out: as
// text it would name another key or value (an empty one, the key itself).
bool Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY root, const WCHAR* key_path, Lib_String_List& subkeys,
                                              Lib_String_List& values, Lib_Result& result,
                                              REGSAM view_flags);
bool Is_Registry_Key_Empty(HKEY root, const WCHAR* key_path, bool& is_empty, Lib_Result& result);
bool Is_Registry_Value_Exists(HKEY root, const WCHAR* key_path, const WCHAR* value_name, bool& exists,
                              Lib_Result& result);
// Reads a value as a string, whatever its type; writes nothing to the log, but for a failure other
// than a missing key or value during the read-only pass.
bool Get_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, Lib_StringW& value,
                        Lib_Result& result, REGSAM view_flags);
// Writes one value; with a key path (not null) the key is created when missing.
bool Set_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, DWORD type,
                        const BYTE* data, DWORD data_size, Lib_Result& result);
