// The sweep's checks of one run, pure functions of what the run left: the END banner, the error
// report of each failed call, the changes beyond the run without faults, what it left of the product
// and whether its exit code tells the truth.
#pragma once

#include "machine/machine.h"

#include <string>
#include <unordered_set>
#include <vector>

struct Outcome {
    bool finished = false;  // the child wrote its result and ended normally
    std::string problem;    // why it did not, or what the checks found
    int exit_code = -1;
    unsigned long calls = 0;
    std::string banner;
    std::vector<std::string> reports;  // per failed call: "ok" or what is missing
    std::unordered_set<std::string> changes;  // "- item" and "+ item"
    std::vector<std::string> apis;   // of every call, in order (the run without faults)
    std::vector<std::string> sites;  // the call site of each of them, when asked for (--beyond)
    bool unchecked = false;  // the check after the removal could not look at everything
    std::vector<std::string> left_open;  // what the run opened and did not give back
};

// The run without faults, as the other runs are compared with it.
struct Baseline {
    std::unordered_set<std::string> changes;
    std::unordered_set<std::string> secured;  // paths whose security that run changed
    explicit Baseline(const Outcome& run);
};

// The lines of a text split at LF, CR LF and lone CR, with their leading blanks removed; empty
// lines dropped.
std::vector<std::string> Trimmed_Lines(const std::string& text);
// The log the run wrote: the path the console names when the usual one was taken ("Log file: PATH"),
// else the usual one.
std::string Log_Path_Of(const std::string& console, const std::string& usual);
// "ok" when the debugger output ends with the END banner, and so does the log unless it has fewer
// lines than the debugger output (the failure made some of its own lines unwritable); else what is
// wrong.
std::string Banner_Check(const std::string& debug_text, const std::string& log_text);
// The error report of a failed call: after the call, the first error report of the failing thread in
// the debugger output must name the call (one of its rule's names) and, on its code line, the injected
// value. "ok", or what is missing.
std::string Report_Check(const std::vector<winsim::Text>& debug_output, const std::vector<DWORD>& debug_threads,
                         const winsim::Machine::Fault_Hit& hit, DWORD error);
// What a run did beyond the run without faults: changes that are not among that run's changes.
std::vector<std::string> Extra_Changes(const Outcome& run, const Baseline& baseline);
// What the run without faults removed and this run left: keys, values, files and folders that this
// run neither removed nor scheduled for deletion at the restart; sorted.
std::vector<std::string> Left_Behind(const Outcome& run, const Baseline& baseline);
// The exit code must tell the truth: 0 or 1 only when nothing of the product was left, 3 only when
// something was (or the check after the removal could not look at everything), 1618 only when
// nothing was changed but the log written (log_path: the log's usual path, upper case). Empty when it
// does.
std::string Exit_Code_Problem(const Outcome& run, const Baseline& baseline, const std::string& log_path);
// Every problem of a run with a failed call, in the order the sweep prints them (what it left open
// aside, a failure class of its own).
std::vector<std::string> Run_Problems(const Outcome& run, const Baseline& baseline, const std::string& log_path);
