// Scenario folders: machine.ini (OS identity, code page, how the tool is started, files in use,
// read-only files, junctions, protected keys, injected faults), registry.reg and drive_c/, loaded
// into a Machine and written back from one.
#include "machine/machine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "scenario/collected.h"
#include "scenario/host_files.h"
#include "machine/paths.h"
#include "machine/tree_walk.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

const char16_t kDefaultModulePath[] = u"C:\\vpRemovalTool.exe";

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return std::string();
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

bool Read_File(const fs::path& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path.u8string() + ": cannot read: " + std::strerror(errno);
        return false;
    }
    std::error_code failure;
    uintmax_t size = fs::file_size(path, failure);
    if (!failure) bytes.resize(size_t(size));
    if (failure || !in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()))) {
        error = path.u8string() + ": cannot read";
        return false;
    }
    return true;
}

bool Write_File(const fs::path& path, const void* bytes, size_t size, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(bytes), std::streamsize(size));
    out.close();
    if (!out) {
        error = path.u8string() + ": cannot write: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool Write_File(const fs::path& path, const std::string& bytes, std::string& error) {
    return Write_File(path, bytes.data(), bytes.size(), error);
}

// registry.reg, read in blocks as it is imported.
bool Import_Registry(Machine& machine, const fs::path& path, std::string& error) {
    Host_File file = Open_Host_File(path, "rb");
    if (!file) {
        error = path.u8string() + ": cannot read: " + std::strerror(errno);
        return false;
    }
    std::error_code failure;
    uintmax_t size = fs::file_size(path, failure);
    bool ok;
    if (failure) {
        error = path.u8string() + ": cannot read";
        ok = false;
    } else {
        ok = Import_Registry_File(machine, file.get(), size, "registry.reg", error);
        if (!ok && error == "registry.reg: cannot read") error = path.u8string() + ": cannot read";
    }
    return ok;
}

// registry.reg, written key by key as it is exported.
bool Write_Registry(const Machine& machine, const fs::path& path, std::string& error) {
    Host_File file = Open_Host_File(path, "wb");
    bool ok = file && Export_Registry_File(machine, file.get());
    if (file && std::fclose(file.release()) != 0) ok = false;
    if (!ok) error = path.u8string() + ": cannot write: " + std::strerror(errno);
    return ok;
}

// ---- machine.ini ----

bool Parse_Number(const std::string& text, unsigned long max, unsigned long& number) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    number = std::stoul(text);
    return number <= max;
}

bool Set_Version(Machine& machine, const std::string& value) {
    size_t dot = value.find('.');
    unsigned long major, minor;
    if (dot == std::string::npos || !Parse_Number(value.substr(0, dot), 0xFFFFFFFFul, major) ||
        !Parse_Number(value.substr(dot + 1), 0xFFFFFFFFul, minor))
        return false;
    machine.os.major = DWORD(major);
    machine.os.minor = DWORD(minor);
    return true;
}

bool Set_Build(Machine& machine, const std::string& value) {
    unsigned long number;
    if (!Parse_Number(value, 0xFFFFFFFFul, number)) return false;
    machine.os.build = DWORD(number);
    return true;
}

bool Set_Service_Pack(Machine& machine, const std::string& value) {
    unsigned long number;
    if (!Parse_Number(value, 0xFFFF, number)) return false;
    machine.os.service_pack = WORD(number);
    return true;
}

bool Set_Product(Machine& machine, const std::string& value) {
    if (Lower(value) == "workstation") machine.os.product_type = VER_NT_WORKSTATION;
    else if (Lower(value) == "server") machine.os.product_type = VER_NT_SERVER;
    else return false;
    return true;
}

bool Set_Suite(Machine& machine, const std::string& value) {
    if (Lower(value) != "embedded") return false;
    machine.os.suite_mask = VER_SUITE_EMBEDDEDNT;
    return true;
}

bool Set_Code_Page(Machine& machine, const std::string& value) {
    if (value != "1252" && value != "1251") return false;
    machine.code_page = UINT(std::stoul(value));
    return true;
}

bool Set_Path(Machine& machine, const std::string& value) {
    if (value.empty()) return false;
    machine.module_path = From_Utf8(value);
    return true;
}

bool Set_Account(Machine& machine, const std::string& value) {
    if (Lower(value) == "administrator") machine.Set_Local_System(false);
    else if (Lower(value) == "localsystem") machine.Set_Local_System(true);
    else return false;
    return true;
}

bool Set_User_Name(Machine& machine, const std::string& value) {
    machine.user_name = value;
    return !value.empty();
}

bool Set_Computer(Machine& machine, const std::string& value) {
    machine.computer_name = value;
    return !value.empty() && value.size() <= 15;  // a NetBIOS name
}

bool Set_Collected_Computer(Machine& machine, const std::string& value) {
    machine.collected_computer = value;
    return !value.empty();
}

bool Set_Collected_Date(Machine& machine, const std::string& value) {
    machine.collected_date = value;
    return !value.empty();
}

// A security identifier in its text form: S-1- and numbers separated by hyphens.
bool Set_User_Sid(Machine& machine, const std::string& value) {
    machine.user_sid = value;
    return value.size() > 4 && value.compare(0, 4, "S-1-") == 0 && value.back() != '-' &&
           value.find("--") == std::string::npos && value.find_first_not_of("0123456789-", 4) == std::string::npos;
}

bool Set_Yes_No(bool& flag, const std::string& value) {
    if (Lower(value) == "yes") flag = true;
    else if (Lower(value) == "no") flag = false;
    else return false;
    return true;
}

bool Set_Remote_Session(Machine& machine, const std::string& value) { return Set_Yes_No(machine.remote_session, value); }

