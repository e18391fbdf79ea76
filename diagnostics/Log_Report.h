// The operations through which every part of the tool writes to the log: error reports, progress
// messages and trace lines; during a read-only pass over the machine only error reports. Each leaves
// the thread's last-error value as it found it.
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
// Prints the text on the console, except during a read-only pass over the machine.
void Console_Print(const WCHAR* text);
// The running executable's file name, without its folder; empty when it cannot be found.
Lib_StringW Get_Module_File_Name(HMODULE module);
