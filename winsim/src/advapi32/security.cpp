// Advapi32's security calls: security identifiers, access lists built from explicit entries,
// SetNamedSecurityInfoW and GetNamedSecurityInfoW on "MACHINE\..." and "CURRENT_USER\..." names and on
// paths of drive C:, GetSecurityInfo and SetSecurityInfo on file handles, and the binary forms of SIDs,
// access lists and descriptors. The model they act on is machine/security.cpp.
//
// Setting the owner needs WRITE_OWNER, granted by the list or by an enabled SeTakeOwnershipPrivilege;
// setting the list needs WRITE_DAC, which the owner always has. Both are checked against the calling
// thread's token (its impersonation token, else the process token). Keys protected by the scenario's
// [registry] protected= refuse every change with 5, as they refuse opening for writing.
#include "machine/security.h"

#include "kernel32/kernel_open.h"
#include "machine/handles.h"
#include "machine/open_objects.h"
#include "machine/registry_views.h"

#include <aclapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace winsim {

namespace {

const DWORD kTakeOwnershipLuid = 9;
const DWORD kSecurityLuid = 8;

// ---- security identifiers ----

std::mutex& Sid_Lock() {
    static auto* lock = new std::mutex();
    return *lock;
}
std::set<void*>& Allocated_Sids() {
    static auto* sids = new std::set<void*>();
    return *sids;
}

size_t Sid_Length(const SID* sid) { return 8 + 4 * size_t(sid->SubAuthorityCount); }

bool Is_Valid_Sid(const void* pointer) {
    const SID* sid = static_cast<const SID*>(pointer);
    return sid && sid->Revision == SID_REVISION && sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

std::string Sid_Text(const SID* sid) {
    uint64_t authority = 0;
    for (BYTE b : sid->IdentifierAuthority.Value) authority = (authority << 8) | b;
    std::string text = "S-1-" + std::to_string(authority);
    const BYTE* subs = reinterpret_cast<const BYTE*>(sid) + 8;
    for (unsigned i = 0; i < sid->SubAuthorityCount; ++i) {
        DWORD value;
        std::memcpy(&value, subs + 4 * i, 4);
        text += "-" + std::to_string(value);
    }
    return text;
}

}  // namespace

std::vector<uint8_t> Sid_Bytes(const std::string& text) {
    std::vector<DWORD> parts;
    size_t at = 4;  // after "S-1-"
    while (at <= text.size()) {
        size_t dash = text.find('-', at);
        if (dash == std::string::npos) dash = text.size();
        parts.push_back(DWORD(std::stoul(text.substr(at, dash - at))));
        at = dash + 1;
    }
    std::vector<uint8_t> bytes(8 + 4 * (parts.size() - 1));
    bytes[0] = SID_REVISION;
    bytes[1] = BYTE(parts.size() - 1);
    bytes[7] = BYTE(parts[0]);
    for (size_t i = 1; i < parts.size(); ++i) std::memcpy(&bytes[8 + 4 * (i - 1)], &parts[i], 4);
    return bytes;
}

namespace {

// The entries of a binary access list; false when it is malformed.
bool Read_Acl(const ACL* acl, std::vector<Ace>& aces) {
    aces.clear();
    if (acl->AclRevision != ACL_REVISION && acl->AclRevision != ACL_REVISION_DS) return false;
    if (acl->AclSize < sizeof(ACL)) return false;
    const BYTE* base = reinterpret_cast<const BYTE*>(acl);
    size_t at = sizeof(ACL);
    for (unsigned i = 0; i < acl->AceCount; ++i) {
        if (at + sizeof(ACE_HEADER) > acl->AclSize) return false;
        ACE_HEADER header;
        std::memcpy(&header, base + at, sizeof header);
        if (header.AceSize < 8 || at + header.AceSize > acl->AclSize) return false;
        if (header.AceType != ACCESS_ALLOWED_ACE_TYPE && header.AceType != ACCESS_DENIED_ACE_TYPE) return false;
        const SID* sid = reinterpret_cast<const SID*>(base + at + 8);
        if (header.AceSize < 8 + 8 || !Is_Valid_Sid(sid) || 8 + Sid_Length(sid) > header.AceSize) return false;
        Ace ace;
        ace.type = header.AceType;
        ace.flags = header.AceFlags;
        std::memcpy(&ace.mask, base + at + 4, 4);
        ace.sid = Sid_Text(sid);
        aces.push_back(ace);
        at += header.AceSize;
    }
    return true;
}

PACL Write_Acl(const std::vector<Ace>& aces) {
    size_t size = sizeof(ACL);
    std::vector<std::vector<uint8_t>> sids;
    for (const Ace& ace : aces) {
        sids.push_back(Sid_Bytes(ace.sid));
        size += 8 + sids.back().size();
    }
    BYTE* base = static_cast<BYTE*>(LocalAlloc(LPTR, size));
    if (!base) return nullptr;
    ACL header{ACL_REVISION, 0, WORD(size), WORD(aces.size()), 0};
    std::memcpy(base, &header, sizeof header);
    size_t at = sizeof(ACL);
    for (size_t i = 0; i < aces.size(); ++i) {
        ACE_HEADER ace_header{aces[i].type, aces[i].flags, WORD(8 + sids[i].size())};
        std::memcpy(base + at, &ace_header, sizeof ace_header);
        std::memcpy(base + at + 4, &aces[i].mask, 4);
        std::memcpy(base + at + 8, sids[i].data(), sids[i].size());
        at += ace_header.AceSize;
    }
    return reinterpret_cast<PACL>(base);
}

// Checks the caller's rights on the object (`granted`) and reads what is to be set.
DWORD Read_Security_Change(const Token& token, ACCESS_MASK granted, SECURITY_INFORMATION information, PSID owner,
                           PACL dacl, Security_Change& change) {
    if (token.Has_Enabled(kTakeOwnershipLuid)) granted |= WRITE_OWNER;
    ACCESS_MASK needed = 0;
    if (information & OWNER_SECURITY_INFORMATION) needed |= WRITE_OWNER;
    if (information & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
    if ((granted & needed) != needed) return ERROR_ACCESS_DENIED;
    if (information & OWNER_SECURITY_INFORMATION) {
        if (!Is_Valid_Sid(owner)) return ERROR_INVALID_SID;
        change.owner = Sid_Text(static_cast<SID*>(owner));
        if (!Token_Has_Sid(token, change.owner)) return ERROR_INVALID_OWNER;  // not an identity of the caller
    }
    if (information & DACL_SECURITY_INFORMATION) {
        if (!dacl) return ERROR_NOT_SUPPORTED;  // a null list (everyone has every right) is not modelled
        if (!Read_Acl(dacl, change.aces)) return ERROR_INVALID_ACL;
        // Inherited entries of the given list are dropped: inheritance comes from the parent.
        change.aces.erase(std::remove_if(change.aces.begin(), change.aces.end(),
                                         [](const Ace& a) { return a.flags & INHERITED_ACE; }),
                          change.aces.end());
    }
    return ERROR_SUCCESS;
}
// Sets what a security call sets on an entry of drive C: found with its effective security; granted
// is what the caller may do to it.
DWORD Set_Found_File_Security(Machine& machine, const File_Found& found, ACCESS_MASK granted,
                              SECURITY_INFORMATION information, PSID owner, PACL dacl) {
    Security_Change change;
    DWORD error = Read_Security_Change(*machine.Calling_Token(), granted, information, owner, dacl, change);
    if (error != ERROR_SUCCESS) return error;
    Change_File_Security(machine, found, information, change);
    return ERROR_SUCCESS;
}

// SetNamedSecurityInfoW on a path of drive C:. Windows opens the object by its name, so a junction
// as the last component leads to its target.
DWORD Set_File_Security(Machine& machine, const Text& name, SECURITY_INFORMATION information, PSID owner, PACL dacl) {
    File_Found found = Find_File(machine, name, true);
    if (!found.node) return found.error;
    return Set_Found_File_Security(machine, found, Granted_Access(found.e, *machine.Calling_Token(), true),
                                   information, owner, dacl);
}

// The entry of an open file handle, with its effective security: looked up by the path it was opened
// by, or, when it has been renamed or moved since, where it is now. A link opened as itself stays the link.
DWORD Find_Handle_File(Machine& machine, HANDLE handle, File_Found& found, DWORD& desired_access) {
    File_Handle_Info info;
    if (!File_Handle_Of(handle, info)) return ERROR_INVALID_HANDLE;
    if (!info.node) return ERROR_FILE_NOT_FOUND;  // deleted while open
    desired_access = info.desired_access;
    found = Find_File(machine, info.path, false, false);
    if (found.node != info.node) found = Find_File(machine, Path_Of(machine.drive_c, *info.node), false, false);
    return found.node == info.node ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// The owner and the whole access list (inherited entries included) in one block of a self-relative
// security descriptor, released with LocalFree.
DWORD Describe(const Effective& e, SECURITY_INFORMATION information, PSID* owner, PACL* dacl,
               PSECURITY_DESCRIPTOR* descriptor, const std::string& call) {
    std::vector<uint8_t> owner_bytes = Sid_Bytes(e.owner);
    PACL list = Write_Acl(e.aces);
    if (!list) return ERROR_NOT_ENOUGH_MEMORY;
    const size_t header = 20, list_size = list->AclSize;
    BYTE* block = static_cast<BYTE*>(LocalAlloc(LPTR, header + owner_bytes.size() + list_size));
    if (!block) {
        LocalFree(list);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    // Revision 1; control: self-relative, list present, protected when it is.
    WORD control = 0x8000 | 0x0004 | (e.dacl_protected ? 0x1000 : 0);
    block[0] = 1;
    std::memcpy(block + 2, &control, 2);
    DWORD owner_at = DWORD(header), list_at = DWORD(header + owner_bytes.size());
    std::memcpy(block + 4, &owner_at, 4);
    std::memcpy(block + 16, &list_at, 4);
    std::memcpy(block + owner_at, owner_bytes.data(), owner_bytes.size());
    std::memcpy(block + list_at, list, list_size);
    LocalFree(list);
    if (owner) *owner = (information & OWNER_SECURITY_INFORMATION) ? block + owner_at : nullptr;
    if (dacl) *dacl = (information & DACL_SECURITY_INFORMATION) ? reinterpret_cast<PACL>(block + list_at) : nullptr;
    Note_Open(Object_Kind::Local_Memory, reinterpret_cast<uintptr_t>(block), "security descriptor of " + call);
    *descriptor = block;
    return ERROR_SUCCESS;
}

const char* Object_Type_Name(SE_OBJECT_TYPE type) {
    switch (type) {
    case SE_FILE_OBJECT: return "SE_FILE_OBJECT";
    case SE_REGISTRY_KEY: return "SE_REGISTRY_KEY";
    case SE_REGISTRY_WOW64_32KEY: return "SE_REGISTRY_WOW64_32KEY";
    case SE_REGISTRY_WOW64_64KEY: return "SE_REGISTRY_WOW64_64KEY";
    case SE_KERNEL_OBJECT: return "SE_KERNEL_OBJECT";
    default: return "other";
    }
}
}  // namespace

}  // namespace winsim

using namespace winsim;

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                              DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Record_Call("AllocateAndInitializeSid", Text(), &fault, std::to_string(count))) {
        SetLastError(fault);
        return FALSE;
    }
    if (!authority || !sid || count > 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    SID* made = static_cast<SID*>(std::calloc(1, 8 + 4 * size_t(count ? count : 1)));
    if (!made) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    made->Revision = SID_REVISION;
    made->SubAuthorityCount = count;
    made->IdentifierAuthority = *authority;
    std::memcpy(reinterpret_cast<BYTE*>(made) + 8, subs, 4 * size_t(count));
    {
        std::lock_guard<std::mutex> sids(Sid_Lock());
        Allocated_Sids().insert(made);
    }
    Note_Open(Object_Kind::Sid, reinterpret_cast<uintptr_t>(made), Sid_Text(made));
    *sid = made;
    return TRUE;
}

PVOID FreeSid(PSID sid) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    // Only a SID this machine made and has not released yet is read: a released one is freed memory.
    bool made = false;
    {
        std::lock_guard<std::mutex> sids(Sid_Lock());
        made = Allocated_Sids().count(sid) != 0;
    }
    std::string text = made && Is_Valid_Sid(sid) ? Sid_Text(static_cast<SID*>(sid)) : std::string("invalid");
    DWORD fault;
    if (machine.Record_Call("FreeSid", From_Utf8(text), &fault)) {
        Note_Closed(Object_Kind::Sid, reinterpret_cast<uintptr_t>(sid));  // given back, though refused
        return sid;
    }
    std::lock_guard<std::mutex> sids(Sid_Lock());
    if (!Allocated_Sids().erase(sid)) return sid;  // not made by AllocateAndInitializeSid: refused
    Note_Closed(Object_Kind::Sid, reinterpret_cast<uintptr_t>(sid));
    std::free(sid);
    return nullptr;
}

DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL old_acl, PACL* new_acl) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Record_Call("SetEntriesInAclW", Text(), &fault, std::to_string(count))) return fault;
    if (!new_acl || (count && !entries)) return ERROR_INVALID_PARAMETER;
    std::vector<Ace> aces;
    if (old_acl && !Read_Acl(old_acl, aces)) return ERROR_INVALID_ACL;
    std::vector<Ace> denied, allowed, inherited;
    for (const Ace& ace : aces)
        (ace.flags & INHERITED_ACE ? inherited : ace.type == ACCESS_DENIED_ACE_TYPE ? denied : allowed).push_back(ace);
    for (ULONG i = 0; i < count; ++i) {
        const EXPLICIT_ACCESS_W& entry = entries[i];
        if (entry.Trustee.pMultipleTrustee || entry.Trustee.TrusteeForm != TRUSTEE_IS_SID)
            return ERROR_INVALID_PARAMETER;  // trustees by name are not modelled
        if (!Is_Valid_Sid(entry.Trustee.ptstrName)) return ERROR_INVALID_SID;
        std::string sid = Sid_Text(reinterpret_cast<const SID*>(entry.Trustee.ptstrName));
        Ace ace{ACCESS_ALLOWED_ACE_TYPE, BYTE(entry.grfInheritance & VALID_INHERIT_FLAGS & ~INHERITED_ACE),
                entry.grfAccessPermissions, sid};
        auto of_trustee = [&](const Ace& a) { return a.sid == sid; };
        switch (entry.grfAccessMode) {
        case SET_ACCESS:
            denied.erase(std::remove_if(denied.begin(), denied.end(), of_trustee), denied.end());
            allowed.erase(std::remove_if(allowed.begin(), allowed.end(), of_trustee), allowed.end());
            if (ace.mask) allowed.push_back(ace);
            break;
        case GRANT_ACCESS:
            allowed.push_back(ace);
            break;
        case DENY_ACCESS:
            ace.type = ACCESS_DENIED_ACE_TYPE;
            denied.push_back(ace);
            break;
        case REVOKE_ACCESS:
            allowed.erase(std::remove_if(allowed.begin(), allowed.end(), of_trustee), allowed.end());
            break;
        default:
            return ERROR_INVALID_PARAMETER;
        }
    }
    std::vector<Ace> all = denied;  // canonical order: denied, allowed, then inherited entries
    all.insert(all.end(), allowed.begin(), allowed.end());
    all.insert(all.end(), inherited.begin(), inherited.end());
    PACL acl = Write_Acl(all);
    if (!acl) return ERROR_NOT_ENOUGH_MEMORY;
    Note_Open(Object_Kind::Local_Memory, reinterpret_cast<uintptr_t>(acl),
              "access list of SetEntriesInAclW (" + std::to_string(all.size()) + " entries)");
    *new_acl = acl;
    return ERROR_SUCCESS;
}