// "yes" or "no", "yes owner=SID" for a mutex of that name that another account created.
bool Set_Installer_Busy(Machine& machine, const std::string& value) {
    const std::string owner_field = " owner=";
    size_t owner_at = value.find(owner_field);
    machine.installer_owner = "S-1-5-18";
    if (owner_at == std::string::npos) return Set_Yes_No(machine.installer_busy, value);
    std::string owner = value.substr(owner_at + owner_field.size());
    if (!Set_Yes_No(machine.installer_busy, value.substr(0, owner_at)) || !machine.installer_busy) return false;
    machine.installer_owner = owner;
    return owner.size() > 4 && owner.compare(0, 4, "S-1-") == 0 &&
           owner.find_first_not_of("0123456789-", 4) == std::string::npos;
}

bool Set_Smart_Card_Service(Machine& machine, const std::string& value) {
    if (Lower(value) == "running") machine.smart_card_service = true;
    else if (Lower(value) == "stopped") machine.smart_card_service = false;
    else return false;
    return true;
}

// The keys that name files, folders and keys: applied once registry.reg and drive_c are loaded.
// Each gives its complaint in why.

Text Utf16(const std::string& value) { return From_Utf8(value); }

bool Find_Entry(Machine& machine, const std::string& value, Fs_Node*& node, std::string& why) {
    Path_Lookup found = Look_Up(machine, Utf16(value), false);
    node = found.node;
    if (!node) why = "no file or folder \"" + value + "\" on drive C:";
    return node != nullptr;
}

bool Set_Locked(Machine& machine, const std::string& value, std::string& why) {
    Fs_Node* node;
    if (!Find_Entry(machine, value, node, why)) return false;
    node->held_open = true;
    node->held_share = 0;
    return true;
}

// PATH share=SHARING: a file held open by another process for reading and writing, sharing what the
// letters say (r reading, w writing, d deletion; each at most once).
bool Set_Open(Machine& machine, const std::string& value, std::string& why) {
    size_t separator = value.find(" share=");
    DWORD share = 0;
    std::string letters = separator == std::string::npos ? std::string() : Trim(value.substr(separator + 7));
    for (char letter : letters) {
        DWORD bit = letter == 'r' ? FILE_SHARE_READ : letter == 'w' ? FILE_SHARE_WRITE : letter == 'd' ? FILE_SHARE_DELETE : 0;
        if (bit == 0 || (share & bit)) {
            share = 0;
            break;
        }
        share |= bit;
    }
    if (share == 0) {
        why = "bad value \"" + value + "\" for open; expected PATH share=SHARING (letters of r, w, d)";
        return false;
    }
    Fs_Node* node;
    if (!Find_Entry(machine, Trim(value.substr(0, separator)), node, why)) return false;
    if (node->directory) {
        why = "open \"" + Trim(value.substr(0, separator)) + "\" is a folder; a folder in use is locked=";
        return false;
    }
    node->held_open = true;
    node->held_share = share;
    return true;
}

// PATH: a file on which another process holds a batch opportunistic lock (Fs_Node::oplocked).
bool Set_Oplocked(Machine& machine, const std::string& value, std::string& why) {
    Fs_Node* node;
    if (!Find_Entry(machine, value, node, why)) return false;
    if (node->directory) {
        why = "oplocked \"" + value + "\" is a folder; only a file's oplock is modelled";
        return false;
    }
    node->oplocked = true;
    return true;
}

bool Set_Read_Only(Machine& machine, const std::string& value, std::string& why) {
    Fs_Node* node;
    if (!Find_Entry(machine, value, node, why)) return false;
    node->attributes |= FILE_ATTRIBUTE_READONLY;
    if (node->names)
        for (Fs_Node* name : *node->names) name->attributes = node->attributes;
    return true;
}

// A LINK => TARGET value of [files]: the target (a folder for a junction, a file for a hard link) and
// the place of the new entry, which must not exist yet.
bool Link_Places(Machine& machine, const std::string& value, const std::string& kind, bool folder, Path_Lookup& to,
                 Path_Lookup& at, std::string& why) {
    size_t arrow = value.find("=>");
    if (arrow == std::string::npos) {
        why = "bad value \"" + value + "\" for " + kind + "; expected LINK => TARGET";
        return false;
    }
    std::string link = Trim(value.substr(0, arrow)), target = Trim(value.substr(arrow + 2));
    to = Look_Up(machine, Utf16(target), true);
    if (!to.node || to.node->directory != folder) {
        why = kind + " target \"" + target + "\" is no " + (folder ? "folder" : "file") + " on drive C:";
        return false;
    }
    at = Look_Up(machine, Utf16(link), false);
    if (at.node || at.error != ERROR_FILE_NOT_FOUND) {
        why = kind + " \"" + link + "\": " + (at.node ? "already exists" : "its folder does not exist");
        return false;
    }
    return true;
}

bool Set_Junction(Machine& machine, const std::string& value, std::string& why) {
    Path_Lookup to, at;
    if (!Link_Places(machine, value, "junction", true, to, at, why)) return false;
    Fs_Node* entry = at.parent->Add_Child(at.last, true);
    entry->attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    entry->Link_To(to.full);
    return true;
}

// A name of a file other than its first: written as a hard link, not as a file of drive_c/.
bool Is_Further_Name(const Fs_Node& entry) { return entry.names && entry.names->front() != &entry; }

// Another name of an existing file (a hard link): it shares the file's security and attributes.
bool Set_Hard_Link(Machine& machine, const std::string& value, std::string& why) {
    Path_Lookup to, at;
    if (!Link_Places(machine, value, "hardlink", false, to, at, why)) return false;
    at.parent->Add_Name(at.last, *to.node);
    return true;
}

