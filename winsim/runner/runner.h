// What the runner's commands share.
#pragma once

#include "machine.h"

#include <string>
#include <vector>

// Loads a scenario folder; errors are given with the folder in front of the file's name.
bool Load_Machine(winsim::Machine& machine, const std::string& folder, std::string& error);
// The paths that PendingFileRenameOperations deletes at the next restart, one a line.
std::string Pending_Deletes(winsim::Machine& machine);
// vpsim sweep: every call of a whole run driven to failure (sweep.cpp).
int Sweep(const std::vector<std::string>& args);
