#include "diagnostics/Log_File.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#include "diagnostics/Log_Indent.h"

namespace {

const WCHAR* const Log_Folder_Name = TEXT("TEMP");
const WCHAR* const Log_File_Name = TEXT("vpRemovalTool.txt");

// Writes one header line as an information line one step deeper than the caller, keeping the
// thread's last-error value.
void Write_Header_Line(const Lib_StringW& text) {
    DWORD last_error = GetLastError();
    Log_Indent();
    Log_Write_Line(text, Log_Level_Info);
    SetLastError(last_error);
    Log_Unindent();
}

// VerifyVersionInfoW: is the system at least major.minor with service pack 0?
bool Is_Version_At_Least(DWORD major, DWORD minor) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = 0;
    ULONGLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                              condition) != FALSE;
}

// The system counts as a server when it does not answer as a workstation.
bool Is_Server() {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.wProductType = VER_NT_WORKSTATION;
    ULONGLONG condition = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    return VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, condition) == FALSE;
}

bool Is_XP_Embedded() {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 1;
    info.wSuiteMask = VER_SUITE_EMBEDDEDNT;
    ULONGLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SUITENAME, VER_AND);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SUITENAME, condition) != FALSE;
}

}  // namespace

void Log_Write_Line(const Lib_StringW& text, Log_Level level) {
    Lib_StringW line;
    for (DWORD blanks = Log_Get_Offset(); blanks > 0; --blanks) line.Append(TEXT(" "));
    if (level == Log_Level_Error) {
        line.Append(TEXT("Error occurred in function: "));
    } else if (level == Log_Level_Warning) {
        line.Append(TEXT("Warning: "));
    }
    line.Append(text);
    line.Append(TEXT("\n"));

    Lib_StringW path;
    bool have_path = Log_Get_File_Path(path);

    Log_Lock().Wait(INFINITE);
    if (have_path) {
        // Opened without sharing, appended to and closed again for every line: no handle stays open
        // between lines, and another process is held off only while a line is written.
        FILE* file = nullptr;
        if (_wfopen_s(&file, path.Get_Text(), TEXT("a")) == 0 && file != nullptr) {
            LibT_Buffer<char> ansi = line.To_Ansi_Buffer();
            if (ansi.Get_Data() != nullptr && ansi.Get_Size() > 1) {
                fwrite(ansi.Get_Data(), 1, ansi.Get_Size() - 1, file);
            }
            fclose(file);
        }
    }
    OutputDebugStringW(line.Get_Text());
    Log_Lock().Release();
}

bool Log_Get_File_Path(Lib_StringW& path) {
    WCHAR windows_directory[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(windows_directory, MAX_PATH);
    if (length == 0 || length > MAX_PATH) return false;
    path = windows_directory;
    path.Append(TEXT("\\"));
    path.Append(Log_Folder_Name);
    if (CreateDirectoryW(path.Get_Text(), nullptr) != TRUE && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    path.Append(TEXT("\\"));
    path.Append(Log_File_Name);
    return true;
}

bool Log_Delete_File() {
    Lib_StringW path;
    if (!Log_Get_File_Path(path)) return false;
    if (DeleteFileW(path.Get_Text()) == TRUE) return true;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void Log_Write_Header() {
    Write_Header_Line(TEXT("VESPARIO Drivers Removal Tool"));

    DWORD last_error = GetLastError();
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    WCHAR time_text[Format_Text_Size];
    Format_Text(time_text, TEXT("%.2d:%.2d:%.2d:%.3d"), now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    Write_Header_Line(time_text);
    SetLastError(last_error);

    Write_Header_Line(TEXT("OS info:"));

    // The version questions leave their own last-error value behind when they answer no.
    last_error = GetLastError();
    Lib_StringW os_line = Get_OS_Name();
    SetLastError(last_error);
    os_line.Append(TEXT("\n   OS bitness: "));
    os_line.Append(Is_64Bit_OS() ? TEXT("64-bit") : TEXT("32-bit"));
    Write_Header_Line(os_line);
}

Lib_StringW Get_OS_Name() {
    struct Version_Row {
        DWORD major;
        DWORD minor;
        const WCHAR* server_name;
        const WCHAR* workstation_name;
    };
    static const Version_Row rows[] = {
        {6, 3, TEXT("Windows 2012 R2 server"), TEXT("Windows 8.1")},
        {6, 2, TEXT("Windows 2012 server"), TEXT("Windows 8")},
        {6, 1, TEXT("Windows 2008 R2 server"), TEXT("Windows 7")},
        {6, 0, TEXT("Windows 2008 server"), TEXT("Windows Vista")},
    };
    if (Is_Version_At_Least(10, 0)) return TEXT("Windows 10");
    for (const Version_Row& row : rows) {
        if (Is_Version_At_Least(row.major, row.minor)) {
            return Is_Server() ? row.server_name : row.workstation_name;
        }
    }
    if (Is_Version_At_Least(5, 1)) {
        if (Is_Server()) return TEXT("Windows 2003 server");
        return Is_XP_Embedded() ? TEXT("Windows XP Embedded") : TEXT("Windows XP");
    }
    return TEXT("Unsupported OS");
}

// The tool exists only as a 64-bit executable, which runs only on 64-bit Windows.
bool Is_64Bit_OS() { return true; }

int Format_Text(WCHAR (&buffer)[Format_Text_Size], const WCHAR* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int written = _vsnwprintf_s(buffer, Format_Text_Size, _TRUNCATE, format, arguments);
    va_end(arguments);
    if (written < 0) buffer[0] = 0;
    return written;
}
