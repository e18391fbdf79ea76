// vpsim fleet: the preview of a pilot sample. Every collection below a folder is previewed in a process
// of its own (the tool keeps process-wide state, and a collection that cannot be read or a run that
// fails must not stop the others), at most N at a time; each writes its run, its page and a summary
// row to OUT/FOLDER/, and the parent gathers the rows into one page and one JSON file.
//
//   vpsim fleet FOLDER --out OUT_DIR [--jobs N] [--timeout SECONDS] [-- ARG...]
#include "runner/changes.h"
#include "runner/runner.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using winsim::Machine;
using winsim::Text;
using winsim::To_Utf8;

namespace {

// The counts a machine's row shows, as the JSON form names them.
const char* const kCounts[] = {"keys_removed", "values_removed", "files_removed", "deleted_at_restart", "not_removed"};
const size_t kCountCount = sizeof kCounts / sizeof kCounts[0];
const char* const kCountTitles[kCountCount] = {"Keys removed", "Values removed", "Files and folders removed",
                                               "Deleted at the next restart", "Not removed"};

// A removed or changed item.
struct Item {
    std::string change, path;
};

struct Row {
    std::string folder;  // below FOLDER, with '/' between its parts: also its folder below OUT
    fs::path source;     // the collection
    std::string computer, collected, exit_code, error;
    size_t counts[kCountCount] = {};
    std::vector<Item> items;
    std::string Name() const { return computer.empty() ? folder : computer; }
};

// ---- the row file a preview's process leaves for the fleet ----
// One field a line, "NAME<TAB>VALUE"; items as "item<TAB>CHANGE<TAB>PATH". Tabs, line ends and
// backslashes in a value are escaped, so that any key or value name comes through.

const char kRowFile[] = "fleet-row.txt";

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t') fields.emplace_back();
        else fields.back() += c;
    }
    for (std::string& field : fields) field = Unescape(field);
    return fields;
}

std::string Row_Text(const Row& row) {
    std::string out = "computer\t" + Escape(row.computer) + "\ncollected\t" + Escape(row.collected) +
                      "\nexit_code\t" + row.exit_code + "\n";
    if (!row.error.empty()) out += "error\t" + Escape(row.error) + "\n";
    for (size_t i = 0; i < kCountCount; ++i) out += std::string("count\t") + kCounts[i] + "\t" + std::to_string(row.counts[i]) + "\n";
    for (const Item& item : row.items) out += "item\t" + Escape(item.change) + "\t" + Escape(item.path) + "\n";
    return out;
}

bool Read_Row(const fs::path& file, Row& row) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f = Fields(line);
        if (f[0] == "computer" && f.size() == 2) row.computer = f[1];
        else if (f[0] == "collected" && f.size() == 2) row.collected = f[1];
        else if (f[0] == "exit_code" && f.size() == 2 && f[1].find_first_not_of("-0123456789") == std::string::npos &&
                 f[1].find_first_of("0123456789") != std::string::npos && f[1].size() < 12)
            row.exit_code = f[1];
        else if (f[0] == "error" && f.size() == 2) row.error = f[1];
        else if (f[0] == "item" && f.size() == 3) row.items.push_back(Item{f[1], f[2]});
        else if (f[0] == "count" && f.size() == 3)
            for (size_t i = 0; i < kCountCount; ++i)
                if (f[1] == kCounts[i] && !f[2].empty() && f[2].find_first_not_of("0123456789") == std::string::npos)
                    row.counts[i] = std::stoul(f[2]);
    }
    return true;
}

// ---- one machine's preview, in its own process ----

std::string Value_Path(const Value_Entry& entry) {
    return entry.key + (entry.name.empty() ? "  @" : "  \"" + To_Utf8(entry.name) + "\"");
}

