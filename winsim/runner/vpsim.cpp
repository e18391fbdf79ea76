// vpsim: runs the tool on a simulated machine loaded from a scenario folder and writes the machine
// as the run left it; "diff" summarises what a run changed.
//
//   vpsim run MACHINE_DIR --out OUT_DIR [-- ARG...]
//   vpsim diff [--json] [--html OUT.html] BEFORE_DIR AFTER_DIR
//   vpsim fleet FOLDER --out OUT_DIR [--jobs N] [-- ARG...]
//   vpsim sweep MACHINE_DIR [--repeat] [--api NAME] [--every M] [--offset R] [--jobs J] [--timeout SECONDS] [-- ARG...]
#include "machine/open_objects.h"
#include "machine/tree_walk.h"
#include "runner/changes.h"
#include "runner/host.h"
#include "runner/runner.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

int wmain(int argc, WCHAR* argv[]);  // the tool's entry

namespace fs = std::filesystem;
using winsim::Machine;
using winsim::Reg_Key;
using winsim::Reg_Value;
using winsim::Fs_Node;
using winsim::Text;
using winsim::To_Utf8;

namespace {

const int kExitUsage = 64;   // bad command line or malformed scenario
const int kExitOutput = 74;  // the result could not be written
const int kExitLeak = 70;    // the run left something open (its outputs are written all the same)
const int kExitOplockWait = 71;  // the run opened a file whose oplock holder could have held it forever

const char kUsage[] =
    "usage: vpsim run MACHINE_DIR --out OUT_DIR [-- ARG...]\n"
    "       vpsim diff [--json] [--html OUT.html] BEFORE_DIR AFTER_DIR\n"
    "       vpsim import MACHINE_DIR FILE.reg... --out OUT_DIR\n"
    "       vpsim fleet FOLDER --out OUT_DIR [--jobs N] [--timeout SECONDS] [-- ARG...]\n"
    "       vpsim sweep MACHINE_DIR [--repeat] [--api NAME] [--every M] [--offset R] [--jobs J] [--timeout SECONDS] [-- ARG...]\n";

int Usage_Error(const std::string& message) {
    std::fprintf(stderr, "vpsim: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

}  // namespace

bool Write_Text(const fs::path& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) error = path.u8string() + ": cannot write";
    return bool(out);
}

namespace {

// NAME followed by 16 hexadecimal digits (upper case), as the tool's unpredictable names are.
bool Is_Stem_And_Random(const std::string& upper_name, const std::string& stem, const std::string& end) {
    const size_t digits = 16;
    return upper_name.size() == stem.size() + digits + end.size() && upper_name.compare(0, stem.size(), stem) == 0 &&
           upper_name.compare(stem.size() + digits, end.size(), end) == 0 &&
           upper_name.substr(stem.size(), digits).find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

}  // namespace

// The log's usual name or the other name it takes when that one is taken: VPREMOVALTOOL-XXXXXXXXXXXXXXXX.TXT.
bool Is_Log_Name(const std::string& upper_name) {
    return upper_name == "VPREMOVALTOOL.TXT" || Is_Stem_And_Random(upper_name, "VPREMOVALTOOL-", ".TXT");
}

// The registry backup's folder: VPREMOVALTOOL-BACKUP-XXXXXXXXXXXXXXXX.
bool Is_Backup_Folder_Name(const std::string& upper_name) {
    return Is_Stem_And_Random(upper_name, "VPREMOVALTOOL-BACKUP-", "");
}

std::string Without_Backup_Folder_Name(const std::string& upper_path) {
    const std::string stem = "VPREMOVALTOOL-BACKUP-";
    std::string path = upper_path;
    for (size_t at = path.find(stem); at != std::string::npos; at = path.find(stem, at + 1)) {
        size_t end = path.find('\\', at);
        if (end == std::string::npos) end = path.size();
        if (Is_Backup_Folder_Name(path.substr(at, end - at))) path.erase(at + stem.size() - 1, end - at - stem.size() + 1);
    }
    return path;
}

namespace {

// What the tool holds past its entry point by design: the log file (the check pass's is named
// vpRemovalTool-check), the registry backup's folder and its file, one handle each, kept open in process-wide owners
// from their creation until the process ends (their destructors close them), so that a line written
// after the entry point returns (a worker's that ends late) still reaches the file.
std::vector<std::string> Left_Open_Beyond_Design(const Machine& machine, const std::vector<winsim::Open_Object>& left) {
    Text folder = machine.windows_directory + u"\\TEMP\\";
    for (char16_t& c : folder) c = winsim::Upcase(c);
    const std::string file_prefix = "FILE " + To_Utf8(folder), folder_prefix = "FOLDER " + To_Utf8(folder);
    bool log_seen = false, folder_seen = false, backup_seen = false;
    std::vector<std::string> lines;
    for (const winsim::Open_Object& object : left) {
        Text what = winsim::From_Utf8(object.what);
        for (char16_t& c : what) c = winsim::Upcase(c);
        const std::string upper = To_Utf8(what);
        const std::string& prefix = upper.compare(0, folder_prefix.size(), folder_prefix) == 0 ? folder_prefix : file_prefix;
        if (object.kind == winsim::Object_Kind::Kernel_Handle && upper.compare(0, prefix.size(), prefix) == 0) {
            std::string name = upper.substr(prefix.size());
            const std::string check = "VPREMOVALTOOL-CHECK";
            if (name.compare(0, check.size(), check) == 0) name.replace(0, check.size(), "VPREMOVALTOOL");
            size_t separator = name.find('\\');
            bool* seen = nullptr;
            if (Is_Log_Name(name)) seen = &log_seen;
            else if (Is_Backup_Folder_Name(name)) seen = &folder_seen;
            else if (separator != std::string::npos && Is_Backup_Folder_Name(name.substr(0, separator)) &&
                     name.substr(separator + 1) == "VPREMOVALTOOL-BACKUP.REG")
                seen = &backup_seen;
            if (seen && !*seen) {
                *seen = true;
                continue;
            }
        }
        lines.push_back(winsim::Describe(object));
    }
    return lines;
}

}  // namespace

int Run_Tool(Machine& machine, const std::vector<Text>& tool_args, std::vector<std::string>& left_open) {
    std::vector<Text> texts{machine.module_path};
    texts.insert(texts.end(), tool_args.begin(), tool_args.end());
    std::vector<WCHAR*> argv;
    for (Text& text : texts) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    // The command line as a program that starts the tool writes it: the path in quotes, then the
    // arguments.
    machine.command_line = u"\"" + machine.module_path + u"\"";
    for (const Text& argument : tool_args) machine.command_line += u" " + argument;
    // What is open before the entry point (the tool's static initialisation opens its log lock) is
    // the process's own.
    const std::vector<winsim::Open_Object> before = winsim::Open_Objects();
    int exit_code = wmain(int(texts.size()), argv.data());
    left_open = Left_Open_Beyond_Design(machine, winsim::Left_Open(before));
    return exit_code;
}

bool Load_Machine(Machine& machine, const std::string& folder, std::string& error) {
    std::error_code failure;
    if (!fs::is_directory(fs::u8path(folder), failure)) {
        error = folder + ": no such folder";
        return false;
    }
    if (winsim::Load_Scenario(machine, folder, error)) return true;
    error = (fs::u8path(folder) / fs::u8path(error)).u8string();
    return false;
}

// PendingFileRenameOperations: its strings come in pairs of source and destination, an empty
// destination meaning deletion.
std::string Pending_Deletes(Machine& machine) {
    Reg_Key* key = &machine.hklm;
    for (const char16_t* name : {u"SYSTEM", u"CurrentControlSet", u"Control", u"Session Manager"})
        if (key) key = key->Find_Subkey(name);
    Reg_Value* value = key ? key->Find_Value(u"PendingFileRenameOperations") : nullptr;
    if (!value || value->type != REG_MULTI_SZ) return std::string();
    std::vector<Text> strings(1);
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
        char16_t c = char16_t(value->data[i] | (value->data[i + 1] << 8));
        if (c == 0) strings.emplace_back();
        else strings.back() += c;
    }
    std::string out;
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (!strings[i + 1].empty() || strings[i].empty()) continue;
        Text path = strings[i];
        if (path.compare(0, 4, u"\\??\\") == 0) path.erase(0, 4);
        out += To_Utf8(path) + "\n";
    }
    return out;
}

