#include "machine/machine.h"

#include "machine/paths.h"
#include "machine/tree_walk.h"

#include <algorithm>
#include <atomic>

namespace winsim {

char16_t Upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') return c - 0x20;
    if (c < 0x80) return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;  // Latin-1
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {  // Latin Extended-A: capital and small letters alternate
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 0) ? c - 1 : c;
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        return (c % 2 == 1) ? c - 1 : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;  // Greek
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;                // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    if (c >= 0x460 && c <= 0x4FF && (c % 2 == 1) && !(c >= 0x482 && c <= 0x489)) return c - 1;
    return c;
}

int Compare_Names(const Text& a, const Text& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t x = Upcase(a[i]), y = Upcase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool Same_Name(const Text& a, const Text& b) { return a.size() == b.size() && Compare_Names(a, b) == 0; }

std::vector<Text> Split_Names(const Text& path) {
    std::vector<Text> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == Text::npos) end = path.size();
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::string To_Utf8(const Text& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Text From_Utf8(const std::string& text) {
    Text out;
    size_t i = 0;
    while (i < text.size()) {
        uint8_t b = uint8_t(text[i]);
        uint32_t c;
        int extra;
        if (b < 0x80) { c = b; extra = 0; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
        else { out += u'\xFFFD'; ++i; continue; }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= text.size() || (uint8_t(text[i + k]) & 0xC0) != 0x80) { ok = false; break; }
            c = (c << 6) | (uint8_t(text[i + k]) & 0x3F);
        }
        if (!ok) { out += u'\xFFFD'; ++i; continue; }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

Text From_Wide_Pointer(const WCHAR* text) { return text ? Text(text) : Text(); }

// ---- registry keys ----

uint32_t detail::Next_Priority() {
    // Deterministic: the tree shapes, and with them every run, are the same from one run to the next.
    static std::atomic<uint64_t> counter{0};
    uint64_t x = counter.fetch_add(1, std::memory_order_relaxed) + 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return uint32_t((x ^ (x >> 31)) >> 32);
}

Reg_Key* Reg_Key::Find_Subkey(const Text& name) const { return subkeys.Find(name); }

Reg_Key* Reg_Key::Add_Subkey(const Text& name) {
    if (Reg_Key* existing = subkeys.Find(name)) return existing;
    auto key = std::make_unique<Reg_Key>();
    key->name = name;
    return subkeys.Insert(std::move(key));
}

bool Reg_Key::Remove_Subkey(const Text& name) { return subkeys.Remove(name); }

Reg_Value* Reg_Key::Find_Value(const Text& name) { return values.Find(name); }
const Reg_Value* Reg_Key::Find_Value(const Text& name) const { return values.Find(name); }

void Reg_Key::Set_Value(const Text& name, DWORD type, std::vector<uint8_t> data) {
    if (Reg_Value* existing = values.Find(name)) {
        existing->type = type;
        existing->data = std::move(data);
        return;
    }
    values.Append(Reg_Value{name, type, std::move(data)});
}

bool Reg_Key::Remove_Value(const Text& name) { return values.Remove(name); }

// ---- files ----

Fs_Node* Fs_Node::Find_Child(const Text& child) const { return children.Find(child); }

Fs_Node* Fs_Node::Add_Child(const Text& child, bool is_directory) {
    if (Fs_Node* existing = children.Find(child)) return existing;
    auto node = std::make_unique<Fs_Node>();
    node->name = child;
    node->directory = is_directory;
    node->attributes = is_directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    return children.Insert(std::move(node));
}

namespace {
std::atomic<uint64_t> fs_generation{0};
}

uint64_t Fs_Generation() { return fs_generation.load(std::memory_order_relaxed); }

bool Fs_Node::Remove_Child(const Text& child) {
    if (!children.Remove(child)) return false;
    fs_generation.fetch_add(1, std::memory_order_relaxed);
    return true;
}

std::unique_ptr<Fs_Node> Fs_Node::Take_Child(const Text& child) {
    std::unique_ptr<Fs_Node> taken = children.Take(child);
    if (taken) fs_generation.fetch_add(1, std::memory_order_relaxed);
    return taken;
}

void Fs_Node::Link_To(const Text& target) {
    link_target = target;
    fs_generation.fetch_add(1, std::memory_order_relaxed);
}

bool Fs_Node::Put_Child(std::unique_ptr<Fs_Node> node, const Text& child) {
    if (children.Find(child)) return false;
    node->name = child;
    children.Insert(std::move(node));
    return true;
}

Fs_Node::~Fs_Node() {
    for (Fs_Open* open : opens) open->node = nullptr;
    if (names) names->erase(std::find(names->begin(), names->end(), this));
}

Fs_Node* Fs_Node::Add_Name(const Text& name, Fs_Node& file) {
    if (Find_Child(name)) return nullptr;
    Fs_Node* entry = Add_Child(name, false);
    entry->attributes = file.attributes;
    entry->data = file.data;
    entry->listed_size = file.listed_size;
    entry->security = file.security;
    if (!file.names) file.names = std::make_shared<std::vector<Fs_Node*>>(1, &file);
    file.names->push_back(entry);
    entry->names = file.names;
    return entry;
}

void Fs_Node::Set_Security(std::shared_ptr<Key_Security> stated) {
    if (!names) {
        security = std::move(stated);
        return;
    }
    for (Fs_Node* name : *names) name->security = stated;
}

Text Path_Of(const Fs_Node& drive_c, const Fs_Node& entry) {
    Text path = u"C:", found;
    Walk_Tree(drive_c, path, u'\\', Children_Of, Name_Of, [&](const Fs_Node& child, const Text& child_path) {
        if (!found.empty()) return false;  // the rest of the walk only unwinds
        if (&child == &entry) {
            found = child_path;
            return false;
        }
        return child.directory && child.link_target.empty();
    });
    return found;
}

// ---- the machine ----

Machine::Machine() { Reset(); }

void Machine::Reset() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    hklm = Reg_Key();
    hklm.name = u"HKEY_LOCAL_MACHINE";
    hkcu = Reg_Key();
    hkcu.name = u"HKEY_CURRENT_USER";
    other_profile = Reg_Key();
    other_profile.name = u"HKEY_CURRENT_USER";
    users = Reg_Key();
    users.name = u"HKEY_USERS";
    loaded_hives.clear();
    user_name.clear();
    user_sid.clear();
    collected_computer.clear();
    collected_date.clear();
    computer_name.clear();
    hklm.security = Make_Root_Security();
    hkcu.security = Make_Root_Security();
    other_profile.security = Make_Root_Security();
    drive_c.children.clear();
    drive_c.data.clear();
    drive_c.link_target.clear();
    drive_c.held_open = false;
    drive_c.held_share = 0;
    drive_c.oplocked = false;
    drive_c.listed_size = 0;
    for (Fs_Open* open : drive_c.opens) open->node = nullptr;
    drive_c.opens.clear();
    fs_generation.fetch_add(1, std::memory_order_relaxed);
    folder_memo = Folder_Memo();
    drive_c.name = u"C:";
    drive_c.directory = true;
    drive_c.attributes = FILE_ATTRIBUTE_DIRECTORY;
    drive_c.security = Make_Drive_Root_Security();
    os = Os_Info();
    code_page = 1252;
    remote_session = false;
    installer_busy = false;
    installer_owner = "S-1-5-18";
    local_system = false;
    smart_card_service = true;
    process_token = Make_Administrator_Token(1);
    thread_tokens.clear();
    security_before.clear();
    security_seen.clear();
    module_path = u"C:\\vpRemovalTool.exe";
    windows_directory = u"C:\\Windows";
    command_line = u"\"C:\\vpRemovalTool.exe\"";
    debug_output.clear();
    debug_threads.clear();
    console.clear();
    clock_ms = 0;
    random_state = 0;
    start_time = SYSTEMTIME{2026, 12, 1, 7, 9, 41, 7, 250};
    faults.clear();
    actions.clear();
    other_process_token = Make_Standard_User_Token(1);
    in_other_process = false;
    calls.clear();
    keep_calls = true;
    call_count = 0;
    trace_apis = false;
    api_trace.clear();
    trace_sites = false;
    site_trace.clear();
    fault_hits.clear();
    oplock_waits.clear();
    fault_site = nullptr;
    oem_packages_in_use.clear();
}

void Machine::Add_Fault(const std::string& api, unsigned nth, DWORD error, const Text& match, bool repeat) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    faults.push_back(Fault{api, nth, error, match, repeat, 0});
}

void Machine::Add_Action(const std::string& api, unsigned nth, const Text& match,
                         std::function<void(Machine&)> run) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    actions.push_back(Action{api, nth, match, std::move(run), 0});
}