// The key at a full path of the scenario's hives (Scenario_Hive), or null.
Reg_Key* Find_Scenario_Key(Machine& machine, const Text& path) {
    std::vector<Text> names = Split_Names(path);
    Reg_Key* key = Scenario_Hive(machine, names);
    for (size_t i = 0; key && i < names.size(); ++i) key = key->Find_Subkey(names[i]);
    return key;
}

bool Set_Protected(Machine& machine, const std::string& value, std::string& why) {
    Reg_Key* key = Find_Scenario_Key(machine, Utf16(value));
    if (!key) {
        why = "no registry key \"" + value + "\" (HKEY_LOCAL_MACHINE\\... or HKEY_CURRENT_USER\\...)";
        return false;
    }
    key->write_protected = true;
    return true;
}

// The hive key of a full path ("HKEY_LOCAL_MACHINE\\..." or "HKEY_CURRENT_USER\\...") and the names below it.
bool Split_Key_Path(Machine& machine, const Text& path, Reg_Key*& hive, std::vector<Text>& names) {
    names = Split_Names(path);
    hive = Scenario_Hive(machine, names);
    return hive != nullptr;
}

// LINK target=TARGET: a new key LINK (its parent must exist) that is a symbolic link to TARGET, which
// need not exist. Both are full paths below HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER.
bool Set_Link(Machine& machine, const std::string& value, std::string& why) {
    size_t separator = value.find(" target=");
    if (separator == std::string::npos) {
        why = "bad value \"" + value + "\" for link; expected KEY target=KEY";
        return false;
    }
    std::string link = Trim(value.substr(0, separator)), target = Trim(value.substr(separator + 8));
    Reg_Key* hive = nullptr;
    std::vector<Text> names;
    if (!Split_Key_Path(machine, Utf16(link), hive, names) || names.empty()) {
        why = "link \"" + link + "\" is no key path below HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER";
        return false;
    }
    Reg_Key* parent = hive;
    for (size_t i = 0; parent && i + 1 < names.size(); ++i) parent = parent->Find_Subkey(names[i]);
    if (!parent || parent->Find_Subkey(names.back())) {
        why = "link \"" + link + "\": " + (parent ? "already exists" : "its parent key does not exist");
        return false;
    }
    Reg_Key* target_hive = nullptr;
    std::vector<Text> target_names;
    if (!Split_Key_Path(machine, Utf16(target), target_hive, target_names)) {
        why = "link target \"" + target + "\" is no key path below HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER";
        return false;
    }
    Text text = target_hive == &machine.hklm ? Text(u"\\Registry\\Machine")
                                             : u"\\Registry\\User\\" + From_Utf8(machine.process_token->user);
    for (const Text& name : target_names) text += u"\\" + name;
    std::vector<uint8_t> data;
    for (char16_t c : text) {
        data.push_back(uint8_t(c & 0xFF));
        data.push_back(uint8_t(c >> 8));
    }
    Reg_Key* key = parent->Add_Subkey(names.back());
    key->link = true;
    key->Set_Value(u"SymbolicLinkValue", REG_LINK, data);
    return true;
}

// Names in key= and value= lines of [registry]: a zero character is written %00 and a percent sign
// %%, so that names regedit files cannot hold fit a line.
bool Unescape_Name(const Text& text, Text& name) {
    name.clear();
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != u'%') {
            name += text[at];
        } else if (text.compare(at + 1, 1, u"%") == 0) {
            name += u'%';
            at += 1;
        } else if (text.compare(at + 1, 2, u"00") == 0) {
            name += char16_t(0);
            at += 2;
        } else {
            return false;
        }
    }
    return true;
}

std::string Escape_Name(const Text& name) {
    Text text;
    for (char16_t c : name) {
        if (c == 0) text += u"%00";
        else if (c == u'%') text += u"%%";
        else text += c;
    }
    return To_Utf8(text);
}

const char kBadEscape[] = "; a name writes a zero character as %00 and a percent sign as %%";

// The hive and the unescaped names of a key path of a key= or value= line.
bool Split_Escaped_Key_Path(Machine& machine, const std::string& path, Reg_Key*& hive, std::vector<Text>& names,
                            std::string& why) {
    if (!Split_Key_Path(machine, Utf16(path), hive, names) || names.empty()) {
        why = "\"" + path + "\" is no key path below HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER";
        return false;
    }
    for (Text& name : names) {
        Text escaped = name;
        if (!Unescape_Name(escaped, name)) {
            why = "bad escape in \"" + path + "\"" + kBadEscape;
            return false;
        }
    }
    return true;
}

// KEY: a key that registry.reg cannot hold (a name on its path has a zero character); its parent must
// exist.
bool Set_Key(Machine& machine, const std::string& value, std::string& why) {
    Reg_Key* parent = nullptr;
    std::vector<Text> names;
    if (!Split_Escaped_Key_Path(machine, value, parent, names, why)) return false;
    for (size_t i = 0; parent && i + 1 < names.size(); ++i) parent = parent->Find_Subkey(names[i]);
    if (!parent) {
        why = "key \"" + value + "\": its parent key does not exist";
        return false;
    }
    parent->Add_Subkey(names.back());
    return true;
}

