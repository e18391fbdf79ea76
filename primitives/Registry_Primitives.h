// The registry reads through which every registry stage works; its changes are the operations of
// Changes() (Machine_Changes.h). Each opens what it needs, does one job, closes its handles and
// returns true on success; failures go into the caller's Lib_Result and, for most operations, into the
// log as an error report. The reads answer as the implementation of the changes in force says the
// machine stands.
#pragma once

#include <windows.h>

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Lib_Lists.h"
#include "foundation/Lib_String.h"
#include "primitives/Machine_Changes.h"

// A registry key that may be named for the changes' items (Name_Key): the name is forgotten when the
// key is closed, before its handle can come back for another key.
struct Named_Registry_Key_Kind : Lib_Registry_Key_Kind {
    static void Give_Back(HKEY key) {
        Changes().Forget_Key_Name(key);
        RegCloseKey(key);
    }
};
using Owned_Registry_Key = LibT_Owned<Named_Registry_Key_Kind>;

// Opens the parent of a deletion in one view, for KEY_SET_VALUE. With links refused the parent is
// opened as itself (REG_OPTION_OPEN_LINK) and a link (its value SymbolicLinkValue is REG_LINK) is
// left alone, logged ("Left alone (registry link): PATH"), is_link set and ERROR_SUCCESS answered:
// what a link points to is not the hive's. call names the call whose failure is answered.
LSTATUS Open_Deletion_Parent(HKEY root, const WCHAR* parent_path, REGSAM view, bool links_refused, Owned_Key& parent,
                             bool& is_link, const WCHAR*& call);
// Replaces the lists with the names of the key's direct subkeys and values, in enumeration order. A
// missing key gives two empty lists. A name that holds a zero character is logged and left out: as
// text it would name another key or value (an empty one, the key itself).
bool Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY root, const WCHAR* key_path, Lib_String_List& subkeys,
                                              Lib_String_List& values, Lib_Result& result,
                                              REGSAM view_flags);
bool Is_Registry_Value_Exists(HKEY root, const WCHAR* key_path, const WCHAR* value_name, bool& exists,
                              Lib_Result& result);
// Reads a value of an open key as UTF-16 text, whatever its type (given in type unless null), mostly in
// one query. second_query tells whether a failure came from the second query, made when the value did
// not fit the first.
LSTATUS Query_Value_Text(HKEY key, const WCHAR* value_name, Lib_StringW& value, DWORD* type, bool& second_query);
// Reads a value as a string, whatever its type; a failure other than a missing key or value goes to
// the changes' Report_Unread, else it writes nothing to the log.
bool Get_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, Lib_StringW& value,
                        Lib_Result& result, REGSAM view_flags);
// The path without the backslashes that may end it, so that REG_OPTION_OPEN_LINK applies to its last
// name.
Lib_StringW Without_Trailing_Separators(const WCHAR* key_path);
