// Checks, under Wine, the C runtime pieces that the MinGW build supplies itself (mingw/fread_s.cpp),
// against the real msvcrt streams: prints one line per case and returns 0 when all hold.
#include <windows.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect(bool holds, const char* name)
{
    printf("%s %s\n", holds ? "ok" : "FAIL", name);
    if (!holds)
        ++failures;
}

static bool write_file(const wchar_t* path, const char* bytes, size_t size)
{
    FILE* file = nullptr;
    if (_wfopen_s(&file, path, L"wb") != 0 || file == nullptr)
        return false;
    const bool written = fwrite(bytes, 1, size, file) == size;
    fclose(file);
    return written;
}

static FILE* open_file(const wchar_t* path, const wchar_t* mode)
{
    FILE* file = nullptr;
    if (_wfopen_s(&file, path, mode) != 0)
        return nullptr;
    return file;
}

int wmain()
{
    const wchar_t* crlf = L"C:\\crt_check_crlf.txt";
    const wchar_t* ten = L"C:\\crt_check_ten.bin";
    if (!write_file(crlf, "abc\r\ndef", 8) || !write_file(ten, "0123456789", 10))
    {
        printf("FAIL cannot write the test files\n");
        return 1;
    }

    char buffer[16];
    FILE* file = open_file(crlf, L"rb");
    memset(buffer, '#', sizeof buffer);
    expect(file && fread_s(buffer, sizeof buffer, 1, 8, file) == 8 && memcmp(buffer, "abc\r\ndef#", 9) == 0,
           "binary read returns all 8 bytes unchanged");
    if (file) fclose(file);

    file = open_file(crlf, L"r");
    memset(buffer, '#', sizeof buffer);
    expect(file && fread_s(buffer, sizeof buffer, 1, 8, file) == 7 && memcmp(buffer, "abc\ndef#", 8) == 0,
           "text read turns CR LF into LF and counts 7 bytes");
    if (file) fclose(file);

    file = open_file(ten, L"rb");
    memset(buffer, '#', sizeof buffer);
    expect(file && fread_s(buffer, sizeof buffer, 1, 0, file) == 0 && buffer[0] == '#',
           "count 0 reads nothing");
    expect(file && fread_s(buffer, sizeof buffer, 0, 4, file) == 0 && buffer[0] == '#',
           "element size 0 reads nothing");
    errno = 0;
    expect(file && fread_s(nullptr, sizeof buffer, 1, 4, file) == 0 && errno == EINVAL,
           "null buffer gives 0 and EINVAL");
    errno = 0;
    expect(fread_s(buffer, sizeof buffer, 1, 4, nullptr) == 0 && errno == EINVAL,
           "null stream gives 0 and EINVAL");
    expect(file && fread_s(buffer, sizeof buffer, 4, 3, file) == 2 && memcmp(buffer, "01234567", 8) == 0,
           "only whole elements are counted (10 bytes, elements of 4)");
    if (file) fclose(file);

    file = open_file(ten, L"rb");
    memset(buffer, '#', sizeof buffer);
    errno = 0;
    const size_t too_small = file ? fread_s(buffer, 4, 1, 10, file) : 99;
    expect(too_small == 0 && errno == ERANGE && memcmp(buffer, "\0\0\0\0####", 8) == 0,
           "a buffer too small for the data gives 0 and ERANGE and is cleared");
    if (file) fclose(file);

    file = open_file(ten, L"rb");
    memset(buffer, '#', sizeof buffer);
    expect(file && fread_s(buffer, 10, 1, 12, file) == 10 && memcmp(buffer, "0123456789#", 11) == 0,
           "a request beyond the buffer reads the whole file when it fits");
    if (file) fclose(file);

    DeleteFileW(crlf);
    DeleteFileW(ten);
    return failures == 0 ? 0 : 1;
}
