// winsim's kernel calls: folders and file deletion, clock, module name, version test, message texts.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "machine/machine.h"

namespace {

using winsim::The_Machine;

class WinsimKernel : public ::testing::Test {
protected:
    void SetUp() override { The_Machine().Reset(); }
    void TearDown() override { The_Machine().Reset(); }

    winsim::Fs_Node* Add_File(const std::u16string& folder, const std::u16string& name) {
        return The_Machine().Make_Folders(folder)->Add_Child(name, false);
    }
};

TEST_F(WinsimKernel, WindowsDirectoryFitsOrAsksForItsSize) {
    WCHAR buffer[11];
    std::fill(buffer, buffer + 11, u'#');
    EXPECT_EQ(10u, GetWindowsDirectoryW(buffer, 11));
    EXPECT_EQ(std::u16string(u"C:\\Windows"), std::u16string(buffer));

    std::fill(buffer, buffer + 11, u'#');
    EXPECT_EQ(11u, GetWindowsDirectoryW(buffer, 10));  // terminator included in the size asked for
    EXPECT_EQ(u'#', buffer[0]);
}

TEST_F(WinsimKernel, CreateDirectoryReportsExistingAndMissingParent) {
    ASSERT_NE(nullptr, The_Machine().Make_Folders(u"C:\\Windows"));
    EXPECT_TRUE(CreateDirectoryW(u"C:\\Windows\\TEMP", nullptr));
    EXPECT_NE(nullptr, The_Machine().Find_Path(u"C:\\windows\\temp"));

    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryW(u"C:\\WINDOWS\\Temp", nullptr));
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());

    EXPECT_FALSE(CreateDirectoryW(u"C:\\Missing\\Temp", nullptr));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, The_Machine().Find_Path(u"C:\\Missing"));
}

TEST_F(WinsimKernel, DeleteFileGivesWindowsErrorValues) {
    Add_File(u"C:\\Data", u"plain.txt");
    Add_File(u"C:\\Data", u"locked.txt")->attributes |= FILE_ATTRIBUTE_READONLY;
    Add_File(u"C:\\Data", u"busy.dll")->held_open = true;
    The_Machine().Make_Folders(u"C:\\Data\\Sub");

    struct Case {
        const char16_t* path;
        DWORD error;
    } cases[] = {
        {u"C:\\Data\\absent.txt", ERROR_FILE_NOT_FOUND},
        {u"C:\\Nowhere\\absent.txt", ERROR_PATH_NOT_FOUND},
        {u"C:\\Data\\locked.txt", ERROR_ACCESS_DENIED},
        {u"C:\\Data\\Sub", ERROR_ACCESS_DENIED},
        {u"C:\\Data\\busy.dll", ERROR_SHARING_VIOLATION},
        {u"C:\\Data\\bad?.txt", ERROR_INVALID_NAME},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(DeleteFileW(c.path)) << winsim::To_Utf8(c.path);
        EXPECT_EQ(c.error, GetLastError()) << winsim::To_Utf8(c.path);
    }
    EXPECT_NE(nullptr, The_Machine().Find_Path(u"C:\\Data\\locked.txt"));
    EXPECT_NE(nullptr, The_Machine().Find_Path(u"C:\\Data\\busy.dll"));

    EXPECT_TRUE(DeleteFileW(u"C:\\data\\PLAIN.TXT"));
    EXPECT_EQ(nullptr, The_Machine().Find_Path(u"C:\\Data\\plain.txt"));
}

TEST_F(WinsimKernel, DeleteFileRefusesAFileOpenThroughTheRuntime) {
    Add_File(u"C:\\Windows\\TEMP", u"log.txt");
    FILE* file = nullptr;
    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\log.txt", u"a"));
    EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\TEMP\\log.txt"));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    fclose(file);
    EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\TEMP\\log.txt"));
}

TEST_F(WinsimKernel, FaultOnSecondDeleteOfOnePath) {
    Add_File(u"C:\\Data", u"a.txt");
    The_Machine().Add_Fault("DeleteFileW", 2, ERROR_SHARING_VIOLATION, u"b.txt");

    EXPECT_FALSE(DeleteFileW(u"C:\\Data\\b.txt"));  // first call for b.txt: the file is missing
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(DeleteFileW(u"C:\\Data\\a.txt"));  // another path is not counted
    Add_File(u"C:\\Data", u"b.txt");
    EXPECT_FALSE(DeleteFileW(u"C:\\Data\\b.txt"));  // second call for b.txt: the injected fault
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_NE(nullptr, The_Machine().Find_Path(u"C:\\Data\\b.txt"));
    EXPECT_TRUE(DeleteFileW(u"C:\\Data\\b.txt"));
}