// What the row of a previewed machine shows, from its changes (the exit code as exit-code.txt gives it).
void Fill_Row(const Changes& changes, Row& row) {
    row.computer = changes.computer;
    row.collected = changes.collected;
    row.exit_code = changes.exit_code;
    const size_t not_removed = size_t(std::count_if(changes.notes.begin(), changes.notes.end(),
                                                    [](const Log_Note& note) { return note.what == "Not removed"; }));
    size_t keys_removed = changes.keys_removed.size(), values_removed = changes.values_removed.size();
    for (const Profile_Hive_Changes& hive : changes.user_hives) {
        keys_removed += hive.keys_removed.size();
        values_removed += hive.values_removed.size();
    }
    const size_t counts[kCountCount] = {keys_removed, values_removed, changes.nodes_removed.size(),
                                        changes.restart.size(), not_removed};
    std::copy(std::begin(counts), std::end(counts), row.counts);
    // A user's hive's items by the hive's name below HKEY_USERS, or its file's path.
    for (const Profile_Hive_Changes& hive : changes.user_hives) {
        for (const Tree_Entry& e : hive.keys_removed) row.items.push_back(Item{"Key removed", hive.hive + "\\" + e.path});
        for (const Value_Entry& e : hive.values_removed)
            row.items.push_back(Item{"Value removed", hive.hive + "\\" + Value_Path(e)});
        for (const Value_Entry& e : hive.values_changed)
            row.items.push_back(Item{"Value changed", hive.hive + "\\" + Value_Path(e)});
    }
    for (const Tree_Entry& e : changes.keys_removed) row.items.push_back(Item{"Key removed", e.path});
    for (const Value_Entry& e : changes.values_removed) row.items.push_back(Item{"Value removed", Value_Path(e)});
    for (const Value_Entry& e : changes.values_changed) row.items.push_back(Item{"Value changed", Value_Path(e)});
    for (const Tree_Entry& e : changes.nodes_removed) row.items.push_back(Item{"File or folder removed", e.path});
    for (const std::string& path : changes.files_changed) row.items.push_back(Item{"File changed", path});
    for (const std::string& path : changes.restart) row.items.push_back(Item{"Deleted at the next restart", path});
    for (const Security_Entry& e : changes.security) row.items.push_back(Item{"Key security changed", e.key});
    for (const Security_Entry& e : changes.file_security)
        row.items.push_back(Item{"File or folder security changed", e.key});
}

// In the child: the run, its page and JSON form, and the row; what fails is the row's error.
void Preview_One(const std::string& collection, const fs::path& out, const std::vector<Text>& tool_args) {
    Row row;
    std::string error;
    Machine& machine = winsim::The_Machine();
    const std::string run_dir = (out / "run").u8string();
    if (Load_Machine(machine, collection, error)) {
        std::vector<std::string> left_open;
        int exit_code = Run_Tool(machine, tool_args, left_open);
        if (!Save_Run(machine, exit_code, run_dir, error)) row.error = "the run could not be written: " + error;
        else if (!left_open.empty()) row.error = "the run left " + std::to_string(left_open.size()) + " object(s) open: " + left_open.front();
    } else {
        row.error = "cannot be read: " + error;
    }
    if (row.error.empty()) {
        Machine before, after;
        Changes changes;
        if (!Compare_Runs(before, after, collection, run_dir, changes, error)) {
            row.error = "the run cannot be compared: " + error;
        } else {
            Fill_Row(changes, row);
            if (!Write_Text(out / "preview.html", Html_Page(changes, Exit_Code_Meaning(changes.exit_code)), error) ||
                !Write_Text(out / "changes.json", Json_Text(changes), error))
                row.error = "the page could not be written: " + error;
        }
    }
    Write_Text(out / kRowFile, Row_Text(row), error);
}

// ---- the collections ----

// A collection is a folder with machine.ini, a registry folder or registry.reg; other folders are
// looked through (links are not followed). A folder with neither files of a collection nor folders
// is a row of its own, as one that cannot be read.
void Find_Collections(const fs::path& folder, const std::string& name, std::vector<Row>& rows) {
    std::error_code failure;
    for (const char* marker : {"machine.ini", "registry", "registry.reg"})
        if (fs::exists(folder / marker, failure)) {
            fs::path whole = fs::absolute(folder).lexically_normal();
            if (whole.filename().empty()) whole = whole.parent_path();
            rows.push_back(Row{name.empty() ? whole.filename().u8string() : name, folder});
            return;
        }
    std::vector<fs::path> children;
    for (fs::directory_iterator it(folder, failure), end; !failure && it != end; it.increment(failure))
        if (it->symlink_status(failure).type() == fs::file_type::directory) children.push_back(it->path());
    if (failure && !name.empty()) {
        rows.push_back(Row{name});
        rows.back().error = "cannot be listed: " + failure.message();
        return;
    }
    std::sort(children.begin(), children.end());
    if (children.empty() && !name.empty()) {
        rows.push_back(Row{name});
        rows.back().error = "not a collection: no machine.ini, registry folder or registry.reg";
    }
    for (const fs::path& child : children)
        Find_Collections(child, (name.empty() ? "" : name + "/") + child.filename().u8string(), rows);
}