bool Save_Run(Machine& machine, int exit_code, const std::string& out_dir, std::string& error) {
    const fs::path out = fs::u8path(out_dir);
    std::string debug_output;
    for (const Text& line : machine.debug_output) debug_output += To_Utf8(line);
    return winsim::Save_Scenario(machine, out_dir, error) &&
           Write_Text(out / "debug-output.txt", debug_output, error) &&
           Write_Text(out / "console.txt", To_Utf8(machine.console), error) &&
           Write_Text(out / "exit-code.txt", std::to_string(exit_code) + "\n", error) &&
           Write_Text(out / "pending-deletes.txt", Pending_Deletes(machine), error) &&
           Write_Text(out / "security.txt", winsim::Security_Changes(machine), error);
}

namespace {

// Loads the machine of a command that writes it to out_dir, which must be empty or absent; false
// (said on standard error) when either is not so.
bool Load_For_Output(Machine& machine, const std::string& machine_dir, const std::string& out_dir) {
    std::error_code failure;
    const fs::path out = fs::u8path(out_dir);
    if (fs::exists(out, failure) && (!fs::is_directory(out, failure) || !fs::is_empty(out, failure))) {
        std::fprintf(stderr, "vpsim: %s: the output folder must be empty or absent\n", out_dir.c_str());
        return false;
    }
    std::string error;
    if (!Load_Machine(machine, machine_dir, error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return false;
    }
    return true;
}

int Run(const std::vector<std::string>& args) {
    std::string machine_dir, out_dir;
    std::vector<Text> tool_args;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            for (++i; i < args.size(); ++i) tool_args.push_back(winsim::From_Utf8(args[i]));
        } else if (args[i] == "--out") {
            if (i + 1 == args.size() || !out_dir.empty()) return Usage_Error("--out needs one folder");
            out_dir = args[++i];
        } else if (args[i].compare(0, 1, "-") == 0 || !machine_dir.empty()) {
            return Usage_Error("unexpected argument \"" + args[i] + "\"");
        } else {
            machine_dir = args[i];
        }
    }
    if (machine_dir.empty() || out_dir.empty()) return Usage_Error("run needs MACHINE_DIR and --out OUT_DIR");
    Machine& machine = winsim::The_Machine();
    std::string error;
    if (!Load_For_Output(machine, machine_dir, out_dir)) return kExitUsage;

    std::vector<std::string> left_open;
    int exit_code = Run_Tool(machine, tool_args, left_open);