TEST_F(WinsimKernel, FaultOnWindowsDirectory) {
    The_Machine().Add_Fault("GetWindowsDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY);
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(0u, GetWindowsDirectoryW(buffer, MAX_PATH));
    EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    EXPECT_EQ(10u, GetWindowsDirectoryW(buffer, MAX_PATH));
}

SYSTEMTIME Time_After(SYSTEMTIME start, ULONGLONG ms) {
    The_Machine().start_time = start;
    The_Machine().clock_ms = 0;
    Sleep(DWORD(ms));
    SYSTEMTIME now{};
    GetSystemTime(&now);
    return now;
}

std::string Show(const SYSTEMTIME& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u (%u) %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                  t.wDayOfWeek, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

TEST_F(WinsimKernel, SystemTimeCarriesAcrossUnits) {
    EXPECT_EQ("2027-01-01 (5) 00:00:00.000", Show(Time_After({2026, 12, 4, 31, 23, 59, 59, 999}, 1)));
    EXPECT_EQ("2028-02-29 (2) 00:00:00.500", Show(Time_After({2028, 2, 1, 28, 23, 59, 59, 500}, 1000)));
    EXPECT_EQ("2027-03-01 (1) 00:00:00.500", Show(Time_After({2027, 2, 0, 28, 23, 59, 59, 500}, 1000)));
    // 3 days, 1 h, 2 min, 3 s and 4 ms after 09:41:07.250
    EXPECT_EQ("2026-12-10 (4) 10:43:10.254",
              Show(Time_After({2026, 12, 1, 7, 9, 41, 7, 250}, 3ull * 86400000 + 3723004)));
}

TEST_F(WinsimKernel, SleepAdvancesTheSimulatedClockOnly) {
    Sleep(1500);
    Sleep(250);
    EXPECT_EQ(1750u, The_Machine().clock_ms);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    EXPECT_EQ("2026-12-07 (1) 09:41:09.000", Show(now));
}

TEST_F(WinsimKernel, ModuleFileNameTruncatesWithTerminator) {
    WCHAR buffer[MAX_PATH];
    SetLastError(0);
    EXPECT_EQ(20u, GetModuleFileNameW(nullptr, buffer, MAX_PATH));
    EXPECT_EQ(std::u16string(u"C:\\vpRemovalTool.exe"), std::u16string(buffer));
    EXPECT_EQ(0u, GetLastError());

    EXPECT_EQ(5u, GetModuleFileNameW(nullptr, buffer, 5));
    EXPECT_EQ(std::u16string(u"C:\\v"), std::u16string(buffer));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    EXPECT_EQ(0u, GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), buffer, MAX_PATH));
    EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST_F(WinsimKernel, RemoteSessionMetricAndDebugOutput) {
    EXPECT_EQ(0, GetSystemMetrics(SM_REMOTESESSION));
    The_Machine().remote_session = true;
    EXPECT_EQ(1, GetSystemMetrics(SM_REMOTESESSION));

    OutputDebugStringW(u"   first\n");
    OutputDebugStringW(u"second\n");
    ASSERT_EQ(2u, The_Machine().debug_output.size());
    EXPECT_EQ(std::u16string(u"   first\n"), The_Machine().debug_output[0]);
    EXPECT_EQ(std::u16string(u"second\n"), The_Machine().debug_output[1]);
}

// ---- version test ----

TEST_F(WinsimKernel, ConditionMaskPlacesThreeBitsPerMember) {
    ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    EXPECT_EQ(0x18ull, mask);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    EXPECT_EQ(0x1801Bull, mask);
    EXPECT_EQ(0x1C0000ull, VerSetConditionMask(0, VER_SUITENAME, VER_OR));
    EXPECT_EQ(0x200000ull, VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL));
}

bool At_Least(DWORD major, DWORD minor, WORD service_pack = 0) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = service_pack;
    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != 0;
}

