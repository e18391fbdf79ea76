// vpsim sweep: drives every Windows call of a whole run to failure, one run per call.
//
// A first run without faults counts the calls the tool makes (N) and keeps their APIs in order. Then
// for each chosen k from 1 to N the tool runs again with the k-th call failing with a value Windows
// really gives for that API (single), or with that call and every later call of the same API failing
// (repeat). Each run is a forked child of a process that loaded the scenario once, so every run starts
// from the same machine and from fresh static state of the tool. A run passes when:
//   - it ends normally within the time limit and its output holds no sanitizer report;
//   - the tool's exit code tells the truth: 0 or 1 only when every key, value, file and folder that
//     the run without faults removed was removed or scheduled for the restart, 3 only when something
//     was not (or the check after the removal could not look at everything), 1618 only when nothing
//     but the log changed;
//   - the debugger output ends with the END banner, and so does the log file unless the failure made
//     some of the log's own lines unwritable (the log then has fewer lines than the debugger output);
//   - after each call that failed, the first error report of the debugger output names the call and
//     shows the injected value, unless kReportRules says why that call's failure goes unreported;
//   - every registry key and value, file and folder it removed or added, every key security change and
//     every deletion it scheduled for the restart is among the changes of the run without faults (a
//     restart deletion may also stand for a path that run removed at once, a security change for a key
//     that run deleted or whose security it changed too). The restart list, the bundle's RunOnce entry and the log file itself are
//     compared by their presence;
//   - it gives back everything it opened (Run_Tool's left_open): a failure class of its own, each
//     object on a "left open:" line.
// With --beyond OTHER_MACHINE only the calls made at call sites that the other machine's run (with the
// same arguments, or those of --beyond-arg) does not reach are driven to failure: the sweep of that
// machine fails the others.
// With --sites the first call of each API at each call site fails too, beside the --every sample: every
// call site is driven to failure however sparse the sample.
//
// Its parts: the failure and report tables (sweep_tables), the call-site capture (sweep_sites), the
// machine's items (machine_items, changes.h), the checks of a run (sweep_checks), the worker pool
// (sweep_pool); here the runs' plans, the child's side of a run and the summary.
#include "runner/changes.h"
#include "runner/runner.h"
#include "runner/sweep_checks.h"
#include "runner/sweep_pool.h"
#include "runner/sweep_sites.h"
#include "runner/sweep_tables.h"

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

using winsim::Fs_Node;
using winsim::Machine;
using winsim::Text;
using winsim::To_Utf8;

struct Plan {
    std::string api;  // empty: no fault
    unsigned nth = 0;
    DWORD error = 0;
    bool repeat = false;
    bool trace = false;
    bool sites = false;     // with trace: each call's site too
    bool full_exit = true;  // the child ends through static destructors and the leak check
};

// The child: runs the tool once on the machine the parent loaded and writes what the checks need.
[[noreturn]] void Run_Child(const Plan& plan, const std::vector<Text>& tool_args, const Items& before,
                            const Item_Rules& rules, const std::string& result_path) {
    Machine& machine = winsim::The_Machine();
    if (!plan.api.empty()) machine.Add_Fault(plan.api, plan.nth, plan.error, Text(), plan.repeat);
    machine.trace_apis = plan.trace;
    machine.trace_sites = plan.sites;
    machine.fault_site = Call_Site;
    machine.keep_calls = false;

    std::vector<std::string> left_open;
    int exit_code = Run_Tool(machine, tool_args, left_open);

    std::string out = "exit " + std::to_string(exit_code) + "\n";
    for (const std::string& line : left_open) out += "open " + line + "\n";
    out += "calls " + std::to_string(machine.call_count) + "\n";
    std::string debug_text;
    for (const Text& line : machine.debug_output) debug_text += To_Utf8(line);
    const Fs_Node* log = machine.Find_Path(winsim::From_Utf8(Log_Path_Of(To_Utf8(machine.console), rules.log_path)));
    const std::string log_text = log && !log->directory ? std::string(log->data.begin(), log->data.end()) : "";
    out += "banner " + Banner_Check(debug_text, log_text) + "\n";
    if (To_Utf8(machine.console).find("\nNot checked: ") != std::string::npos) out += "unchecked\n";
    for (const Machine::Fault_Hit& hit : machine.fault_hits)
        out += "report " + Report_Check(machine.debug_output, machine.debug_threads, hit, plan.error) + "\n";
    Items after = Machine_Items(machine, rules);
    for (const std::string& item : before)
        if (!after.count(item)) out += "- " + item + "\n";
    for (const std::string& item : after)
        if (!before.count(item)) out += "+ " + item + "\n";
    for (const std::string& api : machine.api_trace) out += "api " + api + "\n";
    for (const std::string& site : machine.site_trace) out += "site " + site + "\n";
    std::ofstream(result_path, std::ios::binary | std::ios::trunc) << out;
    std::fflush(stdout);
    if (plan.full_exit) std::exit(0);  // static destructors and the leak check run as after any run
    std::_Exit(0);
}

