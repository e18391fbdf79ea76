// The stage that schedules the quiet uninstall of the installer bundle named by the tool's argument
// for the next logon.
#pragma once

#include "foundation/Lib_String.h"

// The bundle upgrade code (compared without regard to letter case); an empty one finds nothing.
void Remove_Self(const Lib_StringW& bundle_upgrade_code);