    std::string console = To_Utf8(machine.console);
    std::fwrite(console.data(), 1, console.size(), stdout);
    std::fflush(stdout);

    if (!Save_Run(machine, exit_code, out_dir, error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return kExitOutput;
    }
    if (!machine.oplock_waits.empty()) {
        for (const std::string& call : machine.oplock_waits)
            std::fprintf(stderr, "vpsim: waited for an oplock break: %s\n", call.c_str());
        std::fprintf(stderr, "vpsim: on Windows the run would have waited as long as the oplock's holder chose; the "
                             "tool's exit code %d is in exit-code.txt\n", exit_code);
        return kExitOplockWait;
    }
    if (!left_open.empty()) {
        for (const std::string& line : left_open) std::fprintf(stderr, "vpsim: left open: %s\n", line.c_str());
        std::fprintf(stderr, "vpsim: the run left %zu object(s) open; the tool's exit code %d is in exit-code.txt\n",
                     left_open.size(), exit_code);
        return kExitLeak;
    }
    return exit_code;
}

// ---- import ----

// Loads a machine, imports regedit files into its registry in the order given (keys and values are
// added or replaced, as "reg import" does), and saves the machine.
int Import(const std::vector<std::string>& args) {
    std::string machine_dir, out_dir;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--out") {
            if (i + 1 == args.size() || !out_dir.empty()) return Usage_Error("--out needs one folder");
            out_dir = args[++i];
        } else if (args[i].compare(0, 1, "-") == 0) {
            return Usage_Error("unexpected argument \"" + args[i] + "\"");
        } else if (machine_dir.empty()) {
            machine_dir = args[i];
        } else {
            files.push_back(args[i]);
        }
    }
    if (machine_dir.empty() || files.empty() || out_dir.empty())
        return Usage_Error("import needs MACHINE_DIR, FILE.reg and --out OUT_DIR");
    Machine& machine = winsim::The_Machine();
    std::string error;
    if (!Load_For_Output(machine, machine_dir, out_dir)) return kExitUsage;
    for (const std::string& file : files) {
        std::ifstream in(fs::u8path(file), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) error = file + ": cannot read";
        if (!error.empty() || !winsim::Import_Registry_File(machine, bytes, file, error)) {
            std::fprintf(stderr, "vpsim: %s\n", error.c_str());
            return kExitUsage;
        }
    }
    if (!winsim::Save_Scenario(machine, out_dir, error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return kExitOutput;
    }
    return 0;
}

}  // namespace

// ---- diff ----

size_t Count_Keys_Below(const Reg_Key& key) { return winsim::Count_Below(key, winsim::Subkeys_Of); }

// A RunOnce value the run writes is listed once, as a RunOnce entry, not also as a value added or changed.
bool Is_Run_Once_Key(const std::string& path) {
    const std::string tail = "\\RunOnce";
    return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
}

// Values of a new key and of the keys below it are listed one by one; the key itself once.
void List_Added_Values(const Reg_Key& key, const std::string& key_path, Changes& changes) {
    auto list = [&](const Reg_Key& each, const std::string& path) {
        for (const Reg_Value& value : each.values)
            (Is_Run_Once_Key(path) ? changes.run_once : changes.values_added).push_back(Value_Entry{path, value.name, &value});
        return true;
    };
    std::string path = key_path;
    list(key, path);
    winsim::Walk_Tree(key, path, '\\', winsim::Subkeys_Of, winsim::Utf8_Name_Of, list);
}

// The keys of before and after at the same path, compared: their values, and the subkeys only one of
// them has. Their subkeys that both have are compared by Diff_Keys' walk.
void Diff_Key_Values(const Reg_Key& before, const Reg_Key& after, const std::string& path, Changes& changes) {
    size_t removed = changes.values_removed.size();
    for (const Reg_Value& old_value : before.values) {
        const Reg_Value* new_value = after.Find_Value(old_value.name);
        if (!new_value) {
            changes.values_removed.push_back(Value_Entry{path, old_value.name, nullptr});
        } else if (new_value->type != old_value.type || new_value->data != old_value.data) {
            (Is_Run_Once_Key(path) ? changes.run_once : changes.values_changed)
                .push_back(Value_Entry{path, old_value.name, new_value});
        }
    }
    for (const Reg_Value& new_value : after.values) {
        if (before.Find_Value(new_value.name)) continue;
        (Is_Run_Once_Key(path) ? changes.run_once : changes.values_added)
            .push_back(Value_Entry{path, new_value.name, &new_value});
    }
    if (changes.values_removed.size() > removed) {
        changes.kept.push_back(Kept_Key{path, {}});
        for (const Reg_Value& value : after.values) changes.kept.back().values.push_back(&value);
    }
}

void List_Added_Keys(const Reg_Key& before, const Reg_Key& after, const std::string& path, Changes& changes) {
    for (const auto& new_key : after.subkeys) {
        if (before.Find_Subkey(new_key->name)) continue;
        std::string key_path = path + "\\" + To_Utf8(new_key->name);
        changes.keys_added.push_back(Tree_Entry{key_path, Count_Keys_Below(*new_key)});
        List_Added_Values(*new_key, key_path, changes);
    }
}

