#include "diagnostics/Log_File.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>
#include <ntsecapi.h>

#include <initializer_list>
#include <string>

#include "diagnostics/Log_Indent.h"
#include "diagnostics/Run_Identity.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Windows_Version.h"

#ifndef ERROR_CANNOT_BREAK_OPLOCK
#define ERROR_CANNOT_BREAK_OPLOCK 802L
#endif
#ifndef FILE_FLAG_OPEN_REQUIRING_OPLOCK  // Windows 7 and later; older MinGW-w64 headers lack it
#define FILE_FLAG_OPEN_REQUIRING_OPLOCK 0x00040000
#endif

namespace {

const WCHAR* const Log_Folder_Name = TEXT("TEMP");
// The log's name without its extension. When the usual name is taken by something that cannot be
// deleted, the log gets NAME-XXXXXXXXXXXXXXXX.txt, a name nobody can know before the run makes it.
const WCHAR* Log_Base_Name = TEXT("vpRemovalTool");
const WCHAR* const Log_Name_End = TEXT(".txt");

// The run's log: one file that the run created itself and writes every line through. Touched under
// Log_Lock only.
struct Run_Log {
    Owned_Handle file;
    bool started = false;  // the file was created, or could not be
    // Why the log is not at its usual name, for the header to say; empty when nothing needs saying.
    Lib_StringW note;
};
Run_Log The_Log;

// What starting the log found, for the console line that follows once the lock is let go.
enum class Log_Start { None_Started, Usual_Name, Other_Name, No_File };

// Creates a file of the given name that nothing else has: only where no entry of that name exists,
// never through a link, shared with others for reading only.
Owned_Handle Create_New_File(const Lib_StringW& path) {
    return Owned_Handle(CreateFileW(path.Get_Text(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Starts the run's log: closes a log the process still holds, deletes the previous run's file and
// creates the new one, or one under an unpredictable name. The caller holds Log_Lock.
Log_Start Start_Log(Lib_StringW& path) {
    The_Log.file.Close();
    The_Log.started = true;
    The_Log.note.Clear();
    auto no_file = [] {
        OutputDebugStringW(TEXT("No log file could be created; the log goes to the debugger output only.\n"));
        return Log_Start::No_File;
    };
    if (!Log_Get_File_Path(path)) return no_file();
    // Whatever stands at the usual name (a file held open, a hard link, a folder) is never written:
    // only a file this run has just created is. A name another process holds an opportunistic lock
    // on is left alone: opening it again could make the run wait for that process.
    Log_Removal removal = Log_Delete_File(path);
    if (removal != Log_Removal::Held_By_Oplock) {
        The_Log.file = Create_New_File(path);
        if (The_Log.file.Is_Open()) return Log_Start::Usual_Name;
    }
    const Lib_StringW usual = path;
    Lib_StringW folder = path.Mid(0, path.Reverse_Find(TEXT('\\')) + 1);
    Lib_StringW stem = folder + Log_Base_Name + TEXT("-");
    const WCHAR* failed_call = nullptr;  // the debugger output's note says that no log could be made
    if (!Log_Create_Unpredictable(stem, Log_Name_End, [](const Lib_StringW& name) {
            The_Log.file = Create_New_File(name);
            return The_Log.file.Is_Open();
        }, path, failed_call)) {
        return no_file();
    }
    if (removal == Log_Removal::Held_By_Oplock) {
        The_Log.note = TEXT("Another process holds an opportunistic lock on ");
        The_Log.note.Append(usual);
        The_Log.note.Append(TEXT(", so this run logs to "));
        The_Log.note.Append(path);
        The_Log.note.Append(TEXT(" instead."));
    }
    return Log_Start::Other_Name;
}

// The console line of a log started elsewhere than under its usual name. Printed outside the lock.
void Announce(Log_Start start, const Lib_StringW& path) {
    if (start == Log_Start::Other_Name) {
        wprintf(TEXT("Log file: %ls\n"), path.Get_Text());
    } else if (start == Log_Start::No_File) {
        wprintf(TEXT("Log file: none could be created; the log goes to the debugger output only.\n"));
    }
}

// The ANSI text of a line as the file stores it: each line feed preceded by a carriage return (one
// the line already holds stays before the pair).
std::string With_Line_Ends(const char* text, size_t size) {
    std::string bytes;
    bytes.reserve(size + 8);
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == '\n') bytes += '\r';
        bytes += text[i];
    }
    return bytes;
}

// Writes one header line as an information line one step deeper than the caller, keeping the
// thread's last-error value.
void Write_Header_Line(const Lib_StringW& text) {
    DWORD last_error = GetLastError();
    Log_Indent();
    Log_Write_Line(text, Log_Level_Info);
    SetLastError(last_error);
    Log_Unindent();
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

    Log_Lock().Wait(INFINITE);
    Log_Start start = Log_Start::None_Started;
    Lib_StringW path;
    if (!The_Log.started) start = Start_Log(path);
    if (The_Log.file.Is_Open()) {
        // One write per line, through the handle the run keeps: nobody else can write or delete the
        // file meanwhile, and nothing is buffered across lines.
        LibT_Buffer<char> ansi = line.To_Ansi_Buffer();
        if (ansi.Get_Data() != nullptr && ansi.Get_Size() > 1) {
            std::string bytes = With_Line_Ends(ansi.Get_Data(), size_t(ansi.Get_Size() - 1));
            DWORD written = 0;
            WriteFile(The_Log.file.Get(), bytes.data(), DWORD(bytes.size()), &written, nullptr);
        }
    }
    OutputDebugStringW(line.Get_Text());
    Log_Lock().Release();
    Announce(start, path);
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
    // Only administrators can replace the TEMP folder of the Windows directory; should it be a link
    // all the same, the log is not written through it.
    DWORD attributes = GetFileAttributesW(path.Get_Text());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        Lib_StringW note = TEXT("The log file is not written: ");
        note.Append(path);
        note.Append(TEXT(" is a junction or symbolic link.\n"));
        OutputDebugStringW(note.Get_Text());
        return false;
    }
    path.Append(TEXT("\\"));
    path.Append(Log_Base_Name);
    path.Append(Log_Name_End);
    return true;
}

Log_Removal Log_Delete_File(const Lib_StringW& path) {
    auto failed = [] {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Log_Removal::Removed;
        return error == ERROR_CANNOT_BREAK_OPLOCK ? Log_Removal::Held_By_Oplock : Log_Removal::Not_Removed;
    };
    // Systems before Windows 7 know no open that refuses to break an oplock.
    if (!Is_Version_At_Least(6, 1)) return DeleteFileW(path.Get_Text()) == TRUE ? Log_Removal::Removed : failed();
    // Opened for deletion as DeleteFileW opens it (the entry itself, never a link's target), but
    // failing where that would break another process's opportunistic lock: such an open would wait
    // until that process acknowledged the break, which it may never do. The entry goes when the
    // handle closes.
    Owned_Handle file(CreateFileW(path.Get_Text(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REQUIRING_OPLOCK | FILE_FLAG_OPEN_REPARSE_POINT |
                                      FILE_FLAG_DELETE_ON_CLOSE,
                                  nullptr));
    return file.Is_Open() ? Log_Removal::Removed : failed();
}

void Log_Set_Base_Name(const WCHAR* base_name) { Log_Base_Name = base_name; }

bool Log_Create_Unpredictable(const Lib_StringW& stem, const WCHAR* end,
                              const std::function<bool(const Lib_StringW&)>& create, Lib_StringW& path,
                              const WCHAR*& failed_call) {
    // A name found taken (by chance: nobody can know one ahead) is replaced by a new one a few times.
    const int tries = 4;
    for (int attempt = 0; attempt < tries; ++attempt) {
        unsigned char bytes[8] = {};
        if (!RtlGenRandom(bytes, sizeof(bytes))) {
            failed_call = TEXT("RtlGenRandom");
            if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
            return false;
        }
        static const char digits[] = "0123456789abcdef";
        WCHAR part[2 * sizeof(bytes) + 1] = {};
        for (size_t at = 0; at < sizeof(bytes); ++at) {
            part[2 * at] = WCHAR(digits[bytes[at] >> 4]);
            part[2 * at + 1] = WCHAR(digits[bytes[at] & 15]);
        }
        path = stem + part + end;
        if (create(path)) return true;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

bool Log_Create_File() {
    Log_Lock().Wait(INFINITE);
    Lib_StringW path;
    Log_Start start = Start_Log(path);
    bool created = The_Log.file.Is_Open();
    Log_Lock().Release();
    Announce(start, path);
    return created;
}

void Log_Close_File() {
    Log_Lock().Wait(INFINITE);
    The_Log.file.Close();
    The_Log.started = false;
    Log_Lock().Release();
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

    // What an administrator files the log by: which tool, started how, by whom, where. A report of a
    // name that cannot be read stands with the header's lines.
    last_error = GetLastError();
    for (Lib_StringW (*line)() : {Tool_Version_Line, Command_Line_Line, Account_Line, Computer_Line}) {
        Log_Indent();
        Lib_StringW text = line();
        Log_Unindent();
        Write_Header_Line(text);
    }
    SetLastError(last_error);
    Log_Lock().Wait(INFINITE);
    Lib_StringW note = The_Log.note;
    Log_Lock().Release();
    if (!note.Is_Empty()) {
        last_error = GetLastError();
        Write_Header_Line(note);
        SetLastError(last_error);
    }
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
