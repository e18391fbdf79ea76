// The log file in the Windows directory's TEMP folder, mirrored to the debugger output, and the run
// header at its start.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

#include "foundation/Lib_String.h"

// The level of a log line.
enum Log_Level : int32_t {
    Log_Level_Error = 1,
    Log_Level_Warning = 2,
    Log_Level_Info = 4,
    Log_Level_Trace = 8,
};

// The size, in characters with the terminating zero, of the buffers that Format_Text fills.
const int Format_Text_Size = 260;

// Appends one line (the thread's indentation, the level's prefix, the text, a line feed) to the run's
// log file and hands the same line to the debugger output. The first line of a process that has not
// created its log with Log_Create_File creates it. Changes the thread's last-error value.
void Log_Write_Line(const Lib_StringW& text, Log_Level level);
// Builds the log file's usual path; creates its folder. True when the folder exists and is a folder of
// its own: a folder that is a junction or symbolic link is not written through (the debugger output
// says so).
bool Log_Get_File_Path(Lib_StringW& path);
// What became of the previous run's log file.
enum class Log_Removal {
    Removed,         // deleted, or not there
    Held_By_Oplock,  // another process holds an opportunistic lock on it: left alone, not waited for
    Not_Removed,     // anything else (in use, a folder, read-only, ...)
};
// Deletes the previous run's log file at path (the entry itself, never what a link points to)
// without ever waiting for another process: on Windows 7 and later an opportunistic lock on it
// leaves it in place.
Log_Removal Log_Delete_File(const Lib_StringW& path);
// Starts the run's log: deletes the previous run's file and creates a new one in its place, which only
// this run writes (held open until the process ends, others may only read it). When that name can be
// neither deleted nor created, vpRemovalTool-XXXXXXXXXXXXXXXX.txt (16 random hexadecimal digits, a name
// nobody can take ahead of the run) is created in the same folder and its path printed on the console;
// when no file can be created, the console says so and the lines reach the debugger output only.
// A name another process holds an opportunistic lock on is not tried again, and the header says
// why the log is elsewhere (Log_Write_Header). True
// when the run has a log file.
bool Log_Create_File();
// Makes an entry under a name nobody can know before: STEM, 16 hexadecimal digits from the system's
// random source, END. create makes the entry at the path given, only where none exists (false with the
// thread's last error); a name found taken is replaced by another a few times. True with the path of
// what was made; false with the last error of the failed call, and failed_call set to "RtlGenRandom"
// when that was the random source (else left as the caller set it).
bool Log_Create_Unpredictable(const Lib_StringW& stem, const WCHAR* end,
                              const std::function<bool(const Lib_StringW&)>& create, Lib_StringW& path,
                              const WCHAR*& failed_call);
// Names the log (without folder or extension) before it is started: vpRemovalTool unless told.
void Log_Set_Base_Name(const WCHAR* base_name);
// Closes the run's log file; the next line creates a new one.
void Log_Close_File();
// Writes the header: title, UTC time of day, OS name and bitness, then the tool's version, the command
// line, the account and the computer (Run_Identity.h); then, when another process's opportunistic lock
// kept the log from its usual name, a line saying so.
void Log_Write_Header();
Lib_StringW Get_OS_Name();
bool Is_64Bit_OS();
// Formats into the caller's buffer of Format_Text_Size characters; the count written, or -1 with the
// buffer left empty.
int Format_Text(WCHAR (&buffer)[Format_Text_Size], const WCHAR* format, ...);
