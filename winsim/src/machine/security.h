// The machine's security model as the security calls use it (machine/security.cpp): effective
// security, access checks and the changes the calls make. What scenarios and the runner use of it is
// declared in machine.h.
#pragma once

#include "machine/machine.h"

#include <string>
#include <vector>

namespace winsim {

// An object's whole security: its owner and group, and its list with the inherited entries.
struct Effective {
    std::string owner, group;
    bool dacl_protected = false;
    std::vector<Ace> aces;
};

// The binary form of a SID given as text ("S-1-5-18").
std::vector<uint8_t> Sid_Bytes(const std::string& text);
// The SDDL code of a SID ("BA"), or the SID itself when it has none.
std::string Sid_Code(const std::string& sid);
// The key at a path of a hive, with its effective security; null when it is missing.
Reg_Key* Walk(Machine& machine, bool machine_hive, const std::vector<Text>& names, Effective& e);
// "MACHINE\..." or "CURRENT_USER\..." (a security call's object name) as a hive and names.
bool Split_Path(const Text& path, bool& machine_hive, std::vector<Text>& names);
// Generic rights mapped to the rights of keys, or of files and folders.
ACCESS_MASK Map_Generic(ACCESS_MASK mask, bool file = false);
bool Token_Has_Sid(const Token& token, const std::string& sid);
// What a token may do to an object of the given security (the owner may always read and change the list).
ACCESS_MASK Granted_Access(const Effective& e, const Token& token, bool file = false);

// An entry of drive C: found with its effective security and its path as the file system names it.
struct File_Found {
    Fs_Node* node = nullptr;
    Effective e;
    Text path;
    DWORD error = ERROR_SUCCESS;  // without node: 2 (the last component missing) or 3
};
// The entry at a path of drive C:, junctions crossed (the last one too with follow_last); without
// limit, no MAX_PATH rule.
File_Found Find_File(Machine& machine, const Text& path, bool follow_last, bool limit = true);

// What SetNamedSecurityInfoW sets: the new owner and the object's own access list.
struct Security_Change {
    std::string owner;
    std::vector<Ace> aces;
};
// Sets what a security call sets, checked already: on an entry of drive C: found with its security
// (every other name of its file shares it; a folder's inheritable entries are passed on), or on a key
// at path. The security before the first change of each object reached is kept for security.txt.
void Change_File_Security(Machine& machine, const File_Found& found, SECURITY_INFORMATION information,
                          const Security_Change& change);
void Change_Key_Security(Machine& machine, Reg_Key& key, const Text& path, const Effective& e,
                         SECURITY_INFORMATION information, const Security_Change& change);

}  // namespace winsim
