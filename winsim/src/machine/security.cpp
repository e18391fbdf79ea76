// The machine's security of registry keys, files and folders: what each object states of its own
// security and what it inherits, owners and access checks, SDDL (the text form in which scenarios
// state security and security.txt reports its changes), the defaults of drive C: and the changes the
// security calls make. advapi32/security.cpp holds the calls themselves and the binary forms of SIDs,
// access lists and descriptors.
//
// A key's security is what it states itself (Key_Security) plus what its parent passes on: the
// entries of a list that is not protected are followed by the parent's inheritable entries, marked
// inherited. So a new access list with inheritable entries reaches every subkey at once, as Windows'
// propagation does. Generic rights in an entry are mapped to the key rights when access is checked
// (Windows splits such an entry on propagation; this model keeps it whole).
#include "machine/security.h"

#include "machine/paths.h"
#include "machine/tree_walk.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace winsim {

namespace {

const char kAdministrators[] = "S-1-5-32-544";

struct Alias {
    const char* code;
    const char* sid;
};
const Alias kAliases[] = {
    {"SY", "S-1-5-18"},     {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"}, {"BA", "S-1-5-32-544"},
    {"BU", "S-1-5-32-545"}, {"BG", "S-1-5-32-546"}, {"PU", "S-1-5-32-547"}, {"WD", "S-1-1-0"},
    {"AU", "S-1-5-11"},     {"CO", "S-1-3-0"},      {"IU", "S-1-5-4"},  {"SU", "S-1-5-6"},
    {"AN", "S-1-5-7"},      {"RC", "S-1-5-12"},
};

struct Right {
    const char* code;
    ACCESS_MASK mask;
};
// Whole masks that SDDL names by one code, tried first.
const Right kWholeRights[] = {
    {"KA", KEY_ALL_ACCESS}, {"KR", KEY_READ}, {"KW", KEY_WRITE},
    {"FA", 0x001F01FF},     {"FR", 0x00120089}, {"FW", 0x00120116}, {"FX", 0x001200A0},
};
// Single rights, in the order SDDL writes them.
const Right kSingleRights[] = {
    {"GA", GENERIC_ALL}, {"GR", GENERIC_READ}, {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
    {"CC", 0x1},         {"DC", 0x2},          {"LC", 0x4},           {"SW", 0x8},
    {"RP", 0x10},        {"WP", 0x20},         {"DT", 0x40},          {"LO", 0x80},
    {"CR", 0x100},       {"SD", DELETE},       {"RC", READ_CONTROL},  {"WD", WRITE_DAC},
    {"WO", WRITE_OWNER},
};
const Right kAceFlags[] = {
    {"OI", OBJECT_INHERIT_ACE}, {"CI", CONTAINER_INHERIT_ACE}, {"NP", NO_PROPAGATE_INHERIT_ACE},
    {"IO", INHERIT_ONLY_ACE},   {"ID", INHERITED_ACE},
};
}  // namespace

std::string Sid_Code(const std::string& sid) {
    for (const Alias& alias : kAliases)
        if (sid == alias.sid) return alias.code;
    return sid;
}
namespace {

// ---- SDDL ----

std::string Rights_Text(ACCESS_MASK mask) {
    for (const Right& right : kWholeRights)
        if (mask == right.mask) return right.code;
    std::string text;
    ACCESS_MASK left = mask;
    for (const Right& right : kSingleRights)
        if (mask & right.mask) {
            text += right.code;
            left &= ~right.mask;
        }
    if (left != 0 || mask == 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", unsigned(mask));
        return hex;
    }
    return text;
}

std::string Ace_Text(const Ace& ace) {
    std::string text = ace.type == ACCESS_DENIED_ACE_TYPE ? "(D;" : "(A;";
    for (const Right& flag : kAceFlags)
        if (ace.flags & flag.mask) text += flag.code;
    return text + ";" + Rights_Text(ace.mask) + ";;;" + Sid_Code(ace.sid) + ")";
}

std::string Effective_Text(const Effective& e) {
    std::string text = "O:" + Sid_Code(e.owner);
    if (!e.group.empty()) text += "G:" + Sid_Code(e.group);
    text += "D:";
    if (e.dacl_protected) text += "P";
    for (const Ace& ace : e.aces) text += Ace_Text(ace);
    return text;
}

// A SID at text[at...]: an alias of two capitals or S-1-...; advances at.
bool Parse_Sid(const std::string& text, size_t& at, std::string& sid) {
    if (text.compare(at, 2, "S-") == 0) {
        size_t end = at + 2;
        while (end < text.size() && (std::isdigit(uint8_t(text[end])) || text[end] == '-')) ++end;
        std::string candidate = text.substr(at, end - at);
        // S-1-AUTHORITY-SUB...: at least an authority, numbers between single dashes.
        if (candidate.compare(0, 4, "S-1-") != 0 || candidate.size() == 4 || candidate.back() == '-' ||
            candidate.find("--") != std::string::npos || std::count(candidate.begin(), candidate.end(), '-') > 17)
            return false;
        for (size_t p = 4, q; p <= candidate.size(); p = q + 1) {
            q = candidate.find('-', p);
            if (q == std::string::npos) q = candidate.size();
            if (q - p > 10 || std::stoull(candidate.substr(p, q - p)) > 0xFFFFFFFFull) return false;
        }
        sid = candidate;
        at = end;
        return true;
    }
    for (const Alias& alias : kAliases)
        if (text.compare(at, 2, alias.code) == 0) {
            sid = alias.sid;
            at += 2;
            return true;
        }
    return false;
}

bool Parse_Codes(const std::string& text, const Right* table, size_t count, ACCESS_MASK& mask) {
    mask = 0;
    for (size_t at = 0; at < text.size(); at += 2) {
        const Right* found = nullptr;
        for (size_t i = 0; i < count; ++i)
            if (text.compare(at, 2, table[i].code) == 0) found = &table[i];
        if (!found) return false;
        mask |= found->mask;
    }
    return true;
}

bool Parse_Ace(const std::string& text, Ace& ace, std::string& why) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t semi; (semi = text.find(';', start)) != std::string::npos; start = semi + 1)
        fields.push_back(text.substr(start, semi - start));
    fields.push_back(text.substr(start));
    why = "bad entry (" + text + ")";
    if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty()) return false;
    if (fields[0] == "A") ace.type = ACCESS_ALLOWED_ACE_TYPE;
    else if (fields[0] == "D") ace.type = ACCESS_DENIED_ACE_TYPE;
    else return false;
    ACCESS_MASK flags;
    if (!Parse_Codes(fields[1], kAceFlags, std::size(kAceFlags), flags)) return false;
    if (flags & INHERITED_ACE) {
        why = "entry (" + text + ") is inherited (ID): inherited entries come from the parent key";
        return false;
    }
    ace.flags = BYTE(flags);
    const std::string& rights = fields[2];
    if (rights.compare(0, 2, "0x") == 0 || rights.compare(0, 2, "0X") == 0) {
        if (rights.size() < 3 || rights.size() > 10 ||
            rights.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos)
            return false;
        ace.mask = ACCESS_MASK(std::stoul(rights.substr(2), nullptr, 16));
    } else {
        bool whole = false;
        for (const Right& right : kWholeRights)
            if (rights == right.code) {
                ace.mask = right.mask;
                whole = true;
            }
        if (!whole && (rights.empty() || !Parse_Codes(rights, kSingleRights, std::size(kSingleRights), ace.mask)))
            return false;
    }
    size_t at = 0;
    if (!Parse_Sid(fields[5], at, ace.sid) || at != fields[5].size()) return false;
    why.clear();
    return true;
}