bool Is_Workstation() {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.wProductType = VER_NT_WORKSTATION;
    return VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL)) != 0;
}

bool Is_Embedded_XP() {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 1;
    info.wSuiteMask = VER_SUITE_EMBEDDEDNT;
    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SUITENAME, VER_AND);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SUITENAME, mask) != 0;
}

// The questions of the run header, in their order, and the name their answers select.
std::string Header_Name() {
    if (At_Least(10, 0)) return "Windows 10";
    const struct {
        DWORD major, minor;
        const char* server;
        const char* workstation;
    } rows[] = {{6, 3, "Windows 2012 R2 server", "Windows 8.1"},
                {6, 2, "Windows 2012 server", "Windows 8"},
                {6, 1, "Windows 2008 R2 server", "Windows 7"},
                {6, 0, "Windows 2008 server", "Windows Vista"}};
    for (const auto& row : rows)
        if (At_Least(row.major, row.minor)) return Is_Workstation() ? row.workstation : row.server;
    if (At_Least(5, 1)) {
        if (!Is_Workstation()) return "Windows 2003 server";
        return Is_Embedded_XP() ? "Windows XP Embedded" : "Windows XP";
    }
    return "Unsupported OS";
}

struct Os_Row {
    DWORD major, minor, build;
    BYTE product_type;
    WORD suite_mask;
    const char* name;
};

class WinsimKernelVersion : public ::testing::TestWithParam<Os_Row> {
protected:
    void SetUp() override { The_Machine().Reset(); }
};

TEST_P(WinsimKernelVersion, HeaderQuestionsSelectTheName) {
    const Os_Row& row = GetParam();
    winsim::Os_Info& os = The_Machine().os;
    os.major = row.major;
    os.minor = row.minor;
    os.build = row.build;
    os.product_type = row.product_type;
    os.suite_mask = row.suite_mask;
    EXPECT_EQ(row.name, Header_Name());
}

INSTANTIATE_TEST_SUITE_P(
    OsTable, WinsimKernelVersion,
    ::testing::Values(Os_Row{10, 0, 19045, VER_NT_WORKSTATION, 0, "Windows 8"},  // answered as 6.2
                      Os_Row{10, 0, 20348, VER_NT_SERVER, 0, "Windows 2012 server"},
                      Os_Row{6, 3, 9600, VER_NT_WORKSTATION, 0, "Windows 8"},
                      Os_Row{6, 3, 9600, VER_NT_DOMAIN_CONTROLLER, 0, "Windows 2012 server"},
                      Os_Row{6, 2, 9200, VER_NT_WORKSTATION, 0, "Windows 8"},
                      Os_Row{6, 1, 7601, VER_NT_SERVER, 0, "Windows 2008 R2 server"},
                      Os_Row{6, 1, 7601, VER_NT_WORKSTATION, 0, "Windows 7"},
                      Os_Row{6, 0, 6002, VER_NT_SERVER, 0, "Windows 2008 server"},
                      Os_Row{6, 0, 6002, VER_NT_WORKSTATION, 0, "Windows Vista"},
                      Os_Row{5, 2, 3790, VER_NT_SERVER, 0, "Windows 2003 server"},
                      Os_Row{5, 1, 2600, VER_NT_WORKSTATION, VER_SUITE_EMBEDDEDNT, "Windows XP Embedded"},
                      Os_Row{5, 1, 2600, VER_NT_WORKSTATION, VER_SUITE_SINGLEUSERTS, "Windows XP"},
                      Os_Row{5, 0, 2195, VER_NT_WORKSTATION, 0, "Unsupported OS"}));

TEST_F(WinsimKernel, VersionAboveSixTwoIsAnsweredAsBuild9200) {
    The_Machine().os = winsim::Os_Info{10, 0, 19045, 0, VER_NT_WORKSTATION, 0};
    SetLastError(0);
    EXPECT_FALSE(At_Least(6, 3));
    EXPECT_EQ(DWORD(ERROR_OLD_WIN_VERSION), GetLastError());
    EXPECT_TRUE(At_Least(6, 2));

    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwBuildNumber = 9200;
    EXPECT_TRUE(VerifyVersionInfoW(&info, VER_BUILDNUMBER, VerSetConditionMask(0, VER_BUILDNUMBER, VER_EQUAL)));
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    EXPECT_TRUE(VerifyVersionInfoW(&info, VER_PLATFORMID, VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)));
}

