// Whole runs of the tool through the scenario runner, each in a fresh process, compared with the
// expected log, console text and exit code kept beside each scenario.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Run_Output {
    int exit_code = -1;
    std::string console;
    std::string errors;  // vpsim's standard error
    fs::path out_dir;
};

std::string Read_File(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Finds a path below root whose components match without regard to case, as Windows would.
fs::path Find_No_Case(const fs::path& root, const std::vector<std::string>& parts) {
    fs::path current = root;
    for (const std::string& part : parts) {
        bool found = false;
        if (fs::is_directory(current)) {
            for (const auto& entry : fs::directory_iterator(current)) {
                std::string name = entry.path().filename().string();
                if (name.size() == part.size() &&
                    std::equal(name.begin(), name.end(), part.begin(),
                               [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
                    current = entry.path();
                    found = true;
                    break;
                }
            }
        }
        if (!found) return {};
    }
    return current;
}

// The names the run makes from the machine's random source (the same in every run of a scenario; on
// Windows nobody can know them ahead): the first 8 bytes name the log when its usual name is taken,
// else the backup's folder; the next 8 the backup's folder after such a log.
const std::string First_Random = "aff44fec9beae13c";
const std::string Second_Random = "c3a609f67b2f19ab";

// A text with the backup folder's random part as RANDOM, to compare runs whose backups differ only
// in it.
std::string Without_Backup_Folder_Name(const std::string& text) {
    return std::regex_replace(text, std::regex("vpRemovalTool-backup-[0-9a-f]{16}"), "vpRemovalTool-backup-RANDOM");
}

const int Exit_Left_Open = 70;  // vpsim run: the run left something open
const int Exit_Oplock_Wait = 71;  // vpsim run: the run would have waited for an oplock's holder

// Runs the tool on a scenario folder (a path) through the runner, whatever the run leaves open.
Run_Output Run_Vpsim(const fs::path& scenario, const std::string& arguments) {
    Run_Output run;
    run.out_dir = fs::temp_directory_path() / ("vpsim-" + scenario.filename().string() + "-" +
                                               std::to_string(getpid()) + "-" + std::to_string(std::rand()));
    fs::remove_all(run.out_dir);
    const fs::path errors = run.out_dir.string() + ".stderr";
    std::string command = std::string(VPSIM_PATH) + " run \"" + scenario.string() + "\" --out " +
                          run.out_dir.string() + (arguments.empty() ? "" : " -- " + arguments) + " 2>" +
                          errors.string();
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.console.append(buffer, count);
    int status = pclose(pipe);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.errors = Read_File(errors);
    fs::remove(errors);
    std::fputs(run.errors.c_str(), stderr);
    return run;
}

// The same for a run that must give back everything it opened and never wait for another process's
// opportunistic lock, as every whole run must.
Run_Output Run_Tool_On(const fs::path& scenario, const std::string& arguments) {
    Run_Output run = Run_Vpsim(scenario, arguments);
    EXPECT_NE(run.exit_code, Exit_Left_Open) << run.errors;
    EXPECT_NE(run.exit_code, Exit_Oplock_Wait) << run.errors;
    return run;
}

Run_Output Run_Tool(const std::string& machine, const std::string& arguments = "") {
    return Run_Tool_On(fs::path(SOURCE_DIR) / "machines" / machine, arguments);
}

// What a run changed, as `vpsim diff` summarises it (options: "--json" or none).
std::string Summarise_Changes_Of(const fs::path& before, const fs::path& after, const std::string& options = "") {
    std::string command = std::string(VPSIM_PATH) + " diff " + options + " \"" + before.string() + "\" \"" +
                          after.string() + "\"";
    std::string summary;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return summary;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), pipe)) > 0) summary.append(buffer, count);
    pclose(pipe);
    return summary;
}

std::string Summarise_Changes(const std::string& machine, const fs::path& out_dir) {
    return Summarise_Changes_Of(fs::path(SOURCE_DIR) / "machines" / machine, out_dir);
}

// A fresh copy of machines/MACHINE, without its expected files, in a temporary folder named after the
// test; machine.ini gets the lines given, in sections of their own.
fs::path Copy_Machine(const std::string& machine, const std::string& name, const std::string& ini_lines = "") {
    const fs::path copy = fs::temp_directory_path() / ("vpsim-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(copy);
    fs::copy(fs::path(SOURCE_DIR) / "machines" / machine, copy, fs::copy_options::recursive);
    fs::remove_all(copy / "expected");
    std::ofstream(copy / "machine.ini", std::ios::binary | std::ios::app) << "\n" << ini_lines;
    return copy;
}

std::string Demo_Arguments() {
    std::string arguments = Read_File(fs::path(SOURCE_DIR) / "machines/demo/expected/arguments.txt");
    arguments.erase(std::remove(arguments.begin(), arguments.end(), '\n'), arguments.end());
    return arguments;
}

std::vector<std::string> Split_Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// Compares a log with its expected form line by line; the time of day (the fifth line) is masked.
void Expect_Log_Matches(const std::string& actual, const std::string& expected) {
    std::vector<std::string> actual_lines = Split_Lines(actual), expected_lines = Split_Lines(expected);
    ASSERT_GE(actual_lines.size(), 5u);
    EXPECT_TRUE(std::regex_match(actual_lines[4], std::regex("   [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}\r\n")))
        << actual_lines[4];
    actual_lines[4] = expected_lines.size() > 4 ? expected_lines[4] : "";
    for (size_t i = 0; i < std::max(actual_lines.size(), expected_lines.size()); ++i) {
        std::string a = i < actual_lines.size() ? actual_lines[i] : "<missing>";
        std::string e = i < expected_lines.size() ? expected_lines[i] : "<missing>";
        ASSERT_EQ(a, e) << "log line " << (i + 1);
    }
}

class Whole_Run : public ::testing::TestWithParam<std::string> {};

TEST_P(Whole_Run, LogConsoleAndExitCodeAreTheExpectedOnes) {
    const std::string machine = GetParam();
    const fs::path expected = fs::path(SOURCE_DIR) / "machines" / machine / "expected";
    // The command-line arguments of the run, when the scenario names some (one line).
    std::string arguments = Read_File(expected / "arguments.txt");
    arguments.erase(std::remove(arguments.begin(), arguments.end(), '\n'), arguments.end());
    Run_Output run = Run_Tool(machine, arguments);
    EXPECT_EQ(run.exit_code, std::stoi(Read_File(expected / "exit-code.txt")));
    EXPECT_EQ(run.console, Read_File(expected / "console.txt"));
    fs::path log = Find_No_Case(run.out_dir / "drive_c", {"windows", "temp", "vpRemovalTool.txt"});
    ASSERT_FALSE(log.empty()) << "no log file in " << run.out_dir;
    Expect_Log_Matches(Read_File(log), Read_File(expected / "vpRemovalTool.txt"));
    // Every log line also reached the debugger output, in UTF-16, with plain line feeds.
    std::string debug = Read_File(run.out_dir / "debug-output.txt");
    std::string log_text = Read_File(log);
    EXPECT_EQ(std::count(debug.begin(), debug.end(), '\n'), std::count(log_text.begin(), log_text.end(), '\n'));
    // The machine afterwards: exactly the expected keys, values and files are gone or scheduled.
    EXPECT_EQ(Summarise_Changes(machine, run.out_dir), Read_File(expected / "changes.txt"));
    // The keys whose security the run changed, before and after.
    EXPECT_EQ(Read_File(run.out_dir / "security.txt"), Read_File(expected / "security.txt"));
    fs::remove_all(run.out_dir);
}

INSTANTIATE_TEST_SUITE_P(Machines, Whole_Run, ::testing::Values("clean", "demo", "profiles", "user-writable"));

// The preview for other tools: the same changes as JSON, exit code and RunOnce command included.
TEST(Whole_Run_Preview, JsonPreviewOfTheDemoMachine) {
    Run_Output run = Run_Tool("demo", Demo_Arguments());
    const fs::path demo = fs::path(SOURCE_DIR) / "machines" / "demo";
    EXPECT_EQ(Summarise_Changes_Of(demo, run.out_dir, "--json"), Read_File(demo / "expected" / "changes.json"));
    fs::remove_all(run.out_dir);
}

// The way back: importing the run's backup into the machine it left gives back every key and value
// the run removed, with its type and data (the demo machine's product keys hold every value type);
// what is left of the run is what it added.
TEST(Whole_Run_Backup, ImportingTheBackupPutsBackEveryKeyAndValue) {
    const fs::path demo = fs::path(SOURCE_DIR) / "machines" / "demo";
    Run_Output run = Run_Tool("demo", Demo_Arguments());
    const fs::path before = run.out_dir.string() + "-before", restored = run.out_dir.string() + "-restored";
    const fs::path header = run.out_dir.string() + "-header.reg";
    std::ofstream(header, std::ios::binary) << "Windows Registry Editor Version 5.00\r\n";
    fs::path backup = Find_No_Case(run.out_dir / "drive_c", {"windows", "temp", "vpRemovalTool-backup-" + First_Random,
                                                             "vpRemovalTool-backup.reg"});
    ASSERT_FALSE(backup.empty());
    auto import = [](const fs::path& machine, const fs::path& file, const fs::path& out) {
        std::string command = std::string(VPSIM_PATH) + " import \"" + machine.string() + "\" \"" + file.string() +
                              "\" --out \"" + out.string() + "\"";
        return std::system(command.c_str());
    };
    ASSERT_EQ(import(demo, header, before), 0);  // the machine as the runner saves it
    ASSERT_EQ(import(run.out_dir, backup, restored), 0);
    std::string summary = Summarise_Changes_Of(before, restored);
    summary = summary.substr(summary.find("\n\n") + 2);  // after the line naming the run's profile
    EXPECT_EQ(summary.substr(0, summary.find("\n\n") + 2),
              "Values added (1):\n"
              "  HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager  \"PendingFileRenameOperations\"\n\n");
    // The RunOnce value the run wrote is listed once, as such (not also as a value added).
    EXPECT_NE(summary.find("RunOnce entries written (1):\n"
                           "  HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce  \"remove\" = "),
              std::string::npos) << summary;
    for (const char* section : {"Keys removed", "Values removed", "Values changed", "Keys added"})
        EXPECT_EQ(summary.find(section), std::string::npos) << summary;
    // The run did remove them: without the backup they are missing.
    EXPECT_NE(Summarise_Changes_Of(before, run.out_dir).find("Keys removed (52)"), std::string::npos);
    for (const fs::path& path : {run.out_dir, before, restored, header}) fs::remove_all(path);
}

// A second run on the machine the first one left (not restarted in between: the provider library is
// still in use): nothing is found, the library is scheduled once more and the restart is asked again.
// Nothing else changes: the readers' key has the security the run gives it, so no backup is made, and
// the Windows TEMP folder holds what it held but for the new log.
TEST(Whole_Run_Second, SecondRunOnTheDemoMachineFindsNothingLeft) {
    const fs::path expected = fs::path(SOURCE_DIR) / "machines" / "demo" / "expected";
    Run_Output first = Run_Tool("demo", Demo_Arguments());
    ASSERT_EQ(first.exit_code, 1);
    Run_Output second = Run_Tool_On(first.out_dir, Demo_Arguments());
    EXPECT_EQ(second.exit_code, std::stoi(Read_File(expected / "second-run" / "exit-code.txt")));
    EXPECT_EQ(second.console, Read_File(expected / "second-run" / "console.txt"));
    EXPECT_EQ(second.console.find("Registry backup:"), std::string::npos) << second.console;
    auto temp_entries = [](const fs::path& machine) {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(Find_No_Case(machine / "drive_c", {"windows", "temp"})))
            names.push_back(fs::relative(entry.path(), machine).generic_string());
        std::sort(names.begin(), names.end());
        return names;
    };
    EXPECT_EQ(temp_entries(second.out_dir), temp_entries(first.out_dir));
    fs::path log = Find_No_Case(second.out_dir / "drive_c", {"windows", "temp", "vpRemovalTool.txt"});
    ASSERT_FALSE(log.empty()) << "no log file in " << second.out_dir;
    Expect_Log_Matches(Read_File(log), Read_File(expected / "second-run" / "vpRemovalTool.txt"));
    EXPECT_EQ(Summarise_Changes_Of(first.out_dir, second.out_dir),
              Read_File(expected / "second-run" / "changes.txt"));
    fs::remove_all(first.out_dir);
    fs::remove_all(second.out_dir);
}