void Diff_Keys(const Reg_Key& before, const Reg_Key& after, const std::string& root_path, Changes& changes) {
    Diff_Key_Values(before, after, root_path, changes);
    // The key of after that each key of before walked into has, the deepest last.
    std::vector<const Reg_Key*> afters{&after};
    std::string path = root_path;
    winsim::Walk_Tree(
        before, path, '\\', winsim::Subkeys_Of, winsim::Utf8_Name_Of,
        [&](const Reg_Key& old_key, const std::string& key_path) {
            const Reg_Key* new_key = afters.back()->Find_Subkey(old_key.name);
            if (!new_key) {
                changes.keys_removed.push_back(Tree_Entry{key_path, Count_Keys_Below(old_key)});
                return false;
            }
            Diff_Key_Values(old_key, *new_key, key_path, changes);
            afters.push_back(new_key);
            return true;
        },
        [&](const Reg_Key& old_key, const std::string& key_path) {
            List_Added_Keys(old_key, *afters.back(), key_path, changes);
            afters.pop_back();
        });
    List_Added_Keys(before, after, root_path, changes);
}

size_t Count_Nodes_Below(const Fs_Node& node) { return winsim::Count_Below(node, winsim::Children_Of); }

// Files added inside a new folder are listed one by one; the folder itself once.
void List_Added_Files(const Fs_Node& folder, const std::string& folder_path, Changes& changes) {
    std::string path = folder_path;
    winsim::Walk_Tree(folder, path, '\\', winsim::Children_Of, winsim::Utf8_Name_Of,
                      [&](const Fs_Node& child, const std::string& child_path) {
                          if (!child.directory) changes.nodes_added.push_back(Tree_Entry{child_path, 0});
                          return child.directory;
                      });
}

// What after has in a folder that before's folder at the same path has not (or has as the other
// kind of entry).
void List_Added_Nodes(const Fs_Node& before, const Fs_Node& after, const std::string& path, Changes& changes) {
    for (const auto& new_node : after.children) {
        Fs_Node* old_node = before.Find_Child(new_node->name);
        if (old_node && old_node->directory == new_node->directory) continue;
        std::string node_path = path + "\\" + To_Utf8(new_node->name);
        if (!new_node->directory) {
            changes.nodes_added.push_back(Tree_Entry{node_path, 0});
            continue;
        }
        changes.nodes_added.push_back(Tree_Entry{node_path + "\\", Count_Nodes_Below(*new_node)});
        List_Added_Files(*new_node, node_path, changes);
    }
}

void Diff_Folders(const Fs_Node& before, const Fs_Node& after, const std::string& root_path, Changes& changes) {
    // The folder of after that each folder of before walked into has, the deepest last.
    std::vector<const Fs_Node*> afters{&after};
    std::string path = root_path;
    winsim::Walk_Tree(
        before, path, '\\', winsim::Children_Of, winsim::Utf8_Name_Of,
        [&](const Fs_Node& old_node, const std::string& node_path) {
            Fs_Node* new_node = afters.back()->Find_Child(old_node.name);
            if (new_node && new_node->directory == old_node.directory) {
                if (old_node.directory) {
                    afters.push_back(new_node);
                    return true;
                }
                if (old_node.data != new_node->data) changes.files_changed.push_back(node_path);
            } else if (old_node.directory) {
                changes.nodes_removed.push_back(Tree_Entry{node_path + "\\", Count_Nodes_Below(old_node)});
            } else {
                changes.nodes_removed.push_back(Tree_Entry{node_path, 0});
            }
            return false;
        },
        [&](const Fs_Node& old_node, const std::string& node_path) {
            List_Added_Nodes(old_node, *afters.back(), node_path, changes);
            afters.pop_back();
        });
    List_Added_Nodes(before, after, root_path, changes);
}

// The files the run folder holds beside the machine: pending-deletes.txt, security.txt and
// exit-code.txt (each may be absent).
void Read_Run_Files(const fs::path& after_dir, Changes& changes) {
    std::ifstream pending(after_dir / "pending-deletes.txt");
    for (std::string line; std::getline(pending, line);)
        if (!line.empty()) changes.restart.push_back(line);
    // security.txt: per key its path, then its "before:" and "after:" lines.
    std::ifstream security_file(after_dir / "security.txt");
    std::vector<Security_Entry>* current = nullptr;  // the list of the entry being read
    for (std::string line; std::getline(security_file, line);) {
        if (line.empty()) continue;
        if (line[0] != ' ') {
            bool file = line.size() >= 2 && line[1] == ':';
            (file ? changes.file_security : changes.security).push_back(Security_Entry{line, "", ""});
            current = file ? &changes.file_security : &changes.security;
            continue;
        }
        if (!current) continue;
        std::string text = line.substr(line.find_first_not_of(' '));
        if (text.compare(0, 7, "before:") == 0) current->back().before = text.substr(7);
        else if (text.compare(0, 6, "after:") == 0) current->back().after = text.substr(6);
        for (std::string* part : {&current->back().before, &current->back().after})
            part->erase(0, part->find_first_not_of(' '));
    }
    std::ifstream exit_file(after_dir / "exit-code.txt");
    std::string code;
    if (std::getline(exit_file, code) && !code.empty() &&
        code.find_first_not_of("-0123456789") == std::string::npos)
        changes.exit_code = code;
}