static bool Contains_No_Case(const Text& haystack, const Text& needle) {
    if (needle.empty()) return true;
    if (needle.size() > haystack.size()) return false;
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i)
        if (Same_Name(haystack.substr(i, needle.size()), needle)) return true;
    return false;
}

bool Machine::Take_Fault(const char* api, const Text& subject, DWORD* error) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    // Another process's calls are its own: not the tool's to count or to fail.
    if (in_other_process) return false;
    for (size_t i = 0; i < actions.size(); ++i) {
        if (actions[i].api != api || !Contains_No_Case(subject, actions[i].match)) continue;
        if (++actions[i].seen != actions[i].nth) continue;
        std::function<void(Machine&)> run = actions[i].run;  // a copy: the action may add actions
        DWORD tool_error = GetLastError();  // the other process has its own
        in_other_process = true;
        run(*this);
        in_other_process = false;
        SetLastError(tool_error);
    }
    ++call_count;
    if (trace_apis) {
        api_trace.push_back(api);
        if (trace_sites) site_trace.push_back(fault_site ? fault_site() : std::string());
    }
    bool hit = false;
    for (Fault& fault : faults) {
        if (fault.api != api || !Contains_No_Case(subject, fault.match)) continue;
        ++fault.seen;
        if (!hit && (fault.seen == fault.nth || (fault.repeat && fault.seen > fault.nth))) {
            hit = true;
            if (error) *error = fault.error;
            fault_hits.push_back({api, subject, debug_output.size(), fault_site ? fault_site() : std::string(),
                                  GetCurrentThreadId()});
        }
    }
    return hit;
}

