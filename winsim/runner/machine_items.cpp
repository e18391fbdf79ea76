#include "runner/changes.h"
#include "runner/runner.h"
#include "runner/sweep_tables.h"
#include "machine/tree_walk.h"

#include <functional>
#include <sstream>

using winsim::Fs_Node;
using winsim::Machine;
using winsim::Reg_Key;
using winsim::Reg_Value;

namespace {

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

void Key_Items(const Reg_Key& key, const std::string& root_path, Items& items) {
    auto add = [&](const Reg_Key& each, const std::string& path) {
        items.insert("K " + path);
        bool run_once = path.size() >= 8 && path.compare(path.size() - 8, 8, "\\RUNONCE") == 0;
        for (const Reg_Value& value : each.values) {
            std::string name = Upper(value.name);
            std::string item = "V " + path + " \"" + name + "\"";
            bool by_presence = run_once || name == "PENDINGFILERENAMEOPERATIONS";
            if (!by_presence) item += " " + std::to_string(value.type) + " " + Hex(value.data);
            items.insert(item);
        }
        return true;
    };
    std::string path = root_path;
    add(key, path);
    winsim::Walk_Tree(key, path, '\\', winsim::Subkeys_Of, [](const Reg_Key& subkey) { return Upper(subkey.name); }, add);
}

void Node_Items(const Fs_Node& root, const std::string& root_path, const Item_Rules& rules, Items& items) {
    std::string path = root_path;
    winsim::Walk_Tree(root, path, '\\', winsim::Children_Of,
                      [](const Fs_Node& child) { return Without_Backup_Folder_Name(Upper(child.name)); },
                      [&](const Fs_Node& child, const std::string& child_path) {
        if (child.directory) {
            items.insert("D " + child_path);
            return child.link_target.empty();
        }
        // The path of the file's folder with a separator, as the rules name folders.
        const std::string folder = child_path.substr(0, child_path.rfind('\\') + 1);
        // Whichever name the log has, it is the log: compared by its presence; so is the registry
        // backup, whose content is what the run removed before a failure stopped it.
        if (folder == rules.log_folder && Is_Log_Name(Upper(child.name))) {
            items.insert("F " + rules.log_path);
            return false;
        }
        if (folder == rules.log_folder + "VPREMOVALTOOL-BACKUP\\" && Upper(child.name) == "VPREMOVALTOOL-BACKUP.REG") {
            items.insert("F " + child_path);
            return false;
        }
        items.insert("F " + child_path);
        std::string data(child.data.begin(), child.data.end());
        items.insert("C " + child_path + " " + std::to_string(data.size()) + ":" +
                     std::to_string(std::hash<std::string>()(data)));
        return false;
    });
}

}  // namespace

Items Machine_Items(Machine& machine, const Item_Rules& rules) {
    Items items;
    Key_Items(machine.hklm, "HKEY_LOCAL_MACHINE", items);
    Key_Items(machine.User_Profile(), "HKEY_CURRENT_USER", items);
    Key_Items(machine.System_Profile(), "HKEY_USERS\\.DEFAULT", items);
    for (const auto& hive : machine.users.subkeys) Key_Items(*hive, "HKEY_USERS\\" + winsim::To_Utf8(hive->name), items);
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
        std::string upper = Without_Backup_Folder_Name(Upper(winsim::From_Utf8(line)));
        block += block.empty() ? upper : " | " + line;
    }
    if (!block.empty()) items.insert("S " + block);
    return items;
}