TEST_F(WinsimKernel, VersionMembersCompareHierarchically) {
    The_Machine().os = winsim::Os_Info{6, 1, 7601, 1, VER_NT_WORKSTATION, 0};
    EXPECT_TRUE(At_Least(6, 0, 2));   // minor above: the service pack is not looked at
    EXPECT_TRUE(At_Least(6, 1, 1));
    EXPECT_FALSE(At_Least(6, 1, 2));  // equal version, service pack below
    EXPECT_TRUE(At_Least(5, 2, 9));

    // The condition of the major version rules the minor version as well.
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = 6;
    info.dwMinorVersion = 0;
    ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_LESS_EQUAL);
    EXPECT_TRUE(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask));

    info.dwMajorVersion = 6;
    info.dwMinorVersion = 2;
    mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_LESS);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_LESS);
    EXPECT_TRUE(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask));
    info.dwMinorVersion = 1;
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask));
    mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL);
    EXPECT_TRUE(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask));
}

TEST_F(WinsimKernel, SuiteMaskWithAndOr) {
    The_Machine().os.suite_mask = VER_SUITE_EMBEDDEDNT | VER_SUITE_SINGLEUSERTS;
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.wSuiteMask = VER_SUITE_EMBEDDEDNT | VER_SUITE_TERMINAL;
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_SUITENAME, VerSetConditionMask(0, VER_SUITENAME, VER_AND)));
    EXPECT_TRUE(VerifyVersionInfoW(&info, VER_SUITENAME, VerSetConditionMask(0, VER_SUITENAME, VER_OR)));
    info.wSuiteMask = VER_SUITE_TERMINAL;
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_SUITENAME, VerSetConditionMask(0, VER_SUITENAME, VER_OR)));
    EXPECT_EQ(DWORD(ERROR_OLD_WIN_VERSION), GetLastError());
}

TEST_F(WinsimKernel, VersionTestWithoutConditionsIsRefused) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_FALSE(VerifyVersionInfoW(&info, 0, VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL)));
    EXPECT_EQ(DWORD(ERROR_BAD_ARGUMENTS), GetLastError());
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION, 0));
    EXPECT_EQ(DWORD(ERROR_BAD_ARGUMENTS), GetLastError());
}

// ---- message texts ----

const DWORD Report_Flags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;

std::string System_Text(DWORD value, DWORD* length = nullptr) {
    char* text = nullptr;
    DWORD count = FormatMessageA(Report_Flags, nullptr, value, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                 reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length) *length = count;
    if (!text) return "<none>";
    std::string result(text);
    EXPECT_EQ(nullptr, LocalFree(text));
    return result;
}

TEST_F(WinsimKernel, FormatMessageGivesTheSystemText) {
    DWORD length = 0;
    EXPECT_EQ("Access is denied.\r\n", System_Text(ERROR_ACCESS_DENIED, &length));
    EXPECT_EQ(19u, length);
    EXPECT_EQ("The operation completed successfully.\r\n", System_Text(0));
    EXPECT_EQ("The process cannot access the file because it is being used by another process.\r\n",
              System_Text(32));
    EXPECT_EQ("No more data is available.\r\n", System_Text(259));
    EXPECT_EQ("The specified program requires a newer version of Windows.\r\n", System_Text(1150));
    EXPECT_EQ("The Smart Card Resource Manager is not running.\r\n", System_Text(0x8010001D));
    EXPECT_EQ("%1 is not a valid Win32 application.\r\n", System_Text(193));  // inserts left as they are
}

