// Opening up the smart-card readers' key: owner and access list in either registry view, the
// take-ownership privilege around a refused owner change, and every failure's one report.
#include <algorithm>
#include <cstring>

#include "machine/security.h"
#include "primitives/Security.h"
#include "registry/Calais_Readers_Rights.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Readers = u"SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers";
const std::u16string Readers_Path = u"HKEY_LOCAL_MACHINE\\" + Readers;
const char Object[] = "MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers";
const char Opened_Up[] = "(A;OICI;CCDCLCSWRPSDRC;;;LS)(A;OICI;GA;;;BA)";
const DWORD Take_Ownership = 9;

// The security calls of the run, without the identifiers' and list's own.
std::vector<std::string> Security_Calls() {
    std::vector<std::string> calls;
    for (const std::string& call : The_Machine().calls)
        if (call.rfind("SetNamedSecurityInfoW", 0) == 0 || call.rfind("AdjustTokenPrivileges", 0) == 0)
            calls.push_back(call);
    return calls;
}

std::string Owner_Call(const char* type = "SE_REGISTRY_KEY") {
    return std::string("SetNamedSecurityInfoW ") + Object + " " + type + " owner=BA";
}
std::string Dacl_Call(const char* type = "SE_REGISTRY_KEY") {
    return std::string("SetNamedSecurityInfoW ") + Object + " " + type + " dacl";
}
const std::string Enable = "AdjustTokenPrivileges SeTakeOwnershipPrivilege=enabled";
const std::string Disable = "AdjustTokenPrivileges SeTakeOwnershipPrivilege=disabled";

class Readers_Rights : public Log_Test {
protected:
    // The readers' key, stating the given security.
    void Make_Readers(const std::string& sddl) {
        winsim::Reg_Key* key = Make_Key(The_Machine().hklm, Readers);
        key->security = std::make_shared<winsim::Key_Security>();
        std::string why;
        ASSERT_TRUE(winsim::Parse_Key_Sddl(sddl, *key->security, why)) << why;
    }
    static std::string Readers_Sddl() { return winsim::Effective_Sddl(The_Machine(), Readers_Path); }
};

struct Rights_Case {
    const char* name;
    const char* sddl;             // null: no readers' key
    const char* fault;            // "API:NTH:ERROR", or null
    bool lacks_take_ownership;    // the token does not hold the privilege
    bool protected_key;           // [registry] protected=
    bool result;
    std::vector<std::string> calls;
    std::string log;
    const char* sddl_after;       // null: the key is missing
};