// ---- the fleet's page and JSON form ----

struct Shared_Item {
    Item item;
    std::vector<size_t> machines;  // rows' indices
};

// Items that not every previewed machine has, fewest machines first.
std::vector<Shared_Item> Uncommon_Items(const std::vector<Row>& rows) {
    // Keyed by the change and the path in capitals: Windows compares names without case, and
    // collections give the same folder as C:\Windows or C:\windows.
    std::map<std::pair<std::string, std::string>, Shared_Item> machines_of;
    size_t previewed = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].error.empty()) continue;
        ++previewed;
        for (const Item& item : rows[i].items) {
            Shared_Item& shared = machines_of.emplace(std::make_pair(item.change, Upper(item.path)), Shared_Item{item, {}}).first->second;
            if (shared.machines.empty() || shared.machines.back() != i) shared.machines.push_back(i);
        }
    }
    std::vector<Shared_Item> items;
    for (auto& entry : machines_of)
        if (entry.second.machines.size() < previewed) items.push_back(std::move(entry.second));
    std::stable_sort(items.begin(), items.end(), [](const Shared_Item& a, const Shared_Item& b) {
        return a.machines.size() < b.machines.size();
    });
    return items;
}

// Machines by exit code, in the codes' order; those that could not be previewed last (code empty).
std::vector<std::pair<std::string, size_t>> By_Exit_Code(const std::vector<Row>& rows) {
    std::map<long long, size_t> counts;
    size_t unread = 0;
    for (const Row& row : rows) {
        if (!row.error.empty() || row.exit_code.empty()) ++unread;
        else ++counts[std::stoll(row.exit_code)];
    }
    std::vector<std::pair<std::string, size_t>> out;
    for (const auto& entry : counts) out.emplace_back(std::to_string(entry.first), entry.second);
    if (unread) out.emplace_back("", unread);
    return out;
}

const char kCaveat[] =
    "A collection cannot know which files are in use: on the machine itself, a run may have to leave "
    "files to the next restart and end with exit code 1 where its preview shows none.";

std::string Fleet_Json(const std::string& folder, const std::vector<Row>& rows) {
    std::string out = "{\n  \"folder\": " + Json_String(folder) + ",\n  \"by_exit_code\": [";
    const auto codes = By_Exit_Code(rows);
    for (size_t i = 0; i < codes.size(); ++i) {
        const std::string& code = codes[i].first;
        out += std::string(i ? ",\n    " : "\n    ") + "{\"exit_code\": " + (code.empty() ? "null" : code) +
               ", \"meaning\": " + Json_String(code.empty() ? "could not be previewed" : Exit_Code_Meaning(code)) +
               ", \"machines\": " + std::to_string(codes[i].second) + "}";
    }
    out += codes.empty() ? "],\n" : "\n  ],\n";
    out += "  \"machines\": [";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const bool previewed = row.error.empty() && !row.exit_code.empty();
        out += std::string(i ? ",\n    " : "\n    ") + "{\"name\": " + Json_String(row.Name()) +
               ", \"folder\": " + Json_String(row.folder) + ", \"collected\": " + Json_String(row.collected) +
               ", \"exit_code\": " + (previewed ? row.exit_code : "null") +
               ", \"exit_code_meaning\": " + (previewed ? Json_String(Exit_Code_Meaning(row.exit_code)) : "null");
        for (size_t c = 0; c < kCountCount; ++c)
            out += std::string(", \"") + kCounts[c] + "\": " + (previewed ? std::to_string(row.counts[c]) : "null");
        out += ", \"page\": " + (previewed ? Json_String(row.folder + "/preview.html") : "null") +
               ", \"error\": " + (row.error.empty() ? "null" : Json_String(row.error)) + "}";
    }
    out += rows.empty() ? "],\n" : "\n  ],\n";
    out += "  \"changes_on_some_machines\": [";
    const std::vector<Shared_Item> items = Uncommon_Items(rows);
    for (size_t i = 0; i < items.size(); ++i) {
        out += std::string(i ? ",\n    " : "\n    ") + "{\"change\": " + Json_String(items[i].item.change) +
               ", \"item\": " + Json_String(items[i].item.path) + ", \"machines\": [";
        for (size_t m = 0; m < items[i].machines.size(); ++m)
            out += (m ? ", " : "") + Json_String(rows[items[i].machines[m]].Name());
        out += "]}";
    }
    out += items.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::string Td(const std::string& text) { return "<td>" + Html(text) + "</td>"; }