// ---- effective security ----

// What a key passes on to a subkey (every registry key is a container).
void Inherit(const Effective& parent, std::vector<Ace>& aces) {
    for (const Ace& ace : parent.aces) {
        Ace child = ace;
        if (ace.flags & CONTAINER_INHERIT_ACE) {
            child.flags &= ~INHERIT_ONLY_ACE;
            if (ace.flags & NO_PROPAGATE_INHERIT_ACE)
                child.flags &= ~(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE);
        } else if ((ace.flags & OBJECT_INHERIT_ACE) && !(ace.flags & NO_PROPAGATE_INHERIT_ACE)) {
            child.flags |= INHERIT_ONLY_ACE;  // passed on to objects only: no effect on the subkey
        } else {
            continue;
        }
        child.flags |= INHERITED_ACE;
        aces.push_back(child);
    }
}

// What a key, file or folder states of its own security, before anything is inherited; an object
// stating no owner is owned by Administrators.
Effective Stated_Part(const Key_Security* stated) {
    Effective e;
    e.owner = stated && !stated->owner.empty() ? stated->owner : kAdministrators;
    if (stated) e.group = stated->group;
    if (stated && stated->has_dacl) {
        e.dacl_protected = stated->dacl_protected;
        e.aces = stated->aces;
    }
    return e;
}