TEST_F(Readers_Rights, EveryPathSetsOrReportsAsDescribed) {
    const char* restrictive = "O:SYD:P(A;CI;KA;;;SY)(A;CI;KR;;;BU)";
    const char* owned = "O:BAD:P(A;CI;KA;;;BA)";
    const std::string opened = std::string("O:BAD:P") + Opened_Up;
    const std::string opened_owned_by_system = std::string("O:SYD:P") + Opened_Up;
    const Rights_Case cases[] = {
        {"key missing", nullptr, nullptr, false, false, true, {}, "", nullptr},
        {"already opened up: left as it is", opened.c_str(), nullptr, false, false, true, {}, "", opened.c_str()},
        {"the same list, another owner", opened_owned_by_system.c_str(), nullptr, false, false, true,
         {Owner_Call(), Dacl_Call()}, "", opened.c_str()},
        {"security unreadable: reported and set", owned, "GetNamedSecurityInfoW:1:5", false, false, true,
         {Owner_Call(), Dacl_Call()}, Error_Report("", "GetNamedSecurityInfo", 5), opened.c_str()},
        {"owner set directly", owned, nullptr, false, false, true, {Owner_Call(), Dacl_Call()}, "", opened.c_str()},
        {"owner refused, then set with the privilege", restrictive, nullptr, false, false, true,
         {Owner_Call(), Enable, Owner_Call(), Disable, Dacl_Call()}, "", opened.c_str()},
        {"another error stops", restrictive, "SetNamedSecurityInfoW:1:87", false, false, false, {Owner_Call()},
         Error_Report("", "SetNamedSecurityInfo", 87), restrictive},
        {"privilege absent", restrictive, nullptr, true, false, false, {Owner_Call(), Enable},
         Error_Report("", "SetProcessPrivilege", 1300), restrictive},
        {"retry refused", restrictive, nullptr, false, true, false, {Owner_Call(), Enable, Owner_Call(), Disable},
         Error_Report("", "SetNamedSecurityInfo", 5), restrictive},
        {"disabling fails: list untouched, disabled once more", restrictive, "AdjustTokenPrivileges:2:5", false,
         false, false, {Owner_Call(), Enable, Owner_Call(), Disable, Disable},
         Error_Report("", "SetProcessPrivilege", 5), "O:BAD:P(A;CI;KA;;;SY)(A;CI;KR;;;BU)"},
        {"access list refused after the owner", owned, "SetNamedSecurityInfoW:2:5", false, false, false,
         {Owner_Call(), Dacl_Call()}, Error_Report("", "SetNamedSecurityInfo", 5), owned},
        {"list cannot be made", owned, "SetEntriesInAclW:1:8", false, false, false, {},
         Error_Report("", "SetEntriesInAcl", 8), owned},
        {"identifier cannot be made", owned, "AllocateAndInitializeSid:2:8", false, false, false, {},
         Error_Report("", "AllocateAndInitializeSid", 8), owned},
    };
    for (const Rights_Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.sddl) Make_Readers(c.sddl);
        if (c.protected_key) Find_Key(The_Machine().hklm, Readers)->write_protected = true;
        if (c.lacks_take_ownership) {
            auto& privileges = The_Machine().process_token->privileges;
            privileges.erase(std::remove_if(privileges.begin(), privileges.end(),
                                            [](const winsim::Token::Privilege& p) { return p.luid == Take_Ownership; }),
                             privileges.end());
        }
        // The backup of the key's security (and the creation of its file) comes first, outside the
        // calls these cases count and fail.
        Backup_Key_Security(TEXT("MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers"), SE_REGISTRY_KEY);
        The_Machine().calls.clear();
        if (c.fault) {
            std::string fault = c.fault;
            size_t first = fault.find(':'), second = fault.find(':', first + 1);
            The_Machine().Add_Fault(fault.substr(0, first), std::stoul(fault.substr(first + 1, second - first - 1)),
                                    std::stoul(fault.substr(second + 1)));
        }
        SetLastError(0);
        EXPECT_EQ(Set_Calais_Readers_Rights(SE_REGISTRY_KEY), c.result);
        EXPECT_EQ(Security_Calls(), c.calls);
        EXPECT_EQ(Log_Text(), c.log);
        EXPECT_EQ(Readers_Sddl(), c.sddl_after ? c.sddl_after : "");
        // The process never keeps the privilege, and both identifiers are released whatever happened.
        EXPECT_FALSE(The_Machine().process_token->Has_Enabled(Take_Ownership));
        long made = std::count_if(The_Machine().calls.begin(), The_Machine().calls.end(),
                                  [](const std::string& s) { return s.rfind("AllocateAndInitializeSid", 0) == 0; });
        long freed = std::count_if(The_Machine().calls.begin(), The_Machine().calls.end(),
                                   [](const std::string& s) { return s.rfind("FreeSid S-1-5-", 0) == 0; });
        EXPECT_EQ(freed, c.fault && std::string(c.fault).rfind("AllocateAndInitializeSid", 0) == 0 ? made - 1 : made);
    }
}

// The 32-bit view reaches the same, shared key, which the first pass has opened up already: the
// second changes nothing.
TEST_F(Readers_Rights, SecondViewFindsTheSharedKeyOpenedUp) {
    Make_Readers("O:SYD:P(A;CI;KA;;;SY)(A;CI;KR;;;BU)");
    ASSERT_TRUE(Set_Calais_Readers_Rights(SE_REGISTRY_KEY));
    The_Machine().calls.clear();
    EXPECT_TRUE(Set_Calais_Readers_Rights(SE_REGISTRY_WOW64_32KEY));
    EXPECT_EQ(Security_Calls(), std::vector<std::string>{});
    EXPECT_EQ(Readers_Sddl(), std::string("O:BAD:P") + Opened_Up);
    EXPECT_EQ(Log_Text(), "");
}

TEST_F(Readers_Rights, PrivilegeOfTheProcessIsSwitchedAndATokenLackingItFails) {
    EXPECT_TRUE(SetProcessPrivilege(TEXT("SeTakeOwnershipPrivilege"), true));
    EXPECT_TRUE(The_Machine().process_token->Has_Enabled(Take_Ownership));
    EXPECT_TRUE(SetProcessPrivilege(TEXT("SeTakeOwnershipPrivilege"), false));
    EXPECT_FALSE(The_Machine().process_token->Has_Enabled(Take_Ownership));
    // An elevated administrator does not hold SeTcbPrivilege: the adjustment "succeeds" with 1300.
    SetLastError(0);
    EXPECT_FALSE(SetProcessPrivilege(TEXT("SeTcbPrivilege"), true));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_FALSE(SetProcessPrivilege(TEXT("SeNoSuchPrivilege"), true));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_PRIVILEGE));
    The_Machine().Add_Fault("OpenProcessToken", 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetProcessPrivilege(TEXT("SeTakeOwnershipPrivilege"), true));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Log_Text(), "");
}