// A relative link to a machine's page: bytes other than letters, digits, "-._~" and the folders'
// slashes are percent-encoded, so that a folder named with '#', '?' or '%' still links to its page.
std::string Link(const std::string& folder) {
    std::string out;
    for (unsigned char c : folder + "/preview.html") {
        if (std::isalnum(c) || std::strchr("-._~/", c)) {
            out += char(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            out += escape;
        }
    }
    return out;
}

std::string Fleet_Page(const std::string& folder, const std::vector<Row>& rows) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Preview of vpRemovalTool.exe on " + std::to_string(rows.size()) + " machines</title>\n<style>" +
        std::string(kPageStyle) + "</style>\n</head>\n<body>\n"
        "<h1>What vpRemovalTool.exe would change on " + std::to_string(rows.size()) + " machines</h1>\n" +
        "<p>" + Html("The previews of the collections below " + folder + ". Each machine's name links to its own page.") + "</p>\n"
        "<p>" + Html(kCaveat) + "</p>\n";

    page += "<h2>Machines by exit code</h2>\n<table class=\"summary\">\n<tr><th>Exit code</th><th>Meaning</th><th>Machines</th></tr>\n";
    for (const auto& code : By_Exit_Code(rows))
        page += "<tr data-exit-code=\"" + (code.first.empty() ? std::string("none") : code.first) + "\">" +
                Td(code.first.empty() ? "none" : code.first) +
                Td(code.first.empty() ? "could not be previewed" : Exit_Code_Meaning(code.first)) +
                Td(std::to_string(code.second)) + "</tr>\n";
    page += "</table>\n";

    page += "<h2>Machines</h2>\n<table class=\"machines\">\n<tr><th>Machine</th><th>Collected</th><th>Exit code</th>";
    for (const char* title : kCountTitles) page += std::string("<th>") + title + "</th>";
    page += "</tr>\n";
    for (const Row& row : rows) {
        page += "<tr data-folder=\"" + Html(row.folder) + "\">";
        if (!row.error.empty() || row.exit_code.empty()) {
            page += Td(row.Name()) + Td(row.collected) + "<td colspan=\"" + std::to_string(kCountCount + 1) +
                    "\" class=\"error\">" + Html("Could not be previewed: " + (row.error.empty() ? "no exit code" : row.error)) +
                    "</td></tr>\n";
            continue;
        }
        page += "<td><a href=\"" + Link(row.folder) + "\">" + Html(row.Name()) + "</a></td>" +
                Td(row.collected) + Td(row.exit_code + " (" + Exit_Code_Meaning(row.exit_code) + ")");
        for (size_t c = 0; c < kCountCount; ++c) page += Td(std::to_string(row.counts[c]));
        page += "</tr>\n";
    }
    page += "</table>\n";

    page += "<h2>Changes on only some machines</h2>\n";
    const std::vector<Shared_Item> items = Uncommon_Items(rows);
    if (items.empty()) return page + "<p class=\"none\">Every machine previewed has the same changes.</p>\n</body>\n</html>\n";
    page += "<table class=\"uncommon\">\n<tr><th>Change</th><th>Item</th><th>Machines</th></tr>\n";
    for (const Shared_Item& item : items) {
        std::string names;
        for (size_t m : item.machines) names += (names.empty() ? "" : "\n") + rows[m].Name();
        std::string cell = Html(names);
        for (size_t at = cell.find('\n'); at != std::string::npos; at = cell.find('\n', at)) cell.replace(at, 1, "<br>");
        page += "<tr>" + Td(item.item.change) + Td(item.item.path) + "<td>" + cell + "</td></tr>\n";
    }
    return page + "</table>\n</body>\n</html>\n";
}

// ---- the processes ----

struct Running {
    pid_t pid;
    size_t row;
};