// A value's data as text: strings as they are (a multi-string's parts joined with " | "), numbers
// in decimal, anything else in hexadecimal bytes.
std::string Value_Data(const Reg_Value& value) {
    const std::vector<uint8_t>& data = value.data;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
        Text text;
        for (size_t i = 0; i + 1 < data.size(); i += 2) text += char16_t(data[i] | (data[i + 1] << 8));
        while (!text.empty() && text.back() == 0) text.pop_back();
        std::string out;
        for (char16_t c : text) {
            if (c == 0) out += " | ";
            else out += To_Utf8(Text(1, c));
        }
        return out;
    }
    if (value.type == REG_DWORD && data.size() == 4)
        return std::to_string(uint32_t(data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24));
    std::string out;
    char hex[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%s%02x", i ? "," : "", data[i]);
        out += hex;
    }
    return out;
}

std::string Profile_Line(const Run_Profile& profile) {
    std::string whose = profile.local_system ? "LocalSystem's profile (S-1-5-18)"
                        : profile.account.empty() ? "an administrator's profile"
                                                  : "the profile of " + profile.account;
    if (!profile.local_system && !profile.sid.empty()) whose += " (" + profile.sid + ")";
    std::string listed = profile.local_system ? "HKEY_USERS\\.DEFAULT" : "HKEY_CURRENT_USER";
    std::string note = !profile.local_system && profile.account.empty() ? " (machine.ini names no [user])" : "";
    return "The run's HKEY_CURRENT_USER: " + whose + ", listed as " + listed + note;
}

namespace {

std::string Tree_Line(const Tree_Entry& entry, const char* one, const char* many) {
    if (entry.below == 0) return entry.path;
    return entry.path + "  (and " + std::to_string(entry.below) + " " + (entry.below == 1 ? one : many) + " below)";
}

std::string Value_Line(const Value_Entry& entry) {
    if (entry.name.empty()) return entry.key + "  @";
    return entry.key + "  \"" + To_Utf8(entry.name) + "\"";
}

void Print_Section(const char* title, const std::vector<std::string>& lines, bool& any) {
    if (lines.empty()) return;
    std::printf("%s%s (%zu):\n", any ? "\n" : "", title, lines.size());
    for (const std::string& line : lines) std::printf("  %s\n", line.c_str());
    any = true;
}

template <typename Item, typename Format>
std::vector<std::string> Lines(const std::vector<Item>& items, Format format) {
    std::vector<std::string> lines;
    for (const Item& item : items) lines.push_back(format(item));
    return lines;
}

}  // namespace

std::string Exit_Code_Meaning(const std::string& code) {
    if (code == "0") return "done; no restart needed";
    if (code == "1") return "done; restart the machine to finish";
    if (code == "2") return "started without a program name; the bundle's uninstall was not scheduled";
    if (code == "3") return "something of the product could not be removed, or with /check is present";
    if (code == "1618") return "Windows Installer was busy with another installation; nothing was changed";
    if (code == "1639") return "the command line was not understood; nothing was changed";
    return "not one of the tool's codes";
}

namespace {

void Print_Text(const Changes& changes) {
    auto keys = [](const Tree_Entry& e) { return Tree_Line(e, "key", "keys"); };
    auto nodes = [](const Tree_Entry& e) { return Tree_Line(e, "entry", "entries"); };
    auto plain = [](const std::string& line) { return line; };
    std::printf("%s\n\n", Profile_Line(changes.profile).c_str());
    bool any = false;
    Print_Section("Keys removed", Lines(changes.keys_removed, keys), any);
    Print_Section("Values removed", Lines(changes.values_removed, Value_Line), any);
    Print_Section("Values changed", Lines(changes.values_changed, Value_Line), any);
    Print_Section("Keys added", Lines(changes.keys_added, keys), any);
    Print_Section("Values added", Lines(changes.values_added, Value_Line), any);
    Print_Section("Changes in users' profiles", Lines(changes.user_hives, [&](const Profile_Hive_Changes& hive) {
                      std::string text = Profile_Hive_Title(hive);
                      auto part = [&](const char* title, const std::vector<std::string>& lines) {
                          if (lines.empty()) return;
                          text += "\n    " + std::string(title) + " (" + std::to_string(lines.size()) + "):";
                          for (const std::string& line : lines) text += "\n      " + line;
                      };
                      part("Keys removed", Lines(hive.keys_removed, keys));
                      part("Values removed", Lines(hive.values_removed, Value_Line));
                      part("Values changed", Lines(hive.values_changed, Value_Line));
                      part("Keys added", Lines(hive.keys_added, keys));
                      part("Values added", Lines(hive.values_added, Value_Line));
                      return text;
                  }), any);
    Print_Section("Key security changed", Lines(changes.security, [](const Security_Entry& e) {
                      return e.key + "\n     before: " + e.before + "\n     after:  " + e.after;
                  }), any);
    Print_Section("File and folder security changed", Lines(changes.file_security, [](const Security_Entry& e) {
                      return e.key + "\n     before: " + e.before + "\n     after:  " + e.after;
                  }), any);
    Print_Section("Files and folders removed", Lines(changes.nodes_removed, nodes), any);
    Print_Section("Files changed", Lines(changes.files_changed, plain), any);
    Print_Section("Files and folders added", Lines(changes.nodes_added, nodes), any);
    Print_Section("Deleted at the next restart", Lines(changes.restart, plain), any);
    Print_Section("RunOnce entries written", Lines(changes.run_once, [](const Value_Entry& e) {
                      return Value_Line(e) + " = " + Value_Data(*e.value);
                  }), any);
    if (!any) std::printf("No changes.\n");
    if (!changes.exit_code.empty())
        std::printf("\nExit code: %s (%s)\n", changes.exit_code.c_str(), Exit_Code_Meaning(changes.exit_code).c_str());
}

}  // namespace

