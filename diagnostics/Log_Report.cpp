#include "diagnostics/Log_Report.h"

#include <stdio.h>

#include <atomic>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "foundation/Lib_Handles.h"

namespace {

// "5(0x5)": the value in signed decimal, then in upper-case hexadecimal.
Lib_StringW Number_Text(int32_t number) {
    WCHAR buffer[Format_Text_Size];
    Format_Text(buffer, TEXT("%d(0x%X)"), number, static_cast<uint32_t>(number));
    return buffer;
}

// Where the reports go.
class Report_Sink {
public:
    // Told of every error report, which goes to the log whatever the sink.
    virtual void Count_Error_Report() = 0;
    // An information line, indented one step further than the log stands.
    virtual void Info(const Lib_StringW& line) = 0;
    // An information line where the log stands.
    virtual void Info_Here(const Lib_StringW& line) = 0;
    virtual void Enter_Scope(const Lib_StringW& scope) = 0;
    virtual void Exit_Scope(const Lib_StringW& scope) = 0;
    virtual void Console(const WCHAR* text) = 0;

protected:
    ~Report_Sink() = default;
};

// The whole log and the console.
class Full_Sink final : public Report_Sink {
public:
    void Count_Error_Report() override {}
    void Info(const Lib_StringW& line) override {
        DWORD last_error = GetLastError();
        Log_Indent();
        Log_Write_Line(line, Log_Level_Info);
        SetLastError(last_error);
        Log_Unindent();
    }
    void Info_Here(const Lib_StringW& line) override {
        DWORD last_error = GetLastError();
        Log_Write_Line(line, Log_Level_Info);
        SetLastError(last_error);
    }
    void Enter_Scope(const Lib_StringW& scope) override {
        DWORD entry_error = GetLastError();
        Lib_StringW module = Get_Module_File_Name(nullptr);
        DWORD module_error = GetLastError();
        Log_Write_Line(module + TEXT("!") + scope, Log_Level_Trace);
        Log_Indent();
        SetLastError(module_error);
        SetLastError(entry_error);
    }
    void Exit_Scope(const Lib_StringW& scope) override {
        DWORD entry_error = GetLastError();
        Lib_StringW module = Get_Module_File_Name(nullptr);
        DWORD module_error = GetLastError();
        Lib_StringW text = module + TEXT("!") + scope + TEXT(" exits");
        Log_Unindent();
        // The end of an outermost operation stands apart in the log.
        if (Log_Get_Offset() == 0) text.Append(TEXT("\n"));
        Log_Write_Line(text, Log_Level_Trace);
        SetLastError(module_error);
        SetLastError(entry_error);
    }
    void Console(const WCHAR* text) override { wprintf(TEXT("%ls"), text); }
};

// Error reports alone, counted.
class Quiet_Sink final : public Report_Sink {
public:
    void Count_Error_Report() override { ++error_reports; }
    void Info(const Lib_StringW&) override {}
    void Info_Here(const Lib_StringW&) override {}
    void Enter_Scope(const Lib_StringW&) override { Log_Indent(); }
    void Exit_Scope(const Lib_StringW&) override { Log_Unindent(); }
    void Console(const WCHAR*) override {}

    std::atomic<unsigned> error_reports{0};
};

Full_Sink The_Full_Sink;
Quiet_Sink The_Quiet_Sink;
std::atomic<Report_Sink*> The_Sink{&The_Full_Sink};

}  // namespace

Quiet_Log::Quiet_Log() {
    The_Quiet_Sink.error_reports = 0;
    The_Sink = &The_Quiet_Sink;
}

Quiet_Log::~Quiet_Log() { The_Sink = &The_Full_Sink; }

unsigned Quiet_Log::Error_Reports() const { return The_Quiet_Sink.error_reports; }

void Log_Error_Report(const Lib_StringW& name, const Lib_Result& result) {
    DWORD last_error = GetLastError();
    The_Sink.load()->Count_Error_Report();
    Log_Write_Line(name, Log_Level_Error);
    Log_Write_Line(Lib_StringW(TEXT("Error source ")) + Number_Text(result.Get_Source()), Log_Level_Error);
    Log_Write_Line(Lib_StringW(TEXT("Error code   ")) + Number_Text(result.Get_Code()), Log_Level_Error);

    // Windows has texts for its own error values only.
    if (result.Get_Source() != Lib_Result_Source_System) {
        SetLastError(last_error);
        return;
    }
    Owned_Local<char*> message;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, static_cast<DWORD>(result.Get_Code()),
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(message.Receive()),
                                  0, nullptr);
    if (length != 0 && message.Is_Open()) {
        // The system's text keeps its own line break; the log line adds another after it.
        Lib_StringW text(message.Get());
        message.Close();
        Log_Write_Line(Lib_StringW(TEXT("Error message: ")) + text, Log_Level_Info);
    }
    SetLastError(last_error);
}

bool Report_System_Error(const Lib_StringW& name, DWORD error) {
    Lib_Result result;
    result.Set(static_cast<int32_t>(error), Lib_Result_Source_System);
    Log_Error_Report(name, result);
    return true;
}

bool Report_C_Runtime_Error(const Lib_StringW& name, int error) {
    Lib_Result result;
    result.Set(static_cast<int32_t>(error), Lib_Result_Source_C_Runtime);
    Log_Error_Report(name, result);
    return true;
}

void Log_Info(const Lib_StringW& text) { The_Sink.load()->Info(text); }

void Log_Info_Detail(const Lib_StringW& text, const Lib_StringW& detail) {
    The_Sink.load()->Info(text + TEXT(" ") + detail);
}

void Log_Info_Code(const Lib_StringW& text, int32_t number) {
    The_Sink.load()->Info_Here(text + TEXT(" ") + Number_Text(number));
}

bool Trace_Enter_Scope(const Lib_StringW& scope) {
    The_Sink.load()->Enter_Scope(scope);
    return true;
}

bool Trace_Exit_Scope(const Lib_StringW& scope) {
    The_Sink.load()->Exit_Scope(scope);
    return true;
}

void Console_Print(const WCHAR* text) { The_Sink.load()->Console(text); }

Lib_StringW Get_Module_File_Name(HMODULE module) {
    DWORD last_error = GetLastError();
    Lib_StringW path;
    DWORD length = GetModuleFileNameW(module, path.Get_Buffer_Set_Length(MAX_PATH), MAX_PATH);
    if (length == 0) {
        path.Clear();
        return path;
    }
    path.Get_Buffer_Set_Length(length < MAX_PATH ? length : MAX_PATH - 1);
    // The file name follows the last backslash.
    int after_separator = 0;
    for (int found = path.Find(TEXT("\\")); found >= 0; found = path.Find(TEXT("\\"), found + 1)) {
        after_separator = found + 1;
    }
    SetLastError(last_error);
    return path.Mid(after_separator, path.Get_Length() - after_separator);
}
