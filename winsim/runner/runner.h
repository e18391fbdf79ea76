// What the runner's commands share.
#pragma once

#include "machine/machine.h"

#include <filesystem>
#include <string>
#include <vector>

// Loads a scenario folder; errors are given with the folder in front of the file's name.
bool Load_Machine(winsim::Machine& machine, const std::string& folder, std::string& error);
// The names the tool's log and registry backup take in the log folder (upper case).
bool Is_Log_Name(const std::string& upper_name);
bool Is_Backup_Folder_Name(const std::string& upper_name);
// The path with the random part of the backup folder's name left out (VPREMOVALTOOL-BACKUP), so that
// runs whose backups differ only in it compare equal.
std::string Without_Backup_Folder_Name(const std::string& upper_path);
// Runs the tool's entry point on the machine: argv[0] is the machine's module path, then the given
// arguments; returns the exit code. left_open receives a line for each object the run opened and did
// not give back (winsim::Left_Open), but for the log and backup files the tool holds by design; any
// such object fails the run.
int Run_Tool(winsim::Machine& machine, const std::vector<winsim::Text>& tool_args,
             std::vector<std::string>& left_open);
// The paths that PendingFileRenameOperations deletes at the next restart, one a line.
std::string Pending_Deletes(winsim::Machine& machine);
// Writes a run's machine to out_dir with what it leaves beside it: console.txt, debug-output.txt,
// exit-code.txt (the exact code), pending-deletes.txt and security.txt.
bool Save_Run(winsim::Machine& machine, int exit_code, const std::string& out_dir, std::string& error);
// Writes text to a file as it is; false with the file named in error.
bool Write_Text(const std::filesystem::path& path, const std::string& text, std::string& error);
// vpsim fleet: the preview of every collection below a folder, and one page of them all (fleet.cpp).
int Fleet(const std::vector<std::string>& args);
// vpsim sweep: every call of a whole run driven to failure (sweep.cpp).
int Sweep(const std::vector<std::string>& args);
