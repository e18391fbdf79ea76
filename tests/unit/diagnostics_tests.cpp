// The log file, its indentation and the reports, on the simulated machine.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "machine/machine.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const char16_t* const Log_Path = u"C:\\Windows\\TEMP\\vpRemovalTool.txt";

// No log yet: the first line of each test creates it.
class Diagnostics : public Log_Test {
protected:
    void SetUp() override { Fresh_Machine(); }
    static std::string Log_Bytes() { return Log_Text(); }
    static std::u16string Debug_Output() {
        std::u16string all;
        for (const auto& line : The_Machine().debug_output) all += line;
        return all;
    }
};

TEST_F(Diagnostics, InfoLineAtIndentationZeroIsTheTextAndOneLineEnd) {
    Log_Write_Line(TEXT("plain"), Log_Level_Info);
    EXPECT_EQ(Log_Bytes(), "plain\r\n");
    ASSERT_EQ(The_Machine().debug_output.size(), 1u);
    EXPECT_EQ(The_Machine().debug_output[0], u"plain\n");
}

TEST_F(Diagnostics, LevelPrefixesStandBetweenIndentationAndText) {
    Log_Indent();
    Log_Indent();
    Log_Write_Line(TEXT("RegOpenKeyEx"), Log_Level_Error);
    Log_Write_Line(TEXT("careful"), Log_Level_Warning);
    Log_Write_Line(TEXT("trace"), Log_Level_Trace);
    Log_Write_Line(TEXT("odd level"), static_cast<Log_Level>(16));
    EXPECT_EQ(Log_Bytes(),
              "      Error occurred in function: RegOpenKeyEx\r\n"
              "      Warning: careful\r\n"
              "      trace\r\n"
              "      odd level\r\n");
}

TEST_F(Diagnostics, LineFeedInsideTextIndentsOnlyTheFirstPhysicalLine) {
    Log_Indent();
    Log_Write_Line(TEXT("first\nsecond\rthird"), Log_Level_Info);
    EXPECT_EQ(Log_Bytes(), "   first\r\nsecond\rthird\r\n");
    EXPECT_EQ(Debug_Output(), u"   first\nsecond\rthird\n");
}

TEST_F(Diagnostics, CharactersOutsideTheAnsiCodePageBecomeItsDefaultCharacter) {
    Log_Write_Line(TEXT("Панель é"), Log_Level_Info);
    EXPECT_EQ(Log_Bytes(), "?????? \xE9\r\n");
    EXPECT_EQ(Debug_Output(), u"Панель é\n");
}

TEST_F(Diagnostics, CyrillicCodePageKeepsCyrillicLetters) {
    The_Machine().code_page = 1251;
    Log_Write_Line(TEXT("Панель"), Log_Level_Info);
    EXPECT_EQ(Log_Bytes(), "\xCF\xE0\xED\xE5\xEB\xFC\r\n");
}

TEST_F(Diagnostics, MissingTempFolderIsCreatedWithTheFile) {
    ASSERT_EQ(The_Machine().Find_Path(u"C:\\Windows\\TEMP"), nullptr);
    Log_Write_Line(TEXT("x"), Log_Level_Info);
    winsim::Fs_Node* temp = The_Machine().Find_Path(u"C:\\Windows\\TEMP");
    ASSERT_NE(temp, nullptr);
    EXPECT_TRUE(temp->directory);
    EXPECT_EQ(Log_Bytes(), "x\r\n");
}

TEST_F(Diagnostics, LinesReachTheDebuggerWhenALineCannotBeWritten) {
    The_Machine().Add_Fault("WriteFile", 2, ERROR_DISK_FULL, u"vpRemovalTool.txt");
    Log_Write_Line(TEXT("before"), Log_Level_Info);
    Log_Write_Line(TEXT("not written"), Log_Level_Info);
    Log_Write_Line(TEXT("after"), Log_Level_Info);
    EXPECT_EQ(Log_Bytes(), "before\r\nafter\r\n");
    EXPECT_EQ(Debug_Output(), u"before\nnot written\nafter\n");
}

