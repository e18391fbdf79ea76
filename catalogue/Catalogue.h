// The fixed names that the removal stages work on.
#pragma once

#include <windows.h>


// A read-only table of names, walked in order.
struct Name_Table {
    const WCHAR* const* names;
    size_t count;

    const WCHAR* const* begin() const { return names; }
    const WCHAR* const* end() const { return names + count; }
};

// File names of the binaries installed into the system folders.
extern const Name_Table Driver_Binaries;
// File names of the control-panel shortcuts (the Russian name first).
extern const Name_Table Control_Panel_Shortcuts;
// Names under which the smart-card types are registered.
extern const Name_Table Smart_Card_Names;