Effective Effective_Of(const Reg_Key& key, const Effective* parent) {
    Effective e = Stated_Part(key.security.get());
    if (!e.dacl_protected && parent) Inherit(*parent, e.aces);
    return e;
}
}  // namespace

// The key at a hive and path (physical names), with its effective security; null when missing.
Reg_Key* Walk(Machine& machine, bool machine_hive, const std::vector<Text>& names, Effective& e) {
    Reg_Key* key = machine_hive ? &machine.hklm : &machine.hkcu;
    e = Effective_Of(*key, nullptr);
    for (const Text& name : names) {
        key = key->Find_Subkey(name);
        if (!key) return nullptr;
        e = Effective_Of(*key, &e);
    }
    return key;
}

bool Split_Path(const Text& path, bool& machine_hive, std::vector<Text>& names) {
    names.clear();
    size_t start = 0;
    bool first = true;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == Text::npos) end = path.size();
        Text part = path.substr(start, end - start);
        if (first) {
            if (Same_Name(part, u"HKEY_LOCAL_MACHINE") || Same_Name(part, u"MACHINE")) machine_hive = true;
            else if (Same_Name(part, u"HKEY_CURRENT_USER") || Same_Name(part, u"CURRENT_USER")) machine_hive = false;
            else if (Same_Name(part, u"CLASSES_ROOT")) {
                machine_hive = true;
                names = {u"SOFTWARE", u"Classes"};
            } else return false;
            first = false;
        } else if (!part.empty()) {
            names.push_back(part);
        }
        start = end + 1;
    }
    return !first;
}
namespace {

Text Upper(const Text& text) {
    Text out = text;
    for (char16_t& c : out) c = Upcase(c);
    return out;
}
}  // namespace

// Keeps the security of an entry and of everything below it before its first change; an entry seen
// before had its whole tree kept then, so each is walked once per run. A link (Stops) is kept as the
// entry it is: what it points to is not entered.
template <typename Node, typename Children, typename Effective_Of_Child, typename Stops>
void Snapshot_Tree(Machine& machine, const Node& node, const Text& path, const Effective& e, Children children,
                   Effective_Of_Child effective_of, Stops stops) {
    if (!machine.security_seen.insert(Upper(path)).second) return;
    machine.security_before.emplace_back(path, Effective_Text(e));
    if (stops(node)) return;
    // The effective security of every entry on the way down, the walked entry's last.
    std::vector<Effective> above{e};
    Text walked = path;
    Walk_Tree(node, walked, u'\\', children, Name_Of,
              [&](const Node& child, const Text& child_path) {
                  if (!machine.security_seen.insert(Upper(child_path)).second) return false;
                  Effective child_e = effective_of(child, &above.back());
                  machine.security_before.emplace_back(child_path, Effective_Text(child_e));
                  if (stops(child)) return false;
                  above.push_back(std::move(child_e));
                  return true;
              },
              [&](const Node&, const Text&) { above.pop_back(); });
}

void Snapshot(Machine& machine, const Reg_Key& key, const Text& path, const Effective& e) {
    Snapshot_Tree(machine, key, path, e, Subkeys_Of, Effective_Of, [](const Reg_Key&) { return false; });
}

