// The read-only pass over the machine. The removal stages run as in a removal, but nothing is changed:
// each primitive that would remove something present records it as an item of the product instead,
// and answers the stages' later questions as if the removal had been made (a key whose last value
// would go counts as empty). Deletions waiting for the restart count as made. During the pass the log
// takes error reports only, and the console nothing.
#pragma once

#include <windows.h>

#include <vector>

#include "foundation/Lib_String.h"

// Starts a pass: no items, nothing counted as removed, the restart list read afresh.
void Check_Pass_Begin();
// Ends the pass; its items and failures stay readable until the next pass begins.
void Check_Pass_End();
bool In_Check_Pass();
// What the pass found, in the order the stages met it.
const std::vector<Lib_StringW>& Check_Pass_Items();
// The error reports made during the pass: what it could not look at.
unsigned Check_Pass_Failures();
// Counts an error report (the log's error reports call it).
void Check_Pass_Note_Failure();

// Records an item that has no path of its own (a driver package).
void Check_Record_Item(const Lib_StringW& item);

// Registry keys and values: root is a predefined key or a key named with Check_Name_Key; view is 0,
// KEY_WOW64_64KEY or KEY_WOW64_32KEY.
void Check_Name_Key(HKEY key, const WCHAR* name);
void Check_Forget_Key(HKEY key);
// Whether the pass recorded the key, or a key above it, as removed.
bool Check_Key_Removed(HKEY root, const WCHAR* path, REGSAM view);
bool Check_Value_Removed(HKEY root, const WCHAR* path, REGSAM view, const WCHAR* value_name);
// Whether the pass recorded a subkey or a value of the key itself.
bool Check_Key_Holds_Removed(HKEY root, const WCHAR* path, REGSAM view);
void Check_Record_Key(HKEY root, const WCHAR* path, REGSAM view);
void Check_Record_Value(HKEY root, const WCHAR* path, REGSAM view, const WCHAR* value_name);

// Files and folders, by full path.
bool Check_Path_Removed(const WCHAR* path);
// Whether a deletion of the path waits for the restart.
bool Check_Path_Pending(const WCHAR* path);
void Check_Record_Path(const WCHAR* path);