// Why a preview's process gave no row.
std::string Stop_Reason(int status, unsigned timeout) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        return "the preview took longer than " + std::to_string(timeout) + " seconds";
    if (WIFSIGNALED(status)) return "the preview stopped on signal " + std::to_string(WTERMSIG(status));
    return "the preview ended with status " + std::to_string(WEXITSTATUS(status)) + " and no result";
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "vpsim: %s\nusage: vpsim fleet FOLDER --out OUT_DIR [--jobs N] [--timeout SECONDS] [-- ARG...]\n",
                 message.c_str());
    return 64;
}

bool Parse_Count(const std::string& text, unsigned& number) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    number = unsigned(std::stoul(text));
    return number > 0;
}

}  // namespace

int Fleet(const std::vector<std::string>& args) {
    std::string folder, out_dir;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency()), timeout = 600;
    std::vector<Text> tool_args;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            for (++i; i < args.size(); ++i) tool_args.push_back(winsim::From_Utf8(args[i]));
        } else if (args[i] == "--out") {
            if (i + 1 == args.size() || !out_dir.empty()) return Usage("--out needs one folder");
            out_dir = args[++i];
        } else if (args[i] == "--jobs" || args[i] == "--timeout") {
            if (i + 1 == args.size() || !Parse_Count(args[i + 1], args[i] == "--jobs" ? jobs : timeout))
                return Usage(args[i] + " needs a number above 0");
            ++i;
        } else if (args[i].compare(0, 1, "-") == 0 || !folder.empty()) {
            return Usage("unexpected argument \"" + args[i] + "\"");
        } else {
            folder = args[i];
        }
    }
    if (folder.empty() || out_dir.empty()) return Usage("fleet needs FOLDER and --out OUT_DIR");
    std::error_code failure;
    const fs::path out = fs::u8path(out_dir);
    if (!fs::is_directory(fs::u8path(folder), failure)) return Usage(folder + ": no such folder");
    if (fs::exists(out, failure) && (!fs::is_directory(out, failure) || !fs::is_empty(out, failure)))
        return Usage(out_dir + ": the output folder must be empty or absent");

    std::vector<Row> rows;
    Find_Collections(fs::u8path(folder), "", rows);
    std::vector<Running> running;
    size_t next = 0;
    std::fflush(nullptr);  // a child must not write out what the parent buffered
    while (next < rows.size() || !running.empty()) {
        while (next < rows.size() && running.size() < jobs) {
            const size_t index = next++;
            if (!rows[index].error.empty()) continue;
            const fs::path machine_out = out / fs::u8path(rows[index].folder);
            fs::create_directories(machine_out, failure);
            if (failure) {
                rows[index].error = "its output folder cannot be made: " + failure.message();
                continue;
            }
            pid_t pid = fork();
            if (pid < 0) {
                rows[index].error = "no process could be started for it";
                continue;
            }
            if (pid == 0) {
                alarm(timeout);
                Preview_One(rows[index].source.u8string(), machine_out, tool_args);
                std::fflush(nullptr);
                _exit(0);  // the tool's static state is this process's; its destructors need not run
            }
            running.push_back(Running{pid, index});
        }
        if (running.empty()) continue;
        int status = 0;
        pid_t done = waitpid(-1, &status, 0);
        if (done < 0) break;
        auto it = std::find_if(running.begin(), running.end(), [&](const Running& r) { return r.pid == done; });
        if (it == running.end()) continue;
        Row& row = rows[it->row];
        running.erase(it);
        if (!Read_Row(out / fs::u8path(row.folder) / kRowFile, row) || !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
            if (row.error.empty()) row.error = Stop_Reason(status, timeout);
    }

    std::string error;
    if (!fs::is_directory(out, failure)) fs::create_directories(out, failure);
    if (!Write_Text(out / "fleet.html", Fleet_Page(folder, rows), error) ||
        !Write_Text(out / "fleet.json", Fleet_Json(folder, rows), error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return 74;
    }
    size_t unread = 0;
    for (const Row& row : rows) {
        if (row.error.empty()) continue;
        ++unread;
        std::fprintf(stderr, "vpsim: %s: %s\n", row.folder.c_str(), row.error.c_str());
    }
    std::printf("%zu machine(s) previewed, %zu could not be: %s\n", rows.size() - unread, unread,
                (out / "fleet.html").u8string().c_str());
    return 0;
}