ACCESS_MASK Map_Generic(ACCESS_MASK mask, bool file) {
    ACCESS_MASK mapped = mask & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
    if (mask & GENERIC_ALL) mapped |= file ? 0x001F01FF : KEY_ALL_ACCESS;
    if (mask & GENERIC_READ) mapped |= file ? 0x00120089 : KEY_READ;
    if (mask & GENERIC_WRITE) mapped |= file ? 0x00120116 : KEY_WRITE;
    if (mask & GENERIC_EXECUTE) mapped |= file ? 0x001200A0 : KEY_EXECUTE;
    return mapped;
}

bool Token_Has_Sid(const Token& token, const std::string& sid) {
    return token.user == sid || std::find(token.groups.begin(), token.groups.end(), sid) != token.groups.end();
}

ACCESS_MASK Granted_Access(const Effective& e, const Token& token, bool file) {
    ACCESS_MASK allowed = 0, denied = 0;
    for (const Ace& ace : e.aces) {
        if ((ace.flags & INHERIT_ONLY_ACE) || !Token_Has_Sid(token, ace.sid)) continue;
        ACCESS_MASK mask = Map_Generic(ace.mask, file);
        if (ace.type == ACCESS_DENIED_ACE_TYPE) denied |= mask & ~allowed;
        else allowed |= mask & ~denied;
    }
    if (Token_Has_Sid(token, e.owner)) allowed |= READ_CONTROL | WRITE_DAC;
    return allowed;
}
namespace {

// ---- files and folders ----

// The folder of a path the machine holds (no length limit: the call that named it was checked).
Text Parent_Path(const Text& path) {
    Win32_Path parsed = Parse_Win32_Path(path, false);
    if (parsed.error != ERROR_SUCCESS || parsed.Is_Root()) return Text();
    parsed.Drop_Last();
    return parsed.full;
}

const char kCreatorOwner[] = "S-1-3-0";
const char kSystem[] = "S-1-5-18";

// What a folder passes on to an entry: to a folder its container-inheritable entries (and its
// object-inheritable ones, inherit-only, for the files below), to a file its object-inheritable
// entries. A CREATOR OWNER entry takes effect as an entry for the new entry's owner, and goes on
// being passed on as CREATOR OWNER, as Windows splits it when the entry is made.
void Inherit_File(const Effective& parent, bool container, const std::string& owner, std::vector<Ace>& aces) {
    const BYTE inherit_flags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE;
    for (const Ace& ace : parent.aces) {
        bool object = ace.flags & OBJECT_INHERIT_ACE, folder = ace.flags & CONTAINER_INHERIT_ACE;
        bool stop = ace.flags & NO_PROPAGATE_INHERIT_ACE;
        Ace child = ace;
        if (container && folder) {
            child.flags &= ~INHERIT_ONLY_ACE;
            if (stop) child.flags &= ~inherit_flags;
        } else if (container && object && !stop) {
            child.flags |= INHERIT_ONLY_ACE;
        } else if (!container && object) {
            child.flags &= ~(inherit_flags | INHERIT_ONLY_ACE);
        } else {
            continue;
        }
        child.flags |= INHERITED_ACE;
        // An entry that takes effect here has its generic rights mapped to the file rights; the
        // inherit-only copy that goes on keeps them.
        bool effective = !(child.flags & INHERIT_ONLY_ACE);
        if (effective && !(child.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)))
            child.mask = Map_Generic(child.mask, true);
        if (child.sid == kCreatorOwner && effective) {
            Ace own = child;
            own.sid = owner;
            own.flags &= ~inherit_flags;
            own.mask = Map_Generic(own.mask, true);
            aces.push_back(own);
            if (!(child.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))) continue;
            child.flags |= INHERIT_ONLY_ACE;
        }
        aces.push_back(child);
    }
}