// "hex(TYPE):xx,xx,...": a value's type and bytes, as regedit writes them, on one line.
bool Parse_Hex_Data(const std::string& text, DWORD& type, std::vector<uint8_t>& data) {
    const std::string digits = "0123456789abcdefABCDEF";
    size_t close = text.find("):");
    if (text.compare(0, 4, "hex(") != 0 || close == std::string::npos || close == 4 || close > 12 ||
        text.find_first_not_of(digits, 4) != close)
        return false;
    type = DWORD(std::stoul(text.substr(4, close - 4), nullptr, 16));
    data.clear();
    std::string bytes = text.substr(close + 2);
    for (size_t at = 0; at < bytes.size(); at += 3) {
        if (at + 2 > bytes.size() || digits.find(bytes[at]) == std::string::npos ||
            digits.find(bytes[at + 1]) == std::string::npos || (at + 2 < bytes.size() && bytes[at + 2] != ','))
            return false;
        data.push_back(uint8_t(std::stoul(bytes.substr(at, 2), nullptr, 16)));
    }
    return true;
}

std::string Hex_Data_Text(const Reg_Value& value) {
    char text[16];
    std::snprintf(text, sizeof text, "hex(%x):", unsigned(value.type));
    std::string out = text;
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(text, sizeof text, i ? ",%02x" : "%02x", value.data[i]);
        out += text;
    }
    return out;
}

// KEY [data=hex(TYPE):BYTES] name=NAME: a value that registry.reg cannot hold (a zero character in its
// name or on its key's path) of an existing key; without data= an empty REG_SZ. NAME runs to the end
// of the line.
bool Set_Named_Value(Machine& machine, const std::string& value, std::string& why) {
    size_t name_at = value.find(" name=");
    if (name_at == std::string::npos) {
        why = "bad value \"" + value + "\" for value; expected KEY [data=hex(TYPE):BYTES] name=NAME";
        return false;
    }
    Text name;
    if (!Unescape_Name(Utf16(value.substr(name_at + 6)), name)) {
        why = "bad escape in the value name \"" + value.substr(name_at + 6) + "\"" + kBadEscape;
        return false;
    }
    std::string path = Trim(value.substr(0, name_at));
    DWORD type = REG_SZ;
    std::vector<uint8_t> data = {0, 0};
    size_t data_at = path.rfind(" data=");
    if (data_at != std::string::npos) {
        std::string text = Trim(path.substr(data_at + 6));
        if (!Parse_Hex_Data(text, type, data)) {
            why = "bad data \"" + text + "\"; expected hex(TYPE):BYTES, TYPE and each byte in hexadecimal digits";
            return false;
        }
        path = Trim(path.substr(0, data_at));
    }
    Reg_Key* key = nullptr;
    std::vector<Text> names;
    if (!Split_Escaped_Key_Path(machine, path, key, names, why)) return false;
    for (size_t i = 0; key && i < names.size(); ++i) key = key->Find_Subkey(names[i]);
    if (!key) {
        why = "value \"" + value + "\": its key does not exist";
        return false;
    }
    key->Set_Value(name, type, std::move(data));
    return true;
}

// Splits a value "OBJECT sddl=SDDL" of the key `key`; false (with why) when it has no " sddl=".
bool Split_Sddl_Value(const std::string& value, const std::string& key, const std::string& object,
                      std::string& path, std::string& sddl, std::string& why) {
    size_t separator = value.find(" sddl=");
    if (separator == std::string::npos) {
        why = "bad value \"" + value + "\" for " + key + "; expected " + object + " sddl=SDDL";
        return false;
    }
    path = Trim(value.substr(0, separator));
    sddl = Trim(value.substr(separator + 6));
    return true;
}

// KEY sddl=SDDL: what the key states of its own security (owner, group, its own access entries).
bool Set_Security(Machine& machine, const std::string& value, std::string& why) {
    std::string path, sddl;
    if (!Split_Sddl_Value(value, "key", "KEY", path, sddl, why)) return false;
    Reg_Key* key = Find_Scenario_Key(machine, Utf16(path));
    if (!key || key == &machine.hklm || key == &machine.hkcu || key == &machine.other_profile) {
        why = "no registry key \"" + path + "\" below HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER";
        return false;
    }
    auto security = std::make_shared<Key_Security>();
    if (!Parse_Key_Sddl(sddl, *security, why)) return false;
    key->security = security;
    return true;
}

// PATH sddl=SDDL: what a file or folder of drive C: states of its own security.
bool Set_File_Security(Machine& machine, const std::string& value, std::string& why) {
    std::string path, sddl;
    if (!Split_Sddl_Value(value, "file", "PATH", path, sddl, why)) return false;
    Fs_Node* node = Find_File_By_Path(machine, Utf16(path));
    if (!node) {
        why = "no file or folder \"" + path + "\" below C:\\";
        return false;
    }
    auto security = std::make_shared<Key_Security>();
    if (!Parse_Key_Sddl(sddl, *security, why)) return false;
    node->Set_Security(security);
    return true;
}

// API:NTH[+]:ERROR[:MATCH]: the NTH call of API (counting only calls whose path or name contains
// MATCH) fails with ERROR; with '+' every later matching call fails too.
bool Set_Fault(Machine& machine, const std::string& value, std::string& why) {
    why = "bad value \"" + value + "\" for fault; expected API:NTH[+]:ERROR[:MATCH]";
    size_t first = value.find(':');
    size_t second = first == std::string::npos ? first : value.find(':', first + 1);
    if (second == std::string::npos) return false;
    size_t third = value.find(':', second + 1);
    std::string api = value.substr(0, first);
    std::string nth_text = value.substr(first + 1, second - first - 1);
    std::string error_text = value.substr(second + 1, third == std::string::npos ? third : third - second - 1);
    std::string match = third == std::string::npos ? std::string() : value.substr(third + 1);
    if (api.empty() || api.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") !=
                           std::string::npos)
        return false;
    bool repeat = !nth_text.empty() && nth_text.back() == '+';
    if (repeat) nth_text.pop_back();
    unsigned long nth, error;
    if (!Parse_Number(nth_text, 0xFFFFFFFFul, nth) || nth == 0 || !Parse_Number(error_text, 0xFFFFFFFFul, error))
        return false;
    machine.Add_Fault(api, unsigned(nth), DWORD(error), Utf16(match), repeat);
    why.clear();
    return true;
}