DWORD SetNamedSecurityInfoW(LPWSTR object_name, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION information,
                            PSID owner, PSID group, PACL dacl, PACL sacl) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    std::string note = Object_Type_Name(object_type);
    if (information & OWNER_SECURITY_INFORMATION)
        note += " owner=" + (Is_Valid_Sid(owner) ? Sid_Code(Sid_Text(static_cast<SID*>(owner))) : "invalid");
    if (information & DACL_SECURITY_INFORMATION) note += " dacl";
    DWORD fault;
    if (machine.Record_Call("SetNamedSecurityInfoW", From_Wide_Pointer(object_name), &fault, note)) return fault;
    (void)group;
    (void)sacl;
    if (!object_name) return ERROR_INVALID_PARAMETER;
    if (object_type != SE_FILE_OBJECT && object_type != SE_REGISTRY_KEY && object_type != SE_REGISTRY_WOW64_32KEY &&
        object_type != SE_REGISTRY_WOW64_64KEY)
        return ERROR_INVALID_PARAMETER;  // only registry keys and files are modelled
    std::shared_ptr<Token> token = machine.Calling_Token();
    if (information & (GROUP_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)) {
        if ((information & SACL_SECURITY_INFORMATION) && !token->Has_Enabled(kSecurityLuid))
            return ERROR_PRIVILEGE_NOT_HELD;
        return ERROR_NOT_SUPPORTED;  // groups and system access lists are not modelled
    }
    if (object_type == SE_FILE_OBJECT)
        return Set_File_Security(machine, From_Wide_Pointer(object_name), information, owner, dacl);
    bool machine_hive = true;
    std::vector<Text> names;
    if (!Split_Path(From_Wide_Pointer(object_name), machine_hive, names)) return ERROR_INVALID_PARAMETER;
    if (object_type == SE_REGISTRY_WOW64_32KEY) names = Path_In_32Bit_View(machine_hive, names);
    Effective e;
    Reg_Key* key = Walk(machine, machine_hive, names, e);
    if (!key) return ERROR_FILE_NOT_FOUND;
    if (key->write_protected) return ERROR_ACCESS_DENIED;

    Security_Change change;
    DWORD error = Read_Security_Change(*token, Granted_Access(e, *token), information, owner, dacl, change);
    if (error != ERROR_SUCCESS) return error;
    Text path = machine_hive ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER";
    for (const Text& name : names) path += u"\\" + name;
    Change_Key_Security(machine, *key, path, e, information, change);
    return ERROR_SUCCESS;
}

