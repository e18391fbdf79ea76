#include "runner/sweep_checks.h"

#include "runner/sweep_tables.h"

#include <algorithm>

using winsim::Machine;
using winsim::Text;
using winsim::To_Utf8;

namespace {

bool Ends_With_Banner(const std::vector<std::string>& lines) {
    if (lines.size() < 3) return false;
    auto rule = [](const std::string& line) { return !line.empty() && line.find_first_not_of('=') == std::string::npos; };
    const std::string& middle = lines[lines.size() - 2];
    size_t end = middle.find(" END ");
    return rule(lines.back()) && rule(lines[lines.size() - 3]) && end != std::string::npos &&
           rule(middle.substr(0, end)) && rule(middle.substr(end + 5));
}

}  // namespace

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

std::string Log_Path_Of(const std::string& console, const std::string& usual) {
    const std::string line = "Log file: ";
    for (size_t at = console.find(line); at != std::string::npos; at = console.find(line, at + 1)) {
        if (at != 0 && console[at - 1] != '\n') continue;
        size_t end = console.find('\n', at);
        return console.substr(at + line.size(), end == std::string::npos ? std::string::npos : end - at - line.size());
    }
    return usual;
}

std::string Banner_Check(const std::string& debug_text, const std::string& log_text) {
    std::vector<std::string> debug_lines = Trimmed_Lines(debug_text);
    if (!Ends_With_Banner(debug_lines))
        return "the debugger output does not end with the END banner (last line: \"" +
               (debug_lines.empty() ? std::string() : debug_lines.back()) + "\")";
    std::vector<std::string> log_lines = Trimmed_Lines(log_text);
    if (log_lines.size() >= debug_lines.size() && !Ends_With_Banner(log_lines))
        return "the log does not end with the END banner (last line: \"" +
               (log_lines.empty() ? std::string() : log_lines.back()) + "\")";
    return "ok";
}

std::string Report_Check(const std::vector<Text>& debug_output, const std::vector<DWORD>& debug_threads,
                         const Machine::Fault_Hit& hit, DWORD error) {
    const Report_Rule* rule = Rule_For(hit);
    if (rule && !rule->names) return "ok";
    if (rule && rule->shown) error = rule->shown;
    std::vector<std::string> names;
    if (rule) {
        std::string list = rule->names;
        for (size_t start = 0;;) {
            size_t bar = list.find('|', start);
            names.push_back(list.substr(start, bar - start));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
    } else {
        std::string name = hit.api;
        if (name.size() > 1 && name.back() == 'W') name.pop_back();
        names.push_back(name);
    }
    const std::string prefix = "Error occurred in function: ";
    std::vector<std::string> lines;
    std::string text;
    // The report is written by the thread whose call failed; the log serialises lines, not reports,
    // so a line of another thread (the smart-card worker, or the main thread while a worker reports)
    // may stand between its lines.
    for (size_t i = hit.debug_texts; i < debug_output.size() && i < debug_threads.size(); ++i) {
        if (debug_threads[i] == hit.thread) text += To_Utf8(debug_output[i]);
    }
    lines = Trimmed_Lines(text);
    std::string what = "no error report naming " + names[0];
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, prefix.size(), prefix) != 0) continue;
        std::string name = lines[i].substr(prefix.size());
        if (name.compare(0, 13, "Error source ") == 0 || name.compare(0, 13, "Error code   ") == 0) continue;
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            what = "the first error report after it names " + name + ", not " + names[0];
            break;
        }
        std::string code = prefix + "Error code   " + Number_Text(error);
        if (i + 2 < lines.size() && lines[i + 2] == code) return "ok";
        what = "the report of " + name + " does not show " + Number_Text(error);
        break;
    }
    return what + " (subject " + To_Utf8(hit.subject) + "; site " + hit.site + ")";
}

Baseline::Baseline(const Outcome& run) : changes(run.changes) {
    for (const std::string& change : changes)
        if (change.compare(0, 4, "+ S ") == 0) secured.insert(change.substr(4, change.find(" | ") - 4));
}

