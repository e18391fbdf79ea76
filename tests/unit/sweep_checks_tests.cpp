// The sweep's checks of one run (winsim/runner/sweep_checks.h), as pure functions: a run's outcome
// against the run without faults, the END banner of the debugger output and the log, and the error
// report of a failed call.
#include <gtest/gtest.h>

#include "runner/sweep_checks.h"

namespace {

const std::string Log = "C:\\WINDOWS\\TEMP\\VPREMOVALTOOL.TXT";
const std::string Key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VESPARIO";
const std::string Readers = "HKEY_LOCAL_MACHINE\\SOFTWARE\\READERS";

// The run without faults: a key, a file with its content and a RunOnce value removed, a file in use
// scheduled for the restart, the log written, a key's security changed.
const std::unordered_set<std::string> Fault_Free = {
    "- K " + Key,
    "- F C:\\A.DLL",
    "- C C:\\A.DLL 3:123",
    "- V HKEY_CURRENT_USER\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUNONCE \"OLD\"",
    "+ R C:\\B.DLL",
    "+ F " + Log,
    "+ S " + Readers + " | before: O:BA | after: O:SY",
};

Outcome Finished_Run(int exit_code, std::unordered_set<std::string> changes) {
    Outcome run;
    run.finished = true;
    run.exit_code = exit_code;
    run.banner = "ok";
    run.reports = {"ok"};
    run.changes = std::move(changes);
    return run;
}

// The changes of the run without faults, some taken out and some put in.
std::unordered_set<std::string> Changed(std::initializer_list<std::string> out, std::initializer_list<std::string> in) {
    std::unordered_set<std::string> changes = Fault_Free;
    for (const std::string& change : out) changes.erase(change);
    for (const std::string& change : in) changes.insert(change);
    return changes;
}

}  // namespace

TEST(Sweep_Checks, EachRunIsJudgedAgainstTheRunWithoutFaults) {
    Outcome fault_free_run;
    fault_free_run.changes = Fault_Free;
    const Baseline baseline(fault_free_run);

    Outcome unchecked = Finished_Run(3, Fault_Free);
    unchecked.unchecked = true;
    Outcome bad_banner = Finished_Run(1, Fault_Free);
    bad_banner.banner = "the log does not end with the END banner (last line: \"x\")";
    Outcome unreported = Finished_Run(1, Fault_Free);
    unreported.reports = {"ok", "no error report naming RegDeleteKey (subject K; site Remove_Product < wmain)"};
    Outcome not_hit = Finished_Run(1, Fault_Free);
    not_hit.reports.clear();
    Outcome crashed = Finished_Run(1, Fault_Free);
    crashed.finished = false;
    crashed.problem = "ended by signal 6";
    Outcome crashed_late = Finished_Run(0, Changed({"- K " + Key}, {}));
    crashed_late.problem = "sanitizer report";

    struct Case {
        const char* what;
        Outcome run;
        std::vector<std::string> problems;
    };
    const Case cases[] = {
        {"the same changes, exit code 1", Finished_Run(1, Fault_Free), {}},
        {"the same changes, exit code 0", Finished_Run(0, Fault_Free), {}},
        {"the key left, exit code 0", Finished_Run(0, Changed({"- K " + Key}, {})),
         {"exit code 0 though the run left K " + Key}},
        {"the key and the file left, exit code 1", Finished_Run(1, Changed({"- K " + Key, "- F C:\\A.DLL"}, {})),
         {"exit code 1 though the run left F C:\\A.DLL and 1 more"}},
        {"the key left, exit code 3", Finished_Run(3, Changed({"- K " + Key}, {})), {}},
        {"nothing left, exit code 3", Finished_Run(3, Fault_Free), {"exit code 3 though nothing of the product was left"}},
        {"nothing left, exit code 3, the check could not look at everything", unchecked, {}},
        {"the removed file scheduled for the restart instead",
         Finished_Run(1, Changed({"- F C:\\A.DLL", "- C C:\\A.DLL 3:123"}, {"+ R C:\\A.DLL"})), {}},
        {"the scheduled file removed at once", Finished_Run(0, Changed({"+ R C:\\B.DLL"}, {"- F C:\\B.DLL"})),
         {"change beyond the run without faults: - F C:\\B.DLL"}},
        {"the RunOnce value left to the self-removal",
         Finished_Run(0, Changed({"- V HKEY_CURRENT_USER\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUNONCE \"OLD\""}, {})),
         {}},
        {"another file removed", Finished_Run(1, Changed({}, {"- F C:\\OTHER.DLL"})),
         {"change beyond the run without faults: - F C:\\OTHER.DLL"}},
        {"the security of the removed key changed first", Finished_Run(1, Changed({}, {"+ S " + Key + " | before: a | after: b"})),
         {}},
        {"part of the readers' key's security change", Finished_Run(3, Changed({"- K " + Key}, {"+ S " + Readers + " | before: O:BA | after: O:BA"})),
         {}},
        {"another key's security changed", Finished_Run(1, Changed({}, {"+ S HKEY_LOCAL_MACHINE\\SOFTWARE\\OTHER | before: a | after: b"})),
         {"change beyond the run without faults: + S HKEY_LOCAL_MACHINE\\SOFTWARE\\OTHER | before: a | after: b"}},
        {"1618 with the log alone", Finished_Run(1618, {"+ F " + Log}), {}},
        {"1618 with a key removed", Finished_Run(1618, {"+ F " + Log, "- K " + Key}),
         {"exit code 1618 though the run changed K " + Key}},
        {"exit code 2", Finished_Run(2, Fault_Free), {"exit code 2"}},
        {"no END banner", bad_banner, {bad_banner.banner}},
        {"a failed call unreported", unreported, {unreported.reports[1]}},
        {"no call failed", not_hit, {"the call did not fail (no injected fault hit it)"}},
        {"the child crashed before its result", crashed, {"ended by signal 6"}},
        {"a sanitizer report after the result", crashed_late,
         {"sanitizer report", "exit code 0 though the run left K " + Key}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Run_Problems(c.run, baseline, Log), c.problems);
    }
}

