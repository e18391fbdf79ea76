// What collect-machine.cmd writes beside (or instead of) registry.reg and drive_c/ in a scenario
// folder: registry/*.reg, one `reg export` per branch, and drive_c.listing, the folders the tool
// lists or deletes from, as names, attributes and sizes instead of file copies.
#pragma once

#include <string>

#include "machine/machine.h"

namespace winsim {

// Imports registry/*.reg (in name order) and applies drive_c.listing, when present. Errors name the
// file (and line) relative to the scenario folder.
bool Load_Collected(Machine& machine, const std::string& folder, std::string& error);

// drive_c.listing's bytes applied to the machine; refused with "drive_c.listing:LINE: message".
bool Load_Listing(Machine& machine, const std::vector<uint8_t>& bytes, std::string& error);

// Writes drive_c.listing for the files whose contents are not known (none: no file).
bool Save_Collected(const Machine& machine, const std::string& folder, std::string& error);

}  // namespace winsim