Effective File_Effective_Of(const Fs_Node& node, const Effective* parent) {
    Effective e = Stated_Part(node.security.get());
    if (e.dacl_protected) return e;
    if (node.security && node.security->inherited_kept) {
        e.aces.insert(e.aces.end(), node.security->inherited.begin(), node.security->inherited.end());
    } else if (parent) {
        Inherit_File(*parent, node.directory, e.owner, e.aces);
    }
    return e;
}

// Keeps in a file with other names what the folder (with its effective security) passes on to it now.
void Keep_Inherited_From(Fs_Node& file, const Effective& folder) {
    auto kept = file.security ? std::make_shared<Key_Security>(*file.security) : std::make_shared<Key_Security>();
    kept->inherited.clear();
    Inherit_File(folder, false, Stated_Part(kept.get()).owner, kept->inherited);
    kept->inherited_kept = true;
    file.Set_Security(kept);
}

// Junctions crossed while one path is resolved; more means a junction that leads into itself.
const int kMaxJunctions = 32;

// Walks the components of a path from the root; a junction is crossed into its target when it is
// an inner component, or the last one and follow_last is set.
File_Found Walk_File(Machine& machine, const std::vector<Text>& parts, bool follow_last, int depth = 0) {
    File_Found found;
    found.node = &machine.drive_c;
    found.e = File_Effective_Of(machine.drive_c, nullptr);
    found.path = u"C:";
    for (size_t i = 0; i < parts.size(); ++i) {
        Fs_Node* child = found.node->directory ? found.node->Find_Child(parts[i]) : nullptr;
        if (!child) {
            found.node = nullptr;
            found.error = i + 1 == parts.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
            return found;
        }
        bool last = i + 1 == parts.size();
        if (!child->link_target.empty() && (!last || follow_last)) {
            Win32_Path target = Parse_Win32_Path(child->link_target);
            if (target.error != ERROR_SUCCESS || depth >= kMaxJunctions) {
                found.node = nullptr;
                found.error = ERROR_PATH_NOT_FOUND;
                return found;
            }
            std::vector<Text> rest = target.Parts();
            rest.insert(rest.end(), parts.begin() + long(i) + 1, parts.end());
            return Walk_File(machine, rest, follow_last, depth + 1);
        }
        found.e = File_Effective_Of(*child, &found.e);
        found.path += u"\\" + child->name;
        found.node = child;
    }
    if (parts.empty()) found.path = u"C:\\";
    return found;
}
}  // namespace

// limit: the MAX_PATH rule of a call's ordinary path applies (not to a path the machine formed itself).
File_Found Find_File(Machine& machine, const Text& path, bool follow_last, bool limit) {
    Win32_Path parsed = Parse_Win32_Path(path, limit);
    if (parsed.error != ERROR_SUCCESS) {
        File_Found none;
        none.error = parsed.error;
        return none;
    }
    return Walk_File(machine, parsed.Parts(), follow_last);
}
namespace {

bool Is_Drive_Path(const Text& path) {
    return path.size() >= 2 && (path[0] == u'C' || path[0] == u'c') && path[1] == u':';
}
}  // namespace

void Snapshot_File(Machine& machine, const Fs_Node& node, const Text& path, const Effective& e) {
    Snapshot_Tree(machine, node, path, e, Children_Of, File_Effective_Of,
                  [](const Fs_Node& entry) { return !entry.link_target.empty(); });
}
namespace {

std::shared_ptr<Key_Security> Parsed(const char* sddl) {
    auto security = std::make_shared<Key_Security>();
    std::string why;
    Parse_Key_Sddl(sddl, *security, why);
    return security;
}

// The defaults of a Windows 10 installation, by path below C:.
struct Default_Security {
    const char16_t* path;
    std::shared_ptr<Key_Security> security;
};
const std::vector<Default_Security>& Default_File_Security() {
    static const auto* defaults = [] {
        // TrustedInstaller owns the Windows and program folders; SYSTEM and Administrators have full
        // control, Users may read and run. ProgramData: Users may read, and create folders and files
        // (write data and attributes on folders); CREATOR OWNER has full control of what is created.
        const char* system_folder =
            "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
            "(A;OICI;0x1200a9;;;BU)";
        auto* list = new std::vector<Default_Security>{
            {u"Windows", Parsed(system_folder)},
            {u"Program Files", Parsed(system_folder)},
            {u"Program Files (x86)", Parsed(system_folder)},
            // The profiles' folder: Users and Everyone may read and run, nothing more.
            {u"Users", Parsed("O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GRGX;;;BU)"
                              "(A;;0x1200a9;;;WD)(A;OICIIO;GRGX;;;WD)")},
            // The Windows directory's TEMP folder: every user may create files and folders in it (and,
            // inherited by the folders made in it, in those), CREATOR OWNER has full control of what
            // its creator makes; users cannot list it or touch what others made.
            {u"Windows\\Temp", Parsed("O:SYD:P(A;OICIIO;FA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100026;;;BU)")},
            {u"ProgramData",
             Parsed("O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
                    "(A;CI;0x116;;;BU)")},
        };
        return list;
    }();
    return *defaults;
}
}  // namespace