// ---- JSON ----

std::string Json_String(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

namespace {

template <typename Item, typename Format>
void Json_Array(const char* name, const std::vector<Item>& items, Format format, std::string& out) {
    out += "  " + Json_String(name) + ": [";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ",\n    " : "\n    ") + format(items[i]);
    out += items.empty() ? "],\n" : "\n  ],\n";
}

std::string Json_Tree(const Tree_Entry& entry) {
    return "{\"path\": " + Json_String(entry.path) + ", \"below\": " + std::to_string(entry.below) + "}";
}

std::string Json_Value(const Value_Entry& entry) {
    std::string out = "{\"key\": " + Json_String(entry.key) + ", \"name\": " + Json_String(To_Utf8(entry.name));
    if (entry.value) out += ", \"data\": " + Json_String(Value_Data(*entry.value));
    return out + "}";
}

}  // namespace

std::string Json_Text(const Changes& changes) {
    auto plain = [](const std::string& text) { return Json_String(text); };
    std::string out = "{\n";
    const Run_Profile& profile = changes.profile;
    auto text_or_null = [](const std::string& text) { return text.empty() ? std::string("null") : Json_String(text); };
    out += "  \"current_user\": {\"profile\": " +
           Json_String(profile.local_system ? "HKEY_USERS\\.DEFAULT" : "HKEY_CURRENT_USER") +
           ", \"account\": " + text_or_null(profile.local_system ? "LocalSystem" : profile.account) +
           ", \"sid\": " + text_or_null(profile.local_system ? "S-1-5-18" : profile.sid) + "},\n";
    Json_Array("keys_removed", changes.keys_removed, Json_Tree, out);
    Json_Array("values_removed", changes.values_removed, Json_Value, out);
    Json_Array("values_changed", changes.values_changed, Json_Value, out);
    Json_Array("keys_added", changes.keys_added, Json_Tree, out);
    Json_Array("values_added", changes.values_added, Json_Value, out);
    Json_Array("user_profiles", changes.user_hives, [](const Profile_Hive_Changes& hive) {
        std::string object = "{\"sid\": " + Json_String(hive.sid) + ", \"folder\": " + Json_String(hive.folder) +
                             ", \"hive\": " + Json_String(hive.hive) + ", \"loaded\": " + (hive.loaded ? "true" : "false");
        auto list = [&](const char* name, const auto& items, auto format) {
            object += std::string(", ") + Json_String(name) + ": [";
            for (size_t i = 0; i < items.size(); ++i) object += (i ? ", " : "") + format(items[i]);
            object += "]";
        };
        list("keys_removed", hive.keys_removed, Json_Tree);
        list("values_removed", hive.values_removed, Json_Value);
        list("values_changed", hive.values_changed, Json_Value);
        list("keys_added", hive.keys_added, Json_Tree);
        list("values_added", hive.values_added, Json_Value);
        return object + "}";
    }, out);
    Json_Array("key_security_changed", changes.security, [](const Security_Entry& e) {
        return "{\"key\": " + Json_String(e.key) + ", \"before\": " + Json_String(e.before) +
               ", \"after\": " + Json_String(e.after) + ", \"in_words\": " + Json_String(Security_Words(e.before, e.after, true)) + "}";
    }, out);
    Json_Array("file_security_changed", changes.file_security, [](const Security_Entry& e) {
        return "{\"path\": " + Json_String(e.key) + ", \"before\": " + Json_String(e.before) +
               ", \"after\": " + Json_String(e.after) + ", \"in_words\": " + Json_String(Security_Words(e.before, e.after, false)) + "}";
    }, out);
    Json_Array("files_removed", changes.nodes_removed, Json_Tree, out);
    Json_Array("files_changed", changes.files_changed, plain, out);
    Json_Array("files_added", changes.nodes_added, Json_Tree, out);
    Json_Array("deleted_at_restart", changes.restart, plain, out);
    Json_Array("run_once", changes.run_once, Json_Value, out);
    out += "  \"exit_code\": " + (changes.exit_code.empty() ? std::string("null") : changes.exit_code) + ",\n";
    out += "  \"exit_code_meaning\": " +
           (changes.exit_code.empty() ? std::string("null") : Json_String(Exit_Code_Meaning(changes.exit_code))) +
           "\n}\n";
    return out;
}

// The log the run wrote: the file of a log's name that the run added to the Windows folder's TEMP;
// its lines on what it kept on purpose, left alone or could not remove, decoded from the machine's
// ANSI code page.
void Read_Log_Notes(Machine& after, Changes& changes) {
    const std::string temp = Upper(To_Utf8(after.windows_directory) + "\\TEMP\\");
    const std::pair<const char*, const char*> kinds[] = {
        {"Kept (", "Kept on purpose"}, {"Left alone (", "Left alone"}, {"Not examined (", "Left alone"},
        {"Not removed: ", "Not removed"}, {"Not removed (", "Not removed"}};
    for (const Tree_Entry& added : changes.nodes_added) {
        const std::string path = Upper(added.path);
        if (path.compare(0, temp.size(), temp) != 0 || !Is_Log_Name(path.substr(temp.size()))) continue;
        const Fs_Node* log = after.Find_Path(winsim::From_Utf8(added.path));
        if (!log || log->data.empty()) continue;
        std::vector<WCHAR> wide(log->data.size());
        int count = MultiByteToWideChar(after.code_page, 0, reinterpret_cast<const char*>(log->data.data()),
                                        int(log->data.size()), wide.data(), int(wide.size()));
        const std::string text = To_Utf8(Text(wide.data(), wide.data() + std::max(count, 0)));
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            line.erase(0, line.find_first_not_of(' '));
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
            for (const auto& kind : kinds) {
                const std::string prefix = kind.first;
                if (line.compare(0, prefix.size(), prefix) != 0) continue;
                Log_Note note{kind.second, "", line.substr(prefix.size())};
                size_t close = prefix.back() == '(' ? note.path.find("): ") : std::string::npos;
                if (close != std::string::npos) {
                    note.reason = note.path.substr(0, close);
                    note.path = note.path.substr(close + 3);
                }
                note.path.erase(0, note.path.find_first_not_of(' '));
                changes.notes.push_back(note);
                break;
            }
        }
    }
}

