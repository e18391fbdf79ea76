// vpsim diff --html: the preview as one page for readers of a change request: the counts, the exit
// code with its meaning, then every change under the stage of the run that makes it. The page needs
// nothing beside it: its style sheet is inline, and it has no scripts and loads nothing.
#include "runner/changes.h"

#include <array>
#include <unordered_map>

using winsim::Reg_Value;
using winsim::To_Utf8;

std::string Html(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}

const char kPageStyle[] =
    "body{font-family:\"Segoe UI\",Arial,sans-serif;margin:2em auto;max-width:80em;padding:0 1em;color:#1b1b1b}"
    "h1{font-size:1.5em}h2{font-size:1.25em;margin-top:2em;border-bottom:2px solid #2f5597}"
    "h3{font-size:1.1em;margin-top:1.6em}h4{font-size:1em;margin:1em 0 .3em}"
    "table{border-collapse:collapse;width:100%;margin-bottom:.8em}"
    "th,td{border:1px solid #c8c8c8;padding:.25em .5em;text-align:left;vertical-align:top;"
    "font-family:Consolas,\"Courier New\",monospace;font-size:.9em;overflow-wrap:anywhere}"
    "th{background:#e8eef8;font-family:\"Segoe UI\",Arial,sans-serif}"
    "table.summary{width:auto}table.summary td{font-family:\"Segoe UI\",Arial,sans-serif}"
    ".exit{font-size:1.1em;font-weight:bold}.none{color:#666}"
    "dl.facts{display:grid;grid-template-columns:max-content auto;gap:.2em 1em}dl.facts dt{font-weight:bold}"
    "dl.facts dd{margin:0}";

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return text;
}

namespace {

// The stages of the run in its order, and the run's own log.
enum Stage { Driver_Packages, Smart_Cards, Settings, Installer, Files, Caches, Restart, Run_Once, Log, Stage_Count };

const char* const kStageTitles[Stage_Count] = {
    "Driver packages",
    "Smart cards: the readers' key, card types, the cryptographic provider",
    "The maker's settings",
    "Installer registration: Windows Installer, the bundle, shell, shared files, readers",
    "Shortcuts, binaries and folders",
    "Caches",
    "Deletions at the next restart",
    "RunOnce: the bundle's uninstall at the next logon of an administrator",
    "The run's log",
};

// Whether an upper-case path is the folder or key at prefix, or lies below it.
bool Under(const std::string& path, const std::string& prefix) {
    return path.compare(0, prefix.size(), prefix) == 0 && (path.size() == prefix.size() || path[prefix.size()] == '\\');
}

// Whether an upper-case path has a component of that name.
bool Has_Component(const std::string& path, const std::string& name) {
    for (size_t at = path.find("\\" + name); at != std::string::npos; at = path.find("\\" + name, at + 1)) {
        size_t end = at + 1 + name.size();
        if (end == path.size() || path[end] == '\\') return true;
    }
    return false;
}

// The stage whose names a changed key or file holds: what the tool changes is fixed, and each stage
// works below its own keys and folders. Other keys are the installer registration's; other files are
// shortcuts, binaries and folders.
Stage Stage_Of(const std::string& path) {
    std::string p = Upper(path);
    if (Under(p, "HKEY_LOCAL_MACHINE") || Under(p, "HKEY_CURRENT_USER") || Under(p, "HKEY_USERS")) {
        if (Has_Component(p, "RUNONCE")) return Run_Once;
        if (Has_Component(p, "SESSION MANAGER")) return Restart;
        if (Has_Component(p, "CRYPTOGRAPHY")) return Smart_Cards;
        if (Has_Component(p, "CORVANTA LLP.")) return Settings;
        return Installer;
    }
    if (Under(p, "C:\\WINDOWS\\INF")) return Driver_Packages;
    if (Under(p, "C:\\PROGRAMDATA\\CORVANTA LLP") || Under(p, "C:\\PROGRAMDATA\\PACKAGE CACHE")) return Caches;
    const std::string log = "C:\\WINDOWS\\TEMP\\VPREMOVALTOOL";  // the log, whichever of its names it has
    if (p.compare(0, log.size(), log) == 0) return Log;
    return Files;
}

// The kinds of change, in the order of the text form; the JSON form names all but the last.
enum Kind {
    Keys_Removed, Values_Removed, Values_Changed, Keys_Added, Values_Added, Key_Security, File_Security,
    Files_Removed, Files_Changed, Files_Added, Deleted_At_Restart, Run_Once_Written, Keys_Kept, Kind_Count
};

struct Kind_Form {
    const char* json;   // the JSON form's name of the list
    const char* title;
    std::vector<const char*> headings;
};

const Kind_Form kKinds[Kind_Count] = {
    {"keys_removed", "Keys removed", {"Key", "Keys below it"}},
    {"values_removed", "Values removed", {"Key", "Value"}},
    {"values_changed", "Values changed", {"Key", "Value", "Data after the run"}},
    {"keys_added", "Keys added", {"Key", "Keys below it"}},
    {"values_added", "Values added", {"Key", "Value", "Data"}},
    {"key_security_changed", "Key security changed", {"Key", "Before", "After", "In words"}},
    {"file_security_changed", "File and folder security changed", {"Path", "Before", "After", "In words"}},
    {"files_removed", "Files and folders removed", {"Path", "Entries below it"}},
    {"files_changed", "Files changed", {"Path"}},
    {"files_added", "Files and folders added", {"Path", "Entries below it"}},
    {"deleted_at_restart", "Deleted at the next restart", {"Path"}},
    {"run_once", "RunOnce entries written", {"Key", "Value", "Command"}},
    {nullptr, "Keys that lost values and stay, with the values they keep", {"Key", "Values kept"}},
};

using Row = std::vector<std::string>;  // cell texts, not yet escaped; a cell's lines are separated by '\n'

struct Sorted_Changes {
    std::array<std::array<std::vector<Row>, Kind_Count>, Stage_Count> rows;
    std::array<size_t, Kind_Count> counts{};