// The demo machine as collect-machine.cmd would collect it: the registry as an export in UTF-16LE
// with a byte-order mark under registry/, the OEM .inf files copied, every other file and folder
// only listed with its attributes and size.
void Write_Collected_Form(const fs::path& machine, const fs::path& collected) {
    fs::create_directories(collected / "registry");
    std::string text = Read_File(machine / "registry.reg");
    std::string utf16 = "\xFF\xFE";
    for (size_t i = 0; i < text.size();) {  // UTF-8 to UTF-16LE, CR LF line ends as reg export writes
        unsigned char c = text[i];
        uint32_t point = c;
        size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (length > 1) point = c & (0xFF >> (length + 1));
        for (size_t k = 1; k < length; ++k) point = (point << 6) | (text[i + k] & 0x3F);
        i += length;
        if (point == '\n') utf16 += std::string("\r\0", 2);
        utf16 += char(point & 0xFF);
        utf16 += char(point >> 8);
    }
    std::ofstream(collected / "registry" / "export.reg", std::ios::binary) << utf16;
    fs::copy_file(machine / "machine.ini", collected / "machine.ini");
    std::ofstream listing(collected / "drive_c.listing", std::ios::binary);
    for (auto it = fs::recursive_directory_iterator(machine / "drive_c"); it != fs::recursive_directory_iterator(); ++it) {
        fs::path relative = fs::relative(it->path(), machine / "drive_c");
        std::string windows_path = "C:\\" + relative.string();
        std::replace(windows_path.begin(), windows_path.end(), '/', '\\');
        std::string name = relative.filename().string();
        if (it->is_directory()) {
            listing << "d----------||" << windows_path << "\r\n";
        } else if (relative.parent_path() == fs::path("windows/inf") && name.compare(0, 3, "oem") == 0 &&
                   name.size() > 4 && name.compare(name.size() - 4, 4, ".inf") == 0) {
            fs::create_directories(collected / "drive_c" / relative.parent_path());
            fs::copy_file(it->path(), collected / "drive_c" / relative);
        } else {
            listing << "--a--------|" << it->file_size() << "|" << windows_path << "\r\n";
        }
    }
}

// A preview from what collect-machine.cmd collects is the preview of the machine itself.
TEST(Whole_Run_Preview, CollectedFormOfTheDemoMachineGivesTheSamePreview) {
    const fs::path demo = fs::path(SOURCE_DIR) / "machines" / "demo";
    fs::path collected = fs::temp_directory_path() / ("vpsim-collected-demo-" + std::to_string(getpid()));
    fs::remove_all(collected);
    Write_Collected_Form(demo, collected);
    Run_Output run = Run_Tool_On(collected, Demo_Arguments());
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(Summarise_Changes_Of(collected, run.out_dir), Read_File(demo / "expected" / "changes.txt"));
    fs::remove_all(collected);
    fs::remove_all(run.out_dir);
}

// Only the arguments the tool knows start anything: help, and every argument it does not know, print
// the usage text (the latter with the argument) and change nothing, an earlier run's log included.
TEST(Whole_Run_Arguments, AnArgumentTheToolDoesNotKnowChangesNothing) {
    const std::string code = Demo_Arguments();
    const std::string usage =
        "Usage: vpRemovalTool.exe [/check] [{BUNDLE-UPGRADE-CODE}]\n"
        "  {BUNDLE-UPGRADE-CODE}  the upgrade code of the product's installer bundle, in braces;\n"
        "                         its quiet uninstall is scheduled for the next logon\n"
        "  /check                 change nothing; tell what of the product is present (exit 3) or\n"
        "                         that nothing is (exit 0)\n"
        "  /?                     show this text\n";
    const std::string earlier = "a line of an earlier run\r\n";
    struct Case {
        std::string arguments;  // as the shell passes them on
        int exit_code;
        std::string unknown;  // the argument named on the console; empty: none
    };
    const Case cases[] = {
        {"'/?'", 0, ""},
        {"-HELP", 0, ""},
        {"/check '-?' " + code, 0, ""},
        {"--check", 1639, "--check"},
        {"/chek", 1639, "/chek"},
        {"'{not-a-code}'", 1639, "{not-a-code}"},
        {code.substr(1, code.size() - 2), 1639, code.substr(1, code.size() - 2)},
        {code + " " + code, 1639, code},
        {"/check -CHECK", 1639, "-CHECK"},
        {code + " /check second", 1639, "second"},
        {"'{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A76G}'", 1639, "{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A76G}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const fs::path scenario = Copy_Machine("demo", "arguments");
        std::ofstream(scenario / "drive_c" / "windows" / "temp" / "vpRemovalTool.txt", std::ios::binary) << earlier;
        Run_Output run = Run_Tool_On(scenario, c.arguments);
        EXPECT_EQ(Read_File(run.out_dir / "exit-code.txt"), std::to_string(c.exit_code) + "\n");
        EXPECT_EQ(run.console, usage + (c.unknown.empty() ? "" : "Unknown argument: " + c.unknown + "\n"));
        EXPECT_EQ(Read_File(run.out_dir / "drive_c" / "windows" / "temp" / "vpRemovalTool.txt"), earlier);
        std::string summary = Summarise_Changes_Of(scenario, run.out_dir);
        EXPECT_EQ(summary.substr(summary.find("\n\n") + 2), "No changes.\n\nExit code: " + std::to_string(c.exit_code) +
                                                                 " (" + (c.exit_code == 0 ? "done; no restart needed" : "the command line was not understood; nothing was changed") + ")\n");
        fs::remove_all(run.out_dir);
        fs::remove_all(scenario);
    }
}

// A scenario that cannot be read is refused before the tool runs: the message names the file and
// line, the exit code is 64 and nothing is written.
TEST(Whole_Run_Scenario, MalformedScenarioIsRefusedBeforeTheToolRuns) {
    struct Case {
        const char* file;
        const char* content;
        const char* message;
    };
    const Case cases[] = {
        {"registry.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"v\"=dword:xyz\n",
         "registry.reg:4:"},
        {"machine.ini", "[os]\nversion=10.0\ncolour=blue\n", "machine.ini:3:"},
        {"drive_c.listing", "d----------||C:\\Windows\r\n--a--------|12|D:\\x.dll\r\n", "drive_c.listing:2:"},
    };
    for (const Case& bad : cases) {
        fs::path scenario = fs::temp_directory_path() / ("vpsim-bad-" + std::to_string(getpid()));
        fs::remove_all(scenario);
        fs::create_directories(scenario / "drive_c" / "windows");
        std::ofstream(scenario / bad.file) << bad.content;
        fs::path out_dir = scenario.string() + "-out";
        std::string command = std::string(VPSIM_PATH) + " run " + scenario.string() + " --out " + out_dir.string() +
                              " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char buffer[4096];
        size_t count;
        while ((count = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, count);
        int status = pclose(pipe);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 64) << bad.file;
        EXPECT_NE(output.find(bad.message), std::string::npos) << output;
        EXPECT_EQ(output.find("Removing precompiled OEM files"), std::string::npos) << output;
        EXPECT_FALSE(fs::exists(out_dir));
        fs::remove_all(scenario);
    }
}

// A run that leaves something open fails with 70, naming each object on standard error, though it
// writes the machine and the tool's exit code as any run. The smart-card worker of a remote session is
// created suspended: one whose token cannot be set is called off and resumed, and one that can never
// be resumed is ended where it stands, so those runs leave nothing open; one that can be neither
// resumed nor ended stays, and is named. A release of the log's lock that fails leaves the worker's
// lines free to be written.
TEST(Whole_Run_Leaks, WhatARunLeavesOpenFailsIt) {
    const fs::path remote = Copy_Machine("demo", "remote", "[run]\nremote_session=yes\naccount=localsystem\n");
    const std::string machine = Read_File(remote / "machine.ini");
    auto run_with = [&](const std::string& faults) {
        std::ofstream(remote / "machine.ini", std::ios::trunc) << machine << faults;
        return Run_Vpsim(remote, Demo_Arguments());
    };
    for (const char* faults :
         {"", "[faults]\nfault=SetThreadToken:1:5\n", "[faults]\nfault=ReleaseMutex:1+:288\n",
          "[faults]\nfault=ResumeThread:1:6\nfault=ResumeThread:2:6\n"}) {
        Run_Output passing = run_with(faults);
        EXPECT_EQ(passing.exit_code, 1) << faults;
        EXPECT_EQ(passing.errors, "") << faults;
        fs::remove_all(passing.out_dir);
    }

    Run_Output leaking =
        run_with("[faults]\nfault=ResumeThread:1:6\nfault=ResumeThread:2:6\nfault=TerminateThread:1:5\n");
    EXPECT_EQ(leaking.exit_code, Exit_Left_Open);
    EXPECT_EQ(leaking.errors,
              "vpsim: left open: thread 8: created suspended, never resumed\n"
              "vpsim: left open: impersonation by thread 8: token of S-1-5-18 set by SetThreadToken, not reverted\n"
              "vpsim: the run left 2 object(s) open; the tool's exit code 1 is in exit-code.txt\n");
    EXPECT_EQ(Read_File(leaking.out_dir / "exit-code.txt"), "1\n");
    for (const fs::path& folder : {remote, leaking.out_dir}) fs::remove_all(folder);
}

}  // namespace

