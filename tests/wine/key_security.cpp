// The Wine tests run this in the tool's Wine session: it states a registry key's security before the
// run and reads it back after it, in SDDL.
//
//   key_security set KEY SDDL     owner, and the access list as protected or not, from SDDL
//   key_security show KEY [32]    prints "KEY SDDL" (owner and access list) of the native or 32-bit view
//   key_security link KEY TARGET  makes KEY (below HKEY_LOCAL_MACHINE, new) a symbolic link to TARGET
//
// KEY is "HKEY_LOCAL_MACHINE\..." or "HKEY_CURRENT_USER\...". Exit code 0, or the failing call's error.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

// "HKEY_LOCAL_MACHINE\X" -> "MACHINE\X", the object name of the security calls.
bool Object_Name(const wchar_t* key, wchar_t* name, size_t size) {
    const wchar_t* roots[][2] = {{L"HKEY_LOCAL_MACHINE\\", L"MACHINE\\"}, {L"HKEY_CURRENT_USER\\", L"CURRENT_USER\\"}};
    for (auto& root : roots) {
        size_t length = wcslen(root[0]);
        if (_wcsnicmp(key, root[0], length) == 0) {
            _snwprintf(name, size, L"%ls%ls", root[1], key + length);
            name[size - 1] = 0;
            return true;
        }
    }
    return false;
}

int Set(const wchar_t* key, const wchar_t* sddl) {
    wchar_t name[1024];
    if (!Object_Name(key, name, 1024)) return ERROR_INVALID_PARAMETER;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        DWORD error = GetLastError();
        wprintf(L"ConvertStringSecurityDescriptorToSecurityDescriptor %lu\n", error);
        return int(error);
    }
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    SECURITY_INFORMATION information = 0;
    if (owner) information |= OWNER_SECURITY_INFORMATION;
    if (present) {
        information |= DACL_SECURITY_INFORMATION;
        information |= (control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION;
    }
    DWORD error = SetNamedSecurityInfoW(name, SE_REGISTRY_KEY, information, owner, nullptr, present ? dacl : nullptr,
                                        nullptr);
    LocalFree(descriptor);
    wprintf(L"set %ls %lu\n", key, error);
    return int(error);
}

int Show(const wchar_t* key, bool wow32) {
    wchar_t name[1024];
    if (!Object_Name(key, name, 1024)) return ERROR_INVALID_PARAMETER;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(name, wow32 ? SE_REGISTRY_WOW64_32KEY : SE_REGISTRY_KEY,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        wprintf(L"%ls%ls error %lu\n", key, wow32 ? L" (32)" : L"", error);
        return int(error);
    }
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        error = GetLastError();
        LocalFree(descriptor);
        wprintf(L"%ls%ls error %lu\n", key, wow32 ? L" (32)" : L"", error);
        return int(error);
    }
    wprintf(L"%ls%ls %ls\n", key, wow32 ? L" (32)" : L"", text);
    LocalFree(text);
    LocalFree(descriptor);
    return 0;
}

// A new key made with REG_OPTION_CREATE_LINK and its value SymbolicLinkValue naming the target as
// "\Registry\Machine\...", as an ordinary user could plant one in a key that user may write.
int Link(const wchar_t* key, const wchar_t* target) {
    const wchar_t* prefix = L"HKEY_LOCAL_MACHINE\\";
    size_t length = wcslen(prefix);
    if (_wcsnicmp(key, prefix, length) != 0 || _wcsnicmp(target, prefix, length) != 0) return ERROR_BAD_ARGUMENTS;
    wchar_t value[1024];
    _snwprintf(value, 1024, L"\\Registry\\Machine\\%ls", target + length);
    value[1023] = 0;
    HKEY link;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key + length, 0, NULL, REG_OPTION_CREATE_LINK,
                                  KEY_ALL_ACCESS | KEY_CREATE_LINK, NULL, &link, NULL);
    if (status != ERROR_SUCCESS) return int(status);
    status = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(value),
                            DWORD(wcslen(value) * sizeof(wchar_t)));
    RegCloseKey(link);
    if (status == ERROR_SUCCESS) wprintf(L"%ls => %ls\n", key, value);
    return int(status);
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc == 4 && wcscmp(argv[1], L"set") == 0) return Set(argv[2], argv[3]);
    if ((argc == 3 || argc == 4) && wcscmp(argv[1], L"show") == 0)
        return Show(argv[2], argc == 4 && wcscmp(argv[3], L"32") == 0);
    if (argc == 4 && wcscmp(argv[1], L"link") == 0) return Link(argv[2], argv[3]);
    fwprintf(stderr, L"usage: key_security set KEY SDDL | show KEY [32] | link KEY TARGET\n");
    return ERROR_BAD_ARGUMENTS;
}
