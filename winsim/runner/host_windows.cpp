// vpsim's host on Windows (vpsim.exe): the arguments come from the UTF-16 command line, so that any
// folder name reaches the runner; standard output and error are binary, so that the text and JSON
// are the same bytes as on Linux, and a console shows UTF-8 while vpsim runs.
#include "runner/host.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <memory>

namespace {

std::string Utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.pop_back();  // the terminating zero
    return out;
}

struct Local_Free {
    void operator()(LPWSTR* block) const { LocalFree(block); }
};

UINT Console_Code_Page = 0;  // the console's output code page before vpsim set UTF-8

void Restore_Console_Code_Page() { SetConsoleOutputCP(Console_Code_Page); }

bool Is_Console(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

}  // namespace

std::vector<std::string> Host_Start(int argc, char* argv[]) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    if ((Is_Console(stdout) || Is_Console(stderr)) && GetConsoleOutputCP() != CP_UTF8) {
        Console_Code_Page = GetConsoleOutputCP();
        if (SetConsoleOutputCP(CP_UTF8)) std::atexit(Restore_Console_Code_Page);
    }
    int count = 0;
    std::unique_ptr<LPWSTR, Local_Free> wide(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!wide) return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) args.push_back(Utf8(wide.get()[i]));
    return args;
}