// A run's outcome: how its child ended, and what it wrote.
Outcome Read_Outcome(const Pool_End& end) {
    Outcome outcome;
    outcome.problem = end.problem;
    std::istringstream result(end.result);
    for (std::string line; std::getline(result, line);) {
        if (line.compare(0, 5, "exit ") == 0) {
            outcome.exit_code = std::atoi(line.c_str() + 5);
            outcome.finished = true;
        } else if (line.compare(0, 6, "calls ") == 0) {
            outcome.calls = std::strtoul(line.c_str() + 6, nullptr, 10);
        } else if (line.compare(0, 7, "banner ") == 0) {
            outcome.banner = line.substr(7);
        } else if (line.compare(0, 7, "report ") == 0) {
            outcome.reports.push_back(line.substr(7));
        } else if (line.compare(0, 4, "api ") == 0) {
            outcome.apis.push_back(line.substr(4));
        } else if (line.compare(0, 5, "site ") == 0 || line == "site") {
            outcome.sites.push_back(line.size() > 5 ? line.substr(5) : std::string());
        } else if (line.compare(0, 5, "open ") == 0) {
            outcome.left_open.push_back(line.substr(5));
        } else if (line == "unchecked") {
            outcome.unchecked = true;
        } else if (!line.empty()) {
            outcome.changes.insert(line);
        }
    }
    if (!outcome.finished && outcome.problem.empty()) outcome.problem = "no result written";
    return outcome;
}

