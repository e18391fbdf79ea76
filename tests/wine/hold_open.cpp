// A helper of the Wine tests: holds files open while the tool runs beside it, in the same Wine
// session, so that the tool meets them as files in use by another process.
//
//   hold_open.exe [--read-only FILE]... [--shared SHARING FILE]... [--stop STOPFILE] [FILE...]
//
// 1. Each --read-only FILE gets FILE_ATTRIBUTE_READONLY (its other attributes kept), read back to make
//    sure; prints "read-only FILE".
// 2. Each FILE is opened with CreateFileW(GENERIC_READ, no sharing, OPEN_EXISTING); prints "open FILE".
//    Each --shared SHARING FILE is opened with CreateFileW(GENERIC_READ | GENERIC_WRITE, the sharing
//    that the letters of SHARING name (r reading, w writing, d deletion), OPEN_EXISTING); prints
//    "open FILE share=SHARING".
// 3. Prints "holding" once all of that is done: the caller may start the tool now.
// 4. Waits until STOPFILE exists (polled every 50 ms; never longer than 15 minutes), or without
//    --stop until it is killed; then closes the files, prints "released" and ends with 0.
// Any failure prints a "FAIL ..." line with the error value and ends with 2 before "holding".
// Windows paths, one argument each; output lines in UTF-8 with LF line ends, flushed one by one.
#include <windows.h>
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::string To_Utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

void Say(const char* what, const wchar_t* path)
{
    if (path != nullptr)
        printf("%s %s\n", what, To_Utf8(path).c_str());
    else
        printf("%s\n", what);
    fflush(stdout);
}

int Fail(const char* what, const wchar_t* path, DWORD error)
{
    printf("FAIL %s %s: error %lu\n", what, To_Utf8(path).c_str(), static_cast<unsigned long>(error));
    fflush(stdout);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t* argv[])
{
    std::vector<const wchar_t*> read_only;
    std::vector<const wchar_t*> to_hold;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> to_share;  // sharing letters, file
    const wchar_t* stop_file = nullptr;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring argument = argv[i];
        if (argument == L"--shared" && i + 2 < argc)
        {
            to_share.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
        }
        else if ((argument == L"--read-only" || argument == L"--stop") && i + 1 < argc)
        {
            if (argument == L"--read-only")
                read_only.push_back(argv[++i]);
            else
                stop_file = argv[++i];
        }
        else if (argument.compare(0, 2, L"--") == 0)
        {
            printf("FAIL usage: hold_open.exe [--read-only FILE]... [--shared SHARING FILE]... [--stop STOPFILE] "
                   "[FILE...]\n");
            fflush(stdout);
            return 2;
        }
        else
        {
            to_hold.push_back(argv[i]);
        }
    }

    for (const wchar_t* path : read_only)
    {
        const DWORD attributes = GetFileAttributesW(path);
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return Fail("GetFileAttributesW", path, GetLastError());
        if (!SetFileAttributesW(path, attributes | FILE_ATTRIBUTE_READONLY))
            return Fail("SetFileAttributesW", path, GetLastError());
        const DWORD after = GetFileAttributesW(path);
        if (after == INVALID_FILE_ATTRIBUTES || (after & FILE_ATTRIBUTE_READONLY) == 0)
            return Fail("read-only attribute not kept on", path, after);
        Say("read-only", path);
    }

    std::vector<HANDLE> handles;
    for (const wchar_t* path : to_hold)
    {
        HANDLE handle = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return Fail("CreateFileW", path, GetLastError());
        handles.push_back(handle);
        Say("open", path);
    }
    for (const auto& shared : to_share)
    {
        DWORD sharing = 0;
        for (const wchar_t* letter = shared.first; *letter != 0; ++letter)
        {
            if (*letter == L'r')
                sharing |= FILE_SHARE_READ;
            else if (*letter == L'w')
                sharing |= FILE_SHARE_WRITE;
            else if (*letter == L'd')
                sharing |= FILE_SHARE_DELETE;
            else
                return Fail("sharing letters (r, w, d) for", shared.second, ERROR_INVALID_PARAMETER);
        }
        HANDLE handle = CreateFileW(shared.second, GENERIC_READ | GENERIC_WRITE, sharing, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return Fail("CreateFileW", shared.second, GetLastError());
        handles.push_back(handle);
        printf("open %s share=%s\n", To_Utf8(shared.second).c_str(), To_Utf8(shared.first).c_str());
        fflush(stdout);
    }
    Say("holding", nullptr);

    if (stop_file == nullptr)
    {
        for (;;)
            Sleep(INFINITE);
    }
    // A file as the signal: the test harness makes it on the host side, no Windows process needed.
    const DWORD limit_ms = 15 * 60 * 1000;
    const DWORD started = GetTickCount();
    while (GetFileAttributesW(stop_file) == INVALID_FILE_ATTRIBUTES)
    {
        if (GetTickCount() - started > limit_ms)
        {
            Say("FAIL no stop file within 15 minutes:", stop_file);
            return 3;
        }
        Sleep(50);
    }
    for (HANDLE handle : handles)
        CloseHandle(handle);
    Say("released", nullptr);
    return 0;
}