// A published driver package (oemN.inf) that a connected device uses; it must be in the INF folder.
bool Set_Driver_In_Use(Machine& machine, const std::string& value, std::string& why) {
    Text name = Utf16(value);
    if (!machine.Find_Path(machine.windows_directory + u"\\INF\\" + name)) {
        why = "no driver package \"" + value + "\" in the INF folder";
        return false;
    }
    machine.oem_packages_in_use.push_back(name);
    return true;
}

struct Ini_Key {
    const char* section;
    const char* key;
    const char* expected;  // the accepted values, for the error message
    bool (*apply)(Machine& machine, const std::string& value);
    // Keys that name what registry.reg and drive_c hold; they may be given more than once.
    bool (*apply_later)(Machine& machine, const std::string& value, std::string& why) = nullptr;
};

// A key kept until registry.reg and drive_c are loaded.
struct Later_Key {
    unsigned line;
    const Ini_Key* key;
    std::string value;
};

const Ini_Key kIniKeys[] = {
    {"os", "version", "MAJOR.MINOR", Set_Version},
    {"os", "build", "a number", Set_Build},
    {"os", "service_pack", "a number from 0 to 65535", Set_Service_Pack},
    {"os", "product", "workstation or server", Set_Product},
    {"os", "suite", "embedded", Set_Suite},
    {"os", "codepage", "1252 or 1251", Set_Code_Page},
    {"run", "path", "the tool's path on drive C:", Set_Path},
    {"run", "account", "administrator or localsystem", Set_Account},
    {"run", "remote_session", "yes or no", Set_Remote_Session},
    {"run", "computer", "the computer's name, at most 15 characters", Set_Computer},
    {"user", "name", "the account's name", Set_User_Name},
    {"user", "sid", "a security identifier (S-1-...)", Set_User_Sid},
    {"collection", "computer", "the computer's name", Set_Collected_Computer},
    {"collection", "date", "the date and time of the collection", Set_Collected_Date},
    {"smartcard", "service", "running or stopped", Set_Smart_Card_Service},
    {"installer", "busy", "yes, yes owner=SID, or no", Set_Installer_Busy},
    {"security", "key", "", nullptr, Set_Security},
    {"security", "file", "", nullptr, Set_File_Security},
    {"files", "locked", "", nullptr, Set_Locked},
    {"files", "open", "", nullptr, Set_Open},
    {"files", "oplocked", "", nullptr, Set_Oplocked},
    {"files", "read_only", "", nullptr, Set_Read_Only},
    {"files", "junction", "", nullptr, Set_Junction},
    {"files", "hardlink", "", nullptr, Set_Hard_Link},
    {"registry", "protected", "", nullptr, Set_Protected},
    {"registry", "link", "", nullptr, Set_Link},
    {"registry", "key", "", nullptr, Set_Key},
    {"registry", "value", "", nullptr, Set_Named_Value},
    {"drivers", "in_use", "", nullptr, Set_Driver_In_Use},
    {"faults", "fault", "", nullptr, Set_Fault},
};

bool Load_Ini(Machine& machine, const std::vector<uint8_t>& bytes, std::vector<Later_Key>& later,
              std::string& error) {
    std::string text(bytes.begin(), bytes.end());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::string section;
    std::vector<std::string> seen;  // "section.key" of the keys given so far
    size_t start = 0;
    for (unsigned number = 1; start <= text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        auto fail = [&](const std::string& message) {
            error = "machine.ini:" + std::to_string(number) + ": " + message;
            return false;
        };
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail("section line without a closing ']'");
            section = Lower(Trim(line.substr(1, line.size() - 2)));
            bool known = std::any_of(std::begin(kIniKeys), std::end(kIniKeys),
                                     [&](const Ini_Key& k) { return section == k.section; });
            if (!known) return fail("unknown section [" + section + "]");
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) return fail("expected KEY=VALUE");
        std::string key = Lower(Trim(line.substr(0, equals)));
        std::string value = Trim(line.substr(equals + 1));
        if (section.empty()) return fail("key \"" + key + "\" outside of a section");
        const Ini_Key* known = nullptr;
        for (const Ini_Key& k : kIniKeys)
            if (section == k.section && key == k.key) known = &k;
        if (!known) return fail("unknown key \"" + key + "\" in section [" + section + "]");
        if (known->apply_later) {
            later.push_back(Later_Key{number, known, value});
            continue;
        }
        std::string full = section + "." + key;
        if (std::find(seen.begin(), seen.end(), full) != seen.end())
            return fail("key \"" + key + "\" given twice in section [" + section + "]");
        seen.push_back(full);
        if (!known->apply(machine, value))
            return fail("bad value \"" + value + "\" for " + key + "; expected " + known->expected);
    }
    return true;
}

bool Apply_Later_Keys(Machine& machine, const std::vector<Later_Key>& later, std::string& error) {
    for (const Later_Key& entry : later) {
        std::string why;
        if (!entry.key->apply_later(machine, entry.value, why)) {
            error = "machine.ini:" + std::to_string(entry.line) + ": " + why;
            return false;
        }
    }
    return true;
}

std::string Share_Letters(DWORD share) {
    std::string letters;
    if (share & FILE_SHARE_READ) letters += 'r';
    if (share & FILE_SHARE_WRITE) letters += 'w';
    if (share & FILE_SHARE_DELETE) letters += 'd';
    return letters;
}