// Loads a machine for the sweep (in place of the one loaded before, if any): its items before the run,
// and where its log goes.
bool Load_For_Sweep(const std::string& machine_dir, bool again, Items& before, Item_Rules& rules) {
    Machine& machine = winsim::The_Machine();
    if (again) machine.Reset();
    std::string error;
    if (!Load_Machine(machine, machine_dir, error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return false;
    }
    rules.log_folder = Upper(machine.windows_directory + u"\\TEMP\\");
    rules.log_path = rules.log_folder + "VPREMOVALTOOL.TXT";
    before = Machine_Items(machine, rules);
    return true;
}

// The run without faults of the loaded machine, traced (with each call's site when asked); false, with
// the reason printed, when it fails.
bool Fault_Free_Run(Pool& pool, const std::vector<Text>& tool_args, const Items& before, const Item_Rules& rules,
                    bool sites, Outcome& fault_free) {
    Plan plan;
    plan.trace = true;
    plan.sites = sites;
    pool.Run(
        1, [&](size_t, const std::string& result) { Run_Child(plan, tool_args, before, rules, result); },
        [&](size_t, const Pool_End& end) { fault_free = Read_Outcome(end); });
    if (fault_free.problem.empty() && fault_free.banner == "ok" &&
        (fault_free.exit_code == 0 || fault_free.exit_code == 1) && fault_free.left_open.empty())
        return true;
    std::printf("the run without faults fails: %s%s exit code %d, banner %s\n", fault_free.problem.c_str(),
                fault_free.problem.empty() ? "" : ";", fault_free.exit_code, fault_free.banner.c_str());
    for (const std::string& line : fault_free.left_open) std::printf("   left open: %s\n", line.c_str());
    return false;
}

int Usage(const std::string& message) {
    std::fprintf(stderr,
                 "vpsim: %s\nusage: vpsim sweep MACHINE_DIR [--repeat] [--api NAME] [--every M] [--offset R] "
                 "[--sites] [--beyond OTHER_MACHINE_DIR [--beyond-arg ARG]...] [--jobs J] [--timeout SECONDS] [-- ARG...]\n",
                 message.c_str());
    return 64;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer each run costs what its child touches: every page it writes is copied from
// the parent, and LeakSanitizer reads the globals of every module at the child's exit. The sweep
// therefore runs with no allocation stacks in reports and no quarantine of freed blocks (a freed block
// stays poisoned until it is handed out again), unless ASAN_OPTIONS says otherwise: rerun a failing
// call with --api NAME --every 1 --offset K-1 and the runtime's defaults for the full report.
const char kSweepAsanOptions[] = "malloc_context_size=0:quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
const char kSweepOptionsSet[] = "VPSIM_SWEEP_ASAN_OPTIONS_SET";
// After the tool itself, a child's exit (static destructors, LeakSanitizer's reading of every
// module) is what a run costs most: every eighth run ends that way, the others end at once. Memory
// errors are caught in every run as they happen.
const size_t kFullExitEvery = 8;
#else
const size_t kFullExitEvery = 1;
#endif

int Sweep(const std::vector<std::string>& args) {
#if defined(__SANITIZE_ADDRESS__)
    if (!std::getenv(kSweepOptionsSet)) {
        // The options take effect at start-up only: the sweep starts again with them in front of the
        // caller's own (which win).
        const char* caller = std::getenv("ASAN_OPTIONS");
        std::string options = std::string(kSweepAsanOptions) + (caller && *caller ? ":" + std::string(caller) : "");
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        setenv(kSweepOptionsSet, "1", 1);
        std::vector<std::string> words{"vpsim", "sweep"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        std::perror("vpsim: cannot restart with the sweep's sanitizer options");
    }
#endif
    std::string machine_dir, beyond_dir;
    std::vector<Text> tool_args, beyond_args;
    bool repeat = false, by_site = false;
    std::string only_api;
    unsigned long every = 1, offset = 0, jobs = 1, timeout = 120;
    for (size_t i = 0; i < args.size(); ++i) {
        auto number = [&](unsigned long& out) {
            if (i + 1 == args.size()) return false;
            char* end = nullptr;
            out = std::strtoul(args[++i].c_str(), &end, 10);
            return *end == 0 && out > 0;
        };
        if (args[i] == "--") {
            for (++i; i < args.size(); ++i) tool_args.push_back(winsim::From_Utf8(args[i]));
        } else if (args[i] == "--repeat") {
            repeat = true;
        } else if (args[i] == "--sites") {
            by_site = true;
        } else if (args[i] == "--api") {
            if (i + 1 == args.size()) return Usage("--api needs an API name");
            only_api = args[++i];
        } else if (args[i] == "--beyond") {
            if (i + 1 == args.size()) return Usage("--beyond needs a machine folder");
            beyond_dir = args[++i];
        } else if (args[i] == "--beyond-arg") {
            // The arguments of the other machine's own sweep: the calls left out here are the ones
            // that sweep fails.
            if (i + 1 == args.size()) return Usage("--beyond-arg needs an argument");
            beyond_args.push_back(winsim::From_Utf8(args[++i]));
        } else if (args[i] == "--every") {
            if (!number(every)) return Usage("--every needs a positive number");
        } else if (args[i] == "--offset") {
            if (i + 1 == args.size()) return Usage("--offset needs a number");
            offset = std::strtoul(args[++i].c_str(), nullptr, 10);
        } else if (args[i] == "--jobs") {
            if (!number(jobs)) return Usage("--jobs needs a positive number");
        } else if (args[i] == "--timeout") {
            if (!number(timeout)) return Usage("--timeout needs a positive number");
        } else if (args[i].compare(0, 1, "-") == 0 || !machine_dir.empty()) {
            return Usage("unexpected argument \"" + args[i] + "\"");
        } else {
            machine_dir = args[i];
        }
    }
    if (machine_dir.empty()) return Usage("sweep needs MACHINE_DIR");
    if (!beyond_args.empty() && beyond_dir.empty()) return Usage("--beyond-arg needs --beyond");

    Items before;
    Item_Rules rules;
    if (!Load_For_Sweep(beyond_dir.empty() ? machine_dir : beyond_dir, false, before, rules)) return 64;
    if (!Call_Sites_Known()) {
        std::fprintf(stderr, "vpsim: the sweep names each failed call's site from the debug information: "
                             "build vpsim with GCC and -g (the linux, linux-asan and linux-tsan presets)\n");
        return 64;
    }
    Pool pool(jobs, timeout);
    if (!pool.Ready()) return 74;
    const auto sweep_start = std::chrono::steady_clock::now();

    // The other machine's calls, each as its API and call site: the calls of this machine found among
    // them are that machine's sweep's to fail.
    std::unordered_set<std::string> reached;
    if (!beyond_dir.empty()) {
        Outcome other;
        std::printf("%s: ", beyond_dir.c_str());
        if (!Fault_Free_Run(pool, beyond_args.empty() ? tool_args : beyond_args, before, rules, true, other)) return 1;
        for (size_t k = 0; k < other.apis.size() && k < other.sites.size(); ++k)
            reached.insert(other.apis[k] + " " + other.sites[k]);
        std::printf("run without faults: %zu calls at %zu call sites\n", other.apis.size(), reached.size());
        if (!Load_For_Sweep(machine_dir, true, before, rules)) return 64;
    }

    Outcome fault_free;
    if (!Fault_Free_Run(pool, tool_args, before, rules, by_site || !beyond_dir.empty(), fault_free)) return 1;
    const std::vector<std::string> apis = std::move(fault_free.apis);
    const std::vector<std::string> sites = std::move(fault_free.sites);
    const size_t call_total = apis.size();
    if (call_total == 0) {
        // Nothing to sweep means the count is broken, not that every call passed.
        std::printf("the run without faults made no Windows call that the sweep could see\n");
        return 1;
    }
    std::printf("run without faults: %zu calls, exit code %d, %zu changes\n", call_total, fault_free.exit_code,
                fault_free.changes.size());
    size_t site_runs = 0;
    const Baseline baseline(fault_free);
    fault_free = Outcome();

    // The k-th call is named by its API and its rank among that API's calls, so that runs whose
    // threads interleave differently still fail the same call.
    std::vector<Plan> batch;
    std::vector<size_t> ks;
    std::map<std::string, unsigned> seen;
    std::map<std::string, unsigned> beyond_sites;  // the call sites beyond the other machine's run, and their calls
    unsigned failures = 0;
    std::unordered_set<std::string> site_failed;
    for (size_t k = 1; k <= call_total; ++k) {
        const std::string& api = apis[k - 1];
        unsigned nth = ++seen[api];
        // The call as its API and call site.
        const std::string call =
            by_site || !beyond_dir.empty() ? api + " " + (k - 1 < sites.size() ? sites[k - 1] : std::string()) : "";
        if (!beyond_dir.empty()) {
            if (reached.count(call)) continue;
            ++beyond_sites[call];
        }
        const bool sampled = (k - 1) % every == offset % every;
        const bool site_first = by_site && site_failed.insert(call).second;
        if ((!sampled && !site_first) || (!only_api.empty() && api != only_api)) continue;
        if (!sampled) ++site_runs;
        Plan plan;
        plan.api = api;
        plan.nth = nth;
        plan.repeat = repeat;
        if (!Failure_For(api, plan.error)) {
            std::printf("k=%zu %s: no failure value for this API in the sweep's table\n", k, api.c_str());
            ++failures;
            continue;
        }
        plan.full_exit = batch.size() % kFullExitEvery == 0;
        batch.push_back(plan);
        ks.push_back(k);
    }
    if (!beyond_dir.empty()) {
        std::printf("calls at call sites that %s does not reach: %zu sites\n", beyond_dir.c_str(), beyond_sites.size());
        for (const auto& site : beyond_sites) std::printf("   %u x %s\n", site.second, site.first.c_str());
        if (beyond_sites.empty()) {
            // The machine is swept for what only it reaches: none means that part of the run is gone.
            std::printf("no call beyond %s's run: nothing of its own to sweep\n", beyond_dir.c_str());
            return 1;
        }
    }
#if defined(__SANITIZE_ADDRESS__)
    // A leak check here reads what every child's check reads, so the children find those pages
    // mapped instead of faulting each one in again.
    __lsan_do_recoverable_leak_check();
#endif
    // Only the problems found are kept, per run, to be printed in call order; what a run left open is
    // a failure class of its own.
    std::vector<std::vector<std::string>> found(batch.size());
    std::vector<std::vector<std::string>> leaks(batch.size());
    pool.Run(
        batch.size(),
        [&](size_t i, const std::string& result) { Run_Child(batch[i], tool_args, before, rules, result); },
        [&](size_t i, const Pool_End& end) {
            const Outcome run = Read_Outcome(end);
            leaks[i] = run.left_open;
            found[i] = Run_Problems(run, baseline, rules.log_path);
        });
    unsigned leaking = 0;
    for (size_t i = 0; i < batch.size(); ++i) {
        const std::vector<std::string>& problems = found[i];
        if (problems.empty() && leaks[i].empty()) continue;
        ++failures;
        if (!leaks[i].empty()) ++leaking;
        std::printf("k=%zu: %s call %u fails with %lu%s:\n", ks[i], batch[i].api.c_str(), batch[i].nth,
                    static_cast<unsigned long>(batch[i].error), repeat ? " (and every later one)" : "");
        for (const std::string& problem : problems) std::printf("   %s\n", problem.c_str());
        for (const std::string& line : leaks[i]) std::printf("   left open: %s\n", line.c_str());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sweep_start).count();
    std::string sites_part;
    if (by_site)
        sites_part = ", and " + std::to_string(site_runs) + " more for the first call at each of " +
                     std::to_string(site_failed.size()) + " call sites";
    std::printf("%s sweep: %zu runs of %zu calls (every %lu from call %lu%s%s), %u failed (%u leaving something "
                "open), %.1f s\n",
                repeat ? "repeated-failure" : "single-failure", batch.size() + 1, call_total, every,
                offset % every + 1, sites_part.c_str(), beyond_dir.empty() ? "" : ", beyond the other machine's call sites",
                failures, leaking, seconds);
    return failures == 0 ? 0 : 1;
}
