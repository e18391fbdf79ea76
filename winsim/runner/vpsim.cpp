// vpsim: runs the tool on a simulated machine loaded from a scenario folder and writes the machine
// as the run left it; "diff" summarises what a run changed.
//
//   vpsim run MACHINE_DIR --out OUT_DIR [-- ARG...]
//   vpsim diff BEFORE_DIR AFTER_DIR
//   vpsim sweep MACHINE_DIR [--repeat] [--api NAME] [--every M] [--offset R] [--jobs J] [--timeout SECONDS] [-- ARG...]
#include "runner.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
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

const char kUsage[] =
    "usage: vpsim run MACHINE_DIR --out OUT_DIR [-- ARG...]\n"
    "       vpsim diff BEFORE_DIR AFTER_DIR\n"
    "       vpsim sweep MACHINE_DIR [--repeat] [--api NAME] [--every M] [--offset R] [--jobs J] [--timeout SECONDS] [-- ARG...]\n";

int Usage_Error(const std::string& message) {
    std::fprintf(stderr, "vpsim: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

bool Write_Text(const fs::path& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) error = path.string() + ": cannot write";
    return bool(out);
}

}  // namespace

bool Load_Machine(Machine& machine, const std::string& folder, std::string& error) {
    std::error_code failure;
    if (!fs::is_directory(folder, failure)) {
        error = folder + ": no such folder";
        return false;
    }
    if (winsim::Load_Scenario(machine, folder, error)) return true;
    error = (fs::path(folder) / error).string();
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

namespace {

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
    std::error_code failure;
    bool out_exists = fs::exists(out_dir, failure);
    if (out_exists && (!fs::is_directory(out_dir, failure) || !fs::is_empty(out_dir, failure))) {
        std::fprintf(stderr, "vpsim: %s: the output folder must be empty or absent\n", out_dir.c_str());
        return kExitUsage;
    }

    Machine& machine = winsim::The_Machine();
    std::string error;
    if (!Load_Machine(machine, machine_dir, error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return kExitUsage;
    }

    std::vector<Text> texts{machine.module_path};
    texts.insert(texts.end(), tool_args.begin(), tool_args.end());
    std::vector<WCHAR*> argv;
    for (Text& text : texts) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    int exit_code = wmain(int(texts.size()), argv.data());

    std::string console = To_Utf8(machine.console);
    std::fwrite(console.data(), 1, console.size(), stdout);
    std::fflush(stdout);

    std::string debug_output;
    for (const Text& line : machine.debug_output) debug_output += To_Utf8(line);
    fs::path out(out_dir);
    bool saved = winsim::Save_Scenario(machine, out_dir, error) &&
                 Write_Text(out / "debug-output.txt", debug_output, error) &&
                 Write_Text(out / "console.txt", console, error) &&
                 Write_Text(out / "exit-code.txt", std::to_string(exit_code) + "\n", error) &&
                 Write_Text(out / "pending-deletes.txt", Pending_Deletes(machine), error) &&
                 Write_Text(out / "security.txt", winsim::Security_Changes(machine), error);
    if (!saved) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return kExitOutput;
    }
    return exit_code;
}

// ---- diff ----

struct Changes {
    std::vector<std::string> keys_removed, values_removed, values_changed, keys_added, values_added;
    std::vector<std::string> nodes_removed, nodes_added, files_changed;
};

size_t Count_Keys_Below(const Reg_Key& key) {
    size_t count = 0;
    for (const auto& subkey : key.subkeys) count += 1 + Count_Keys_Below(*subkey);
    return count;
}

std::string Tree_Line(const std::string& path, size_t below, const char* one, const char* many) {
    if (below == 0) return path;
    return path + "  (and " + std::to_string(below) + " " + (below == 1 ? one : many) + " below)";
}

std::string Value_Line(const std::string& key_path, const Reg_Value& value) {
    if (value.name.empty()) return key_path + "  @";
    return key_path + "  \"" + To_Utf8(value.name) + "\"";
}

// Values of a new key and of the keys below it are listed one by one; the key itself once.
void List_Added_Values(const Reg_Key& key, const std::string& path, Changes& changes) {
    for (const Reg_Value& value : key.values) changes.values_added.push_back(Value_Line(path, value));
    for (const auto& subkey : key.subkeys)
        List_Added_Values(*subkey, path + "\\" + To_Utf8(subkey->name), changes);
}

void Diff_Keys(Reg_Key& before, Reg_Key& after, const std::string& path, Changes& changes) {
    for (const Reg_Value& old_value : before.values) {
        const Reg_Value* new_value = after.Find_Value(old_value.name);
        if (!new_value) changes.values_removed.push_back(Value_Line(path, old_value));
        else if (new_value->type != old_value.type || new_value->data != old_value.data)
            changes.values_changed.push_back(Value_Line(path, old_value));
    }
    for (const Reg_Value& new_value : after.values)
        if (!before.Find_Value(new_value.name)) changes.values_added.push_back(Value_Line(path, new_value));
    for (const auto& old_key : before.subkeys) {
        std::string key_path = path + "\\" + To_Utf8(old_key->name);
        Reg_Key* new_key = after.Find_Subkey(old_key->name);
        if (new_key) Diff_Keys(*old_key, *new_key, key_path, changes);
        else changes.keys_removed.push_back(Tree_Line(key_path, Count_Keys_Below(*old_key), "key", "keys"));
    }
    for (const auto& new_key : after.subkeys) {
        if (before.Find_Subkey(new_key->name)) continue;
        std::string key_path = path + "\\" + To_Utf8(new_key->name);
        changes.keys_added.push_back(Tree_Line(key_path, Count_Keys_Below(*new_key), "key", "keys"));
        List_Added_Values(*new_key, key_path, changes);
    }
}

size_t Count_Nodes_Below(const Fs_Node& node) {
    size_t count = 0;
    for (const auto& child : node.children) count += 1 + Count_Nodes_Below(*child);
    return count;
}

// Files added inside a new folder are listed one by one; the folder itself once.
void List_Added_Files(const Fs_Node& folder, const std::string& path, Changes& changes) {
    for (const auto& child : folder.children) {
        std::string child_path = path + "\\" + To_Utf8(child->name);
        if (child->directory) List_Added_Files(*child, child_path, changes);
        else changes.nodes_added.push_back(child_path);
    }
}

void Diff_Folders(const Fs_Node& before, const Fs_Node& after, const std::string& path, Changes& changes) {
    for (const auto& old_node : before.children) {
        std::string node_path = path + "\\" + To_Utf8(old_node->name);
        Fs_Node* new_node = after.Find_Child(old_node->name);
        if (new_node && new_node->directory == old_node->directory) {
            if (old_node->directory) Diff_Folders(*old_node, *new_node, node_path, changes);
            else if (old_node->data != new_node->data) changes.files_changed.push_back(node_path);
        } else if (old_node->directory) {
            changes.nodes_removed.push_back(
                Tree_Line(node_path + "\\", Count_Nodes_Below(*old_node), "entry", "entries"));
        } else {
            changes.nodes_removed.push_back(node_path);
        }
    }
    for (const auto& new_node : after.children) {
        Fs_Node* old_node = before.Find_Child(new_node->name);
        if (old_node && old_node->directory == new_node->directory) continue;
        std::string node_path = path + "\\" + To_Utf8(new_node->name);
        if (!new_node->directory) {
            changes.nodes_added.push_back(node_path);
            continue;
        }
        changes.nodes_added.push_back(
            Tree_Line(node_path + "\\", Count_Nodes_Below(*new_node), "entry", "entries"));
        List_Added_Files(*new_node, node_path, changes);
    }
}

void Print_Section(const char* title, const std::vector<std::string>& lines, bool& any) {
    if (lines.empty()) return;
    std::printf("%s%s (%zu):\n", any ? "\n" : "", title, lines.size());
    for (const std::string& line : lines) std::printf("  %s\n", line.c_str());
    any = true;
}

int Diff(const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage_Error("diff needs BEFORE_DIR and AFTER_DIR");
    Machine before, after;
    std::string error;
    if (!Load_Machine(before, args[0], error) || !Load_Machine(after, args[1], error)) {
        std::fprintf(stderr, "vpsim: %s\n", error.c_str());
        return kExitUsage;
    }
    Changes changes;
    Diff_Keys(before.hklm, after.hklm, "HKEY_LOCAL_MACHINE", changes);
    Diff_Keys(before.hkcu, after.hkcu, "HKEY_CURRENT_USER", changes);
    Diff_Folders(before.drive_c, after.drive_c, "C:", changes);

    std::vector<std::string> restart;
    std::ifstream pending(fs::path(args[1]) / "pending-deletes.txt");
    for (std::string line; std::getline(pending, line);)
        if (!line.empty()) restart.push_back(line);

    // security.txt: per key its path, then its "before:" and "after:" lines.
    std::vector<std::string> security;
    std::ifstream security_file(fs::path(args[1]) / "security.txt");
    for (std::string line; std::getline(security_file, line);) {
        if (line.empty()) continue;
        if (line[0] != ' ') security.push_back(line);
        else if (!security.empty()) security.back() += "\n   " + line;
    }

    bool any = false;
    Print_Section("Keys removed", changes.keys_removed, any);
    Print_Section("Values removed", changes.values_removed, any);
    Print_Section("Values changed", changes.values_changed, any);
    Print_Section("Keys added", changes.keys_added, any);
    Print_Section("Values added", changes.values_added, any);
    Print_Section("Key security changed", security, any);
    Print_Section("Files and folders removed", changes.nodes_removed, any);
    Print_Section("Files changed", changes.files_changed, any);
    Print_Section("Files and folders added", changes.nodes_added, any);
    Print_Section("Deleted at the next restart", restart, any);
    if (!any) std::printf("No changes.\n");
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
    if (argc >= 2 && std::string(argv[1]) == "run") return Run(args);
    if (argc >= 2 && std::string(argv[1]) == "diff") return Diff(args);
    if (argc >= 2 && std::string(argv[1]) == "sweep") return Sweep(args);
    return Usage_Error(argc < 2 ? "no command" : "unknown command \"" + std::string(argv[1]) + "\"");
}