// The [files] lines of a folder's tree, in listing order: junctions, hard links (every name of a
// file but its first), files in use (locked or open with sharing), oplocked files, read-only files.
void Save_File_Keys(const Fs_Node& drive_c, const Fs_Node& folder, const std::string& path, std::string& out) {
    std::string walked = path;
    Walk_Tree(folder, walked, '\\', Children_Of, Utf8_Name_Of, [&](const Fs_Node& child, const std::string& child_path) {
        if (!child.link_target.empty()) out += "junction=" + child_path + " => " + To_Utf8(child.link_target) + "\n";
        if (Is_Further_Name(child))
            out += "hardlink=" + child_path + " => " + To_Utf8(Path_Of(drive_c, *child.names->front())) + "\n";
        if (child.held_open && child.held_share == 0) out += "locked=" + child_path + "\n";
        if (child.held_open && child.held_share != 0) out += "open=" + child_path + " share=" + Share_Letters(child.held_share) + "\n";
        if (child.oplocked) out += "oplocked=" + child_path + "\n";
        if ((child.attributes & FILE_ATTRIBUTE_READONLY) && !Is_Further_Name(child))
            out += "read_only=" + child_path + "\n";
        return child.directory;
    });
}

// The full path a link's value names, as a scenario writes it; the value's own text when it names no
// key of the two hives.
std::string Link_Target_Text(Machine& machine, const Reg_Key& link) {
    const Reg_Value* value = nullptr;
    for (const Reg_Value& candidate : link.values)
        if (Same_Name(candidate.name, u"SymbolicLinkValue")) value = &candidate;
    Text text;
    if (value)
        for (size_t i = 0; i + 1 < value->data.size(); i += 2) text += char16_t(value->data[i] | (value->data[i + 1] << 8));
    while (!text.empty() && text.back() == 0) text.pop_back();
    Text machine_prefix = u"\\Registry\\Machine";
    Text user_prefix = u"\\Registry\\User\\" + From_Utf8(machine.process_token->user);
    auto starts = [&](const Text& prefix) {
        return text.size() >= prefix.size() && Same_Name(text.substr(0, prefix.size()), prefix) &&
               (text.size() == prefix.size() || text[prefix.size()] == u'\\');
    };
    if (starts(machine_prefix)) return "HKEY_LOCAL_MACHINE" + To_Utf8(text.substr(machine_prefix.size()));
    if (starts(user_prefix)) return "HKEY_CURRENT_USER" + To_Utf8(text.substr(user_prefix.size()));
    return To_Utf8(text);
}

// path holds the key's path; subkeys append their names to it and take them off again.
void Save_Protected_Keys(Machine& machine, const Reg_Key& key, std::string& path, std::string& out) {
    auto save = [&](const Reg_Key& each, const std::string& each_path) {
        if (each.write_protected) out += "protected=" + each_path + "\n";
        if (each.link) out += "link=" + each_path + " target=" + Link_Target_Text(machine, each) + "\n";
        return true;
    };
    save(key, path);
    Walk_Tree(key, path, '\\', Subkeys_Of, Utf8_Name_Of, save);
}

// key= and value= lines for what registry.reg cannot hold, in tree order: every key with a zero
// character on its path (hidden: one above it has), with all its values, and every other value whose
// name has one. path holds the key's path; subkeys append their names to it and take them off again.
void Save_Zero_Names(const Reg_Key& key, std::string& path, bool hidden, std::string& out) {
    auto values = [&](const Reg_Key& each, const std::string& each_path, bool each_hidden) {
        for (const Reg_Value& value : each.values) {
            if (each_hidden || Holds_Zero(value.name))
                out += "value=" + each_path + " data=" + Hex_Data_Text(value) + " name=" + Escape_Name(value.name) + "\n";
        }
    };
    values(key, path, hidden);
    // Whether each key on the way down is hidden, the walked key's last.
    std::vector<bool> above{hidden};
    Walk_Tree(key, path, '\\', Subkeys_Of, [](const Reg_Key& subkey) { return Escape_Name(subkey.name); },
              [&](const Reg_Key& subkey, const std::string& subkey_path) {
                  bool subkey_hidden = above.back() || Holds_Zero(subkey.name);
                  if (subkey_hidden) out += "key=" + subkey_path + "\n";
                  values(subkey, subkey_path, subkey_hidden);
                  above.push_back(subkey_hidden);
                  return true;
              },
              [&](const Reg_Key&, const std::string&) { above.pop_back(); });
}

void Save_Security_Keys(const Reg_Key& key, const std::string& path, std::string& out) {
    std::string walked = path;
    Walk_Tree(key, walked, '\\', Subkeys_Of, Utf8_Name_Of, [&](const Reg_Key& subkey, const std::string& subkey_path) {
        if (subkey.security) {
            std::string sddl = Stated_Sddl(*subkey.security);
            if (!sddl.empty()) out += "key=" + subkey_path + " sddl=" + sddl + "\n";
        }
        return true;
    });
}

// What files and folders state of their own security, in listing order; Windows' defaults are not
// written (loading applies them).
void Save_Security_Files(const Fs_Node& folder, const std::string& path, std::string& out) {
    std::string walked = path;
    Walk_Tree(folder, walked, '\\', Children_Of, Utf8_Name_Of, [&](const Fs_Node& child, const std::string& child_path) {
        if (child.security && !Is_Default_File_Security(child.security)) {
            std::string sddl = Stated_Sddl(*child.security);
            if (!sddl.empty()) out += "file=" + child_path + " sddl=" + sddl + "\n";
        }
        return child.link_target.empty();
    });
}