// Replaces the one occurrence of a block of text; the test fails when there is not exactly one.
void Replace_Once(std::string& text, const std::string& block, const std::string& replacement) {
    size_t at = text.find(block);
    ASSERT_NE(at, std::string::npos) << block;
    ASSERT_EQ(text.find(block, at + 1), std::string::npos) << block;
    text.replace(at, block.size(), replacement);
}

// Symbolic link keys planted in the maker's trees (which ordinary users may be able to write): one to
// another product's key, one to a tree outside SOFTWARE, one to a key without subkeys (which a deletion
// by name would delete), one to itself and one to nothing. Each goes as the link itself, logged like
// any key of the tree; every target stays as it was, subkeys and values included.
TEST(Whole_Run_Links, LinkKeysInTheMakersTreesGoAsLinksAndTheirTargetsStayWhole) {
    const fs::path demo = fs::path(SOURCE_DIR) / "machines" / "demo";
    const fs::path linked = Copy_Machine(
        "demo", "linked",
        "[registry]\n"
        "link=HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.\\VESPARIO\\Runtime "
        "target=HKEY_LOCAL_MACHINE\\SOFTWARE\\Orbis\\Runtime\n"
        "link=HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.\\Services "
        "target=HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\n"
        "link=HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Corvanta LLP.\\VESPARIO\\Leaf "
        "target=HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Leaf\n"
        "link=HKEY_CURRENT_USER\\SOFTWARE\\Corvanta LLP.\\VESPARIO\\Loop "
        "target=HKEY_CURRENT_USER\\SOFTWARE\\Corvanta LLP.\\VESPARIO\\Loop\n"
        "link=HKEY_CURRENT_USER\\SOFTWARE\\Corvanta LLP.\\Gone target=HKEY_LOCAL_MACHINE\\SOFTWARE\\Nowhere\n");
    std::ofstream(linked / "registry.reg", std::ios::binary | std::ios::app)
        << "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip]\r\n"
           "\"Start\"=dword:00000001\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\r\n"
           "\"Hostname\"=\"demo\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Leaf]\r\n"
           "\"Type\"=dword:00000010\r\n\r\n";
    Run_Output run = Run_Tool_On(linked, Demo_Arguments());
    EXPECT_EQ(run.exit_code, 1);

    const std::string key = "               Deleting registry key:  Corvanta LLP.";
    std::string expected_log = Read_File(demo / "expected" / "vpRemovalTool.txt");
    Replace_Once(expected_log, key + "\\VESPARIO\\Drivers\r\n" + key + "\\VESPARIO\\Shortcuts\r\n",
                 key + "\\Services\r\n" + key + "\\VESPARIO\\Drivers\r\n" + key + "\\VESPARIO\\Runtime\r\n" + key +
                     "\\VESPARIO\\Shortcuts\r\n");
    Replace_Once(expected_log, key + "\\VESPARIO\\Drivers\r\n" + key + "\\VESPARIO\r\n",
                 key + "\\VESPARIO\\Drivers\r\n" + key + "\\VESPARIO\\Leaf\r\n" + key + "\\VESPARIO\r\n");
    Replace_Once(expected_log,
                 "(KEY_SET_VALUE):  SOFTWARE\r\n" + key + "\\VESPARIO\\vpControlPanel\r\n" + key + "\\VESPARIO\r\n",
                 "(KEY_SET_VALUE):  SOFTWARE\r\n" + key + "\\Gone\r\n" + key + "\\VESPARIO\\Loop\r\n" + key +
                     "\\VESPARIO\\vpControlPanel\r\n" + key + "\\VESPARIO\r\n");
    // The five link keys count among the keys removed.
    Replace_Once(expected_log, "keys removed: 70;", "keys removed: 75;");
    fs::path log = Find_No_Case(run.out_dir / "drive_c", {"windows", "temp", "vpRemovalTool.txt"});
    ASSERT_FALSE(log.empty());
    Expect_Log_Matches(Read_File(log), expected_log);

    // Only the links went besides what goes on the demo machine: no key, value or file of a target.
    std::string expected_changes = Read_File(demo / "expected" / "changes.txt");
    Replace_Once(expected_changes, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.  (and 4 keys below)",
                 "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.  (and 6 keys below)");
    Replace_Once(expected_changes, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Corvanta LLP.  (and 2 keys below)",
                 "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Corvanta LLP.  (and 3 keys below)");
    Replace_Once(expected_changes, "HKEY_CURRENT_USER\\SOFTWARE\\Corvanta LLP.  (and 2 keys below)",
                 "HKEY_CURRENT_USER\\SOFTWARE\\Corvanta LLP.  (and 4 keys below)");
    EXPECT_EQ(Summarise_Changes_Of(linked, run.out_dir), expected_changes);
    // No link is left to be written back.
    EXPECT_EQ(Read_File(run.out_dir / "machine.ini").find("link="), std::string::npos);
    fs::remove_all(run.out_dir);
    fs::remove_all(linked);
}

// The demo machine with LocalSystem's profile beside the administrator's (collected from
// HKEY_USERS\.DEFAULT; the alias HKEY_USERS\S-1-5-18 reads the same), run as each account: the run
// removes the maker's settings and new-shortcut values from the profile of the account it runs as and
// leaves the other profile as it was; the preview names the profile first.
TEST(Whole_Run_Profiles, TheRunChangesTheProfileOfItsAccountOnly) {
    const fs::path demo = fs::path(SOURCE_DIR) / "machines" / "demo";
    const std::string admin_line = "The run's HKEY_CURRENT_USER: an administrator's profile, listed as "
                                   "HKEY_CURRENT_USER (machine.ini names no [user])\n";
    const std::string shortcuts = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage\\NewShortcuts";
    const std::string programs = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\";
    const std::string user_values =
        "  HKEY_CURRENT_USER\\" + shortcuts + "  \"" + programs + "VESPARIO\\VESPARIO Control Panel.lnk\"\n"
        "  HKEY_CURRENT_USER\\" + shortcuts + "  \"" + programs + "VESPARIO\\Панель управления VESPARIO.lnk\"\n"
        "  HKEY_CURRENT_USER\\" + shortcuts + "  \"" + programs + "ВЕСПАРИО\\Панель управления VESPARIO.lnk\"\n";
    struct Account {
        const char* name;
        const char* run;                 // machine.ini's [run]
        std::vector<std::pair<std::string, std::string>> changed;  // demo's expected changes.txt, edited
    };
    const Account accounts[] = {
        {"administrator", "",
         {{admin_line, "The run's HKEY_CURRENT_USER: the profile of WS01\\admin (S-1-5-21-1004336348-1177238915-"
                       "682003330-500), listed as HKEY_CURRENT_USER\n"}}},
        {"localsystem", "[run]\naccount=localsystem\n",
         {{admin_line, "The run's HKEY_CURRENT_USER: LocalSystem's profile (S-1-5-18), listed as HKEY_USERS\\.DEFAULT\n"},
          {"  HKEY_CURRENT_USER\\SOFTWARE\\Corvanta LLP.  (and 2 keys below)\n",
           "  HKEY_USERS\\.DEFAULT\\SOFTWARE\\Corvanta LLP.  (and 1 key below)\n"},
          {"Values removed (44):", "Values removed (42):"},
          {user_values, ""},
          {"\n\nValues added (1):",
           "\n  HKEY_USERS\\.DEFAULT\\" + shortcuts + "  \"" + programs + "VESPARIO\\VESPARIO Control Panel.lnk\"\n"
           "\nValues added (1):"}}},
    };
    for (const Account& account : accounts) {
        SCOPED_TRACE(account.name);
        const fs::path scenario = Copy_Machine(
            "demo", "profiles",
            "[user]\nname=WS01\\admin\nsid=S-1-5-21-1004336348-1177238915-682003330-500\n" + std::string(account.run));
        auto reg_name = [](std::string name) {  // as regedit writes a name: backslashes doubled
            for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 2)) name.insert(at, 1, '\\');
            return "\"" + name + "\"";
        };
        std::ofstream(scenario / "registry.reg", std::ios::binary | std::ios::app)
            << "\r\n[HKEY_USERS\\.DEFAULT\\SOFTWARE\\Corvanta LLP.\\VESPARIO]\r\n\"Language\"=\"ru\"\r\n\r\n"
               "[HKEY_USERS\\S-1-5-18\\" + shortcuts + "]\r\n" +
               reg_name(programs + "VESPARIO\\VESPARIO Control Panel.lnk") + "=dword:00000000\r\n" +
               reg_name(programs + "Lumenleaf PDF Reader.lnk") + "=dword:00000000\r\n";
        Run_Output run = Run_Tool_On(scenario, Demo_Arguments());
        EXPECT_EQ(run.exit_code, 1);
        std::string expected = Read_File(demo / "expected" / "changes.txt");
        for (const auto& change : account.changed) Replace_Once(expected, change.first, change.second);
        EXPECT_EQ(Summarise_Changes_Of(scenario, run.out_dir), expected);
        fs::remove_all(run.out_dir);
        fs::remove_all(scenario);
    }
}

namespace {

// What stands in a scenario's folders: files with their bytes and folders, by path below drive_c/.
using Entries = std::map<std::string, std::string>;
const char* const Folder = "<folder>";

// Every file and folder of an output's drive_c whose name starts with "vpRemovalTool", with its bytes
// (a folder as Folder), by path below drive_c/ (the names as written back).
Entries Log_Like_Entries(const fs::path& drive_c) {
    Entries found;
    for (auto it = fs::recursive_directory_iterator(drive_c); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path().filename().string().rfind("vpRemovalTool", 0) != 0) continue;
        std::string relative = fs::relative(it->path(), drive_c).generic_string();
        found[relative] = it->is_directory() ? std::string(Folder) : Read_File(it->path());
    }
    return found;
}