void Apply_Security_Change(Key_Security& security, SECURITY_INFORMATION information, const Security_Change& change) {
    if (information & OWNER_SECURITY_INFORMATION) security.owner = change.owner;
    if (information & DACL_SECURITY_INFORMATION) {
        // Without PROTECTED_ or UNPROTECTED_DACL_SECURITY_INFORMATION the object keeps its protection.
        if (information & PROTECTED_DACL_SECURITY_INFORMATION) security.dacl_protected = true;
        else if (information & UNPROTECTED_DACL_SECURITY_INFORMATION) security.dacl_protected = false;
        security.has_dacl = true;
        security.aces = change.aces;
    }
}
namespace {

// After a folder's security changed, Windows passes its inheritable entries on to everything below
// that does not protect its list. Inheritance is computed when asked for every entry but a file with
// other names, whose kept entries are replaced here (its other names, wherever they are, with them).
void Pass_On_To_Other_Names(Machine& machine, const Text& folder_path) {
    File_Found top = Find_File(machine, folder_path, false, false);
    if (!top.node || !top.node->link_target.empty()) return;
    std::vector<std::pair<Fs_Node*, Effective>> pending{{top.node, top.e}};
    while (!pending.empty()) {
        auto [folder, e] = pending.back();
        pending.pop_back();
        for (const auto& child : folder->children) {
            if (!child->link_target.empty()) continue;  // a junction's target is not below it
            Effective child_e = File_Effective_Of(*child, &e);
            if (child_e.dacl_protected) continue;  // nothing changes in or below it
            if (child->directory) {
                pending.emplace_back(child.get(), child_e);
            } else if (child->names) {
                for (Fs_Node* name : *child->names) {
                    File_Found other = Find_File(machine, Path_Of(machine.drive_c, *name), false, false);
                    if (other.node) Snapshot_File(machine, *other.node, other.path, other.e);
                }
                Keep_Inherited_From(*child, e);
            }
        }
    }
}
}  // namespace

void Change_File_Security(Machine& machine, const File_Found& found, SECURITY_INFORMATION information,
                          const Security_Change& change) {
    Snapshot_File(machine, *found.node, found.path, found.e);
    // A copy: the statement may be shared with other entries (the defaults).
    auto changed = found.node->security ? std::make_shared<Key_Security>(*found.node->security)
                                        : std::make_shared<Key_Security>();
    Apply_Security_Change(*changed, information, change);
    if (found.node->names) {
        // The file's other names share its security.
        for (Fs_Node* name : *found.node->names) {
            File_Found other = Find_File(machine, Path_Of(machine.drive_c, *name), false);
            if (other.node) Snapshot_File(machine, *other.node, other.path, other.e);
        }
    }
    found.node->Set_Security(changed);
    if (found.node->directory) Pass_On_To_Other_Names(machine, found.path);
}

void Change_Key_Security(Machine& machine, Reg_Key& key, const Text& path, const Effective& e,
                         SECURITY_INFORMATION information, const Security_Change& change) {
    Snapshot(machine, key, path, e);
    if (!key.security) key.security = std::make_shared<Key_Security>();
    Apply_Security_Change(*key.security, information, change);
}