// Injected faults are not written back: they belong to a run, not to the machine.
std::string Save_Ini(Machine& machine) {
    std::string out = "[os]\n";
    out += "version=" + std::to_string(machine.os.major) + "." + std::to_string(machine.os.minor) + "\n";
    out += "build=" + std::to_string(machine.os.build) + "\n";
    out += "service_pack=" + std::to_string(machine.os.service_pack) + "\n";
    const char* product = machine.os.product_type == VER_NT_WORKSTATION ? "workstation" : "server";
    out += std::string("product=") + product + "\n";
    if (machine.os.suite_mask & VER_SUITE_EMBEDDEDNT) out += "suite=embedded\n";
    out += "codepage=" + std::to_string(machine.code_page) + "\n";
    std::string run;
    if (machine.module_path != kDefaultModulePath) run += "path=" + To_Utf8(machine.module_path) + "\n";
    if (machine.local_system) run += "account=localsystem\n";
    if (machine.remote_session) run += "remote_session=yes\n";
    if (!machine.computer_name.empty()) run += "computer=" + machine.computer_name + "\n";
    if (!run.empty()) out += "\n[run]\n" + run;
    std::string user;
    if (!machine.user_name.empty()) user += "name=" + machine.user_name + "\n";
    if (!machine.user_sid.empty()) user += "sid=" + machine.user_sid + "\n";
    if (!user.empty()) out += "\n[user]\n" + user;
    std::string collection;
    if (!machine.collected_computer.empty()) collection += "computer=" + machine.collected_computer + "\n";
    if (!machine.collected_date.empty()) collection += "date=" + machine.collected_date + "\n";
    if (!collection.empty()) out += "\n[collection]\n" + collection;
    if (!machine.smart_card_service) out += "\n[smartcard]\nservice=stopped\n";
    if (machine.installer_busy) {
        out += "\n[installer]\nbusy=yes";
        if (machine.installer_owner != "S-1-5-18") out += " owner=" + machine.installer_owner;
        out += "\n";
    }
    std::string files;
    Save_File_Keys(machine.drive_c, machine.drive_c, "C:", files);
    if (!files.empty()) out += "\n[files]\n" + files;
    std::vector<std::pair<const Reg_Key*, std::string>> hives = {{&machine.hklm, "HKEY_LOCAL_MACHINE"},
                                                                 {&machine.User_Profile(), "HKEY_CURRENT_USER"},
                                                                 {&machine.System_Profile(), "HKEY_USERS\\.DEFAULT"}};
    for (const auto& hive : machine.users.subkeys) hives.emplace_back(hive.get(), "HKEY_USERS\\" + To_Utf8(hive->name));
    std::string keys;
    for (const auto& hive : hives) {
        std::string path = hive.second;
        Save_Protected_Keys(machine, *hive.first, path, keys);
    }
    for (const auto& hive : hives) {
        std::string path = hive.second;
        Save_Zero_Names(*hive.first, path, false, keys);
    }
    if (!keys.empty()) out += "\n[registry]\n" + keys;
    std::string security;
    for (const auto& hive : hives) Save_Security_Keys(*hive.first, hive.second, security);
    if (machine.drive_c.security && !Is_Default_File_Security(machine.drive_c.security)) {
        std::string sddl = Stated_Sddl(*machine.drive_c.security);
        if (!sddl.empty()) security += "file=C:\\ sddl=" + sddl + "\n";
    }
    Save_Security_Files(machine.drive_c, "C:", security);
    if (!security.empty()) out += "\n[security]\n" + security;
    std::string packages;
    for (const Text& name : machine.oem_packages_in_use) {
        if (machine.Find_Path(machine.windows_directory + u"\\INF\\" + name))
            packages += "in_use=" + To_Utf8(name) + "\n";
    }
    if (!packages.empty()) out += "\n[drivers]\n" + packages;
    return out;
}

// ---- drive_c ----

// Names that Windows' file calls cannot create: reserved characters, control characters, a
// trailing dot or blank.
bool Is_Windows_Name(const Text& name) {
    if (name.empty() || name == u"." || name == u"..") return false;
    for (char16_t c : name)
        if (c < 0x20 || Text(u"\\/:*?\"<>|").find(c) != Text::npos) return false;
    return name.back() != u'.' && name.back() != u' ';
}

// Loads a host folder's tree into folder, entries in name order, each folder's entries before the
// next entry of its own folder; a stack of its own keeps a deep tree off the call stack.
bool Load_Folder(const fs::path& top_host, Fs_Node& top, const std::string& top_shown, std::string& error) {
    struct Frame {
        std::vector<fs::directory_entry> entries;
        size_t next = 0;
        Fs_Node* folder;
        std::string shown;
    };
    std::vector<Frame> stack;
    auto enter = [&](const fs::path& host, Fs_Node& folder, const std::string& shown) {
        Frame frame;
        frame.folder = &folder;
        frame.shown = shown;
        std::error_code failure;
        for (fs::directory_iterator it(host, failure), end; !failure && it != end; it.increment(failure))
            frame.entries.push_back(*it);
        if (failure) {
            error = shown + ": cannot list: " + failure.message();
            return false;
        }
        std::sort(frame.entries.begin(), frame.entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
            return a.path().filename().u8string() < b.path().filename().u8string();
        });
        stack.push_back(std::move(frame));
        return true;
    };
    if (!enter(top_host, top, top_shown)) return false;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.entries.size()) {
            stack.pop_back();
            continue;
        }
        const fs::directory_entry entry = frame.entries[frame.next++];
        Fs_Node& folder = *frame.folder;
        std::string host_name = entry.path().filename().u8string();
        std::string entry_shown = frame.shown + "/" + host_name;
        Text name = From_Utf8(host_name);
        if (!Is_Windows_Name(name)) {
            error = entry_shown + ": not a valid Windows file name";
            return false;
        }
        if (Fs_Node* other = folder.Find_Child(name)) {
            error = entry_shown + ": name differs only in case from \"" + To_Utf8(other->name) + "\"";
            return false;
        }
        fs::file_status status = entry.symlink_status();
        if (fs::is_directory(status)) {
            // frame is not used past this point: entering moves the frames.
            if (!enter(entry.path(), *folder.Add_Child(name, true), entry_shown)) return false;
        } else if (fs::is_regular_file(status)) {
            std::vector<uint8_t> bytes;
            if (!Read_File(entry.path(), bytes, error)) return false;
            folder.Add_Child(name, false)->data = std::move(bytes);
        } else {
            error = entry_shown + ": neither a file nor a folder (links are not supported)";
            return false;
        }
    }
    return true;
}

