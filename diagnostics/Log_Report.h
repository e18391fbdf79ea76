// The operations through which every part of the tool writes to the log: error reports, progress
// messages and trace lines; while a Quiet_Log lives only error reports. Each leaves the thread's
// last-error value as it found it.
#pragma once

#include <windows.h>

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_String.h"

bool Report_System_Error(const Lib_StringW& name, DWORD error);
// The same for an errno value of the C runtime (no message text).
bool Report_C_Runtime_Error(const Lib_StringW& name, int error);
void Log_Error_Report(const Lib_StringW& name, const Lib_Result& result);
void Log_Info(const Lib_StringW& text);
void Log_Info_Detail(const Lib_StringW& text, const Lib_StringW& detail);
void Log_Info_Code(const Lib_StringW& text, int32_t number);
bool Trace_Enter_Scope(const Lib_StringW& scope);
bool Trace_Exit_Scope(const Lib_StringW& scope);
// Prints the text on the console, except while a Quiet_Log lives.
void Console_Print(const WCHAR* text);

// While it lives, the reports go to a quiet sink: the log takes error reports only, which it counts,
// and the console nothing (the trace scopes keep their indentation for the error reports). The sink
// of a read-only pass over the machine. One at a time, made and ended on the main thread while no
// other thread reports.
class Quiet_Log {
public:
    Quiet_Log();
    ~Quiet_Log();
    Quiet_Log(const Quiet_Log&) = delete;
    Quiet_Log& operator=(const Quiet_Log&) = delete;
    // The error reports made since it was made.
    unsigned Error_Reports() const;
};
// The running executable's file name, without its folder; empty when it cannot be found.
Lib_StringW Get_Module_File_Name(HMODULE module);
