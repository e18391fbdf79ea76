// The log file, its indentation and the reports, on the simulated machine.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "machine.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const char16_t* const Log_Path = u"C:\\Windows\\TEMP\\vpRemovalTool.txt";

class Diagnostics : public Log_Test {
protected:
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

TEST_F(Diagnostics, LinesReachTheDebuggerWhenTheFileCannotBeWritten) {
    Log_Write_Line(TEXT("before"), Log_Level_Info);
    The_Machine().Find_Path(Log_Path)->held_open = true;
    Log_Write_Line(TEXT("while held"), Log_Level_Info);
    The_Machine().Find_Path(Log_Path)->held_open = false;
    Log_Write_Line(TEXT("after"), Log_Level_Info);
    EXPECT_EQ(Log_Bytes(), "before\r\nafter\r\n");
    EXPECT_EQ(Debug_Output(), u"before\nwhile held\nafter\n");
}

TEST_F(Diagnostics, WithoutWindowsDirectoryOnlyTheDebuggerGetsLines) {
    The_Machine().Reset();  // no C:\Windows folder at all
    Log_Write_Line(TEXT("lost"), Log_Level_Info);
    EXPECT_EQ(The_Machine().Find_Path(u"C:\\Windows"), nullptr);
    EXPECT_EQ(Debug_Output(), u"lost\n");
}

TEST_F(Diagnostics, DeleteFileRemovesThePreviousLogAndToleratesAMissingOne) {
    EXPECT_TRUE(Log_Delete_File());
    Log_Write_Line(TEXT("old run"), Log_Level_Info);
    EXPECT_TRUE(Log_Delete_File());
    EXPECT_EQ(The_Machine().Find_Path(Log_Path), nullptr);
    Log_Write_Line(TEXT("old run"), Log_Level_Info);
    The_Machine().Find_Path(Log_Path)->held_open = true;
    EXPECT_FALSE(Log_Delete_File());
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
              "   OS bitness: 64-bit\r\n");
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