// Writes a folder's tree below host; a stack of its own keeps a deep tree off the call stack.
bool Save_Folder(const Fs_Node& top, const fs::path& top_host, std::string& error) {
    std::vector<std::pair<const Fs_Node*, fs::path>> pending{{&top, top_host}};
    while (!pending.empty()) {
        const Fs_Node* folder = pending.back().first;
        const fs::path host = std::move(pending.back().second);
        pending.pop_back();
        std::error_code failure;
        fs::create_directories(host, failure);
        if (failure) {
            error = host.u8string() + ": cannot create: " + failure.message();
            return false;
        }
        for (const auto& child : folder->children) {
            if (!child->link_target.empty() || Is_Further_Name(*child)) continue;  // written to machine.ini
            fs::path path = host / fs::u8path(To_Utf8(child->name));
            if (child->directory) pending.emplace_back(child.get(), std::move(path));
            else if (!Write_File(path, child->data.data(), child->data.size(), error)) return false;
        }
    }
    return true;
}

}  // namespace

Reg_Key* Scenario_Hive(Machine& machine, std::vector<Text>& names) {
    size_t root_names = 1;
    Reg_Key* hive = nullptr;
    if (names.empty()) return nullptr;
    if (Same_Name(names[0], u"HKEY_LOCAL_MACHINE")) {
        hive = &machine.hklm;
    } else if (Same_Name(names[0], u"HKEY_CURRENT_USER")) {
        hive = &machine.User_Profile();
    } else if (Same_Name(names[0], u"HKEY_USERS") && names.size() >= 2 &&
               (Same_Name(names[1], u".DEFAULT") || Same_Name(names[1], u"S-1-5-18"))) {
        hive = &machine.System_Profile();
        root_names = 2;
    } else if (Same_Name(names[0], u"HKEY_USERS") && names.size() >= 2 && !machine.user_sid.empty() &&
               Same_Name(names[1], From_Utf8(machine.user_sid))) {
        hive = &machine.User_Profile();  // [user]'s hive is the one the files call HKEY_CURRENT_USER
        root_names = 2;
    } else if (Same_Name(names[0], u"HKEY_USERS") && names.size() >= 2) {
        // another hive loaded below HKEY_USERS: a user logged on, or a hive loaded by hand
        bool known = machine.users.Find_Subkey(names[1]) != nullptr;
        hive = machine.users.Add_Subkey(names[1]);
        if (!known) hive->security = Make_Root_Security();
        root_names = 2;
    }
    if (hive) names.erase(names.begin(), names.begin() + root_names);
    return hive;
}

bool Load_Machine_Ini(Machine& machine, const std::vector<uint8_t>& bytes, std::string& error) {
    std::vector<Later_Key> later;
    return Load_Ini(machine, bytes, later, error) && Apply_Later_Keys(machine, later, error);
}

bool Load_Scenario(Machine& machine, const std::string& folder, std::string& error) {
    fs::path root = fs::u8path(folder);
    std::error_code failure;
    if (!fs::is_directory(root, failure)) {
        error = folder + ": not a scenario folder";
        return false;
    }
    // machine.ini first: the code page it sets decodes a REGEDIT4 registry.reg.
    std::vector<uint8_t> bytes;
    std::vector<Later_Key> later;
    if (fs::exists(root / "machine.ini", failure)) {
        if (!Read_File(root / "machine.ini", bytes, error) || !Load_Ini(machine, bytes, later, error))
            return false;
    }
    if (fs::exists(root / "registry.reg", failure)) {
        if (!Import_Registry(machine, root / "registry.reg", error)) return false;
    }
    if (fs::exists(root / "drive_c", failure)) {
        if (!fs::is_directory(root / "drive_c", failure)) {
            error = "drive_c: not a folder";
            return false;
        }
        if (!Load_Folder(root / "drive_c", machine.drive_c, "drive_c", error)) return false;
    }
    // What collect-machine.cmd wrote: registry/*.reg and drive_c.listing.
    if (!Load_Collected(machine, folder, error)) return false;
    Apply_Default_File_Security(machine);
    if (!Apply_Later_Keys(machine, later, error)) return false;
    Keep_Inherited_Entries_Of_Hard_Links(machine);
    // The process token the tool runs with: the user's session, or session 2 for a remote desktop one.
    DWORD session = machine.remote_session ? 2 : 1;
    machine.process_token = machine.local_system ? Make_Local_System_Token(session) : Make_Administrator_Token(session);
    return true;
}

bool Save_Scenario(Machine& machine, const std::string& folder, std::string& error) {
    fs::path root = fs::u8path(folder);
    std::error_code failure;
    fs::create_directories(root, failure);
    if (failure) {
        error = folder + ": cannot create: " + failure.message();
        return false;
    }
    return Write_File(root / "machine.ini", Save_Ini(machine), error) &&
           Write_Registry(machine, root / "registry.reg", error) &&
           Save_Folder(machine.drive_c, root / "drive_c", error) && Save_Collected(machine, folder, error);
}

}  // namespace winsim