bool Machine::Record_Call(const char* api, const Text& subject, DWORD* error, const std::string& note) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (in_other_process) return false;
    if (keep_calls) {
        std::string call = api;
        if (!subject.empty()) call += " " + To_Utf8(subject);
        if (!note.empty()) call += " " + note;
        calls.push_back(std::move(call));
    }
    return Take_Fault(api, subject, error);
}

Fs_Node* Machine::Find_Path(const Text& path, Fs_Node** parent, Text* last) {
    Path_Lookup found = Look_Up(*this, path, false);
    if (parent) *parent = found.parent;
    if (last) *last = found.last;
    return found.node;
}

Fs_Node* Machine::Make_Folders(const Text& path) {
    Win32_Path parsed = Parse_Win32_Path(path, false);  // the machine's own, not a call's: any length
    if (parsed.error != ERROR_SUCCESS) return nullptr;
    Fs_Node* node = &drive_c;
    for (const Text& part : parsed.Parts()) {
        Fs_Node* child = node->Find_Child(part);
        if (child && !child->link_target.empty()) child = Look_Up(*this, child->link_target, true).node;
        else if (!child) child = node->Add_Child(part, true);
        if (!child || !child->directory) return nullptr;
        node = child;
    }
    // A Windows or program folder made here has the security Windows gives it.
    Apply_Default_File_Security(*this);
    return node;
}

void Machine::Set_Local_System(bool value) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (value != local_system) std::swap(hkcu, other_profile);
    local_system = value;
}

Reg_Key* Machine::Users_Hive(const Text& name) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (process_token && Same_Name(name, From_Utf8(process_token->user))) return &hkcu;
    if (Same_Name(name, u".DEFAULT") || Same_Name(name, u"S-1-5-18")) return &System_Profile();
    if (!user_sid.empty() && Same_Name(name, From_Utf8(user_sid))) return &User_Profile();
    return users.Find_Subkey(name);
}

Reg_Key* Machine::Root_Key(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE) return &hklm;
    if (root == HKEY_CURRENT_USER) return &hkcu;
    if (root == HKEY_CLASSES_ROOT) return hklm.Add_Subkey(u"SOFTWARE")->Add_Subkey(u"Classes");
    return nullptr;
}

Machine& The_Machine() {
    static Machine* machine = new Machine();  // never destroyed: static destructors of the tool may still log
    return *machine;
}

}  // namespace winsim

namespace winsim {

std::string Machine::Computer_Name() const {
    if (!computer_name.empty()) return computer_name;
    if (!collected_computer.empty()) return collected_computer;
    return "VPSIM-PC";
}

}  // namespace winsim
