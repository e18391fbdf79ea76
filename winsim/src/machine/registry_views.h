// The registry redirector of 64-bit Windows, as a 64-bit process meets it: which keys KEY_WOW64_32KEY
// sends to a Wow6432Node branch and which keys both views share.
#pragma once

#include "machine/machine.h"

#include <vector>

namespace winsim {

// Maps the path of a key below HKEY_LOCAL_MACHINE (machine_hive) or HKEY_CURRENT_USER, one name per
// element, to the physical key that the 32-bit view names by it. Paths already inside a Wow6432Node
// branch and shared keys map to themselves.
std::vector<Text> Path_In_32Bit_View(bool machine_hive, const std::vector<Text>& path);

}  // namespace winsim