// The owner and the whole access list (inherited entries included) in one block of a self-relative
// security descriptor, released with LocalFree; needs READ_CONTROL (the owner always has it).
DWORD GetNamedSecurityInfoW(LPCWSTR object_name, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION information,
                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Record_Call("GetNamedSecurityInfoW", From_Wide_Pointer(object_name), &fault,
                            Object_Type_Name(object_type)))
        return fault;
    if (!object_name || !descriptor) return ERROR_INVALID_PARAMETER;
    if (information & (GROUP_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)) return ERROR_NOT_SUPPORTED;
    (void)group;
    (void)sacl;
    Effective e;
    if (object_type == SE_FILE_OBJECT) {
        File_Found found = Find_File(machine, From_Wide_Pointer(object_name), true);
        if (!found.node) return found.error;
        e = found.e;
    } else if (object_type == SE_REGISTRY_KEY || object_type == SE_REGISTRY_WOW64_32KEY) {
        bool machine_hive = true;
        std::vector<Text> names;
        if (!Split_Path(From_Wide_Pointer(object_name), machine_hive, names)) return ERROR_INVALID_PARAMETER;
        if (object_type == SE_REGISTRY_WOW64_32KEY) names = Path_In_32Bit_View(machine_hive, names);
        if (!Walk(machine, machine_hive, names, e)) return ERROR_FILE_NOT_FOUND;
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    if (!(Granted_Access(e, *machine.Calling_Token(), object_type == SE_FILE_OBJECT) & READ_CONTROL))
        return ERROR_ACCESS_DENIED;
    return Describe(e, information, owner, dacl, descriptor,
                    "GetNamedSecurityInfoW(" + To_Utf8(From_Wide_Pointer(object_name)) + ")");
}

