// vpsim sweep: drives every Windows call of a whole run to failure, one run per call.
//
// A first run without faults counts the calls the tool makes (N) and keeps their APIs in order. Then
// for each chosen k from 1 to N the tool runs again with the k-th call failing with a value Windows
// really gives for that API (single), or with that call and every later call of the same API failing
// (repeat). Each run is a forked child of a process that loaded the scenario once, so every run starts
// from the same machine and from fresh static state of the tool. A run passes when:
//   - it ends normally within the time limit and its output holds no sanitizer report;
//   - the tool's exit code is 0 or 1;
//   - the debugger output ends with the END banner, and so does the log file unless the failure made
//     some of the log's own lines unwritable (the log then has fewer lines than the debugger output);
//   - every registry key and value, file and folder it removed or added, every key security change and
//     every deletion it scheduled for the restart is among the changes of the run without faults (a
//     restart deletion may also stand for a path that run removed at once, a security change for a key
//     that run deleted or whose security it changed too). The restart list, the bundle's RunOnce entry and the log file itself are
//     compared by their presence.
#include "runner.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

using winsim::Fs_Node;
using winsim::Machine;
using winsim::Reg_Key;
using winsim::Reg_Value;
using winsim::Text;
using winsim::To_Utf8;

// What each API answers when it fails in the sweep: a value Windows gives for that call on a machine
// in use (a key deleted under an open handle, a file held open, access refused, memory exhausted).
// The C runtime's functions take an errno value.
struct Api_Failure {
    const char* api;
    DWORD error;
};
const Api_Failure Failure_Table[] = {
    {"RegOpenKeyExW", ERROR_ACCESS_DENIED},
    {"RegCreateKeyExW", ERROR_ACCESS_DENIED},
    {"RegDeleteKeyW", ERROR_ACCESS_DENIED},
    {"RegDeleteValueW", ERROR_ACCESS_DENIED},
    {"RegSetValueExW", ERROR_ACCESS_DENIED},
    {"RegCloseKey", ERROR_INVALID_HANDLE},
    {"RegEnumKeyExW", ERROR_KEY_DELETED},
    {"RegEnumValueW", ERROR_KEY_DELETED},
    {"RegQueryInfoKeyW", ERROR_KEY_DELETED},
    {"RegQueryValueExW", ERROR_KEY_DELETED},
    {"CreateFileW", ERROR_SHARING_VIOLATION},
    {"DeleteFileW", ERROR_SHARING_VIOLATION},
    {"RemoveDirectoryW", ERROR_SHARING_VIOLATION},
    {"MoveFileExW", ERROR_ACCESS_DENIED},
    {"GetFileAttributesW", ERROR_ACCESS_DENIED},
    {"SetFileAttributesW", ERROR_ACCESS_DENIED},
    {"CreateDirectoryW", ERROR_ACCESS_DENIED},
    {"FindFirstFileW", ERROR_ACCESS_DENIED},
    {"FindNextFileW", ERROR_NOT_ENOUGH_MEMORY},
    {"GetWindowsDirectoryW", ERROR_INSUFFICIENT_BUFFER},
    {"GetModuleFileNameW", ERROR_INSUFFICIENT_BUFFER},
    {"SHGetSpecialFolderPathW", ERROR_ACCESS_DENIED},
    {"GetSystemMetrics", ERROR_INVALID_PARAMETER},
    {"VerifyVersionInfoW", ERROR_OLD_WIN_VERSION},
    {"MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION},
    {"WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER},
    {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"FormatMessageA", ERROR_MR_MID_NOT_FOUND},
    {"CreateMutexW", ERROR_ACCESS_DENIED},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE},
    {"ReleaseMutex", ERROR_NOT_OWNER},
    {"CloseHandle", ERROR_INVALID_HANDLE},
    {"_beginthreadex", ERROR_NOT_ENOUGH_MEMORY},
    {"ResumeThread", ERROR_INVALID_HANDLE},
    {"GetExitCodeThread", ERROR_INVALID_HANDLE},
    {"OpenProcessToken", ERROR_ACCESS_DENIED},
    {"OpenThreadToken", ERROR_ACCESS_DENIED},
    {"DuplicateTokenEx", ERROR_NOT_ENOUGH_MEMORY},
    {"SetThreadToken", ERROR_ACCESS_DENIED},
    {"GetTokenInformation", ERROR_ACCESS_DENIED},
    {"SetTokenInformation", ERROR_PRIVILEGE_NOT_HELD},
    {"LookupPrivilegeValueW", ERROR_NO_SUCH_PRIVILEGE},
    {"AdjustTokenPrivileges", ERROR_ACCESS_DENIED},
    {"ImpersonateSelf", ERROR_NOT_ENOUGH_MEMORY},
    {"RevertToSelf", ERROR_ACCESS_DENIED},
    {"WTSQueryUserToken", ERROR_PRIVILEGE_NOT_HELD},
    {"AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY},
    {"FreeSid", ERROR_INVALID_PARAMETER},
    {"SetEntriesInAclW", ERROR_NOT_ENOUGH_MEMORY},
    {"SetNamedSecurityInfoW", ERROR_ACCESS_DENIED},
    {"GetNamedSecurityInfoW", ERROR_ACCESS_DENIED},
    {"SCardEstablishContext", 0x8010001Du},  // SCARD_E_NO_SERVICE
    {"SCardReleaseContext", 0x80100003u},    // SCARD_E_INVALID_HANDLE
    {"SCardListCardsW", 0x80100006u},        // SCARD_E_NO_MEMORY
    {"SCardForgetCardTypeW", ERROR_ACCESS_DENIED},
    {"SCardFreeMemory", 0x80100003u},
    {"MsiEnumRelatedProductsW", ERROR_BAD_CONFIGURATION},
    {"SetupUninstallOEMInfW", ERROR_ACCESS_DENIED},
    {"_wfopen_s", 13},  // EACCES: the file is held open without sharing
    {"fread_s", 5},     // EIO
    {"_vsnwprintf_s", 12},  // ENOMEM
    {"wprintf", 5},     // EIO
};

bool Failure_For(const std::string& api, DWORD& error) {
    for (const Api_Failure& entry : Failure_Table) {
        if (api == entry.api) {
            error = entry.error;
            return true;
        }
    }
    return false;
}

std::string Upper(const Text& text) {
    Text upper(text);
    for (char16_t& c : upper) c = winsim::Upcase(c);
    return To_Utf8(upper);
}

std::string Hex(const std::vector<uint8_t>& data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(data.size() * 2);
    for (uint8_t byte : data) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

using Items = std::unordered_set<std::string>;

struct Item_Rules {
    std::string log_path;  // upper case
};

// Every key ("K path"), value ("V path "name" [type data]"), folder ("D path"), file ("F path") and
// file content ("C path size:hash") of the machine, plus its restart deletions ("R path").
void Key_Items(const Reg_Key& key, const std::string& path, Items& items) {
    items.insert("K " + path);
    bool run_once = path.size() >= 8 && path.compare(path.size() - 8, 8, "\\RUNONCE") == 0;
    for (const Reg_Value& value : key.values) {
        std::string name = Upper(value.name);
        std::string item = "V " + path + " \"" + name + "\"";
        bool by_presence = run_once || name == "PENDINGFILERENAMEOPERATIONS";
        if (!by_presence) item += " " + std::to_string(value.type) + " " + Hex(value.data);
        items.insert(item);
    }
    for (const auto& subkey : key.subkeys) Key_Items(*subkey, path + "\\" + Upper(subkey->name), items);
}

void Node_Items(const Fs_Node& folder, const std::string& path, const Item_Rules& rules, Items& items) {
    for (const auto& child : folder.children) {
        std::string child_path = path + "\\" + Upper(child->name);
        if (child->directory) {
            items.insert("D " + child_path);
            if (child->link_target.empty()) Node_Items(*child, child_path, rules, items);
            continue;
        }
        items.insert("F " + child_path);
        if (child_path == rules.log_path) continue;
        std::string data(child->data.begin(), child->data.end());
        items.insert("C " + child_path + " " + std::to_string(data.size()) + ":" +
                     std::to_string(std::hash<std::string>()(data)));
    }
}

Items Machine_Items(Machine& machine, const Item_Rules& rules) {
    Items items;
    Key_Items(machine.hklm, "HKEY_LOCAL_MACHINE", items);
    Key_Items(machine.hkcu, "HKEY_CURRENT_USER", items);
    Node_Items(machine.drive_c, "C:", rules, items);
    std::istringstream pending(Pending_Deletes(machine));
    for (std::string line; std::getline(pending, line);) {
        if (!line.empty()) items.insert("R " + Upper(winsim::From_Utf8(line)));
    }
    // security.txt: per key its path, then its "before:" and "after:" lines; a key is one item.
    std::istringstream security(winsim::Security_Changes(machine));
    std::string block;
    for (std::string line; std::getline(security, line);) {
        if (line.empty()) continue;
        if (line[0] != ' ' && !block.empty()) {
            items.insert("S " + block);
            block.clear();
        }
        block += block.empty() ? Upper(winsim::From_Utf8(line)) : " | " + line;
    }
    if (!block.empty()) items.insert("S " + block);
    return items;
}

// The lines of a text split at LF, CR LF and lone CR, with their leading blanks removed; empty
// lines dropped.
std::vector<std::string> Trimmed_Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    auto flush = [&] {
        size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos) lines.push_back(line.substr(start));
        line.clear();
    };
    for (char c : text) {
        if (c == '\n' || c == '\r') flush();
        else line += c;
    }
    flush();
    return lines;
}

bool Ends_With_Banner(const std::vector<std::string>& lines) {
    if (lines.size() < 3) return false;
    auto rule = [](const std::string& line) { return !line.empty() && line.find_first_not_of('=') == std::string::npos; };
    const std::string& middle = lines[lines.size() - 2];
    size_t end = middle.find(" END ");
    return rule(lines.back()) && rule(lines[lines.size() - 3]) && end != std::string::npos &&
           rule(middle.substr(0, end)) && rule(middle.substr(end + 5));
}

std::string Banner_Check(Machine& machine, const std::string& log_path) {
    std::string debug_text;
    for (const Text& line : machine.debug_output) debug_text += To_Utf8(line);
    std::vector<std::string> debug_lines = Trimmed_Lines(debug_text);
    if (!Ends_With_Banner(debug_lines))
        return "the debugger output does not end with the END banner (last line: \"" +
               (debug_lines.empty() ? std::string() : debug_lines.back()) + "\")";
    Fs_Node* log = machine.Find_Path(winsim::From_Utf8(log_path));
    std::vector<std::string> log_lines;
    if (log && !log->directory) log_lines = Trimmed_Lines(std::string(log->data.begin(), log->data.end()));
    if (log_lines.size() >= debug_lines.size() && !Ends_With_Banner(log_lines))
        return "the log does not end with the END banner (last line: \"" +
               (log_lines.empty() ? std::string() : log_lines.back()) + "\")";
    return "ok";
}

struct Plan {
    std::string api;  // empty: no fault
    unsigned nth = 0;
    DWORD error = 0;
    bool repeat = false;
    bool trace = false;
};

// The child: runs the tool once on the machine the parent loaded and writes what the checks need.
[[noreturn]] void Run_Child(const Plan& plan, const std::vector<Text>& tool_args, const Items& before,
                            const Item_Rules& rules, const std::string& result_path, const std::string& capture_path) {
    int capture = open(capture_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (capture >= 0) {
        dup2(capture, 1);
        dup2(capture, 2);
        close(capture);
    }
    Machine& machine = winsim::The_Machine();
    if (!plan.api.empty()) machine.Add_Fault(plan.api, plan.nth, plan.error, Text(), plan.repeat);
    machine.trace_apis = plan.trace;

    int exit_code = Run_Tool(machine, tool_args);

    std::string out = "exit " + std::to_string(exit_code) + "\n";
    out += "calls " + std::to_string(machine.call_count) + "\n";
    out += "banner " + Banner_Check(machine, rules.log_path) + "\n";
    Items after = Machine_Items(machine, rules);
    for (const std::string& item : before)
        if (!after.count(item)) out += "- " + item + "\n";
    for (const std::string& item : after)
        if (!before.count(item)) out += "+ " + item + "\n";
    for (const std::string& api : machine.api_trace) out += "api " + api + "\n";
    std::ofstream(result_path, std::ios::binary | std::ios::trunc) << out;
    std::fflush(stdout);
    std::exit(0);  // static destructors and the leak check run as after any run
}

struct Outcome {
    bool finished = false;  // the child wrote its result and ended normally
    std::string problem;    // why it did not, or what the checks found
    int exit_code = -1;
    unsigned long calls = 0;
    std::string banner;
    std::unordered_set<std::string> changes;  // "- item" and "+ item"
    std::vector<std::string> apis;
};

std::string Read_File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Sanitizer_Report(const std::string& capture) {
    return capture.find("Sanitizer") != std::string::npos || capture.find("runtime error:") != std::string::npos;
}

struct Slot {
    pid_t pid = 0;
    size_t index = 0;  // which run
    std::chrono::steady_clock::time_point started;
    std::string result_path, capture_path;
};

Outcome Collect(const Slot& slot, int status, bool timed_out) {
    Outcome outcome;
    std::string capture = Read_File(slot.capture_path);
    if (timed_out) {
        outcome.problem = "no end within the time limit (hung?)";
    } else if (WIFSIGNALED(status)) {
        outcome.problem = "ended by signal " + std::to_string(WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0) {
        outcome.problem = "the run ended with status " + std::to_string(WEXITSTATUS(status));
    }
    if (Sanitizer_Report(capture)) outcome.problem += (outcome.problem.empty() ? "" : "; ") + std::string("sanitizer report");
    if (!outcome.problem.empty()) {
        // The first lines of the run's own output say what happened.
        std::istringstream lines(capture);
        int shown = 0;
        for (std::string line; shown < 40 && std::getline(lines, line); ++shown) outcome.problem += "\n      " + line;
    }
    std::istringstream result(Read_File(slot.result_path));
    for (std::string line; std::getline(result, line);) {
        if (line.compare(0, 5, "exit ") == 0) {
            outcome.exit_code = std::atoi(line.c_str() + 5);
            outcome.finished = true;
        } else if (line.compare(0, 6, "calls ") == 0) {
            outcome.calls = std::strtoul(line.c_str() + 6, nullptr, 10);
        } else if (line.compare(0, 7, "banner ") == 0) {
            outcome.banner = line.substr(7);
        } else if (line.compare(0, 4, "api ") == 0) {
            outcome.apis.push_back(line.substr(4));
        } else if (!line.empty()) {
            outcome.changes.insert(line);
        }
    }
    if (!outcome.finished && outcome.problem.empty()) outcome.problem = "no result written";
    return outcome;
}

// What a run did beyond the run without faults: changes that are not among that run's changes.
std::vector<std::string> Extra_Changes(const Outcome& run, const Outcome& baseline) {
    std::vector<std::string> extra;
    for (const std::string& change : run.changes) {
        if (baseline.changes.count(change)) continue;
        if (change.compare(0, 4, "+ R ") == 0) {
            std::string path = change.substr(4);
            if (baseline.changes.count("- F " + path) || baseline.changes.count("- D " + path)) continue;
        }
        if (change.compare(0, 4, "+ S ") == 0) {
            // A key whose security changed with its parent's, and which that run deleted afterwards.
            std::string path = change.substr(4, change.find(" | ") - 4);
            if (baseline.changes.count("- K " + path) || baseline.changes.count("- D " + path) ||
                baseline.changes.count("- F " + path))
                continue;
            // A key whose security that run changed too: a failure part-way leaves part of that
            // change (the rights stage keeps a new owner when the access list cannot be set).
            std::string same_key = "+ S " + path + " | ";
            if (std::any_of(baseline.changes.begin(), baseline.changes.end(), [&](const std::string& done) {
                    return done.compare(0, same_key.size(), same_key) == 0;
                }))
                continue;
        }
        extra.push_back(change);
    }
    return extra;
}

int Usage(const std::string& message) {
    std::fprintf(stderr,
                 "vpsim: %s\nusage: vpsim sweep MACHINE_DIR [--repeat] [--api NAME] [--every M] [--offset R] "
                 "[--jobs J] "
                 "[--timeout SECONDS] [-- ARG...]\n",
                 message.c_str());
    return 64;
}

}  // namespace

int Sweep(const std::vector<std::string>& args) {
    std::string machine_dir;
    std::vector<Text> tool_args;
    bool repeat = false;
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
        } else if (args[i] == "--api") {
            if (i + 1 == args.size()) return Usage("--api needs an API name");
            only_api = args[++i];
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

    Machine& machine = winsim::The_Machine();
    std::string error;
    if (!Load_Machine(machine, machine_dir, error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return 64;
    }
    Item_Rules rules;
    rules.log_path = Upper(machine.windows_directory + u"\\TEMP\\vpRemovalTool.txt");
    const Items before = Machine_Items(machine, rules);

    char folder_template[] = "/tmp/vpsim-sweep-XXXXXX";
    if (!mkdtemp(folder_template)) {
        std::perror("vpsim: mkdtemp");
        return 74;
    }
    const std::string work(folder_template);
    const auto sweep_start = std::chrono::steady_clock::now();

    std::vector<Plan> plans(1);
    plans[0].trace = true;
    std::vector<Outcome> outcomes;
    std::vector<Slot> slots(jobs);
    for (size_t s = 0; s < slots.size(); ++s) {
        slots[s].result_path = work + "/result-" + std::to_string(s);
        slots[s].capture_path = work + "/output-" + std::to_string(s);
    }

    // Runs the given plans, at most `jobs` at a time; outcomes in plan order.
    auto run_all = [&](const std::vector<Plan>& batch) {
        std::vector<Outcome> results(batch.size());
        size_t next = 0, running = 0;
        std::fflush(stdout);
        std::fflush(stderr);
        while (next < batch.size() || running > 0) {
            for (Slot& slot : slots) {
                if (slot.pid != 0 || next == batch.size()) continue;
                pid_t pid = fork();
                if (pid < 0) {
                    std::perror("vpsim: fork");
                    std::exit(74);
                }
                if (pid == 0) Run_Child(batch[next], tool_args, before, rules, slot.result_path, slot.capture_path);
                slot.pid = pid;
                slot.index = next++;
                slot.started = std::chrono::steady_clock::now();
                ++running;
            }
            bool reaped = false;
            for (Slot& slot : slots) {
                if (slot.pid == 0) continue;
                int status = 0;
                pid_t done = waitpid(slot.pid, &status, WNOHANG);
                bool timed_out = false;
                if (done == 0) {
                    if (std::chrono::steady_clock::now() - slot.started < std::chrono::seconds(timeout)) continue;
                    kill(slot.pid, SIGKILL);
                    waitpid(slot.pid, &status, 0);
                    timed_out = true;
                }
                results[slot.index] = Collect(slot, status, timed_out);
                slot.pid = 0;
                --running;
                reaped = true;
            }
            if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return results;
    };

    Outcome baseline = run_all(plans)[0];
    if (!baseline.problem.empty() || baseline.banner != "ok" || (baseline.exit_code != 0 && baseline.exit_code != 1)) {
        std::printf("the run without faults fails: %s%s exit code %d, banner %s\n", baseline.problem.c_str(),
                    baseline.problem.empty() ? "" : ";", baseline.exit_code, baseline.banner.c_str());
        return 1;
    }
    const size_t call_total = baseline.apis.size();
    std::printf("run without faults: %zu calls, exit code %d, %zu changes\n", call_total, baseline.exit_code,
                baseline.changes.size());

    // The k-th call is named by its API and its rank among that API's calls, so that runs whose
    // threads interleave differently still fail the same call.
    std::vector<Plan> batch;
    std::vector<size_t> ks;
    std::map<std::string, unsigned> seen;
    unsigned failures = 0;
    for (size_t k = 1; k <= call_total; ++k) {
        const std::string& api = baseline.apis[k - 1];
        unsigned nth = ++seen[api];
        if ((k - 1) % every != offset % every || (!only_api.empty() && api != only_api)) continue;
        Plan plan;
        plan.api = api;
        plan.nth = nth;
        plan.repeat = repeat;
        if (!Failure_For(api, plan.error)) {
            std::printf("k=%zu %s: no failure value for this API in the sweep's table\n", k, api.c_str());
            ++failures;
            continue;
        }
        batch.push_back(plan);
        ks.push_back(k);
    }
    std::vector<Outcome> results = run_all(batch);
    for (size_t i = 0; i < results.size(); ++i) {
        const Outcome& run = results[i];
        std::vector<std::string> problems;
        if (!run.problem.empty()) problems.push_back(run.problem);
        if (run.finished) {
            if (run.exit_code != 0 && run.exit_code != 1)
                problems.push_back("exit code " + std::to_string(run.exit_code));
            if (run.banner != "ok") problems.push_back(run.banner);
            for (const std::string& extra : Extra_Changes(run, baseline))
                problems.push_back("change beyond the run without faults: " + extra);
        }
        if (problems.empty()) continue;
        ++failures;
        std::printf("k=%zu: %s call %u fails with %lu%s:\n", ks[i], batch[i].api.c_str(), batch[i].nth,
                    static_cast<unsigned long>(batch[i].error), repeat ? " (and every later one)" : "");
        for (const std::string& problem : problems) std::printf("   %s\n", problem.c_str());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sweep_start).count();
    std::printf("%s sweep: %zu runs of %zu calls (every %lu from call %lu), %u failed, %.1f s\n",
                repeat ? "repeated-failure" : "single-failure", batch.size() + 1, call_total, every,
                offset % every + 1, failures, seconds);
    for (Slot& slot : slots) {
        std::remove(slot.result_path.c_str());
        std::remove(slot.capture_path.c_str());
    }
    rmdir(work.c_str());
    return failures == 0 ? 0 : 1;
}
