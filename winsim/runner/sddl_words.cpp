// A security change in words, for readers who do not read SDDL: the owner, whether the object stops
// inheriting its parent's permissions, and per account what it may now do or no longer do with the
// object itself (entries that only children inherit are left out).
#include "runner/changes.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// What an account may do, as the sentences name it.
enum Ability : unsigned { Read = 1, Change = 2, Delete = 4, Change_Permissions = 8, Take_Ownership = 16, Full = 31 };

const char* const kAbilityWords[] = {"read", "change", "delete", "change its permissions", "take ownership of it"};

// An access mask's rights in SDDL's letters, or in hexadecimal.
uint32_t Rights_Mask(const std::string& rights) {
    if (rights.compare(0, 2, "0x") == 0 || rights.compare(0, 2, "0X") == 0)
        return uint32_t(std::stoul(rights.substr(2), nullptr, 16));
    static const std::pair<const char*, uint32_t> kLetters[] = {
        {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000}, {"FA", 0x1F01FF},
        {"FR", 0x120089},   {"FW", 0x120116},   {"FX", 0x1200A0},   {"KA", 0xF003F},    {"KR", 0x20019},
        {"KW", 0x20006},    {"KX", 0x20019},    {"CC", 0x1},        {"DC", 0x2},        {"LC", 0x4},
        {"SW", 0x8},        {"RP", 0x10},       {"WP", 0x20},       {"DT", 0x40},       {"LO", 0x80},
        {"CR", 0x100},      {"SD", 0x10000},    {"RC", 0x20000},    {"WD", 0x40000},    {"WO", 0x80000}};
    uint32_t mask = 0;
    for (size_t at = 0; at + 2 <= rights.size(); at += 2)
        for (const auto& letter : kLetters)
            if (rights.compare(at, 2, letter.first) == 0) mask |= letter.second;
    return mask;
}

// The low rights mean the same for keys and files here: 0x1 query a value / read data, 0x2 set a
// value / write data, 0x4 make a subkey / append.
unsigned Abilities(uint32_t mask) {
    unsigned abilities = 0;
    if (mask & 0x10000000) return Full;
    if (mask & (0x80000000 | 0x1)) abilities |= Read;
    if (mask & (0x40000000 | 0x2 | 0x4)) abilities |= Change;
    if (mask & 0x10000) abilities |= Delete;
    if (mask & 0x40000) abilities |= Change_Permissions;
    if (mask & 0x80000) abilities |= Take_Ownership;
    return abilities;
}

std::string Account_Name(const std::string& sid) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"SY", "SYSTEM"}, {"BA", "Administrators"}, {"BU", "Users"}, {"LS", "Local Service"},
        {"NS", "Network Service"}, {"CO", "The owner of what is made below"}, {"WD", "Everyone"},
        {"AU", "Authenticated Users"}, {"IU", "Interactive users"}, {"S-1-5-18", "SYSTEM"},
        {"S-1-5-32-544", "Administrators"}, {"S-1-5-32-545", "Users"},
        {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", "TrustedInstaller"}};
    for (const auto& name : kNames)
        if (sid == name.first) return name.second;
    return "The account " + sid;
}

struct Descriptor {
    std::string owner;
    bool is_protected = false;
    std::vector<std::pair<std::string, unsigned>> accounts;  // in order of first mention: allowed less denied
};

Descriptor Parse(const std::string& sddl) {
    Descriptor d;
    auto part_end = [&](size_t from) {
        size_t end = sddl.size();
        for (const char* tag : {"G:", "D:", "S:"}) {
            size_t at = sddl.find(tag, from);
            if (at != std::string::npos && at < end) end = at;
        }
        return end;
    };
    if (sddl.compare(0, 2, "O:") == 0) d.owner = sddl.substr(2, part_end(2) - 2);
    size_t dacl = sddl.find("D:");
    if (dacl == std::string::npos) return d;
    size_t first = sddl.find('(', dacl);
    d.is_protected = sddl.substr(dacl + 2, first == std::string::npos ? std::string::npos : first - dacl - 2).find('P') !=
                     std::string::npos;
    std::vector<std::pair<std::string, unsigned>> denied;
    for (size_t open = first; open != std::string::npos && open < sddl.size() && sddl[open] == '(';) {
        size_t close = sddl.find(')', open);
        if (close == std::string::npos) break;
        std::vector<std::string> fields(1);
        for (char c : sddl.substr(open + 1, close - open - 1)) {
            if (c == ';') fields.emplace_back();
            else fields.back() += c;
        }
        open = close + 1;
        if (fields.size() < 6 || fields[1].find("IO") != std::string::npos) continue;  // for children only
        unsigned abilities = Abilities(Rights_Mask(fields[2]));
        auto* list = fields[0] == "A" ? &d.accounts : fields[0] == "D" ? &denied : nullptr;
        if (!list) continue;
        bool found = false;
        for (auto& account : *list)
            if (account.first == fields[5]) found = true, account.second |= abilities;
        if (!found) list->emplace_back(fields[5], abilities);
    }
    for (const auto& deny : denied)
        for (auto& account : d.accounts)
            if (account.first == deny.first) account.second &= ~deny.second;
    return d;
}

unsigned Abilities_Of(const Descriptor& d, const std::string& sid) {
    for (const auto& account : d.accounts)
        if (account.first == sid) return account.second;
    return 0;
}

std::string Words(unsigned abilities, const char* joint) {
    std::vector<std::string> words;
    for (unsigned bit = 0; bit < 5; ++bit)
        if (abilities & (1u << bit)) words.push_back(kAbilityWords[bit]);
    std::string out;
    for (size_t i = 0; i < words.size(); ++i)
        out += (i == 0 ? "" : i + 1 == words.size() ? joint : ", ") + words[i];
    return out;
}

}  // namespace

std::string Security_Words(const std::string& before_sddl, const std::string& after_sddl, bool key) {
    const Descriptor before = Parse(before_sddl), after = Parse(after_sddl);
    const std::string it = key ? "this key" : "this entry";
    std::vector<std::string> lines;
    if (!after.owner.empty() && after.owner != before.owner)
        lines.push_back("The owner becomes " + Account_Name(after.owner) +
                        (before.owner.empty() ? "" : " (was " + Account_Name(before.owner) + ")") + ".");
    if (after.is_protected && !before.is_protected)
        lines.push_back("It no longer takes permissions from the folder or key above it.");
    std::vector<std::string> sids;
    for (const Descriptor* d : {&after, &before})
        for (const auto& account : d->accounts)
            if (std::find(sids.begin(), sids.end(), account.first) == sids.end()) sids.push_back(account.first);
    for (const std::string& sid : sids) {
        const unsigned was = Abilities_Of(before, sid), now = Abilities_Of(after, sid);
        if (was == now) continue;
        const std::string who = Account_Name(sid);
        if (now == Full) {
            lines.push_back("On " + it + ", " + who + " may now do anything (full control).");
        } else if (now == 0) {
            lines.push_back("On " + it + ", " + who + " may no longer do anything.");
        } else {
            if (now & ~was) lines.push_back("On " + it + ", " + who + " may now " + Words(now & ~was, " and ") + ".");
            if (was & ~now) lines.push_back("On " + it + ", " + who + " may no longer " + Words(was & ~now, " or ") + ".");
        }
    }
    if (lines.empty()) lines.push_back("Who may do what with " + it + " stays the same.");
    std::string out;
    for (const std::string& line : lines) out += (out.empty() ? "" : "\n") + line;
    return out;
}