// The same for an open file or folder, as its handle refers to it; the handle must have been opened
// with READ_CONTROL.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION information, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (object_type == SE_KERNEL_OBJECT) {
        // A named mutex: its creator owns it (the handle's own access is not modelled).
        std::shared_ptr<Kernel_Object> object = Get_Handle(handle);
        if (machine.Record_Call("GetSecurityInfo", object ? From_Utf8(object->What()) : Text(), &fault,
                                "SE_KERNEL_OBJECT"))
            return fault;
        if (!descriptor || (information & ~OWNER_SECURITY_INFORMATION)) return ERROR_INVALID_PARAMETER;
        if (!object) return ERROR_INVALID_HANDLE;
        Effective e;
        e.owner = object->Owner_Sid();
        if (e.owner.empty()) return ERROR_NOT_SUPPORTED;
        return Describe(e, information, owner, dacl, descriptor, "GetSecurityInfo(" + object->What() + ")");
    }
    File_Found found;
    DWORD desired_access = 0;
    DWORD error = Find_Handle_File(machine, handle, found, desired_access);
    if (machine.Record_Call("GetSecurityInfo", found.path, &fault, Object_Type_Name(object_type))) return fault;
    (void)group;
    (void)sacl;
    if (object_type != SE_FILE_OBJECT || !descriptor) return ERROR_INVALID_PARAMETER;  // only files are modelled
    if (information & (GROUP_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)) return ERROR_NOT_SUPPORTED;
    if (error != ERROR_SUCCESS) return error;
    if (!(Map_Generic(desired_access, true) & READ_CONTROL)) return ERROR_ACCESS_DENIED;
    return Describe(found.e, information, owner, dacl, descriptor, "GetSecurityInfo(" + To_Utf8(found.path) + ")");
}

