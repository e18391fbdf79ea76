// The log file in the Windows directory's TEMP folder, mirrored to the debugger output, and the run
// header at its start.
#pragma once

#include <windows.h>

#include <cstdint>

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

// Appends one line (the thread's indentation, the level's prefix, the text, a line feed) to the log
// file and hands the same line to the debugger output. Changes the thread's last-error value.
void Log_Write_Line(const Lib_StringW& text, Log_Level level);
// Builds the log file's path; creates its folder. True when the folder exists.
bool Log_Get_File_Path(Lib_StringW& path);
// Deletes the previous run's log file; true when it was deleted or was not there.
bool Log_Delete_File();
// Writes the four header lines: title, UTC time of day, OS name and bitness.
void Log_Write_Header();
Lib_StringW Get_OS_Name();
bool Is_64Bit_OS();
// Formats into the caller's buffer of Format_Text_Size characters; the count written, or -1 with the
// buffer left empty.
int Format_Text(WCHAR (&buffer)[Format_Text_Size], const WCHAR* format, ...);