// What a user who may create files and folders in the Windows directory's TEMP folder can put at the
// names of the log and the backup before the elevated run, on the clean machine: the run writes its
// log only into a file it created itself, under the usual name or a name nobody could know ahead
// (shown on the console), or into none; its backup only into a folder of its own made under a name
// nobody could know ahead (its path shown on the console); what was planted stays as it was, byte for
// byte. "LOG" stands for the run's whole log, "BACKUP" for a backup the run wrote.
TEST(Whole_Run_Log_File, WhatStandsAtTheLogsOrTheBackupsNameIsNeverWritten) {
    const std::string earlier = "a line of an earlier run\r\n";
    const std::string planted = "planted by an ordinary user\r\n";
    const std::string log_marker = "LOG";
    const std::string backup_marker = "BACKUP";
    // The run changes the readers' key security: its backup, in the folder the run made.
    const std::string folder = "windows/temp/vpRemovalTool-backup-" + First_Random;
    const Entries backup = {{folder, Folder}, {folder + "/vpRemovalTool-backup.reg", backup_marker}};
    const std::string after_log = "windows/temp/vpRemovalTool-backup-" + Second_Random;
    const Entries backup_after_log = {{after_log, Folder}, {after_log + "/vpRemovalTool-backup.reg", backup_marker}};
    auto with = [](Entries entries, const Entries& more) {
        entries.insert(more.begin(), more.end());
        return entries;
    };
    struct Attack {
        const char* name;
        Entries planted;          // below drive_c/, before the run
        bool temp_folder;         // the clean machine's TEMP folder stays (else it is removed)
        std::string ini;          // added to machine.ini
        Entries after;            // every vpRemovalTool* entry after the run, and the planted ones
        std::string console;      // the line before the clean machine's console text
        std::string files_after;  // the [files] section written back (empty: none)
        std::string notes;        // the debugger output before the log's first line
    };
    const std::string other_log = "windows/temp/vpRemovalTool-" + First_Random + ".txt";
    const std::string other = "Log file: C:\\Windows\\TEMP\\vpRemovalTool-" + First_Random + ".txt\n";
    const std::string none = "Log file: none could be created; the log goes to the debugger output only.\n";
    // Every name the log once fell back to, each taken by a file of the user's.
    Entries numbered;
    for (int number = 1; number <= 99; ++number)
        numbered["windows/temp/vpRemovalTool-" + std::to_string(number) + ".txt"] = planted;
    const Attack attacks[] = {
        {"an earlier run's log", {{"windows/temp/vpRemovalTool.txt", earlier}}, true, "",
         with({{"windows/temp/vpRemovalTool.txt", log_marker}}, backup), "", "", ""},
        {"held open without sharing", {{"windows/temp/vpRemovalTool.txt", planted}}, true,
         "[files]\nlocked=C:\\Windows\\TEMP\\vpRemovalTool.txt\n",
         with({{"windows/temp/vpRemovalTool.txt", planted}, {other_log, log_marker}}, backup_after_log), other,
         "[files]\nlocked=C:\\windows\\temp\\vpRemovalTool.txt\n", ""},
        {"held open, and every numbered name taken", with({{"windows/temp/vpRemovalTool.txt", planted}}, numbered),
         true, "[files]\nlocked=C:\\Windows\\TEMP\\vpRemovalTool.txt\n",
         with(with({{"windows/temp/vpRemovalTool.txt", planted}, {other_log, log_marker}}, numbered), backup_after_log),
         other, "[files]\nlocked=C:\\windows\\temp\\vpRemovalTool.txt\n", ""},
        // An opportunistic lock on the name would hold a run that opened it until the user let go.
        {"an opportunistic lock on an earlier log", {{"windows/temp/vpRemovalTool.txt", planted}}, true,
         "[files]\noplocked=C:\\Windows\\TEMP\\vpRemovalTool.txt\n",
         with({{"windows/temp/vpRemovalTool.txt", planted}, {other_log, log_marker}}, backup_after_log), other,
         "[files]\noplocked=C:\\windows\\temp\\vpRemovalTool.txt\n", ""},
        {"held open sharing reading and writing, not deletion", {{"windows/temp/vpRemovalTool.txt", planted}}, true,
         "[files]\nopen=C:\\Windows\\TEMP\\vpRemovalTool.txt share=rw\n",
         with({{"windows/temp/vpRemovalTool.txt", planted}, {other_log, log_marker}}, backup_after_log), other,
         "[files]\nopen=C:\\windows\\temp\\vpRemovalTool.txt share=rw\n", ""},
        {"a folder", {{"windows/temp/vpRemovalTool.txt/note.txt", planted}}, true, "",
         with({{"windows/temp/vpRemovalTool.txt", Folder}, {"windows/temp/vpRemovalTool.txt/note.txt", planted},
               {other_log, log_marker}},
              backup_after_log),
         other, "", ""},
        {"a hard link to the user's file", {{"users/Public/notes.txt", planted}}, true,
         "[files]\nhardlink=C:\\Windows\\TEMP\\vpRemovalTool.txt => C:\\users\\Public\\notes.txt\n",
         with({{"users/Public/notes.txt", planted}, {"windows/temp/vpRemovalTool.txt", log_marker}}, backup), "", "",
         ""},
        {"a hard link, its file held open", {{"users/Public/notes.txt", planted}}, true,
         "[files]\nhardlink=C:\\Windows\\TEMP\\vpRemovalTool.txt => C:\\users\\Public\\notes.txt\n"
         "open=C:\\users\\Public\\notes.txt share=rw\n",
         with({{"users/Public/notes.txt", planted}, {other_log, log_marker}}, backup_after_log), other,
         "[files]\nopen=C:\\users\\Public\\notes.txt share=rw\n"
         "hardlink=C:\\windows\\temp\\vpRemovalTool.txt => C:\\users\\Public\\notes.txt\n",
         ""},
        {"a junction to a folder", {{"users/Public/notes.txt", planted}}, true,
         "[files]\njunction=C:\\Windows\\TEMP\\vpRemovalTool.txt => C:\\users\\Public\n",
         with({{"users/Public/notes.txt", planted}, {other_log, log_marker}}, backup_after_log), other,
         "[files]\njunction=C:\\windows\\temp\\vpRemovalTool.txt => C:\\users\\Public\n", ""},
        {"TEMP itself a junction", {{"users/Public/notes.txt", planted}}, false,
         "[files]\njunction=C:\\Windows\\TEMP => C:\\users\\Public\n", {{"users/Public/notes.txt", planted}}, none,
         "[files]\njunction=C:\\windows\\TEMP => C:\\users\\Public\n",
         "The log file is not written: C:\\Windows\\TEMP is a junction or symbolic link.\n"
         "No log file could be created; the log goes to the debugger output only.\n"},
        // A backup at the names earlier runs used (with a comment that tells how to restore it), or a
        // user's hard link there, stays as it was, and the console names the run's own backup.
        {"a planted backup at the old names",
         {{"windows/temp/vpRemovalTool-backup.reg", planted}, {"windows/temp/vpRemovalTool-backup-1.reg", planted}},
         true, "",
         with({{"windows/temp/vpRemovalTool.txt", log_marker}, {"windows/temp/vpRemovalTool-backup.reg", planted},
               {"windows/temp/vpRemovalTool-backup-1.reg", planted}},
              backup),
         "", "", ""},
        {"a hard link at the backup's old name", {{"users/Public/notes.txt", planted}}, true,
         "[files]\nhardlink=C:\\Windows\\TEMP\\vpRemovalTool-backup.reg => C:\\users\\Public\\notes.txt\n",
         with({{"users/Public/notes.txt", planted}, {"windows/temp/vpRemovalTool.txt", log_marker}}, backup), "",
         "[files]\nhardlink=C:\\windows\\temp\\vpRemovalTool-backup.reg => C:\\users\\Public\\notes.txt\n", ""},
        // A folder of the user's that happens to bear the backup folder's name (nobody can know it on
        // Windows; winsim's names repeat) is not used: the run makes another.
        {"a user's folder at the backup folder's name", {{folder + "/vpRemovalTool-backup.reg", planted}}, true,
         "[security]\nfile=C:\\Windows\\TEMP\\vpRemovalTool-backup-" + First_Random + " sddl=O:S-1-5-21-1-2-3-1002\n",
         with({{"windows/temp/vpRemovalTool.txt", log_marker}, {folder, Folder},
               {folder + "/vpRemovalTool-backup.reg", planted}},
              backup_after_log),
         "", "", ""},
    };
    const fs::path clean = fs::path(SOURCE_DIR) / "machines" / "clean";
    const std::string clean_log = Without_Backup_Folder_Name(Read_File(clean / "expected" / "vpRemovalTool.txt"));
    const std::string clean_console = Without_Backup_Folder_Name(Read_File(clean / "expected" / "console.txt"));
    const std::string backup_line = "Registry backup: C:\\Windows\\TEMP\\vpRemovalTool-backup-RANDOM\\vpRemovalTool-backup.reg\n";
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        const fs::path scenario = Copy_Machine("clean", "log-attack", attack.ini);
        if (!attack.temp_folder) fs::remove_all(scenario / "drive_c" / "windows" / "temp");
        for (const auto& entry : attack.planted) {
            fs::create_directories((scenario / "drive_c" / entry.first).parent_path());
            std::ofstream(scenario / "drive_c" / entry.first, std::ios::binary) << entry.second;
        }

        Run_Output run = Run_Tool_On(scenario, "");
        EXPECT_EQ(run.exit_code, std::stoi(Read_File(clean / "expected" / "exit-code.txt")));
        // Without a backup (no log folder of its own), no line names one.
        bool backup_made = false;
        for (const auto& entry : attack.after) backup_made = backup_made || entry.second == backup_marker;
        std::string console = clean_console;
        if (!backup_made) console.erase(console.find(backup_line), backup_line.size());
        EXPECT_EQ(Without_Backup_Folder_Name(run.console), attack.console + console);
        Entries after = Log_Like_Entries(run.out_dir / "drive_c");
        for (auto& entry : after) {
            const std::string header("\xFF\xFEW\0i\0n\0d\0o\0w\0s\0", 16);
            if (entry.second.compare(0, header.size(), header) == 0) {
                // The backup the console names, and only that one.
                std::string path = entry.first;
                std::replace(path.begin(), path.end(), '/', '\\');
                EXPECT_NE(run.console.find("Registry backup: C:\\Windows\\TEMP" + path.substr(path.find('\\', 8))),
                          std::string::npos)
                    << entry.first;
                entry.second = backup_marker;
            }
        }
        for (const auto& entry : attack.after) {
            if (entry.second != log_marker) continue;
            ASSERT_TRUE(after.count(entry.first)) << entry.first;
            std::string expected_log = clean_log;
            if (attack.ini.find("oplocked=") != std::string::npos) {
                // The header's last line says why the log is elsewhere.
                const size_t computer = expected_log.find("   Computer: ");
                expected_log.insert(expected_log.find("\r\n", computer) + 2,
                                    "   Another process holds an opportunistic lock on C:\\Windows\\TEMP\\vpRemovalTool.txt, "
                                    "so this run logs to C:\\Windows\\TEMP\\vpRemovalTool-" + First_Random +
                                        ".txt instead.\r\n");
            }
            Expect_Log_Matches(Without_Backup_Folder_Name(after[entry.first]), expected_log);
            after[entry.first] = log_marker;
        }
        for (const auto& entry : attack.after) {
            fs::path path = run.out_dir / "drive_c" / entry.first;
            if (!after.count(entry.first) && fs::exists(path))
                after[entry.first] = fs::is_directory(path) ? std::string(Folder) : Read_File(path);
        }
        EXPECT_EQ(after, attack.after);
        std::string ini = Read_File(run.out_dir / "machine.ini");
        size_t files = ini.find("[files]\n");
        EXPECT_EQ(files == std::string::npos ? "" : ini.substr(files, ini.find("\n\n", files) - files + 1),
                  attack.files_after);
        std::string debug = Read_File(run.out_dir / "debug-output.txt");
        EXPECT_EQ(debug.substr(0, attack.notes.size() + 4), attack.notes + "   =");
        fs::remove_all(run.out_dir);
        fs::remove_all(scenario);
    }
}

}  // namespace