TEST(Sweep_Checks, TheEndBannerEndsTheDebuggerOutputAndTheLogUnlessItLostLines) {
    const std::string banner = "==========\n======= END =======\n==========\n";
    const std::string body = "START\n  Removing...\n";
    struct Case {
        const char* what;
        std::string debug, log, verdict;
    };
    const Case cases[] = {
        {"both end with it", body + banner, body + banner, "ok"},
        {"CR LF line ends, indented", "  a\r\n  " + banner, "  a\r\n" + banner, "ok"},
        {"the log lost lines (a failed write)", body + banner, "START\n", "ok"},
        {"no log at all", body + banner, "", "ok"},
        {"the debugger output stops", body, body, "the debugger output does not end with the END banner (last line: \"Removing...\")"},
        {"the log stops though it has every line", "a\nb\nc\nd\n" + banner, "a\nb\nc\nd\nx\ny\nz\n",
         "the log does not end with the END banner (last line: \"z\")"},
        {"a banner without END", body + "====\n== START ==\n====\n", "", "the debugger output does not end with the END banner (last line: \"====\")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Banner_Check(c.debug, c.log), c.verdict);
    }
    EXPECT_EQ(Log_Path_Of("Log file: C:\\Windows\\TEMP\\vpRemovalTool-1.txt\nStarting\n", Log),
              "C:\\Windows\\TEMP\\vpRemovalTool-1.txt");
    EXPECT_EQ(Log_Path_Of("Starting. Log file: C:\\x.txt\n", Log), Log);
}

TEST(Sweep_Checks, TheFailedCallsThreadReportsItWithTheInjectedValue) {
    auto report = [](const std::string& name, const std::string& code) {
        return std::vector<winsim::Text>{
            winsim::From_Utf8("Error occurred in function: " + name + "\r\n"),
            winsim::From_Utf8("Error occurred in function: Error source 1(0x1)\r\n"),
            winsim::From_Utf8("Error occurred in function: Error code   " + code + "\r\n")};
    };
    winsim::Machine::Fault_Hit hit;
    hit.api = "RegDeleteKeyW";
    hit.subject = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\VESPARIO";
    hit.site = "Delete_Registry_Key < Remove_Product < wmain";
    hit.thread = 4;
    hit.debug_texts = 1;  // one text before the call
    const std::string where = " (subject HKEY_LOCAL_MACHINE\\SOFTWARE\\VESPARIO; site " + hit.site + ")";
    struct Case {
        const char* what;
        std::vector<winsim::Text> output;
        std::vector<DWORD> threads;
        std::string verdict;
    };
    std::vector<winsim::Text> before = {u"Removing...\r\n"};
    auto with = [&](std::vector<winsim::Text> lines) {
        std::vector<winsim::Text> all = before;
        all.insert(all.end(), lines.begin(), lines.end());
        return all;
    };
    const Case cases[] = {
        {"named with its value", with(report("RegDeleteKey", "5(0x5)")), {4, 4, 4, 4}, "ok"},
        {"another value", with(report("RegDeleteKey", "2(0x2)")), {4, 4, 4, 4},
         "the report of RegDeleteKey does not show 5(0x5)" + where},
        {"another call reported first", with(report("RegOpenKeyEx", "5(0x5)")), {4, 4, 4, 4},
         "the first error report after it names RegOpenKeyEx, not RegDeleteKey" + where},
        {"no report", before, {4}, "no error report naming RegDeleteKey" + where},
        {"only another thread's report", with(report("RegDeleteKey", "5(0x5)")), {4, 8, 8, 8},
         "no error report naming RegDeleteKey" + where},
        {"a report begun before the call does not count", report("RegDeleteKey", "5(0x5)"), {4, 4, 4},
         "no error report naming RegDeleteKey" + where},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Report_Check(c.output, c.threads, hit, ERROR_ACCESS_DENIED), c.verdict);
    }
    // Through the report rules: a file in use is scheduled instead of reported; a key deleted through
    // its handle is reported as the deletion, its status shown as a Win32 value.
    winsim::Machine::Fault_Hit in_use = hit;
    in_use.api = "DeleteFileW";
    EXPECT_EQ(Report_Check(before, {4}, in_use, ERROR_SHARING_VIOLATION), "ok");
    winsim::Machine::Fault_Hit by_handle = hit;
    by_handle.api = "NtDeleteKey";
    EXPECT_EQ(Report_Check(with(report("RegDeleteKey", "5(0x5)")), {4, 4, 4, 4}, by_handle, 0xC0000022u), "ok");
}