// The run keeps the one file it created open for all its lines: others may read it beside the run,
// but neither write, delete nor rename it; the file is opened once, however many lines follow.
TEST_F(Diagnostics, RunKeepsItsLogOpenForReadingByOthersOnly) {
    Log_Write_Line(TEXT("first"), Log_Level_Info);
    struct Row {
        const char* what;
        DWORD access, share;
        bool opens;
    };
    const Row rows[] = {
        {"read, sharing reading and writing", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {"read, sharing reading only", GENERIC_READ, FILE_SHARE_READ, false},
        {"write", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
        {"delete", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
    };
    for (const Row& row : rows) {
        HANDLE other = CreateFileW(Log_Path, row.access, row.share, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(row.opens, other != INVALID_HANDLE_VALUE) << row.what;
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    }
    EXPECT_FALSE(DeleteFileW(Log_Path));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileExW(Log_Path, u"C:\\Windows\\TEMP\\elsewhere.txt", 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    Log_Write_Line(TEXT("second"), Log_Level_Info);
    EXPECT_EQ(Log_Bytes(), "first\r\nsecond\r\n");
    size_t opens = 0;
    for (const std::string& call : The_Machine().calls)
        if (call.rfind("CreateFileW C:\\Windows\\TEMP\\vpRemovalTool.txt", 0) == 0) ++opens;
    EXPECT_EQ(opens, 1u + 1u + 4u);  // the previous log's deletion, the run's own, and the four of the table
}

TEST_F(Diagnostics, WithoutWindowsDirectoryOnlyTheDebuggerGetsLines) {
    The_Machine().Reset();  // no C:\Windows folder at all
    Log_Write_Line(TEXT("lost"), Log_Level_Info);
    Log_Write_Line(TEXT("lost too"), Log_Level_Info);
    EXPECT_EQ(The_Machine().Find_Path(u"C:\\Windows"), nullptr);
    EXPECT_EQ(Debug_Output(), u"No log file could be created; the log goes to the debugger output only.\n"
                              u"lost\nlost too\n");
    EXPECT_EQ(The_Machine().console, u"Log file: none could be created; the log goes to the debugger output only.\n");
}

// Starting a run's log deletes the previous run's file (a missing one is no failure) and begins a new
// one; a log this process still holds is closed first.
TEST_F(Diagnostics, StartingTheLogReplacesThePreviousRunsFile) {
    Make_File(Log_Path, "a line of an earlier run\r\n");
    EXPECT_TRUE(Log_Create_File());
    Log_Write_Line(TEXT("this run"), Log_Level_Info);
    EXPECT_EQ(Log_Bytes(), "this run\r\n");
    EXPECT_TRUE(Log_Create_File());
    Log_Write_Line(TEXT("next run"), Log_Level_Info);
    EXPECT_EQ(Log_Bytes(), "next run\r\n");
    EXPECT_EQ(Log_Delete_File(u"C:\\Windows\\TEMP\\none.txt"), Log_Removal::Removed);
    EXPECT_EQ(Log_Delete_File(u"C:\\Windows\\NONE\\none.txt"), Log_Removal::Removed);
    EXPECT_EQ(Log_Delete_File(Log_Path), Log_Removal::Not_Removed);  // held by this run
    EXPECT_EQ(The_Machine().console, u"");
}

// A previous log that another process holds an opportunistic lock on is neither deleted nor opened
// in a way that would wait for that process: the run logs under a random name and its header says
// why. On a system before Windows 7 the plain deletion is all there is.
TEST_F(Diagnostics, AnOplockOnThePreviousLogSendsTheRunToAnotherName) {
    auto Bytes_Of = [](const std::u16string& path) {
        winsim::Fs_Node* node = The_Machine().Find_Path(path);
        return node ? std::string(node->data.begin(), node->data.end()) : std::string("<none>");
    };
    Make_File(Log_Path, "a user's file\r\n");
    winsim::Fs_Node* planted = The_Machine().Find_Path(Log_Path);
    ASSERT_NE(planted, nullptr);
    planted->oplocked = true;
    EXPECT_EQ(Log_Delete_File(Log_Path), Log_Removal::Held_By_Oplock);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CANNOT_BREAK_OPLOCK));
    EXPECT_TRUE(Log_Create_File());
    Log_Write_Header();
    const std::u16string other = u"C:\\Windows\\TEMP\\vpRemovalTool-aff44fec9beae13c.txt";
    EXPECT_EQ(The_Machine().console, u"Log file: " + other + u"\n");
    std::string header = Bytes_Of(other);
    const std::string note = "   Another process holds an opportunistic lock on C:\\Windows\\TEMP\\vpRemovalTool.txt, so "
                             "this run logs to C:\\Windows\\TEMP\\vpRemovalTool-aff44fec9beae13c.txt instead.\r\n";
    ASSERT_GE(header.size(), note.size());
    EXPECT_EQ(header.substr(header.size() - note.size()), note);
    EXPECT_EQ(Bytes_Of(Log_Path), "a user's file\r\n");
    EXPECT_TRUE(planted->oplocked);
    EXPECT_TRUE(The_Machine().oplock_waits.empty());
    // The next log of the process is started afresh: nothing is said once the name is free.
    planted->oplocked = false;
    EXPECT_TRUE(Log_Create_File());
    Log_Write_Header();
    EXPECT_EQ(Log_Bytes().find("opportunistic"), std::string::npos);

    // Before Windows 7 the file is deleted as it always was, which waits for the holder.
    Log_Close_File();
    Make_File(Log_Path, "a user's file\r\n")->oplocked = true;
    The_Machine().os.major = 6;
    The_Machine().os.minor = 0;
    EXPECT_EQ(Log_Delete_File(Log_Path), Log_Removal::Removed);
    ASSERT_EQ(The_Machine().oplock_waits.size(), 1u);
    EXPECT_EQ(The_Machine().oplock_waits[0], "DeleteFileW C:\\Windows\\TEMP\\vpRemovalTool.txt");
}

// How the run's log starts when its first other names are taken too or its creation fails (whole runs
// show the other attacks): which file gets the lines, what the console says, and what the debugger
// output holds before the first line.
TEST_F(Diagnostics, LogStartsUnderAnotherNameOrNone) {
    const std::u16string temp = u"C:\\Windows\\TEMP\\";
    const std::u16string none = u"No log file could be created; the log goes to the debugger output only.\n";
    struct Row {
        const char* what;
        std::function<void()> arrange;
        const char16_t* log;      // the file holding the lines; null: none
        const char16_t* console;  // the console line
        std::u16string notes;     // debugger output before the line
    };
    const Row rows[] = {
        // The other name comes from the machine's random source: nobody can take it ahead on
        // Windows, so the names earlier versions fell back to, all taken, change nothing.
        {"every numbered name taken",
         [&] {
             Make_File(temp + u"vpRemovalTool.txt", "held")->held_open = true;
             for (int n = 1; n <= 99; ++n) Make_File(temp + u"vpRemovalTool-" + winsim::From_Utf8(std::to_string(n)) + u".txt", "");
         },
         u"vpRemovalTool-aff44fec9beae13c.txt", u"Log file: C:\\Windows\\TEMP\\vpRemovalTool-aff44fec9beae13c.txt\n", u""},
        // The first open is the previous log's deletion, the second the creation.
        {"usual name not created", [] { The_Machine().Add_Fault("CreateFileW", 2, ERROR_ACCESS_DENIED); },
         u"vpRemovalTool-aff44fec9beae13c.txt", u"Log file: C:\\Windows\\TEMP\\vpRemovalTool-aff44fec9beae13c.txt\n", u""},
        // A random name found taken (winsim's repeat) is replaced: by the third here.
        {"first random names taken",
         [&] {
             Make_File(temp + u"vpRemovalTool.txt", "held")->held_open = true;
             Make_File(temp + u"vpRemovalTool-aff44fec9beae13c.txt", "");
             The_Machine().Make_Folders(temp + u"vpRemovalTool-c3a609f67b2f19ab.txt");
         },
         u"vpRemovalTool-558664acd70d6a4c.txt", u"Log file: C:\\Windows\\TEMP\\vpRemovalTool-558664acd70d6a4c.txt\n", u""},
        // Four random names taken in a row is no chance: the log gives up.
        {"four random names taken",
         [&] {
             Make_File(temp + u"vpRemovalTool.txt", "held")->held_open = true;
             for (const char16_t* part : {u"aff44fec9beae13c", u"c3a609f67b2f19ab", u"558664acd70d6a4c", u"697b001016724f25"})
                 Make_File(temp + u"vpRemovalTool-" + part + u".txt", "");
         },
         nullptr, u"Log file: none could be created; the log goes to the debugger output only.\n", none},
        {"no random source",
         [&] {
             Make_File(temp + u"vpRemovalTool.txt", "held")->held_open = true;
             The_Machine().Add_Fault("RtlGenRandom", 1, ERROR_ACCESS_DENIED);
         },
         nullptr, u"Log file: none could be created; the log goes to the debugger output only.\n", none},
        {"no TEMP folder can be made", [] { The_Machine().Add_Fault("CreateDirectoryW", 1, ERROR_ACCESS_DENIED); },
         nullptr, u"Log file: none could be created; the log goes to the debugger output only.\n", none},
        {"TEMP is a file", [&] { Make_File(u"C:\\Windows\\TEMP", "not a folder"); },
         nullptr, u"Log file: none could be created; the log goes to the debugger output only.\n", none},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Fresh_Machine();
        row.arrange();
        Log_Write_Line(TEXT("line"), Log_Level_Info);
        Log_Write_Line(TEXT("next"), Log_Level_Info);
        if (row.log) {
            winsim::Fs_Node* log = The_Machine().Find_Path(temp + row.log);
            ASSERT_NE(log, nullptr);
            EXPECT_EQ(std::string(log->data.begin(), log->data.end()), "line\r\nnext\r\n");
        }
        EXPECT_EQ(The_Machine().console, row.console);
        EXPECT_EQ(Debug_Output(), row.notes + u"line\nnext\n");
    }
}

// The system's message text keeps its own CR LF; the text-mode write puts a CR before every LF, so
// the file shows CR CR LF, then the empty line of the line's own line feed.
TEST_F(Diagnostics, ErrorReportHasFourLinesAtTheCallersIndentation) {
    Log_Indent();
    Report_System_Error(TEXT("DeleteFile"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Log_Bytes(),
              "   Error occurred in function: DeleteFile\r\n"
              "   Error occurred in function: Error source 1(0x1)\r\n"
              "   Error occurred in function: Error code   5(0x5)\r\n"
              "   Error message: Access is denied.\r\r\n\r\n");
}

TEST_F(Diagnostics, ErrorReportWithoutSystemTextHasThreeLines) {
    Report_System_Error(TEXT("Mystery"), 0xFFFFFFFF);
    EXPECT_EQ(Log_Bytes(),
              "Error occurred in function: Mystery\r\n"
              "Error occurred in function: Error source 1(0x1)\r\n"
              "Error occurred in function: Error code   -1(0xFFFFFFFF)\r\n");
}

TEST_F(Diagnostics, ValueZeroIsReportedLikeAnyOther) {
    Report_System_Error(TEXT("Nothing"), 0);
    EXPECT_EQ(Log_Bytes(),
              "Error occurred in function: Nothing\r\n"
              "Error occurred in function: Error source 1(0x1)\r\n"
              "Error occurred in function: Error code   0(0x0)\r\n"
              "Error message: The operation completed successfully.\r\r\n\r\n");
}

TEST_F(Diagnostics, EveryLoggingOperationKeepsTheLastErrorValue) {
    const DWORD sentinel = 0x1234;
    auto check = [&](const char* what, auto operation) {
        SetLastError(sentinel);
        operation();
        EXPECT_EQ(GetLastError(), sentinel) << what;
    };
    check("Log_Info", [] { Log_Info(TEXT("a")); });
    check("Log_Info_Detail", [] { Log_Info_Detail(TEXT("a"), TEXT("b")); });
    check("Log_Info_Code", [] { Log_Info_Code(TEXT("a"), 7); });
    check("Report_System_Error", [] { Report_System_Error(TEXT("X"), 2); });
    check("Trace_Enter_Scope", [] { Trace_Enter_Scope(TEXT("S")); });
    check("Trace_Exit_Scope", [] { Trace_Exit_Scope(TEXT("S")); });
    check("Log_Write_Header", [] { Log_Write_Header(); });
    The_Machine().Add_Fault("GetModuleFileNameW", 1, ERROR_ACCESS_DENIED, {}, true);
    check("Trace_Enter_Scope without module name", [] { Trace_Enter_Scope(TEXT("S")); });
    check("Trace_Exit_Scope without module name", [] { Trace_Exit_Scope(TEXT("S")); });
}

TEST_F(Diagnostics, TraceLinesNameTheModuleAndBracketDeeperLines) {
    The_Machine().module_path = u"C:\\Users\\Admin\\Downloads\\vpRemovalTool.exe";
    Trace_Enter_Scope(TEXT("Set_Registry_Value"));
    Log_Info(TEXT("inside"));
    Trace_Exit_Scope(TEXT("Set_Registry_Value"));
    EXPECT_EQ(Log_Bytes(),
              "vpRemovalTool.exe!Set_Registry_Value\r\n"
              "      inside\r\n"
              "vpRemovalTool.exe!Set_Registry_Value exits\r\n\r\n");
    EXPECT_EQ(Log_Get_Offset(), 0u);
}

TEST_F(Diagnostics, ExitLineWithoutEntryStopsAtZeroAndOnlyOutermostGetsEmptyLine) {
    Log_Indent();
    Log_Indent();
    Trace_Exit_Scope(TEXT("Inner"));
    Trace_Exit_Scope(TEXT("Outer"));
    Trace_Exit_Scope(TEXT("Unbalanced"));
    EXPECT_EQ(Log_Bytes(),
              "   vpRemovalTool.exe!Inner exits\r\n"
              "vpRemovalTool.exe!Outer exits\r\n\r\n"
              "vpRemovalTool.exe!Unbalanced exits\r\n\r\n");
    EXPECT_EQ(Log_Get_Offset(), 0u);
}

TEST_F(Diagnostics, TraceWithoutModuleNameStartsWithTheSeparator) {
    The_Machine().Add_Fault("GetModuleFileNameW", 1, ERROR_ACCESS_DENIED, {}, true);
    Trace_Enter_Scope(TEXT("Scope"));
    EXPECT_EQ(Log_Bytes(), "!Scope\r\n");
}

TEST_F(Diagnostics, InfoDeepensOneStepAndCodeStaysAtTheCallersIndentation) {
    Log_Info(TEXT("message"));
    Log_Info_Detail(TEXT("Removed: "), TEXT("C:\\x"));
    Log_Info_Code(TEXT("REGSAM: "), KEY_WOW64_32KEY);
    EXPECT_EQ(Log_Bytes(),
              "   message\r\n"
              "   Removed:  C:\\x\r\n"
              "REGSAM:  512(0x200)\r\n");
}

TEST_F(Diagnostics, IndentationIsCountedPerCall) {
    EXPECT_EQ(Log_Get_Offset(), 0u);
    Log_Indent();
    Log_Indent();
    EXPECT_EQ(Log_Get_Offset(), 6u);
    Log_Unindent();
    EXPECT_EQ(Log_Get_Offset(), 3u);
    Log_Unindent();
    Log_Unindent();
    EXPECT_EQ(Log_Get_Offset(), 0u);
    Log_Indent();
    EXPECT_EQ(Log_Get_Offset(), 3u);
}

TEST_F(Diagnostics, EachThreadHasItsOwnIndentation) {
    Log_Indent();
    std::atomic<DWORD> worker_first{99}, worker_after{99}, worker_fresh{99};
    std::thread worker([&] {
        worker_fresh = Log_Get_Offset();
        Log_Indent();
        worker_first = Log_Get_Offset();
        Log_Info(TEXT("worker line"));
        Log_Unindent();
        worker_after = Log_Get_Offset();
    });
    worker.join();
    EXPECT_EQ(worker_fresh.load(), 0u);
    EXPECT_EQ(worker_first.load(), 3u);
    EXPECT_EQ(worker_after.load(), 0u);
    EXPECT_EQ(Log_Get_Offset(), 3u);
    EXPECT_EQ(Log_Bytes(), "      worker line\r\n");
}

TEST_F(Diagnostics, HeaderHasTitleUtcTimeOsNameAndBitness) {
    The_Machine().start_time = SYSTEMTIME{2026, 12, 1, 7, 7, 5, 3, 9};
    Log_Write_Header();
    EXPECT_EQ(Log_Bytes(),
              "   VESPARIO Drivers Removal Tool\r\n"
              "   07:05:03:009\r\n"
              "   OS info:\r\n"
              "   Windows 8\r\n"
              "   OS bitness: 64-bit\r\n"
              "   Tool version: 1.0.0.0\r\n"
              "   Command line: \"C:\\vpRemovalTool.exe\"\r\n"
              "   Account: VPSIM-PC\\Administrator (S-1-5-21-3623811015-3361044348-30300820-1001)\r\n"
              "   Computer: VPSIM-PC\r\n");
}

// The lines that name the run, as the account and the computer are read or cannot be.
TEST_F(Diagnostics, HeaderNamesTheAccountAndComputerOrSaysWhatCouldNotBeRead) {
    struct Case {
        const char* name;
        bool local_system;
        const char* user;      // [user] name
        const char* computer;  // [run] computer
        const char* fault;     // an API that fails once
        DWORD error;
        std::string lines;
    };
    const std::string administrator_sid = "S-1-5-21-3623811015-3361044348-30300820-1001";
    const Case cases[] = {
        {"LocalSystem", true, nullptr, "WS0147", nullptr, 0,
         "   Account: NT AUTHORITY\\SYSTEM (S-1-5-18)\r\n   Computer: WS0147\r\n"},
        {"a domain administrator", false, "CORP\\admin7", "WS0147", nullptr, 0,
         "   Account: CORP\\admin7 (" + administrator_sid + ")\r\n   Computer: WS0147\r\n"},
        {"a local administrator", false, "helpdesk", "WS0147", nullptr, 0,
         "   Account: WS0147\\helpdesk (" + administrator_sid + ")\r\n   Computer: WS0147\r\n"},
        {"the name cannot be looked up", false, nullptr, nullptr, "LookupAccountSidW", ERROR_NONE_MAPPED,
         Error_Report("   ", "LookupAccountSid", ERROR_NONE_MAPPED) + "   Account: " + administrator_sid +
             " (the name could not be read)\r\n   Computer: VPSIM-PC\r\n"},
        {"the token cannot be read", false, nullptr, nullptr, "GetTokenInformation", ERROR_ACCESS_DENIED,
         Error_Report("   ", "GetTokenInformation", ERROR_ACCESS_DENIED) +
             "   Account: could not be read\r\n   Computer: VPSIM-PC\r\n"},
        {"the computer's name cannot be read", false, nullptr, nullptr, "GetComputerNameW", ERROR_NOT_ENOUGH_MEMORY,
         "   Account: VPSIM-PC\\Administrator (" + administrator_sid + ")\r\n" +
             Error_Report("   ", "GetComputerName", ERROR_NOT_ENOUGH_MEMORY) + "   Computer: could not be read\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        The_Machine().Set_Local_System(c.local_system);
        The_Machine().process_token = c.local_system ? winsim::Make_Local_System_Token(1)
                                                     : winsim::Make_Administrator_Token(1);
        if (c.user) The_Machine().user_name = c.user;
        if (c.computer) The_Machine().computer_name = c.computer;
        if (c.fault) The_Machine().Add_Fault(c.fault, 1, c.error);
        SetLastError(1234);
        Log_Write_Header();
        EXPECT_EQ(GetLastError(), 1234u);
        const std::string log = Log_Bytes();
        const size_t version = log.find("   Tool version: ");
        ASSERT_NE(version, std::string::npos) << log;
        const size_t account = log.find("\r\n", log.find("   Command line: ", version)) + 2;
        EXPECT_EQ(log.substr(account), c.lines);
    }
}

struct Os_Row {
    DWORD major, minor;
    BYTE product_type;
    WORD suite;
    const char16_t* name;
};

class Os_Name : public Diagnostics, public ::testing::WithParamInterface<Os_Row> {};

TEST_P(Os_Name, FollowsTheVersionTable) {
    const Os_Row& row = GetParam();
    The_Machine().os.major = row.major;
    The_Machine().os.minor = row.minor;
    The_Machine().os.product_type = row.product_type;
    The_Machine().os.suite_mask = row.suite;
    EXPECT_EQ(std::u16string(Get_OS_Name().Get_Text()), row.name);
}

// The executable declares no compatibility, so systems above 6.2 answer as 6.2.
INSTANTIATE_TEST_SUITE_P(
    Rows, Os_Name,
    ::testing::Values(Os_Row{10, 0, VER_NT_WORKSTATION, 0, u"Windows 8"},
                      Os_Row{10, 0, VER_NT_SERVER, 0, u"Windows 2012 server"},
                      Os_Row{6, 3, VER_NT_WORKSTATION, 0, u"Windows 8"},
                      Os_Row{6, 2, VER_NT_DOMAIN_CONTROLLER, 0, u"Windows 2012 server"},
                      Os_Row{6, 1, VER_NT_WORKSTATION, 0, u"Windows 7"},
                      Os_Row{6, 1, VER_NT_SERVER, 0, u"Windows 2008 R2 server"},
                      Os_Row{6, 0, VER_NT_WORKSTATION, 0, u"Windows Vista"},
                      Os_Row{6, 0, VER_NT_SERVER, 0, u"Windows 2008 server"},
                      Os_Row{5, 2, VER_NT_SERVER, 0, u"Windows 2003 server"},
                      Os_Row{5, 1, VER_NT_WORKSTATION, 0, u"Windows XP"},
                      Os_Row{5, 1, VER_NT_WORKSTATION, VER_SUITE_EMBEDDEDNT, u"Windows XP Embedded"},
                      Os_Row{5, 0, VER_NT_WORKSTATION, 0, u"Unsupported OS"}));

}  // namespace