    void Add(Stage stage, Kind kind, Row row) {
        rows[stage][kind].push_back(std::move(row));
        ++counts[kind];
    }
};

std::string Name_Text(const winsim::Text& name) { return name.empty() ? "(default)" : To_Utf8(name); }

Sorted_Changes Sort_Changes(const Changes& changes) {
    Sorted_Changes sorted;
    auto trees = [&](const std::vector<Tree_Entry>& entries, Kind kind) {
        for (const Tree_Entry& e : entries) sorted.Add(Stage_Of(e.path), kind, {e.path, std::to_string(e.below)});
    };
    auto values = [&](const std::vector<Value_Entry>& entries, Kind kind) {
        for (const Value_Entry& e : entries) {
            Row row{e.key, Name_Text(e.name)};
            if (e.value) row.push_back(Value_Data(*e.value));
            sorted.Add(kind == Run_Once_Written ? Run_Once : Stage_Of(e.key), kind, row);
        }
    };
    auto security = [&](const std::vector<Security_Entry>& entries, Kind kind) {
        for (const Security_Entry& e : entries)
            sorted.Add(Stage_Of(e.key), kind, {e.key, e.before, e.after, Security_Words(e.before, e.after, kind == Key_Security)});
    };
    trees(changes.keys_removed, Keys_Removed);
    values(changes.values_removed, Values_Removed);
    values(changes.values_changed, Values_Changed);
    trees(changes.keys_added, Keys_Added);
    values(changes.values_added, Values_Added);
    security(changes.security, Key_Security);
    security(changes.file_security, File_Security);
    trees(changes.nodes_removed, Files_Removed);
    for (const std::string& path : changes.files_changed) sorted.Add(Stage_Of(path), Files_Changed, {path});
    trees(changes.nodes_added, Files_Added);
    for (const std::string& path : changes.restart) sorted.Add(Restart, Deleted_At_Restart, {path});
    values(changes.run_once, Run_Once_Written);
    for (const Kept_Key& kept : changes.kept) {
        std::string kept_values;
        for (const Reg_Value* value : kept.values) {
            std::string data = Value_Data(*value);
            kept_values += (kept_values.empty() ? "" : "\n") + Name_Text(value->name) + (data.empty() ? "" : " = " + data);
        }
        sorted.Add(Stage_Of(kept.key), Keys_Kept, {kept.key, kept_values.empty() ? "none" : kept_values});
    }
    return sorted;
}

std::string Cell(const std::string& text) {
    std::string out = Html(text);
    for (size_t at = out.find('\n'); at != std::string::npos; at = out.find('\n', at))
        out.replace(at, 1, "<br>");
    return "<td>" + out + "</td>";
}

// One table per kind of change that has rows, under its heading; false when none has.
bool Tables(const std::array<std::vector<Row>, Kind_Count>& by_kind, std::string& page) {
    bool any = false;
    for (int kind = 0; kind < Kind_Count; ++kind) {
        const std::vector<Row>& rows = by_kind[kind];
        if (rows.empty()) continue;
        any = true;
        page += "<h4>" + std::string(kKinds[kind].title) + " (" + std::to_string(rows.size()) + ")</h4>\n<table>\n<tr>";
        for (const char* heading : kKinds[kind].headings) page += std::string("<th>") + heading + "</th>";
        page += "</tr>\n";
        for (const Row& row : rows) {
            page += "<tr>";
            for (const std::string& cell : row) page += Cell(cell);
            page += "</tr>\n";
        }
        page += "</table>\n";
    }
    return any;
}

}  // namespace