// Sets owner and list of an open file or folder: a link opened as itself (FILE_FLAG_OPEN_REPARSE_POINT)
// is changed itself, never its target. The handle must have been opened with WRITE_OWNER for the
// owner and WRITE_DAC for the list.
DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION information, PSID owner,
                      PSID group, PACL dacl, PACL sacl) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    File_Found found;
    DWORD desired_access = 0;
    DWORD error = Find_Handle_File(machine, handle, found, desired_access);
    std::string note = Object_Type_Name(object_type);
    if (information & OWNER_SECURITY_INFORMATION)
        note += " owner=" + (Is_Valid_Sid(owner) ? Sid_Code(Sid_Text(static_cast<SID*>(owner))) : "invalid");
    if (information & DACL_SECURITY_INFORMATION) note += " dacl";
    DWORD fault;
    if (machine.Record_Call("SetSecurityInfo", found.path, &fault, note)) return fault;
    (void)group;
    (void)sacl;
    if (object_type != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;  // only files are modelled
    if (information & (GROUP_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)) return ERROR_NOT_SUPPORTED;
    if (error != ERROR_SUCCESS) return error;
    // The handle may do what its open asked for and the object's list grants (the open itself is not
    // checked; the take-ownership privilege is added as for a change by name).
    ACCESS_MASK granted = Map_Generic(desired_access, true) & Granted_Access(found.e, *machine.Calling_Token(), true);
    return Set_Found_File_Security(machine, found, granted, information, owner, dacl);
}

