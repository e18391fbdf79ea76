// Per-thread indentation of log lines, and the process-wide lock that serialises the log.
#pragma once

#include <windows.h>

#include "foundation/Lib_Mutex.h"
#include "foundation/LibT_Set.h"

// The indentation record of one thread, in blanks (a multiple of 3).
struct logOffset_Info {
    DWORD thread_id;
    DWORD offset;
};

// One step of indentation, in blanks.
const DWORD Log_Indent_Step = 3;

void Log_Indent();
void Log_Unindent();
DWORD Log_Get_Offset();

// The lock under which every log line is written and the indentation records are touched.
Lib_Mutex& Log_Lock();
