// The entry point's sequence on the simulated machine, for what a scenario run cannot show.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <cstdio>
#include <cstdlib>

#include <pthread.h>
#include <unistd.h>

#include <string>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "machine/machine.h"
#include "machine/open_objects.h"
#include "test_support.h"

int wmain(int argc, WCHAR* argv[]);

using winsim::The_Machine;
namespace fs = std::filesystem;

namespace {

std::string Log_Bytes() {
    winsim::Fs_Node* node = The_Machine().Find_Path(u"C:\\Windows\\TEMP\\vpRemovalTool.txt");
    return node ? std::string(node->data.begin(), node->data.end()) : std::string();
}

class Main_Sequence : public ::testing::Test {
protected:
    void SetUp() override {
        Log_Close_File();
        The_Machine().Reset();
        SC_Reset_Delete_Waiting();  // an earlier run's restart deletions and counts are not this one's
        The_Machine().Make_Folders(u"C:\\Windows\\TEMP");
        Make_Key(The_Machine().hklm, u"SOFTWARE\\Classes");  // every Windows has its machine classes
        while (Log_Get_Offset() > 0) Log_Unindent();
        before_ = winsim::Open_Objects();
    }
    // Every run gives back what it opened; the log and the backup, which the tool's owners hold until
    // the process ends, are closed as the process's exit closes them.
    void TearDown() override {
        Log_Close_File();
        Backup_Close_File();
        for (const winsim::Open_Object& object : winsim::Left_Open(before_))
            ADD_FAILURE() << "left open: " << winsim::Describe(object);
    }
    std::vector<winsim::Open_Object> before_;
};

TEST_F(Main_Sequence, ArgumentCountZeroEndsAfterDriversRemovedWithCodeTwo) {
    WCHAR* argv[] = {nullptr};
    EXPECT_EQ(wmain(0, argv), 2);
    std::string log = Log_Bytes();
    const std::string last_line = "   Drivers removed.\r\n";
    ASSERT_GE(log.size(), last_line.size());
    EXPECT_EQ(log.substr(log.size() - last_line.size()), last_line);
    EXPECT_EQ(log.find("END"), std::string::npos);
    // The provider's trace scope of the smart-card stage is never closed: one step remains.
    EXPECT_EQ(Log_Get_Offset(), 3u);
}

TEST_F(Main_Sequence, PreviousRunsLogIsReplaced) {
    winsim::Fs_Node* old_log = The_Machine().Make_Folders(u"C:\\Windows\\TEMP")->Add_Child(u"vpRemovalTool.txt", false);
    const std::string old_text = "a line of an earlier run\r\n";
    old_log->data.assign(old_text.begin(), old_text.end());
    WCHAR tool[] = u"C:\\vpRemovalTool.exe";
    WCHAR* argv[] = {tool, nullptr};
    EXPECT_EQ(wmain(1, argv), 0);
    std::string log = Log_Bytes();
    EXPECT_EQ(log.find("earlier run"), std::string::npos);
    EXPECT_EQ(log.substr(0, 5), "   ==");
}

TEST_F(Main_Sequence, ConsoleShowsTheProgressLinesInOrder) {
    WCHAR tool[] = u"C:\\vpRemovalTool.exe";
    WCHAR* argv[] = {tool, nullptr};
    EXPECT_EQ(wmain(1, argv), 0);
    EXPECT_EQ(The_Machine().console,
              u"Removing precompiled OEM files...\n"
              u"Setting rights to Calais\\Readers...\n"
              u"Setting rights to Calais\\Readers in wow6432 registry...\n"
              u"Cleaning registry...\n"
              u"Uninstalling IFDH Drivers...\n"
              u"Deleting drivers binaries...\n"
              u"Summary: exit code 0 (done; no restart needed); keys removed: 0; values removed: 0; files removed: 0; "
              u"folders removed: 0; deletions at the next restart: 0; items not removed: 0\n");
}

TEST_F(Main_Sequence, DeferredDeletionPrintsTheRebootLinesAndStillEndsTheLog) {
    winsim::Fs_Node* library = The_Machine().Make_Folders(u"C:\\Windows\\system32")->Add_Child(u"vpLib.dll", false);
    library->held_open = true;
    WCHAR tool[] = u"C:\\vpRemovalTool.exe";
    WCHAR* argv[] = {tool, nullptr};
    EXPECT_EQ(wmain(1, argv), 1);
    const std::u16string tail = u"Deleting drivers binaries...\n"
                                u"\nA reboot is required to finifsh the uninstallation process.\n"
                                u"Press enter...\n"
                                u"Summary: exit code 1 (done; restart the machine to finish); keys removed: 0; "
                                u"values removed: 0; files removed: 0; folders removed: 0; deletions at the next "
                                u"restart: 1; items not removed: 0\n";
    const std::u16string& console = The_Machine().console;
    ASSERT_GE(console.size(), tail.size());
    EXPECT_EQ(console.substr(console.size() - tail.size()), tail);
    std::string log = Log_Bytes();
    const std::string end = "   ===================================== END =====================================\r\n";
    EXPECT_NE(log.find(end), std::string::npos);
    // The summary stands just before the END banner, as on the console.
    const std::string summary = "Summary: exit code 1 (done; restart the machine to finish); keys removed: 0; "
                                "values removed: 0; files removed: 0; folders removed: 0; deletions at the next "
                                "restart: 1; items not removed: 0\r\n";
    const size_t end_line = log.find(end);
    ASSERT_NE(end_line, std::string::npos);
    const size_t end_line_start = log.rfind("\r\n", end_line) + 2;
    const size_t rule_line = log.rfind("\r\n", end_line_start - 3) + 2;  // the rule above the END line
    EXPECT_EQ(log.substr(rule_line - summary.size(), summary.size()), summary);
    const std::string rule = log.substr(rule_line, end_line_start - 2 - rule_line);
    EXPECT_EQ(rule.substr(rule.find_first_not_of(' ')), std::string(79, '='));
}

// The first argument reaches the self-removal; further ones are ignored.
TEST_F(Main_Sequence, FirstArgumentSchedulesTheBundlesQuietUninstall) {
    const std::u16string wow64 = u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\";
    const std::u16string command = u"\"C:\\Program Files\\Bundle\\setup.exe\" /uninstall /quiet";
    Make_File(u"C:\\Program Files\\Bundle\\setup.exe", "MZ");
    winsim::Reg_Key* entry = Make_Key(The_Machine().hklm, wow64 + u"Uninstall\\{B}");
    entry->Set_Value(u"BundleUpgradeCode", REG_SZ, Utf16_Bytes(u"{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}"));
    entry->Set_Value(u"QuietUninstallString", REG_SZ, Utf16_Bytes(command));
    auto scheduled = [&]() -> winsim::Reg_Value* {
        winsim::Reg_Key* run_once = Find_Key(The_Machine().hklm, wow64 + u"RunOnce");
        return run_once ? run_once->Find_Value(u"remove") : nullptr;
    };
    WCHAR tool[] = u"C:\\vpRemovalTool.exe";
    WCHAR* no_argument[] = {tool, nullptr};
    EXPECT_EQ(wmain(1, no_argument), 0);
    EXPECT_EQ(scheduled(), nullptr);

    // A second code is refused before anything is done.
    WCHAR argument[] = u"{2a9f6e13-4b7c-4e85-9d20-b5c8e1f4a763}";
    WCHAR further[] = u"{00000000-0000-0000-0000-000000000000}";
    WCHAR* arguments[] = {tool, argument, further, nullptr};
    EXPECT_EQ(wmain(3, arguments), 1639);
    EXPECT_EQ(scheduled(), nullptr);

    WCHAR* one_argument[] = {tool, argument, nullptr};
    EXPECT_EQ(wmain(2, one_argument), 0);
    ASSERT_NE(scheduled(), nullptr);
    EXPECT_EQ(scheduled()->data, Utf16_Bytes(command));
}

// When the rights of the native view cannot be set, the 32-bit view is not touched: no wow6432 line in
// the log or on the console, and no second security call.
TEST_F(Main_Sequence, FailedFirstRightsPassSkipsTheSecond) {
    winsim::Reg_Key* key = The_Machine().hklm.Add_Subkey(u"SOFTWARE")->Add_Subkey(u"Microsoft")
                               ->Add_Subkey(u"Cryptography")->Add_Subkey(u"Calais")->Add_Subkey(u"Readers");
    (void)key;
    The_Machine().Add_Fault("SetNamedSecurityInfoW", 1, ERROR_INVALID_PARAMETER);
    WCHAR tool[] = u"C:\\vpRemovalTool.exe";
    WCHAR* argv[] = {tool, nullptr};
    EXPECT_EQ(wmain(1, argv), 0);
    EXPECT_EQ(The_Machine().console.find(u"wow6432"), std::u16string::npos);
    std::string log = Log_Bytes();
    EXPECT_EQ(log.find("wow6432"), std::string::npos);
    const std::string report = "      Setting rights to Calais\\Readers (SE_REGISTRY_KEY)\r\n"
                               "      Registry backup: C:\\Windows\\TEMP\\vpRemovalTool-backup-aff44fec9beae13c\\"
                               "vpRemovalTool-backup.reg\r\n"
                               "   Error occurred in function: SetNamedSecurityInfo\r\n";
    EXPECT_NE(log.find(report), std::string::npos);
    size_t security_calls = 0;
    for (const std::string& call : The_Machine().calls)
        if (call.rfind("SetNamedSecurityInfoW", 0) == 0) ++security_calls;
    EXPECT_EQ(security_calls, 1u);
}

}  // namespace

