// The file and folder security calls that the lock-down of a tree before restart deletions relies on,
// in a fixed sequence with every result printed. Built natively against winsim and as a Windows
// executable run under Wine; run_conformance.sh compares the two outputs line by line.
//
// Everything it touches is below C:\VpAcl, which it creates. It prints only what Wine and Windows
// agree on: the results of the calls. Wine answers SetNamedSecurityInfoW on files with 0 but keeps
// neither owner nor list: GetNamedSecurityInfoW reads back the entry's default (owner the Wine user,
// SYSTEM and that user full control, Everyone read and run, all as explicit entries). With
// SHOW_SECURITY set in the environment the program prints what it reads back.
#include <windows.h>

#include <aclapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Sid_Text(const void* pointer) {
    const SID* sid = static_cast<const SID*>(pointer);
    unsigned long long authority = 0;
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

// The explicit entries of a list (inherited ones are left out: how Wine passes entries on differs).
std::string Explicit_Entries(const ACL* acl) {
    std::string out;
    const BYTE* at = reinterpret_cast<const BYTE*>(acl) + sizeof(ACL);
    for (unsigned i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, at, sizeof header);
        DWORD mask;
        std::memcpy(&mask, at + 4, 4);
        if (!(header.AceFlags & INHERITED_ACE)) {
            char text[64];
            std::snprintf(text, sizeof text, "(%s;flags=0x%X;mask=0x%lX;", header.AceType == 0 ? "A" : "D",
                          unsigned(header.AceFlags), static_cast<unsigned long>(mask));
            out += text + Sid_Text(at + 8) + ")";
        }
        at += header.AceSize;
    }
    return out;
}

void Read_Back(const WCHAR* path, const char* label) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, &descriptor);
    std::printf("read %s: %lu\n", label, static_cast<unsigned long>(error));
    if (error != ERROR_SUCCESS) return;
    // Wine does not keep what was set (it reads back the entry's default security), so only the
    // presence of the parts is printed; Show_Security prints them when asked for by hand.
    std::printf("  owner %s, list %s\n", owner ? "given" : "none", dacl ? "given" : "none");
    if (std::getenv("SHOW_SECURITY"))
        std::printf("  %s %s\n", owner ? Sid_Text(owner).c_str() : "", dacl ? Explicit_Entries(dacl).c_str() : "");
    LocalFree(descriptor);
}

}  // namespace

int main() {
    WCHAR root[] = TEXT("C:\\VpAcl");
    WCHAR tree[] = TEXT("C:\\VpAcl\\tree");
    WCHAR sub[] = TEXT("C:\\VpAcl\\tree\\sub");
    WCHAR file[] = TEXT("C:\\VpAcl\\tree\\sub\\file.txt");
    WCHAR missing[] = TEXT("C:\\VpAcl\\missing\\file.txt");
    for (WCHAR* folder : {root, tree, sub}) std::printf("folder %d\n", CreateDirectoryW(folder, nullptr) ? 1 : 0);
    HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::printf("file %d\n", handle != INVALID_HANDLE_VALUE ? 1 : 0);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);

    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr, system = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &administrators);
    AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
    EXPLICIT_ACCESS_W entries[2];
    std::memset(entries, 0, sizeof entries);
    PSID trustees[2] = {administrators, system};
    for (int i = 0; i < 2; ++i) {
        entries[i].grfAccessPermissions = 0x001F01FF;
        entries[i].grfAccessMode = SET_ACCESS;
        entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = i == 0 ? TRUSTEE_IS_GROUP : TRUSTEE_IS_USER;
        entries[i].Trustee.ptstrName = static_cast<LPWSTR>(trustees[i]);
    }
    PACL list = nullptr;
    std::printf("list %lu\n", static_cast<unsigned long>(SetEntriesInAclW(2, entries, nullptr, &list)));
    ACL empty;
    std::memset(&empty, 0, sizeof empty);
    empty.AclRevision = ACL_REVISION;
    empty.AclSize = sizeof(ACL);

    for (WCHAR* path : {tree, sub, file}) {
        std::printf("owner %lu\n", static_cast<unsigned long>(SetNamedSecurityInfoW(
                                       path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, administrators, nullptr,
                                       nullptr, nullptr)));
        bool top = path == tree;
        std::printf("dacl %lu\n",
                    static_cast<unsigned long>(SetNamedSecurityInfoW(
                        path, SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION |
                            (top ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION),
                        nullptr, nullptr, top ? list : &empty, nullptr)));
    }
    Read_Back(tree, "tree");
    Read_Back(sub, "sub");
    Read_Back(file, "file");
    std::printf("missing owner %lu\n",
                static_cast<unsigned long>(SetNamedSecurityInfoW(missing, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                                                  administrators, nullptr, nullptr, nullptr)));
    std::printf("done\n");
    LocalFree(list);
    FreeSid(administrators);
    FreeSid(system);
    DeleteFileW(file);
    RemoveDirectoryW(sub);
    RemoveDirectoryW(tree);
    RemoveDirectoryW(root);
    return 0;
}