std::string Html_Page(const Changes& changes, const std::string& exit_meaning) {
    Sorted_Changes sorted = Sort_Changes(changes);
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Preview of vpRemovalTool.exe</title>\n<style>" + std::string(kPageStyle) + "</style>\n</head>\n<body>\n"
        "<h1>What vpRemovalTool.exe would change on " +
        (changes.computer.empty() ? std::string("this machine") : Html(changes.computer)) + "</h1>\n";
    page += "<dl class=\"facts\">\n";
    const std::pair<const char*, std::string> facts[] = {
        {"Machine", changes.computer.empty() ? "not named by its collection" : changes.computer},
        {"Collected", changes.collected.empty() ? "not dated by its collection" : changes.collected},
        {"Collected as", changes.profile.account.empty() ? "not named by its collection" : changes.profile.account},
        {"Tool", "vpRemovalTool.exe " VP_TOOL_VERSION},
        {"HKEY_CURRENT_USER of the run", changes.profile.local_system ? "LocalSystem's profile (S-1-5-18)"
                                         : changes.profile.account.empty() ? "an administrator's profile"
                                                                           : "the profile of " + changes.profile.account}};
    for (const auto& fact : facts) page += std::string("<dt>") + fact.first + "</dt><dd>" + Html(fact.second) + "</dd>\n";
    page += "</dl>\n";
    page += "<p>" + Html(Profile_Line(changes.profile)) + "</p>\n";
    page += "<p class=\"exit\">" +
            (changes.exit_code.empty() ? std::string("The run folder holds no exit code.")
                                       : Html("Exit code: " + changes.exit_code + " (" + exit_meaning + ")")) +
            "</p>\n";
    page += "<p class=\"caveat\">A collection cannot know which files are in use: on the machine itself, a run may "
            "have to leave files to the next restart and end with exit code 1 where this preview shows none.</p>\n";

    // What the log says the run kept on purpose, left alone or could not remove, with the security a
    // kept entry was given.
    page += "<h2>Kept on purpose, left alone and not removed</h2>\n";
    if (changes.notes.empty()) page += "<p class=\"none\">The run's log names nothing kept, left alone or not removed.</p>\n";
    else page += "<table class=\"notes\">\n<tr><th>What</th><th>Path</th><th>Why (the run's log)</th><th>Its security after the run</th></tr>\n";
    std::unordered_map<std::string, const Security_Entry*> security_of;  // by the path in capitals
    for (const Security_Entry& e : changes.file_security) security_of[Upper(e.key)] = &e;
    for (const Log_Note& note : changes.notes) {
        auto found = security_of.find(Upper(note.path));
        const std::string security =
            found == security_of.end() ? "" : Security_Words(found->second->before, found->second->after, false);
        page += "<tr>" + Cell(note.what) + Cell(note.path) + Cell(note.reason) + Cell(security) + "</tr>\n";
    }
    if (!changes.notes.empty()) page += "</table>\n";

    page += "<h2>Summary</h2>\n<table class=\"summary\">\n<tr><th>Change</th><th>Count</th></tr>\n";
    for (int kind = 0; kind < Kind_Count; ++kind) {
        if (!kKinds[kind].json) continue;
        page += "<tr data-kind=\"" + std::string(kKinds[kind].json) + "\"><td>" + kKinds[kind].title + "</td><td>" +
                std::to_string(sorted.counts[kind]) + "</td></tr>\n";
    }
    page += "<tr data-kind=\"user_profiles\"><td>Users' profiles whose hive changed</td><td>" +
            std::to_string(changes.user_hives.size()) + "</td></tr>\n";
    page += "</table>\n";

    page += "<h2>Changes by stage of the run</h2>\n";
    for (int stage = 0; stage < Stage_Count; ++stage) {
        page += "<h3>" + std::to_string(stage + 1) + ". " + kStageTitles[stage] + "</h3>\n";
        if (!Tables(sorted.rows[stage], page)) page += "<p class=\"none\">No changes.</p>\n";
    }

    // Each user's hive, other than the run's HKEY_CURRENT_USER, under its profile; keys below the hive's root.
    page += "<h2>Changes in users' profiles</h2>\n";
    if (changes.user_hives.empty()) page += "<p class=\"none\">No other user's hive changed.</p>\n";
    for (const Profile_Hive_Changes& hive : changes.user_hives) {
        page += "<h3 class=\"profile\">" + Html(hive.sid) + "</h3>\n<p>" + Html(Profile_Hive_Title(hive)) + "</p>\n";
        Sorted_Changes own;
        for (const Tree_Entry& e : hive.keys_removed) own.Add(Settings, Keys_Removed, {e.path, std::to_string(e.below)});
        for (const Value_Entry& e : hive.values_removed) own.Add(Settings, Values_Removed, {e.key, Name_Text(e.name)});
        for (const Value_Entry& e : hive.values_changed)
            own.Add(Settings, Values_Changed, {e.key, Name_Text(e.name), Value_Data(*e.value)});
        for (const Tree_Entry& e : hive.keys_added) own.Add(Settings, Keys_Added, {e.path, std::to_string(e.below)});
        for (const Value_Entry& e : hive.values_added)
            own.Add(Settings, Values_Added, {e.key, Name_Text(e.name), Value_Data(*e.value)});
        Tables(own.rows[Settings], page);
    }
    return page + "</body>\n</html>\n";
}