std::string Profile_Hive_Title(const Profile_Hive_Changes& hive) {
    return hive.sid + " (" + (hive.folder.empty() ? std::string("no profile folder") : hive.folder) + "): " +
           (hive.loaded ? "the hive loaded as " + hive.hive : "the hive file " + hive.hive + ", not loaded");
}

namespace {

// The key at a backslash-separated path below root; null when there is none.
Reg_Key* Find_Key_Path(Reg_Key& root, const std::string& path) {
    Reg_Key* key = &root;
    for (size_t start = 0; key && start <= path.size();) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        key = key->Find_Subkey(winsim::From_Utf8(path.substr(start, end - start)));
        start = end + 1;
    }
    return key;
}

std::string String_Value(Reg_Key& key, const char* name) {
    const Reg_Value* value = key.Find_Value(winsim::From_Utf8(name));
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::string();
    return Value_Data(*value);
}

// The hive an upper-case key path lies in, as the diff names it: HKEY_CURRENT_USER or HKEY_USERS\\NAME.
std::string Hive_Of(const std::string& path) {
    const std::string users = "HKEY_USERS\\";
    if (path.compare(0, users.size(), users) == 0) return path.substr(0, path.find('\\', users.size()));
    return path.substr(0, path.find('\\'));
}

// Moves the entries of list that lie in one of the hives (upper case, with their group's index) to
// that group's list, their paths made relative to the hive's root (the root itself: empty).
template <typename Entry, typename Path_Of, typename Group_List>
void Move_To_Hives(std::vector<Entry>& list, const std::unordered_map<std::string, size_t>& hives,
                   std::vector<Profile_Hive_Changes>& groups, Path_Of path_of, Group_List group_list) {
    std::vector<Entry> kept;
    for (Entry& entry : list) {
        std::string& path = path_of(entry);
        const std::string hive = Hive_Of(Upper(path));
        auto found = hives.find(hive);
        if (found == hives.end()) {
            kept.push_back(std::move(entry));
            continue;
        }
        path = path.size() > hive.size() ? path.substr(hive.size() + 1) : std::string();
        group_list(groups[found->second]).push_back(std::move(entry));
    }
    list = std::move(kept);
}

void Move_Hive_Entries(Changes& from, const std::unordered_map<std::string, size_t>& hives,
                       std::vector<Profile_Hive_Changes>& groups) {
    auto tree_path = [](Tree_Entry& e) -> std::string& { return e.path; };
    auto value_key = [](Value_Entry& e) -> std::string& { return e.key; };
    Move_To_Hives(from.keys_removed, hives, groups, tree_path, [](Profile_Hive_Changes& g) -> auto& { return g.keys_removed; });
    Move_To_Hives(from.keys_added, hives, groups, tree_path, [](Profile_Hive_Changes& g) -> auto& { return g.keys_added; });
    Move_To_Hives(from.values_removed, hives, groups, value_key, [](Profile_Hive_Changes& g) -> auto& { return g.values_removed; });
    Move_To_Hives(from.values_changed, hives, groups, value_key, [](Profile_Hive_Changes& g) -> auto& { return g.values_changed; });
    Move_To_Hives(from.values_added, hives, groups, value_key, [](Profile_Hive_Changes& g) -> auto& { return g.values_added; });
}