std::shared_ptr<Key_Security> Make_Root_Security() {
    auto security = std::make_shared<Key_Security>();
    std::string why;
    Parse_Key_Sddl("O:SYG:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)", *security, why);
    return security;
}

bool Parse_Key_Sddl(const std::string& sddl, Key_Security& security, std::string& why) {
    security = Key_Security();
    size_t at = 0;
    why = "bad SDDL \"" + sddl + "\"";
    while (at < sddl.size()) {
        if (at + 2 > sddl.size() || sddl[at + 1] != ':') return false;
        char part = sddl[at];
        at += 2;
        if (part == 'O' || part == 'G') {
            std::string& sid = part == 'O' ? security.owner : security.group;
            if (!sid.empty() || !Parse_Sid(sddl, at, sid)) return false;
        } else if (part == 'D') {
            if (security.has_dacl) return false;
            security.has_dacl = true;
            while (at < sddl.size() && sddl[at] != '(' && !(at + 1 < sddl.size() && sddl[at + 1] == ':')) {
                if (sddl[at] == 'P') {
                    security.dacl_protected = true;
                    ++at;
                } else if (sddl.compare(at, 2, "AI") == 0 || sddl.compare(at, 2, "AR") == 0) {
                    at += 2;
                } else {
                    return false;
                }
            }
            while (at < sddl.size() && sddl[at] == '(') {
                size_t close = sddl.find(')', at);
                if (close == std::string::npos) return false;
                Ace ace;
                // The entry's own complaint replaces the general one only when the entry is bad, so
                // that a fault after a good entry is still reported.
                std::string entry_why;
                if (!Parse_Ace(sddl.substr(at + 1, close - at - 1), ace, entry_why)) {
                    why = entry_why;
                    return false;
                }
                security.aces.push_back(ace);
                at = close + 1;
            }
        } else {
            why = "only O:, G: and D: are modelled in \"" + sddl + "\"";
            return false;
        }
    }
    why.clear();
    return true;
}

std::string Stated_Sddl(const Key_Security& security) {
    std::string text;
    if (!security.owner.empty()) text += "O:" + Sid_Code(security.owner);
    if (!security.group.empty()) text += "G:" + Sid_Code(security.group);
    if (security.has_dacl) {
        text += security.dacl_protected ? "D:P" : "D:";
        for (const Ace& ace : security.aces) text += Ace_Text(ace);
    }
    return text;
}

std::shared_ptr<Key_Security> Make_Drive_Root_Security() {
    // SYSTEM and Administrators have full control, Users may read and run; Authenticated Users may
    // create folders in the root and may modify what lies below (inherit-only). One statement shared
    // by every machine, so that it is known as the default.
    static const std::shared_ptr<Key_Security> root = Parsed("O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;0x1301bf;;;AU)"
                  "(A;;0x4;;;AU)");
    return root;
}

void Apply_Default_File_Security(Machine& machine) {
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    for (const Default_Security& entry : Default_File_Security()) {
        // The path's folders one by one; none of them may be a link.
        Fs_Node* node = &machine.drive_c;
        Text path = entry.path;
        for (size_t start = 0; node && start <= path.size();) {
            size_t end = path.find(u'\\', start);
            if (end == Text::npos) end = path.size();
            node = node->link_target.empty() ? node->Find_Child(path.substr(start, end - start)) : nullptr;
            start = end + 1;
        }
        if (node && node->directory && node->link_target.empty() && !node->security) node->security = entry.security;
    }
}

void Keep_Inherited_Entries(Machine& machine, Fs_Node& file) {
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (!file.names || (file.security && file.security->inherited_kept)) return;
    File_Found folder = Find_File(machine, Parent_Path(Path_Of(machine.drive_c, *file.names->front())), false, false);
    if (folder.node) Keep_Inherited_From(file, folder.e);
}