TEST_F(WinsimKernel, FormatMessageWithoutTextLeavesNoBuffer) {
    SetLastError(0);
    DWORD length = 99;
    EXPECT_EQ("<none>", System_Text(0xFFFFFFFF, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(DWORD(ERROR_MR_MID_NOT_FOUND), GetLastError());
    EXPECT_EQ("<none>", System_Text(ERROR_DEVICE_INSTALLER_NOT_READY));
}

TEST_F(WinsimKernel, EveryDeclaredErrorValueHasAText) {
    const DWORD values[] = {
        ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
        ERROR_TOO_MANY_OPEN_FILES, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY,
        ERROR_INVALID_DATA, ERROR_OUTOFMEMORY, ERROR_INVALID_DRIVE, ERROR_NO_MORE_FILES, ERROR_WRITE_PROTECT,
        ERROR_NOT_READY, ERROR_GEN_FAILURE, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_HANDLE_EOF,
        ERROR_NOT_SUPPORTED, ERROR_BAD_NETPATH, ERROR_NETWORK_ACCESS_DENIED, ERROR_BAD_NET_NAME,
        ERROR_FILE_EXISTS, ERROR_INVALID_PARAMETER, ERROR_BROKEN_PIPE, ERROR_DISK_FULL,
        ERROR_CALL_NOT_IMPLEMENTED, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_NAME, ERROR_MOD_NOT_FOUND,
        ERROR_PROC_NOT_FOUND, ERROR_DIR_NOT_EMPTY, ERROR_BUSY, ERROR_BAD_PATHNAME, ERROR_ALREADY_EXISTS,
        ERROR_FILENAME_EXCED_RANGE, ERROR_BAD_EXE_FORMAT, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS,
        ERROR_DIRECTORY, ERROR_NOT_OWNER, ERROR_PARTIAL_COPY, ERROR_INVALID_ADDRESS, ERROR_ARITHMETIC_OVERFLOW,
        ERROR_OPERATION_ABORTED, ERROR_NOACCESS, ERROR_CANTOPEN, ERROR_CANTREAD, ERROR_CANTWRITE,
        ERROR_REGISTRY_RECOVERED, ERROR_REGISTRY_CORRUPT, ERROR_REGISTRY_IO_FAILED, ERROR_KEY_DELETED,
        ERROR_CHILD_MUST_BE_VOLATILE, ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_NOT_ACTIVE,
        ERROR_INVALID_FLAGS, ERROR_NO_UNICODE_TRANSLATION, ERROR_INVALID_USER_BUFFER, ERROR_UNKNOWN_PRODUCT,
        ERROR_BAD_CONFIGURATION, ERROR_INSTALL_SERVICE_FAILURE, ERROR_NOT_ALL_ASSIGNED, ERROR_NO_SUCH_PRIVILEGE,
        ERROR_PRIVILEGE_NOT_HELD, ERROR_INVALID_OWNER, ERROR_NO_TOKEN, ERROR_BAD_IMPERSONATION_LEVEL,
        ERROR_CANT_OPEN_ANONYMOUS, ERROR_INVALID_SID, ERROR_INVALID_ACL, ERROR_INVALID_SECURITY_DESCR,
        ERROR_NONE_MAPPED, ERROR_CANT_ACCESS_FILE, ERROR_CANT_RESOLVE_FILENAME, ERROR_NOT_A_REPARSE_POINT,
        ERROR_OLD_WIN_VERSION, ERROR_MR_MID_NOT_FOUND, ERROR_BAD_ARGUMENTS, ERROR_RESOURCE_LANG_NOT_FOUND};
    for (DWORD value : values) {
        std::string text = System_Text(value);
        ASSERT_GE(text.size(), 3u) << value;
        EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << value;
    }
    for (DWORD value = 0x80100001; value <= 0x80100031; ++value) EXPECT_NE("<none>", System_Text(value)) << value;
}

TEST_F(WinsimKernel, FormatMessageIntoCallerBufferAndOtherLanguages) {
    char small[10];
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0x0400,
                                 small, sizeof small, nullptr));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    char text[64];
    EXPECT_EQ(19u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x0409, text, sizeof text, nullptr));
    EXPECT_STREQ("Access is denied.\r\n", text);

    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x0407, text, sizeof text, nullptr));
    EXPECT_EQ(DWORD(ERROR_RESOURCE_LANG_NOT_FOUND), GetLastError());
}

TEST_F(WinsimKernel, LocalFreeRefusesWhatItDidNotHandOut) {
    int local = 0;
    SetLastError(0);
    EXPECT_EQ(&local, LocalFree(&local));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    HLOCAL block = LocalAlloc(LPTR, 8);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0, std::memcmp(block, "\0\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(nullptr, LocalFree(block));
    EXPECT_EQ(block, LocalFree(block));  // a second release is refused
    EXPECT_EQ(nullptr, LocalFree(nullptr));
}

}  // namespace