// The exit code tells deployment systems what is left. Each case: a machine given more machine.ini
// lines, the arguments, the exit code, the console's lines before the verdict's, the verdict's lines
// (which also end the log, before the END banner), and whether the run changes nothing but its log.
TEST(Whole_Run_Verdict, ExitCodeConsoleAndLogSayWhatOfTheProductIsLeft) {
    const std::string code = Demo_Arguments();
    const std::string progress =
        "Removing precompiled OEM files...\nSetting rights to Calais\\Readers...\n"
        "Registry backup: C:\\Windows\\TEMP\\vpRemovalTool-backup-" + First_Random + "\\vpRemovalTool-backup.reg\n"
        "Setting rights to Calais\\Readers in wow6432 registry...\nCleaning registry...\n"
        "Uninstalling IFDH Drivers...\nDeleting drivers binaries...\n";
    const std::string reboot = "\nA reboot is required to finifsh the uninstallation process.\nPress enter...\n";
    const std::string cards = "Present: HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VESPARIO";
    struct Case {
        const char* machine;
        const char* ini;
        std::string arguments;
        int exit_code;
        std::string console_before;
        std::string verdict;
        const char* log_name;
        bool changes_nothing;
    };
    const Case cases[] = {
        // Windows refuses every driver package's uninstall.
        {"demo", "[faults]\nfault=SetupUninstallOEMInfW:1+:5\n", code, 3, progress + reboot,
         "Not removed: driver package oem2.inf\nNot removed: driver package oem3.inf\n"
         "Not removed: driver package oem4.inf\n",
         "vpRemovalTool.txt", false},
        // The library in use can be neither deleted nor scheduled for the restart.
        {"demo", "[faults]\nfault=MoveFileExW:1+:5\n", code, 3, progress,
         "Not removed: C:\\Windows\\system32\\vpCSP.dll\n", "vpRemovalTool.txt", false},
        {"demo", "[installer]\nbusy=yes\n", code, 1618, "",
         "Windows Installer is running another installation: nothing was changed. Run the tool again when it "
         "has finished.\n",
         "vpRemovalTool.txt", true},
        {"demo", "", "/check " + code, 3, "",
         "Present: driver package oem2.inf\nPresent: driver package oem3.inf\nPresent: driver package oem4.inf\n" +
             cards + "\n" + cards + " (32-bit view)\n" + cards + " FKC\n" + cards + " FKC (32-bit view)\n" + cards +
             " SC\n" + cards + " SC (32-bit view)\n" + cards + " SC T0\n" + cards + " SC T0 (32-bit view)\n" + cards +
             " SC T1\n" + cards + " SC T1 (32-bit view)\n" + cards + " lite\n" + cards + " lite (32-bit view)\n" +
             cards + " lite SC\n" + cards + " lite SC (32-bit view)\n" + cards + " lite SC T0\n" + cards +
             " lite SC T0 (32-bit view)\n" + cards + " lite SC T1\nPresent: 144 more items\n"
             "Something of the product is present.\n",
         "vpRemovalTool-check.txt", true},
        // The switch in any letter case, after the code; the clean machine has nothing of the product.
        {"clean", "", code + " -CHECK", 0, "", "Nothing of the product is present.\n", "vpRemovalTool-check.txt", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.ini) + c.arguments);
        const fs::path scenario = Copy_Machine(c.machine, "verdict", c.ini);
        Run_Output run = Run_Tool_On(scenario, c.arguments);
        EXPECT_EQ(Read_File(run.out_dir / "exit-code.txt"), std::to_string(c.exit_code) + "\n");
        // The console and the log end with the summary line, whose exit code is the run's.
        const std::string summary_start = "Summary: exit code " + std::to_string(c.exit_code) + " (";
        const size_t summary_at = run.console.rfind("Summary: ");
        ASSERT_NE(summary_at, std::string::npos) << run.console;
        EXPECT_EQ(run.console.compare(summary_at, summary_start.size(), summary_start), 0) << run.console;
        EXPECT_EQ(run.console.substr(0, summary_at), c.console_before + c.verdict);
        fs::path log = Find_No_Case(run.out_dir / "drive_c", {"windows", "temp", c.log_name});
        ASSERT_FALSE(log.empty());
        std::vector<std::string> log_lines = Split_Lines(Read_File(log));
        ASSERT_GE(log_lines.size(), 4u);
        const std::string summary_line = log_lines[log_lines.size() - 4];
        EXPECT_EQ(summary_line.substr(summary_line.find_first_not_of(' ')), run.console.substr(summary_at, run.console.size() - summary_at - 1) + "\r\n");
        log_lines.erase(log_lines.end() - 4);
        // The log names every item where the console stops at a count ("LABEL: N more items").
        std::vector<std::string> verdict_lines;
        size_t more = 0;
        std::smatch count;
        for (const std::string& line : Split_Lines(c.verdict)) {
            if (std::regex_match(line, count, std::regex("Present: ([0-9]+) more items\n"))) {
                more = std::stoul(count[1]);
            } else {
                verdict_lines.push_back(line);
            }
        }
        ASSERT_GE(log_lines.size(), verdict_lines.size() + more + 3);
        // Indented as the END banner that follows.
        const std::string indent = log_lines.back().substr(0, log_lines.back().find('='));
        const size_t first = log_lines.size() - 3 - verdict_lines.size() - more;
        for (size_t i = 0, at = first; i < verdict_lines.size(); ++i, ++at) {
            const std::string& line = verdict_lines[i];
            if (i == 20) at += more;  // the items the console left out
            EXPECT_EQ(log_lines[at], indent + line.substr(0, line.size() - 1) + "\r\n");
        }
        for (size_t at = first + 20; at < first + 20 + more; ++at) {
            EXPECT_EQ(log_lines[at].compare(0, indent.size() + 9, indent + "Present: "), 0) << log_lines[at];
        }
        if (c.changes_nothing) {
            // Between the line naming the run's profile and the exit code.
            std::string summary = Summarise_Changes_Of(scenario, run.out_dir);
            summary = summary.substr(summary.find("\n\n") + 2);
            EXPECT_EQ(summary.substr(0, summary.find("\nExit code")),
                      std::string("Files and folders added (1):\n  C:\\windows\\temp\\") + c.log_name + "\n");
        }
        fs::remove_all(run.out_dir);
        fs::remove_all(scenario);
    }
}

// Any account may create a mutex named Global\_MSIExecute and hold it; only Windows Installer's own
// (created by SYSTEM, Administrators or TrustedInstaller) stops the run. One whose owner cannot be
// read counts as the installer's. Each case: machine.ini lines, the exit code, and the log's line
// about the mutex (empty: none).
TEST(Whole_Run_Installer_Mutex, OnlyWindowsInstallersOwnMutexStopsTheRun) {
    const std::string user = "S-1-5-21-3623811015-3361044348-30300820-1002";
    const std::string busy = "Windows Installer is running another installation: nothing was changed. Run the tool "
                             "again when it has finished.\n"
                             "Summary: exit code 1618 (Windows Installer was busy with another installation; nothing "
                             "was changed); keys removed: 0; values removed: 0; files removed: 0; folders removed: 0; "
                             "deletions at the next restart: 0; items not removed: 0\n";
    struct Case {
        std::string ini;
        int exit_code;
        std::string log_line;
    };
    const Case cases[] = {
        {"[installer]\nbusy=yes owner=" + user + "\n", 1,
         "   Global\\_MSIExecute is owned by " + user + ", not by Windows Installer: it does not stop the run.\r\n"},
        {"[installer]\nbusy=yes\n", 1618, ""},
        {"[installer]\nbusy=yes owner=S-1-5-32-544\n", 1618, ""},
        {"[installer]\nbusy=yes owner=S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464\n", 1618, ""},
        {"[installer]\nbusy=yes owner=" + user + "\n[faults]\nfault=GetSecurityInfo:1:5:_MSIExecute\n", 1618,
         "   The owner of Global\\_MSIExecute cannot be read: it counts as Windows Installer's.\r\n"},
        {"[faults]\nfault=OpenMutexW:1:5\n", 1618,
         "   Global\\_MSIExecute exists but cannot be opened to read its owner: it counts as Windows Installer's.\r\n"},
    };
    const fs::path demo = fs::path(SOURCE_DIR) / "machines" / "demo";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        const fs::path scenario = Copy_Machine("demo", "installer-mutex", c.ini);
        Run_Output run = Run_Tool_On(scenario, Demo_Arguments());
        EXPECT_EQ(Read_File(run.out_dir / "exit-code.txt"), std::to_string(c.exit_code) + "\n");
        const std::string log = Read_File(run.out_dir / "drive_c" / "windows" / "temp" / "vpRemovalTool.txt");
        if (c.log_line.empty()) {
            EXPECT_EQ(log.find("_MSIExecute"), std::string::npos);
        } else {
            EXPECT_NE(log.find(c.log_line), std::string::npos) << log.substr(0, 2000);
        }
        if (c.exit_code == 1618) {
            EXPECT_EQ(run.console, busy);
        } else {
            EXPECT_EQ(run.console, Read_File(demo / "expected" / "console.txt"));
            EXPECT_EQ(Summarise_Changes_Of(scenario, run.out_dir), Read_File(demo / "expected" / "changes.txt"));
        }
        fs::remove_all(run.out_dir);
        fs::remove_all(scenario);
    }
}

// After the removal, the check with the same upgrade code finds nothing: the library in use waits for
// the restart, which counts as removed, and the bundle's cache is kept for its quiet uninstall.
TEST(Whole_Run_Verdict, CheckAfterTheRunFindsNothingLeft) {
    Run_Output removal = Run_Tool("demo", Demo_Arguments());
    ASSERT_EQ(removal.exit_code, 1);
    Run_Output check = Run_Tool_On(removal.out_dir, "/check " + Demo_Arguments());
    EXPECT_EQ(check.exit_code, 0);
    EXPECT_EQ(check.console, "Nothing of the product is present.\n"
                             "Summary: exit code 0 (done; no restart needed); keys removed: 0; values removed: 0; "
                             "files removed: 0; folders removed: 0; deletions at the next restart: 0; items not "
                             "removed: 0\n");
    fs::remove_all(removal.out_dir);
    fs::remove_all(check.out_dir);
}

