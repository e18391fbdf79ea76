// The installed programs' uninstall entries, as the stages of one pass ask about them: the bundle
// search, the display-name cleaning and the machine's commands each want a few values of every entry,
// and a machine holds thousands of entries. They are read in one walk of each view, at the first
// question.
#pragma once

#include <windows.h>

#include <vector>

#include "foundation/Lib_String.h"

enum Uninstall_Value {
    Display_Name_Value_Read,
    Bundle_Upgrade_Code_Read,
    Uninstall_String_Read,
    Quiet_Uninstall_String_Read,
    Modify_Path_Read,
    Uninstall_Value_Count
};

// The value's name in the entry.
const WCHAR* Uninstall_Value_Name(Uninstall_Value value);

struct Uninstall_Value_Text {
    // ERROR_SUCCESS, a missing value's (or entry's) status, or why it could not be read.
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    Lib_StringW text;

    // A value that could not be read is asked again by the stage that wants it, as it asks when it
    // reads the entry itself: each reports such a failure by its own rules.
    bool Unread() const { return status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND; }
};

struct Uninstall_Entry {
    Lib_StringW name;
    Uninstall_Value_Text values[Uninstall_Value_Count];
};

class Uninstall_Entries {
public:
    // The entries of the 64-bit view (0) or, on 64-bit Windows, the 32-bit view (1), in enumeration
    // order and as the pass counts them (without those it counts as removed); null when the view's
    // Uninstall key could not be listed, or there is no such view: the stage then reads for itself.
    // Entries deleted since the walk stay listed: a stage that acts on one reads it again.
    const std::vector<Uninstall_Entry>* In_View(size_t view);

private:
    bool read_ = false;
    bool listed_[2] = {false, false};
    std::vector<Uninstall_Entry> entries_[2];
};