// The changes in the hives of the users' profiles that ProfileList names, but the run's own
// HKEY_CURRENT_USER, each under its profile: a hive loaded below HKEY_USERS (in a run as LocalSystem,
// [user]'s is what the files call HKEY_CURRENT_USER), or the profile's NTUSER.DAT that changed, read
// as the hive it holds before and after the run. Service accounts' profiles are the run's own
// HKEY_CURRENT_USER or no user's.
void Group_User_Hives(Machine& before, Machine& after, Changes& changes) {
    Reg_Key* list = Find_Key_Path(before.hklm, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    if (!list) return;
    std::vector<Profile_Hive_Changes> groups;
    std::unordered_map<std::string, size_t> loaded;  // HKEY_USERS\SID or HKEY_CURRENT_USER, upper case
    std::unordered_map<std::string, size_t> files;   // the hive file's path, upper case
    for (const auto& entry : list->subkeys) {
        Profile_Hive_Changes hive;
        hive.sid = To_Utf8(entry->name);
        const std::string sid = Upper(hive.sid);
        if (sid == "S-1-5-18" || sid == "S-1-5-19" || sid == "S-1-5-20") continue;
        const bool own = Upper(after.user_sid) == sid;
        if (own && !after.local_system) continue;
        hive.folder = String_Value(*entry, "ProfileImagePath");
        if (own || before.users.Find_Subkey(entry->name) || after.users.Find_Subkey(entry->name)) {
            hive.hive = "HKEY_USERS\\" + hive.sid;
            loaded.emplace(own ? std::string("HKEY_CURRENT_USER") : Upper(hive.hive), groups.size());
        } else if (!hive.folder.empty()) {
            std::string folder = hive.folder;
            const std::string drive = "%SYSTEMDRIVE%";
            if (Upper(folder.substr(0, drive.size())) == drive) folder = "C:" + folder.substr(drive.size());
            hive.loaded = false;
            files.emplace(Upper(folder + "\\NTUSER.DAT"), groups.size());
        } else {
            continue;
        }
        groups.push_back(std::move(hive));
    }
    Move_Hive_Entries(changes, loaded, groups);
    // A changed NTUSER.DAT of a profile not loaded: the keys of the hive it holds before and after.
    std::vector<std::string> other_files;
    for (std::string& path : changes.files_changed) {
        auto found = files.find(Upper(path));
        const Fs_Node* was = found == files.end() ? nullptr : before.Find_Path(winsim::From_Utf8(path));
        const Fs_Node* now = found == files.end() ? nullptr : after.Find_Path(winsim::From_Utf8(path));
        Reg_Key old_root;
        auto new_root = std::make_shared<Reg_Key>();
        // A file that holds no hive stays a file changed.
        if (!was || !now || !winsim::Import_Hive_File(was->data, old_root) ||
            !winsim::Import_Hive_File(now->data, *new_root)) {
            other_files.push_back(std::move(path));
            continue;
        }
        Profile_Hive_Changes& hive = groups[found->second];
        hive.hive = path;
        changes.hive_files.push_back(new_root);
        Changes found_changes;
        Diff_Keys(old_root, *new_root, "HKEY_CURRENT_USER", found_changes);
        Move_Hive_Entries(found_changes, {{"HKEY_CURRENT_USER", found->second}}, groups);
    }
    changes.files_changed = std::move(other_files);
    for (Profile_Hive_Changes& hive : groups)
        if (hive.keys_removed.size() + hive.keys_added.size() + hive.values_removed.size() + hive.values_changed.size() +
            hive.values_added.size())
            changes.user_hives.push_back(std::move(hive));
}

}  // namespace

bool Compare_Runs(Machine& before, Machine& after, const std::string& before_dir, const std::string& after_dir,
                  Changes& changes, std::string& error) {
    if (!Load_Machine(before, before_dir, error) || !Load_Machine(after, after_dir, error)) return false;
    changes.profile = Run_Profile{after.local_system, after.user_name, after.user_sid};
    Diff_Keys(before.hklm, after.hklm, "HKEY_LOCAL_MACHINE", changes);
    Diff_Keys(before.User_Profile(), after.User_Profile(), "HKEY_CURRENT_USER", changes);
    Diff_Keys(before.System_Profile(), after.System_Profile(), "HKEY_USERS\\.DEFAULT", changes);
    // Further hives loaded below HKEY_USERS (users logged on), those of either machine.
    for (const Machine* side : {&before, &after}) {
        for (const auto& hive : side->users.subkeys) {
            if (side == &after && before.users.Find_Subkey(hive->name)) continue;
            Reg_Key none;
            Reg_Key* was = before.users.Find_Subkey(hive->name);
            Reg_Key* now = after.users.Find_Subkey(hive->name);
            Diff_Keys(was ? *was : none, now ? *now : none, "HKEY_USERS\\" + winsim::To_Utf8(hive->name), changes);
        }
    }
    Diff_Folders(before.drive_c, after.drive_c, "C:", changes);
    Read_Run_Files(fs::u8path(after_dir), changes);
    Read_Log_Notes(after, changes);
    Group_User_Hives(before, after, changes);
    changes.computer = before.collected_computer;
    changes.collected = before.collected_date;
    return true;
}

namespace {

int Diff(const std::vector<std::string>& args) {
    std::vector<std::string> folders;
    std::string html_path;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--html") {
            if (i + 1 == args.size() || !html_path.empty() || args[i + 1].empty())
                return Usage_Error("--html needs one file");
            html_path = args[++i];
        } else if (args[i].compare(0, 1, "-") == 0) {
            return Usage_Error("unexpected argument \"" + args[i] + "\"");
        } else {
            folders.push_back(args[i]);
        }
    }
    if (folders.size() != 2) return Usage_Error("diff needs BEFORE_DIR and AFTER_DIR");
    Machine before, after;
    Changes changes;
    std::string error;
    if (!Compare_Runs(before, after, folders[0], folders[1], changes, error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return kExitUsage;
    }
    if (!html_path.empty() &&
        !Write_Text(fs::u8path(html_path), Html_Page(changes, Exit_Code_Meaning(changes.exit_code)), error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return kExitOutput;
    }
    if (json) {
        const std::string out = Json_Text(changes);
        std::fwrite(out.data(), 1, out.size(), stdout);
    } else {
        Print_Text(changes);
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::vector<std::string> args = Host_Start(argc, argv);
    std::string command = args.empty() ? std::string() : args.front();
    if (!args.empty()) args.erase(args.begin());
    if (command == "run") return Run(args);
    if (command == "diff") return Diff(args);
    if (command == "sweep") return Sweep(args);
    if (command == "import") return Import(args);
    if (command == "fleet") return Fleet(args);
    return Usage_Error(command.empty() ? "no command" : "unknown command \"" + command + "\"");
}