// machines/profiles run as LocalSystem: the maker's key goes from every user's profile whatever the
// hives the run loads do, and no hive stays loaded but when Windows refuses every unload.
TEST(Whole_Run_Profiles, EveryUsersSettingsGoAndNoHiveTheRunLoadedStaysLoaded) {
    const std::string bob = "S-1-5-21-1004336348-1177238915-682003330-1002";
    const std::string erin = "S-1-5-21-1004336348-1177238915-682003330-1005";
    const std::string gail = "S-1-5-21-1004336348-1177238915-682003330-1007";
    const std::string loaded_as = "HKEY_USERS\\vpRemovalTool-" + bob;
    const std::string bob_line = "         Unregistering settings in HKEY_USERS\\" + bob + " (C:\\Users\\bob)...\r\n"
                                 "            Loading the user's hive:  C:\\Users\\bob\\NTUSER.DAT\r\n";
    const std::string cleaned =
        "            Deleting registry keys in path (KEY_SET_VALUE):  SOFTWARE\r\n"
        "               Deleting registry key:  Corvanta LLP.\\VESPARIO\\vpControlPanel\r\n"
        "               Deleting registry key:  Corvanta LLP.\\VESPARIO\r\n"
        "               Deleting registry key:  Corvanta LLP.\r\n"
        "            Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  SOFTWARE\r\n";
    const std::string unload_failed = "         Error occurred in function: RegUnLoadKey\r\n"
                                      "         Error occurred in function: Error source 1(0x1)\r\n"
                                      "         Error occurred in function: Error code   5(0x5)\r\n"
                                      "         Error message: Access is denied.\r\r\n\r\n";
    static const std::string not_checked = "Not checked: 1 of the check's calls failed; the log's error reports name them\n";
    struct Case {
        const char* name;
        std::string ini;
        std::string registry;  // added to registry.reg
        std::string exit_code;
        std::string log_block;  // found in the log as it stands
        bool left_loaded;
        bool bob_cleaned;
        std::string last_line = not_checked;  // the console's, when the exit code is 3
    };
    const Case cases[] = {
        {"as the machine is", "", "", "0", bob_line + cleaned + "         Unregistering settings in HKEY_USERS\\", false, true},
        {"the first unload refused", "[faults]\nfault=RegUnLoadKeyW:1:5\n", "", "0", bob_line + cleaned + unload_failed +
         "         Unregistering settings in HKEY_USERS\\", false, true},
        // The run cannot unload bob's hive: what it deleted there stays deleted, the user may not log on.
        {"every unload refused", "[faults]\nfault=RegUnLoadKeyW:1+:5\n", "", "3",
         bob_line + cleaned + unload_failed + unload_failed + "            Left loaded (the hive could not be unloaded):  " +
             loaded_as + "\r\n",
         true, false},
        {"the load refused: the user logged on meanwhile, but no hive is there", "[faults]\nfault=RegLoadKeyW:1:32:-1002\n", "", "3",
         bob_line + "         Error occurred in function: RegLoadKey\r\n"
                    "         Error occurred in function: Error source 1(0x1)\r\n"
                    "         Error occurred in function: Error code   32(0x20)\r\n"
                    "         Error message: The process cannot access the file because it is being used by another "
                    "process.\r\r\n\r\n"
                    "            Not cleaned (the hive could not be loaded):  HKEY_USERS\\" + bob + " (C:\\Users\\bob\\NTUSER.DAT)\r\n",
         false, false,
         // the check loads the hive and finds the maker's key still there
         "Not removed: HKEY_USERS\\" + bob + "\\SOFTWARE\\Corvanta LLP. (32-bit view)\n"},
        // A logged-on user made their SOFTWARE a link into the machine's: nothing is reached through it.
        {"a user's SOFTWARE a link", "[registry]\nlink=HKEY_USERS\\" + gail + "\\SOFTWARE target=HKEY_LOCAL_MACHINE\\SOFTWARE\\Planted\n",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + gail +
             "]\r\n\"ProfileImagePath\"=\"C:\\\\Users\\\\gail\"\r\n\r\n[HKEY_USERS\\" + gail +
             "\\Console]\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Planted\\Corvanta LLP.\\Kept]\r\n",
         "0",
         "         Unregistering settings in HKEY_USERS\\" + gail + " (C:\\Users\\gail)...\r\n"
         "            Left alone (registry link):  SOFTWARE\r\n"
         "            Left alone (registry link):  SOFTWARE\r\n"
         "         Settings unregistered.\r\n",
         false, true},
        // A hive file that is no hive: what is in it is not known, so the verification cannot look.
        {"a damaged hive", "",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + erin +
             "]\r\n\"ProfileImagePath\"=\"C:\\\\Users\\\\erin\"\r\n",
         "3",
         "         Unregistering settings in HKEY_USERS\\" + erin + " (C:\\Users\\erin)...\r\n"
         "            Loading the user's hive:  C:\\Users\\erin\\NTUSER.DAT\r\n"
         "         Error occurred in function: RegLoadKey\r\n"
         "         Error occurred in function: Error source 1(0x1)\r\n"
         "         Error occurred in function: Error code   1009(0x3F1)\r\n"
         "         Error message: The configuration registry database is corrupt.\r\r\n\r\n"
         "            Not cleaned (the hive could not be loaded):  HKEY_USERS\\" + erin +
             " (C:\\Users\\erin\\NTUSER.DAT)\r\n",
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path scenario = Copy_Machine("profiles", "profiles-runs", c.ini);
        std::ofstream(scenario / "registry.reg", std::ios::binary | std::ios::app) << "\r\n" << c.registry;
        fs::create_directories(scenario / "drive_c" / "users" / "erin");
        std::ofstream(scenario / "drive_c" / "users" / "erin" / "NTUSER.DAT", std::ios::binary) << "regf\x01\x02\x03";
        Run_Output run = Run_Vpsim(scenario, "");
        EXPECT_EQ(Read_File(run.out_dir / "exit-code.txt"), c.exit_code + "\n");
        // The line before the summary that ends the console.
        const std::string before_summary = run.console.substr(0, run.console.rfind("Summary: "));
        if (c.exit_code == "3") EXPECT_EQ(before_summary.substr(before_summary.rfind('\n', before_summary.size() - 2) + 1), c.last_line);
        EXPECT_EQ(run.exit_code == Exit_Left_Open, c.left_loaded) << run.errors;
        EXPECT_EQ(run.errors.find("left open: loaded hive: " + loaded_as + " (C:\\users\\bob\\NTUSER.DAT)") !=
                      std::string::npos,
                  c.left_loaded)
            << run.errors;
        std::string log = Read_File(Find_No_Case(run.out_dir / "drive_c", {"windows", "temp", "vpRemovalTool.txt"}));
        EXPECT_NE(log.find(c.log_block), std::string::npos) << log;
        std::string changes = Summarise_Changes_Of(scenario, run.out_dir);
        // Each user's hive under the profile: bob's file when it was cleaned, carol's loaded hive always.
        EXPECT_EQ(changes.find("  S-1-5-21-1004336348-1177238915-682003330-1002 (C:\\Users\\bob): the hive file "
                               "C:\\users\\bob\\NTUSER.DAT, not loaded\n    Keys removed (1):\n"
                               "      SOFTWARE\\Corvanta LLP.  (and 2 keys below)\n") != std::string::npos,
                  c.bob_cleaned)
            << changes;
        EXPECT_EQ(changes.find("NTUSER.DAT\n"), std::string::npos) << changes;  // not also a file changed
        // Every logged-on user's maker key went, other vendors' settings stayed.
        EXPECT_NE(changes.find("  S-1-5-21-1004336348-1177238915-682003330-1003 (C:\\Users\\carol): the hive loaded as "
                               "HKEY_USERS\\S-1-5-21-1004336348-1177238915-682003330-1003\n    Keys removed (1):\n"
                               "      SOFTWARE\\Corvanta LLP.  (and 2 keys below)\n"),
                  std::string::npos)
            << changes;
        // (a hive left loaded is saved whole, as HKEY_USERS\vpRemovalTool-SID)
        if (!c.left_loaded) EXPECT_EQ(changes.find("Lumenleaf"), std::string::npos) << changes;
        EXPECT_EQ(changes.find("Planted"), std::string::npos) << changes;
        std::string bob_file = Read_File(run.out_dir / "drive_c" / "users" / "bob" / "NTUSER.DAT");
        std::u16string bob_text(bob_file.size() / 2, u'\0');
        for (size_t at = 0; at < bob_text.size(); ++at)
            bob_text[at] = char16_t(uint8_t(bob_file[2 * at]) | (uint8_t(bob_file[2 * at + 1]) << 8));
        EXPECT_EQ(bob_text.find(u"Corvanta") == std::u16string::npos, c.bob_cleaned);
        EXPECT_NE(bob_text.find(u"[HKEY_CURRENT_USER\\SOFTWARE\\Lumenleaf\\PDF Reader\\Preferences]\r\n"
                                u"\"ShowToolbar\"=dword:00000001\r\n"),
                  std::u16string::npos);
        if (&c == &cases[0]) {
            // The backup holds each profile's keys under its SID, and how to restore into a hive not loaded.
            std::string backup = Read_File(Find_No_Case(run.out_dir / "drive_c", {"windows", "temp", "vpRemovalTool-backup-" + First_Random,
                                                                           "vpRemovalTool-backup.reg"}));
            std::u16string backup_text(backup.size() / 2, u'\0');
            for (size_t at = 0; at < backup_text.size(); ++at)
                backup_text[at] = char16_t(uint8_t(backup[2 * at]) | (uint8_t(backup[2 * at + 1]) << 8));
            const std::u16string sid = u"S-1-5-21-1004336348-1177238915-682003330-1002";
            EXPECT_NE(backup_text.find(
                          u"\r\n; HKEY_USERS\\" + sid + u" is the hive of a user who was not logged on (C:\\Users\\bob\\NTUSER.DAT).\r\n"
                          u"; To restore its keys while that user is not logged on, in an elevated command prompt:\r\n"
                          u";   reg load HKU\\" + sid + u" \"C:\\Users\\bob\\NTUSER.DAT\"\r\n"
                          u";   reg import THIS-FILE\r\n"
                          u";   reg unload HKU\\" + sid + u"\r\n"
                          u"\r\n[HKEY_USERS\\" + sid + u"\\SOFTWARE\\Corvanta LLP.]\r\n"
                          u"\r\n[HKEY_USERS\\" + sid + u"\\SOFTWARE\\Corvanta LLP.\\VESPARIO]\r\n"
                          u"\r\n[HKEY_USERS\\" + sid + u"\\SOFTWARE\\Corvanta LLP.\\VESPARIO\\vpControlPanel]\r\n"
                          u"\"Language\"=\"nl\"\r\n"),
                      std::u16string::npos);
            EXPECT_NE(backup_text.find(u"[HKEY_USERS\\S-1-5-21-1004336348-1177238915-682003330-1001\\SOFTWARE\\Corvanta "
                                       u"LLP.\\VESPARIO\\vpControlPanel]\r\n\"Language\"=\"de\"\r\n"),
                      std::u16string::npos);
            EXPECT_EQ(backup_text.find(u"vpRemovalTool-S-1-5"), std::u16string::npos);
        }
        fs::remove_all(run.out_dir);
        fs::remove_all(scenario);
    }
}

// What an ordinary user (or the administrator's own program without elevation) can prepare on the demo
// machine to steer the elevated run, and what the run does with it: it deletes no cache folder (nor
// the company's folder under ProgramData) that a machine-wide command still runs a program from (whether or not the bundle's code is given), it
// schedules no quiet uninstall beside a library someone else put there and changes that library's owner
// in no way, it deletes the machine's control-panel class and not the user's, and no link of the user's
// hive takes it into the machine's. Each case: the demo machine given more machine.ini lines, text
// added to registry.reg and replacements in it, files planted below drive_c/, the arguments; a block of
// log lines that must stand in the log as given, the demo's expected changes.txt with replacements, and
// the exit code.
TEST(Whole_Run_Attacks, NothingAUserPreparedSteersTheRun) {
    const fs::path demo = fs::path(SOURCE_DIR) / "machines" / "demo";
    const std::string code = Demo_Arguments();
    const std::string bundle = "C:\\ProgramData\\Package Cache\\{D31C5999-DC0F-4449-9558-FC927AD644A2}";
    const std::string package = "C:\\ProgramData\\Package Cache\\{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}v3.4.1.207";
    const std::string user = "S-1-5-21-3623811015-3361044348-30300820-1002";
    const std::string wow_run_once = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
    const std::string quiet = "\"" + bundle + "\\vpDriversSetup.exe\" /uninstall /quiet";
    const std::string caches = "            Removing new caches (with WIX)...\n"
                               "               Removed:  " + package + "\\vpDrivers.msi\n"
                               "               Removed:  " + package + "\n";
    // How the changes show a kept folder and a file in it locked down.
    const std::string locked_folder =
        "\n     before: O:BAD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)"
        "(A;CIID;DCLCRPCR;;;BU)\n     after:  O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)\n";
    const std::string locked_file = "\n     before: O:BAD:(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)\n"
                                    "     after:  O:BAD:(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)\n";
    const std::string locked_inner_folder =
        "\n     before: O:BAD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)"
        "(A;CIID;DCLCRPCR;;;BU)\n     after:  O:BAD:(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)\n";
    const std::string company = "C:\\ProgramData\\Corvanta LLP";
    using Edits = std::vector<std::pair<std::string, std::string>>;
    // The demo's changes when nothing is scheduled for the bundle.
    const Edits not_scheduled = {
        {"Values removed (44):", "Values removed (43):"},
        {"  " + wow_run_once + "  \"{D31C5999-DC0F-4449-9558-FC927AD644A2}\"\n", ""},
        {"\nRunOnce entries written (1):\n  " + wow_run_once + "  \"remove\" = " + quiet + "\n", ""}};
    auto with = [](Edits edits, const Edits& more) {
        edits.insert(edits.end(), more.begin(), more.end());
        return edits;
    };
    const Edits package_kept_changes = {
        {"Files and folders removed (49):", "Files and folders removed (48):"},
        {"  " + package + "\\  (and 1 entry below)\n", ""},
        {"File and folder security changed (4):", "File and folder security changed (6):"},
        {"  " + bundle + "\n", "  " + package + locked_folder + "  " + package + "\\vpDrivers.msi" + locked_file + "  " +
                                   bundle + "\n"}};
    const std::string shortcuts_key =
        "[HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage\\NewShortcuts]";
    const std::string programs = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\";
    const std::string shortcut_values =
        "  HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage\\NewShortcuts  \"" +
        programs + "VESPARIO\\VESPARIO Control Panel.lnk\"\n"
        "  HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage\\NewShortcuts  \"" +
        programs + "VESPARIO\\Панель управления VESPARIO.lnk\"\n"
        "  HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage\\NewShortcuts  \"" +
        programs + "ВЕСПАРИО\\Панель управления VESPARIO.lnk\"\n";
    // A REG_EXPAND_SZ value as regedit writes it: hex(2) with the UTF-16LE text and its zero.
    auto Expandable_Value = [](const std::string& name, const std::string& text) {
        static const char digits[] = "0123456789abcdef";
        std::string line = "\"" + name + "\"=hex(2):";
        for (unsigned char c : text + std::string(1, '\0')) {
            line += {digits[c >> 4], digits[c & 15], ',', '0', '0', ','};
        }
        line.pop_back();
        return line + "\r\n";
    };
    // A Run command that starts a program from the package's folder keeps it, locked down.
    const std::string package_kept_by_repair =
        "            Removing new caches (with WIX)...\n"
        "            Kept (HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\VpRepair runs from it):  " +
        package + "\n            Kept (the bundle's quiet uninstall runs from it):  " + bundle + "\n"
        "            New caches (with WIX) removed.\n";
    struct Attack {
        const char* name;
        std::string ini;
        std::string registry_added;
        Edits registry_edits;
        std::vector<std::string> planted;  // files below drive_c/
        std::string arguments;
        std::string log_block;
        Edits changes;
        int exit_code;
    };
    const Attack attacks[] = {
        // Without the code the bundle's folder was deleted, its Uninstall entry and RunOnce resume
        // command left naming a folder anyone may create in the cache.
        {"the bundle's folder without the code", "", "", {}, {}, "",
         caches + "            Kept (HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                  "{D31C5999-DC0F-4449-9558-FC927AD644A2}\\UninstallString runs from it):  " + bundle + "\n"
                  "            New caches (with WIX) removed.\n"
                  "         All caches deleted.\n      Drivers removed.\n      Self-removing...\n"
                  "      Self-removing finished!\n",
         not_scheduled, 1},
        // The same without the Uninstall entry (kept elsewhere): the RunOnce resume command alone.
        {"the bundle's folder named by RunOnce alone", "", "",
         {{"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
           "{D31C5999-DC0F-4449-9558-FC927AD644A2}]",
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Example Archive\\{D31C5999-DC0F-4449-9558-FC927AD644A2}]"}},
         {}, "",
         caches + "            Kept (HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce\\"
                  "{D31C5999-DC0F-4449-9558-FC927AD644A2} runs from it):  " + bundle + "\n"
                  "            New caches (with WIX) removed.\n",
         not_scheduled, 1},
        // A native Run command without quotes, in small letters: Windows tries "c:\programdata\package"
        // first, then the text up to each further blank, which reaches the package's folder.
        {"the package's folder named by Run without quotes", "",
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
         "\"VpRepair\"=\"c:\\\\programdata\\\\package cache\\\\{94aa1ce4-42a6-49b0-910e-5fac3c5d70f6}v3.4.1.207\\\\"
         "repair.exe /quiet\"\r\n",
         {}, {}, code,
         "            Removing new caches (with WIX)...\n"
         "            Kept (HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\VpRepair runs from it):  " +
             package + "\n"
             "            Kept (the bundle's quiet uninstall runs from it):  " + bundle + "\n"
             "            New caches (with WIX) removed.\n",
         {{"Files and folders removed (49):", "Files and folders removed (48):"},
          {"  " + package + "\\  (and 1 entry below)\n", ""},
          {"File and folder security changed (4):", "File and folder security changed (6):"},
          {"  " + bundle + "\n", "  " + package + locked_folder + "  " + package + "\\vpDrivers.msi" + locked_file +
                                     "  " + bundle + "\n"}},
         1},
        // The same command as an expandable value, and with short (8.3) names: compared as Windows
        // starts it.
        {"the package's folder named by an expandable Run value", "",
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n" +
             Expandable_Value("VpRepair", "\"%ProgramData%\\Package Cache\\{94aa1ce4-42a6-49b0-910e-5fac3c5d70f6}"
                                          "v3.4.1.207\\repair.exe\" /quiet"),
         {}, {}, code, package_kept_by_repair, package_kept_changes, 1},
        {"the package's folder named by short names", "",
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
         "\"VpRepair\"=\"\\\"C:\\\\PROGRA~1\\\\PACKAG~1\\\\{94AA1~1.207\\\\repair.exe\\\" /quiet\"\r\n",
         {}, {}, code, package_kept_by_repair, package_kept_changes, 1},
        // A command longer than the first read holds, its program beyond that read's end: read whole.
        {"the package's folder named by a long Run command", "",
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n\"VpRepair\"=\"" +
             std::string(600, ' ') +
             "\\\"C:\\\\ProgramData\\\\Package Cache\\\\{94aa1ce4-42a6-49b0-910e-5fac3c5d70f6}v3.4.1.207\\\\"
             "repair.exe\\\" /quiet\"\r\n",
         {}, {}, code, package_kept_by_repair, package_kept_changes, 1},
        // A variable the run cannot expand may name any folder: every one is kept as it is.
        {"an expandable Run value that cannot be expanded", "",
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n" +
             Expandable_Value("VpRepair", "\"%VP_HOME%\\repair.exe\" /quiet"),
         {}, {}, code,
         "The command of HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\VpRepair cannot be read as a "
         "path (its variables cannot be expanded).\n",
         {{"Files and folders removed (49):\n  " + company + "\\  (and 6 entries below)\n", "Files and folders removed (47):\n"},
          {"  " + package + "\\  (and 1 entry below)\n", ""}},
         1},
        // The company's folder under ProgramData, from which a program starts at every logon.
        {"the company's folder named by Run", "",
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
         "\"VpAgent\"=\"\\\"C:\\\\ProgramData\\\\Corvanta LLP\\\\VESPARIO\\\\agent.exe\\\" /tray\"\r\n",
         {}, {}, code,
         "         Deleting all caches...\n"
         "            Kept (HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\VpAgent runs from it):  " + company +
             "\n            Removing new caches (with WIX)...\n",
         {{"Files and folders removed (49):\n  " + company + "\\  (and 6 entries below)\n", "Files and folders removed (48):\n"},
          {"File and folder security changed (4):", "File and folder security changed (11):"},
          {"  " + bundle + "\n", "  " + company + locked_folder + "  " + company + "\\VESPARIO" + locked_inner_folder + "  " +
                                     company + "\\VESPARIO\\Cache" + locked_inner_folder + "  " + company +
                                     "\\VESPARIO\\Cache\\readers.dat" + locked_file + "  " + company + "\\VESPARIO\\Logs" +
                                     locked_inner_folder + "  " + company + "\\VESPARIO\\Logs\\vpControlPanel.log" +
                                     locked_file + "  " + company + "\\VESPARIO\\settings.xml" + locked_file + "  " + bundle +
                                     "\n"}},
         1},
        // Commands that name no program inside the package's folder, or that an earlier stage deleted
        // (the package's own Uninstall entry): the folder goes as on the demo machine.
        {"near misses and commands deleted before the caches", "",
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
         "\"Near\"=\"\\\"" + std::string("C:\\\\ProgramData\\\\Package Cache\\\\{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}"
                                         "v3.4.1.207x\\\\setup.exe\\\"\"\r\n"
                                         "\"Beside\"=\"C:\\\\ProgramData\\\\Package Cache\\\\vpDrivers_install.log\"\r\n"),
         {{"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
           "{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}]\n",
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
           "{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}]\n\"ModifyPath\"=\"\\\"" +
               std::string("C:\\\\ProgramData\\\\Package Cache\\\\{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}v3.4.1.207"
                           "\\\\vpDrivers.msi\\\"\"\n")}},
         {}, code,
         caches + "            Kept (the bundle's quiet uninstall runs from it):  " + bundle + "\n", {}, 1},
        // A library beside the bundle's program, owned by the user who put it there: the folder is kept
        // but not locked down, the library keeps its owner, and the quiet uninstall is not scheduled.
        {"a library beside the kept program",
         "[security]\nfile=" + bundle + "\\version.dll sddl=O:" + user + "\n", "", {},
         {"ProgramData/Package Cache/{D31C5999-DC0F-4449-9558-FC927AD644A2}/version.dll"}, code,
         caches + "            Kept (the bundle's quiet uninstall runs from it):  " + bundle + "\n"
                  "            Not locked down (" + bundle + "\\version.dll is owned by " + user + "):  " + bundle + "\n"
                  "            New caches (with WIX) removed.\n         All caches deleted.\n      Drivers removed.\n"
                  "      Self-removing...\n"
                  "      Quiet uninstall not scheduled (" + bundle + "\\version.dll is owned by " + user + "): " +
             quiet + "\n      Self-removing finished!\n",
         with(not_scheduled, {{"File and folder security changed (4):", "File and folder security changed (2):"},
                              {"  " + bundle + locked_folder, ""},
                              {"  " + bundle + "\\vpDriversSetup.exe" + locked_file, ""}}),
         1},
        // The user's own classes hold a key of the applet's class: the machine's goes, the user's stays.
        {"the user's key of the applet's class", "",
         "\r\n[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}]\r\n"
         "\"InfoTip\"=\"the user's own\"\r\n",
         {}, {}, code,
         "            Removing ControlPanel from registry HKEY_CLASSES_ROOT\\...\n"
         "               Deleting registry key:  CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}\\DefaultIcon\n"
         "               Deleting registry key:  CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}\\Shell\\Open\\Command\n"
         "               Deleting registry key:  CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}\\Shell\\Open\n"
         "               Deleting registry key:  CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}\\Shell\n"
         "               Deleting registry key:  CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}\\\n",
         {}, 1},
        // The user's new-shortcuts key made a link to the readers' key: the reader that carries the
        // product's name beside another maker's stays, as the readers' stage leaves it.
        {"a link out of the user's hive",
         "[registry]\nlink=HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage\\"
         "NewShortcuts target=HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers\n",
         "",
         {{shortcuts_key, "[HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage]\n\n"
                          "[HKEY_CURRENT_USER\\SOFTWARE\\Example Shortcuts Archive]"}},
         {}, code,
         "            Cleaning subkeys...\n            Cleaning subkeys from registry finished.\n",
         {{"Values removed (44):", "Values removed (41):"}, {shortcut_values, ""}}, 1},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        const fs::path scenario = Copy_Machine("demo", "attack", attack.ini);
        std::string registry = Read_File(scenario / "registry.reg");
        for (const auto& edit : attack.registry_edits) Replace_Once(registry, edit.first, edit.second);
        std::ofstream(scenario / "registry.reg", std::ios::binary | std::ios::trunc) << registry << attack.registry_added;
        for (const std::string& file : attack.planted) std::ofstream(scenario / "drive_c" / file, std::ios::binary) << "MZ";

        Run_Output run = Run_Tool_On(scenario, attack.arguments);
        EXPECT_EQ(run.exit_code, attack.exit_code);
        fs::path log = Find_No_Case(run.out_dir / "drive_c", {"windows", "temp", "vpRemovalTool.txt"});
        ASSERT_FALSE(log.empty());
        std::string log_text = Read_File(log);
        log_text.erase(std::remove(log_text.begin(), log_text.end(), '\r'), log_text.end());
        EXPECT_NE(log_text.find(attack.log_block), std::string::npos) << log_text;
        std::string expected = Read_File(demo / "expected" / "changes.txt");
        for (const auto& edit : attack.changes) Replace_Once(expected, edit.first, edit.second);
        EXPECT_EQ(Summarise_Changes_Of(scenario, run.out_dir), expected);
        fs::remove_all(run.out_dir);
        fs::remove_all(scenario);
    }
}

// What the stages left alone in a place the folder-safety check refused is not removed when the
// product made it, and is nobody's concern when an ordinary user did; deletions waiting for the
// restart ask for one; a key a clean Windows lacks is no failed read. Each case: the machine, its
// machine.ini lines, a file to plant (empty: none), whether the Dependencies keys are taken out, the
// arguments, the exit code, the console's last lines, a line the log holds (empty: none), and, for a
// check after the run, its exit code (-1: none) and its console's last lines.
TEST(Whole_Run_Left_Alone, WhatIsLeftAloneOrWaitsForTheRestartIsNotDone) {
    const std::string code = Demo_Arguments();
    const std::string user = "S-1-5-21-3623811015-3361044348-30300820-1002";
    const std::string cache = "C:\\ProgramData\\Package Cache";
    const std::string reason = cache + " is owned by " + user;
    const std::string bundle = cache + "\\{D31C5999-DC0F-4449-9558-FC927AD644A2}";
    const std::string package = cache + "\\{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}v3.4.1.207";
    const std::string company = "C:\\ProgramData\\Corvanta LLP";
    const std::string reboot = "\nA reboot is required to finifsh the uninstallation process.\nPress enter...\n";
    struct Case {
        const char* machine;
        std::string ini;
        std::string planted;
        std::vector<std::string> absent;  // keys a clean Windows may lack: their sections are left out
        std::string arguments;
        int exit_code;
        std::string console_end;
        std::string log_line;
        int check_exit_code;
        std::string check_console_end;
    };
    const Case cases[] = {
        // The cache folder an ordinary user owns keeps the product's cached packages.
        {"demo", "[security]\nfile=" + cache + " sddl=O:" + user + "\n", "", {}, code, 3,
         reboot + "Not removed (left alone: " + reason + "): " + package + "\nNot removed (left alone: " + reason +
             "): " + bundle + "\n",
         "Left alone (" + reason + "): " + cache, 3,
         "Present (left alone: " + reason + "): " + package + "\nPresent (left alone: " + reason + "): " + bundle +
             "\nSomething of the product is present.\n"},
        // The service's log under ProgramData is held open: its folders go at the restart.
        {"user-writable", "", "", {}, "", 1, "Deleting drivers binaries...\n" + reboot, "", 0,
         "Nothing of the product is present.\n"},
        // An ordinary user made the company folder on a clean machine: not the product's.
        {"clean", "[security]\nfile=" + company + " sddl=O:" + user + "\n", "ProgramData/Corvanta LLP/notes.txt",
         {}, code, 0, "Deleting drivers binaries...\n",
         "Not counted (left alone: " + company + " is owned by " + user + "): " + company, 0,
         "Nothing of the product is present.\n"},
        {"clean", "[security]\nfile=" + company + " sddl=O:" + user + "\n", "ProgramData/Corvanta LLP/notes.txt",
         {}, "/check", 0, "Nothing of the product is present.\n",
         "Not counted (left alone: " + company + " is owned by " + user + "): " + company, -1, ""},
        // A clean Windows that never had a dependency provider installed.
        {"clean", "", "", {"\\Installer\\Dependencies"}, "/check", 0, "Nothing of the product is present.\n", "", -1, ""},
        // Nor the 32-bit view's keys, the installer's upgrade codes, the uninstall list, the shared files'
        // counts, the deployments and RunOnce: an absent key is nothing of the product, not a failed read.
        {"clean", "", "",
         {"\\Installer\\Dependencies", "\\Wow6432Node", "\\Installer\\UpgradeCodes", "\\CurrentVersion\\Uninstall",
          "\\SharedDLLs", "\\Group Policy\\AppMgmt", "\\RunOnce", "\\ControlPanel\\NameSpace"},
         "/check", 0, "Nothing of the product is present.\n", "", -1, ""},
    };
    auto ends_with = [](const std::string& text, const std::string& end) {
        return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.machine) + " " + c.ini + c.planted + " " + c.arguments + " absent: " +
                     std::to_string(c.absent.size()));
        const fs::path scenario = Copy_Machine(c.machine, "left-alone", c.ini);
        if (!c.planted.empty()) {
            fs::create_directories((scenario / "drive_c" / c.planted).parent_path());
            std::ofstream(scenario / "drive_c" / c.planted) << "made by a user\n";
        }
        if (!c.absent.empty()) {
            const std::string registry = Read_File(scenario / "registry.reg");
            std::string kept;
            std::vector<bool> dropped(c.absent.size(), false);
            bool skipping = false;
            for (const std::string& line : Split_Lines(registry)) {
                if (!line.empty() && line[0] == '[') {
                    skipping = false;
                    for (size_t at = 0; at < c.absent.size(); ++at) {
                        if (line.find(c.absent[at]) == std::string::npos) continue;
                        skipping = true;
                        dropped[at] = true;
                    }
                }
                if (!skipping) kept += line;
            }
            for (size_t at = 0; at < c.absent.size(); ++at) EXPECT_TRUE(dropped[at]) << c.absent[at];
            std::ofstream(scenario / "registry.reg", std::ios::binary | std::ios::trunc) << kept;
        }
        Run_Output run = Run_Tool_On(scenario, c.arguments);
        EXPECT_EQ(Read_File(run.out_dir / "exit-code.txt"), std::to_string(c.exit_code) + "\n");
        // What comes before the summary line that ends every console.
        auto before_summary = [](const std::string& console) { return console.substr(0, console.rfind("Summary: ")); };
        EXPECT_TRUE(ends_with(before_summary(run.console), c.console_end)) << run.console;
        if (!c.log_line.empty()) {
            const char* log_name = c.arguments == "/check" ? "vpRemovalTool-check.txt" : "vpRemovalTool.txt";
            const std::string log = Read_File(Find_No_Case(run.out_dir / "drive_c", {"windows", "temp", log_name}));
            EXPECT_NE(log.find(c.log_line + "\r\n"), std::string::npos) << log;
        }
        if (c.check_exit_code >= 0) {
            Run_Output check = Run_Tool_On(run.out_dir, "/check");
            EXPECT_EQ(Read_File(check.out_dir / "exit-code.txt"), std::to_string(c.check_exit_code) + "\n");
            EXPECT_TRUE(ends_with(before_summary(check.console), c.check_console_end)) << check.console;
            fs::remove_all(check.out_dir);
        }
        fs::remove_all(run.out_dir);
        fs::remove_all(scenario);
    }
}