void Keep_Inherited_Entries_Of_Hard_Links(Machine& machine) {
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    std::vector<Fs_Node*> pending{&machine.drive_c};
    while (!pending.empty()) {
        Fs_Node* folder = pending.back();
        pending.pop_back();
        for (const auto& child : folder->children) {
            if (child->directory && child->link_target.empty()) pending.push_back(child.get());
            if (child->names && child->names->front() == child.get()) Keep_Inherited_Entries(machine, *child);
        }
    }
}

bool Is_Default_File_Security(const std::shared_ptr<Key_Security>& security) {
    if (security == Make_Drive_Root_Security()) return true;
    for (const Default_Security& entry : Default_File_Security())
        if (entry.security == security) return true;
    return false;
}

Fs_Node* Find_File_By_Path(Machine& machine, const Text& path) {
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    return Find_File(machine, path, false).node;
}

bool Checks_File_Access(Machine& machine) {
    std::shared_ptr<Token> token = machine.Calling_Token();
    return !Token_Has_Sid(*token, kAdministrators) && !Token_Has_Sid(*token, kSystem);
}

namespace {

ACCESS_MASK File_Access(Machine& machine, const File_Found& found) {
    return found.node ? Granted_Access(found.e, *machine.Calling_Token(), true) : 0;
}

}  // namespace

DWORD Check_Create_Access(Machine& machine, const Text& path, bool folder) {
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (!Checks_File_Access(machine)) return ERROR_SUCCESS;
    File_Found parent = Find_File(machine, Parent_Path(path), true);
    ACCESS_MASK needed = folder ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE;
    return (File_Access(machine, parent) & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD Check_Delete_Access(Machine& machine, const Text& path) {
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (!Checks_File_Access(machine)) return ERROR_SUCCESS;
    if (File_Access(machine, Find_File(machine, path, false)) & DELETE) return ERROR_SUCCESS;
    if (File_Access(machine, Find_File(machine, Parent_Path(path), true)) & FILE_DELETE_CHILD) return ERROR_SUCCESS;
    return ERROR_ACCESS_DENIED;
}

void Set_Creator(Machine& machine, Fs_Node& node) {
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    if (!Checks_File_Access(machine)) return;
    node.security = std::make_shared<Key_Security>();
    node.security->owner = machine.Calling_Token()->user;
}

DWORD Create_Junction(const Text& link, const Text& target) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    File_Found to = Find_File(machine, target, true);
    if (!to.node || !to.node->directory) return ERROR_PATH_NOT_FOUND;
    if (!CreateDirectoryW(link.c_str(), nullptr)) return GetLastError();
    // Setting the reparse point needs the new folder opened for writing its data.
    File_Found made = Find_File(machine, link, false);
    if (Checks_File_Access(machine) && !(File_Access(machine, made) & FILE_WRITE_DATA)) return ERROR_ACCESS_DENIED;
    made.node->Link_To(to.path);
    made.node->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return ERROR_SUCCESS;
}

Reg_Key* Find_Key_By_Path(Machine& machine, const Text& path) {
    bool machine_hive = true;
    std::vector<Text> names;
    if (!Split_Path(path, machine_hive, names)) return nullptr;
    Effective e;
    return Walk(machine, machine_hive, names, e);
}

std::string Effective_Sddl(Machine& machine, const Text& path) {
    if (Is_Drive_Path(path)) {
        File_Found found = Find_File(machine, path, false);
        return found.node ? Effective_Text(found.e) : std::string();
    }
    bool machine_hive = true;
    std::vector<Text> names;
    Effective e;
    if (!Split_Path(path, machine_hive, names) || !Walk(machine, machine_hive, names, e)) return std::string();
    return Effective_Text(e);
}

std::string Security_Changes(Machine& machine) {
    std::string out;
    for (const auto& entry : machine.security_before) {
        std::string after = Effective_Sddl(machine, entry.first);
        if (after.empty() || after == entry.second) continue;  // deleted since, or as before
        out += To_Utf8(entry.first) + "\n  before: " + entry.second + "\n  after:  " + after + "\n";
    }
    return out;
}

}  // namespace winsim