namespace {

// Runs the entry point on a thread with the stack of a MinGW executable (2 MiB), as the tool runs.
// Runs work on a thread of its own with a stack of 2 MiB, as the executable's main thread has.
void On_Two_Mebibyte_Stack(const std::function<void()>& work) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 2 << 20);
    pthread_t thread;
    auto run = [](void* data) -> void* {
        (*static_cast<const std::function<void()>*>(data))();
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

int Run_On_Two_Mebibyte_Stack(int argc, WCHAR* argv[]) {
    struct Call {
        int argc;
        WCHAR** argv;
        int exit_code;
    } call = {argc, argv, -1};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 2 << 20);
    pthread_t thread;
    auto run = [](void* data) -> void* {
        Call* call = static_cast<Call*>(data);
        call->exit_code = wmain(call->argc, call->argv);
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attributes, run, &call), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    return call.exit_code;
}

// The log's lines that name a path below the company's cache folder, or the folder itself.
std::vector<std::string> Lines_Naming(const std::string& log, const std::string& folder) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find("\r\n", start);
        if (end == std::string::npos) end = log.size();
        if (log.find(folder, start) < end) lines.push_back(log.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace

// An ordinary user may build a chain of folders in the company's cache folder as deep as the longest
// path allows; the tree walks keep their folders on lists of their own, so the run removes it whole
// under the stack of the real executable: each entry logged, the deepest first.
static void Removes_A_Chain_Of(int levels) {
    const std::u16string root = u"C:\\ProgramData\\Corvanta LLP";
    winsim::Fs_Node* folder = The_Machine().Make_Folders(root);
    for (int level = 0; level < levels; ++level) folder = folder->Add_Child(u"d", true);
    winsim::Fs_Node* file = folder->Add_Child(u"f", false);
    std::string deepest = "C:\\ProgramData\\Corvanta LLP";
    for (int level = 0; level < levels; ++level) deepest += "\\d";

    // winsim's own walks go down the chain on the same stack without recursing: the path of its
    // deepest entry, and a scenario saved with it (machine.ini's [files] and [security] walk the whole
    // drive; the host is given a file where drive_c/ would go, so that no host folders are made).
    const fs::path saved = fs::temp_directory_path() / ("deep-chain-" + std::to_string(getpid()));
    fs::remove_all(saved);
    fs::create_directories(saved);
    std::ofstream(saved / "drive_c") << "not a folder";
    std::string saved_path, error;
    bool saved_whole = true;
    On_Two_Mebibyte_Stack([&] {
        saved_path = winsim::To_Utf8(winsim::Path_Of(The_Machine().drive_c, *file));
        saved_whole = winsim::Save_Scenario(The_Machine(), saved.string(), error);
    });
    EXPECT_EQ(saved_path, deepest + "\\f");
    EXPECT_FALSE(saved_whole);
    EXPECT_NE(error.find("drive_c: cannot create"), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(saved / "machine.ini"));
    fs::remove_all(saved);

    WCHAR tool[] = u"C:\\vpRemovalTool.exe";
    WCHAR* argv[] = {tool, nullptr};
    The_Machine().keep_calls = false;  // a list of every call, each naming a path this long, takes gigabytes
    EXPECT_EQ(Run_On_Two_Mebibyte_Stack(1, argv), 0);

    EXPECT_EQ(The_Machine().Find_Path(root), nullptr);
    const std::string removed = "            Removed:  ";
    std::vector<std::string> lines = Lines_Naming(Log_Bytes(), "C:\\ProgramData\\Corvanta LLP");
    ASSERT_EQ(lines.size(), static_cast<size_t>(levels) + 2);
    EXPECT_EQ(lines[0], removed + deepest + "\\f");
    // Compared one by one, each level's line built by cutting the path back one name.
    std::string path = deepest;
    for (size_t line = 1; line < lines.size(); ++line) {
        if (lines[line] != removed + path) {
            ADD_FAILURE() << "line " << line << " of the tree: " << lines[line].substr(0, 120) << "...";
            break;
        }
        path.resize(path.size() - 2);
    }
}

// Deep enough that a walk recursing once a level runs out of the 2 MiB stack.
TEST_F(Main_Sequence, ADeepTreeIsRemovedOnTheToolsOwnStack) { Removes_A_Chain_Of(4000); }

// A file in use at the bottom of a chain: its deletion waits for the restart, so the tree is first
// locked down (a walk of its own: each entry made Administrators', the top first), and every folder
// above the file waits too, each logged as it is scheduled and removed. (The first restart deletion
// checks the whole chain of folders above it, one open by full path per folder.)
TEST_F(Main_Sequence, AChainWithAFileInUseIsLockedDownAndWaitsForTheRestart) {
    const int levels = 200;
    const std::u16string root = u"C:\\ProgramData\\Corvanta LLP";
    winsim::Fs_Node* folder = The_Machine().Make_Folders(root);
    for (int level = 0; level < levels; ++level) folder = folder->Add_Child(u"d", true);
    folder->Add_Child(u"f", false)->held_open = true;

    WCHAR tool[] = u"C:\\vpRemovalTool.exe";
    WCHAR* argv[] = {tool, nullptr};
    EXPECT_EQ(Run_On_Two_Mebibyte_Stack(1, argv), 1);  // the file in use waits for the restart

    std::vector<std::string> owners;
    for (const std::string& call : The_Machine().calls)
        if (call.rfind("SetNamedSecurityInfoW ", 0) == 0 && call.find(" SE_FILE_OBJECT owner=BA") != std::string::npos &&
            call.find("Corvanta LLP") != std::string::npos)
            owners.push_back(call);
    ASSERT_EQ(owners.size(), static_cast<size_t>(levels) + 2);
    EXPECT_EQ(owners.front(), "SetNamedSecurityInfoW C:\\ProgramData\\Corvanta LLP SE_FILE_OBJECT owner=BA");

    std::string path = "C:\\ProgramData\\Corvanta LLP";
    for (int level = 0; level < levels; ++level) path += "\\d";
    path += "\\f";
    std::vector<std::string> lines = Lines_Naming(Log_Bytes(), "C:\\ProgramData\\Corvanta LLP");
    ASSERT_EQ(lines.size(), 2 * (static_cast<size_t>(levels) + 2));
    for (size_t line = 0; line < lines.size(); line += 2) {
        const std::string deleted = (line == 0 ? "                  Deleted: " : "               Deleted: ") + path;
        if (lines[line] != deleted || lines[line + 1] != "            Removed:  " + path) {
            ADD_FAILURE() << "line " << line << " of the tree: " << lines[line].substr(0, 120) << "...";
            break;
        }
        path.resize(path.rfind('\\'));
    }
}

// Not a test: how long the restart deletions of a chain take, its depth from VP_BENCH_LEVELS (2000
// unless told). Run by hand: unit_tests --gtest_also_run_disabled_tests
// --gtest_filter='*DISABLED_RestartDeletionsOfAChain*'.
TEST_F(Main_Sequence, DISABLED_RestartDeletionsOfAChain) {
    const char* given = std::getenv("VP_BENCH_LEVELS");
    const int levels = given ? std::atoi(given) : 2000;
    winsim::Fs_Node* folder = The_Machine().Make_Folders(u"C:\\ProgramData\\Corvanta LLP");
    for (int level = 0; level < levels; ++level) folder = folder->Add_Child(u"d", true);
    folder->Add_Child(u"f", false)->held_open = true;
    WCHAR tool[] = u"C:\\vpRemovalTool.exe";
    WCHAR* argv[] = {tool, nullptr};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run_On_Two_Mebibyte_Stack(1, argv), 1);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("restart deletions of a chain of %d folders: %.2f s\n", levels, seconds);
}

// 16,000 one-letter levels: a path of 32,029 characters. Minutes on winsim, whose every call parses
// the whole path: a tier of its own (label deep).
using Main_Sequence_Longest_Path = Main_Sequence;
TEST_F(Main_Sequence_Longest_Path, ATreeAsDeepAsTheLongestPathIsRemovedOnTheToolsOwnStack) {
    Removes_A_Chain_Of(16000);
}