// The control word of a self-relative descriptor, as GetNamedSecurityInfoW and GetSecurityInfo give
// them here. Windows reads it from memory, with nothing to fail but the arguments.
BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR_CONTROL control,
                                  LPDWORD revision) {
    if (!descriptor || !control || !revision) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const BYTE* block = static_cast<const BYTE*>(descriptor);
    *revision = block[0];
    std::memcpy(control, block + 2, sizeof(WORD));
    return TRUE;
}

BOOL LookupAccountSidW(LPCWSTR system_name, PSID sid, LPWSTR name, LPDWORD name_size, LPWSTR domain,
                       LPDWORD domain_size, PSID_NAME_USE use) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    const std::string text = Is_Valid_Sid(sid) ? Sid_Text(static_cast<const SID*>(sid)) : std::string();
    DWORD fault;
    if (machine.Record_Call("LookupAccountSidW", From_Utf8(text), &fault)) {
        SetLastError(fault);
        return FALSE;
    }
    if (system_name) {  // only this machine is known
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (text.empty() || !name_size || !domain_size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The account's domain and name: the well-known ones, the administrator the tool runs as (the
    // [user] account's name, DOMAIN\name or a name of this computer's, else Administrator) and the
    // [user] account.
    std::string account, account_domain;
    SID_NAME_USE kind = SidTypeUser;
    const std::string administrator_sid = "S-1-5-21-3623811015-3361044348-30300820-1001";
    if (text == "S-1-5-18") {
        account_domain = "NT AUTHORITY";
        account = "SYSTEM";
        kind = SidTypeWellKnownGroup;
    } else if (text == "S-1-5-19") {
        account_domain = "NT AUTHORITY";
        account = "LOCAL SERVICE";
        kind = SidTypeWellKnownGroup;
    } else if (text == "S-1-5-32-544") {
        account_domain = "BUILTIN";
        account = "Administrators";
        kind = SidTypeAlias;
    } else if (text == administrator_sid || (!machine.user_sid.empty() && text == machine.user_sid)) {
        const std::string& user = machine.user_name;
        size_t separator = user.find('\\');
        account_domain = separator == std::string::npos ? machine.Computer_Name() : user.substr(0, separator);
        account = user.empty() ? "Administrator" : separator == std::string::npos ? user : user.substr(separator + 1);
    } else {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    const Text wide_name = From_Utf8(account), wide_domain = From_Utf8(account_domain);
    // Both sizes are answered when either buffer is too small.
    if (!name || !domain || *name_size <= wide_name.size() || *domain_size <= wide_domain.size()) {
        *name_size = DWORD(wide_name.size() + 1);
        *domain_size = DWORD(wide_domain.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(wide_name.begin(), wide_name.end(), name);
    name[wide_name.size()] = 0;
    std::copy(wide_domain.begin(), wide_domain.end(), domain);
    domain[wide_domain.size()] = 0;
    *name_size = DWORD(wide_name.size());
    *domain_size = DWORD(wide_domain.size());
    if (use) *use = kind;
    return TRUE;
}