std::vector<std::string> Extra_Changes(const Outcome& run, const Baseline& baseline) {
    std::vector<std::string> extra;
    for (const std::string& change : run.changes) {
        if (baseline.changes.count(change)) continue;
        if (change.compare(0, 4, "+ R ") == 0) {
            std::string path = change.substr(4);
            if (baseline.changes.count("- F " + path) || baseline.changes.count("- D " + path)) continue;
        }
        // A file's content is recorded after its path ("C PATH SIZE:HASH").
        std::string item = change.compare(0, 4, "- C ") == 0 ? change.substr(4, change.rfind(' ') - 4) : change.substr(4);
        if ((change.compare(0, 4, "- D ") == 0 || change.compare(0, 4, "- F ") == 0 ||
             change.compare(0, 4, "- C ") == 0) &&
            baseline.secured.count(item)) {
            // What that run kept and locked down for the bundle's quiet uninstall: when a failed read
            // keeps the command from being found, that cache goes with the product's others.
            continue;
        }
        if (change.compare(0, 4, "+ S ") == 0) {
            // A key whose security changed with its parent's, and which that run deleted afterwards.
            std::string path = change.substr(4, change.find(" | ") - 4);
            if (baseline.changes.count("- K " + path) || baseline.changes.count("- D " + path) ||
                baseline.changes.count("- F " + path))
                continue;
            // A key whose security that run changed too: a failure part-way leaves part of that
            // change (the rights stage keeps a new owner when the access list cannot be set).
            if (baseline.secured.count(path)) continue;
        }
        extra.push_back(change);
    }
    return extra;
}

std::vector<std::string> Left_Behind(const Outcome& run, const Baseline& baseline) {
    std::vector<std::string> left;
    for (const std::string& change : baseline.changes) {
        if (run.changes.count(change)) continue;
        const char kind = change[2];
        const std::string path = kind == 'C' ? change.substr(4, change.rfind(' ') - 4) : change.substr(4);
        if (change.compare(0, 4, "+ R ") == 0) {
            // A deletion that run scheduled for the restart, which this one made at once.
            if (run.changes.count("- F " + path) || run.changes.count("- D " + path)) continue;
        } else if (change.compare(0, 2, "- ") != 0) {
            continue;
        } else if (kind == 'D' || kind == 'F' || kind == 'C') {
            if (run.changes.count("+ R " + path)) continue;
        } else if (kind == 'V') {
            // The bundle's own entries in RunOnce are the self-removal's to replace, not the product.
            if (path.find("\\RUNONCE \"") != std::string::npos) continue;
        } else if (kind != 'K') {
            continue;
        }
        left.push_back(change.substr(2));
    }
    std::sort(left.begin(), left.end());
    return left;
}

std::string Exit_Code_Problem(const Outcome& run, const Baseline& baseline, const std::string& log_path) {
    const std::vector<std::string> left = Left_Behind(run, baseline);
    const std::string code = "exit code " + std::to_string(run.exit_code);
    switch (run.exit_code) {
    case 0:
    case 1:
        if (left.empty()) return std::string();
        return code + " though the run left " + left.front() +
               (left.size() > 1 ? " and " + std::to_string(left.size() - 1) + " more" : std::string());
    case 3:
        if (!left.empty() || run.unchecked) return std::string();
        return code + " though nothing of the product was left";
    case ERROR_INSTALL_ALREADY_RUNNING:
        for (const std::string& change : run.changes)
            if (change != "+ F " + log_path) return code + " though the run changed " + change.substr(2);
        return std::string();
    default:
        return code;
    }
}

std::vector<std::string> Run_Problems(const Outcome& run, const Baseline& baseline, const std::string& log_path) {
    std::vector<std::string> problems;
    if (!run.problem.empty()) problems.push_back(run.problem);
    if (!run.finished) return problems;
    std::string exit_problem = Exit_Code_Problem(run, baseline, log_path);
    if (!exit_problem.empty()) problems.push_back(exit_problem);
    if (run.banner != "ok") problems.push_back(run.banner);
    if (run.reports.empty()) problems.push_back("the call did not fail (no injected fault hit it)");
    for (const std::string& report : run.reports)
        if (report != "ok") problems.push_back(report);
    for (const std::string& extra : Extra_Changes(run, baseline))
        problems.push_back("change beyond the run without faults: " + extra);
    return problems;
}