// An access list of allow (A) and deny (D) entries: type, flags, rights, SID.
struct Entry {
    char type;
    BYTE flags;
    ACCESS_MASK rights;
    const char* sid;
};
std::vector<BYTE> List_Of(std::initializer_list<Entry> entries) {
    std::vector<BYTE> list(sizeof(ACL));
    for (const Entry& e : entries) {
        std::vector<uint8_t> sid = winsim::Sid_Bytes(e.sid);
        ACE_HEADER header{BYTE(e.type == 'A' ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE), e.flags,
                          WORD(sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + sid.size())};
        const BYTE* h = reinterpret_cast<const BYTE*>(&header);
        const BYTE* r = reinterpret_cast<const BYTE*>(&e.rights);
        list.insert(list.end(), h, h + sizeof(header));
        list.insert(list.end(), r, r + sizeof(e.rights));
        list.insert(list.end(), sid.begin(), sid.end());
    }
    ACL header{ACL_REVISION, 0, WORD(list.size()), WORD(entries.size()), 0};
    std::memcpy(list.data(), &header, sizeof(header));
    return list;
}

// The comparison that spares an unchanged key its change and backup: the owner, and the key's own
// grants as Windows applies them.
TEST(Key_Security_Comparison, SameOnlyWhenOwnerAndOwnGrantsAgree) {
    const BYTE OICI = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const char *BA = "S-1-5-32-544", *LS = "S-1-5-19", *SY = "S-1-5-18", *BU = "S-1-5-32-545";
    const std::vector<BYTE> set = List_Of({{'A', OICI, 0x3001F, LS}, {'A', OICI, GENERIC_ALL, BA}});
    std::vector<uint8_t> administrators = winsim::Sid_Bytes(BA), system_owner = winsim::Sid_Bytes(SY);
    struct Case {
        const char* name;
        std::vector<uint8_t>* owner;
        std::vector<BYTE> present;
        bool same;
    };
    const Case cases[] = {
        {"as set", &administrators, set, true},
        {"another owner", &system_owner, set, false},
        {"the entries in the other order", &administrators,
         List_Of({{'A', OICI, GENERIC_ALL, BA}, {'A', OICI, 0x3001F, LS}}), true},
        {"generic rights mapped, split into the key's and the inherited entry", &administrators,
         List_Of({{'A', OICI, 0x3001F, LS}, {'A', 0, KEY_ALL_ACCESS, BA}, {'A', OICI | INHERIT_ONLY_ACE, GENERIC_ALL, BA}}),
         true},
        {"entries inherited from above beside them", &administrators,
         List_Of({{'A', OICI, 0x3001F, LS}, {'A', OICI, GENERIC_ALL, BA}, {'A', INHERITED_ACE, KEY_READ, BU}}), true},
        {"an extra entry", &administrators,
         List_Of({{'A', OICI, 0x3001F, LS}, {'A', OICI, GENERIC_ALL, BA}, {'A', CONTAINER_INHERIT_ACE, KEY_READ, BU}}),
         false},
        {"an entry missing", &administrators, List_Of({{'A', OICI, GENERIC_ALL, BA}}), false},
        {"fewer rights", &administrators, List_Of({{'A', OICI, KEY_READ, LS}, {'A', OICI, GENERIC_ALL, BA}}), false},
        {"not inherited", &administrators, List_Of({{'A', 0, 0x3001F, LS}, {'A', OICI, GENERIC_ALL, BA}}), false},
        {"a deny entry, even one that denies nothing set", &administrators,
         List_Of({{'D', 0, KEY_SET_VALUE, BU}, {'A', OICI, 0x3001F, LS}, {'A', OICI, GENERIC_ALL, BA}}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Same_Key_Security(c.owner->data(), reinterpret_cast<const ACL*>(c.present.data()),
                                    administrators.data(), reinterpret_cast<const ACL*>(set.data())),
                  c.same);
    }
    // No list at all (everyone has every right), or a malformed one, is never the same.
    EXPECT_FALSE(Same_Key_Security(administrators.data(), nullptr, administrators.data(),
                                   reinterpret_cast<const ACL*>(set.data())));
    std::vector<BYTE> cut = set;
    ACL header;
    std::memcpy(&header, cut.data(), sizeof(header));
    header.AclSize = WORD(header.AclSize - 4);
    std::memcpy(cut.data(), &header, sizeof(header));
    EXPECT_FALSE(Same_Key_Security(administrators.data(), reinterpret_cast<const ACL*>(cut.data()),
                                   administrators.data(), reinterpret_cast<const ACL*>(set.data())));
}

}  // namespace
