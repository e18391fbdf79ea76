// Registry symbolic links, as the removal tool's key-tree deletion relies on them: a link created with
// REG_OPTION_CREATE_LINK and its REG_LINK value "SymbolicLinkValue", opened with and without
// REG_OPTION_OPEN_LINK, what the enumeration shows of it, a deletion by name (which reaches the target)
// and the tool's own way: the link opened through its parent with REG_OPTION_OPEN_LINK and DELETE, then
// NtDeleteKey on that handle, which removes the link and leaves the target whole. A loop of links
// fails the open with 87 under Wine as on Windows 10 1607 and later (winsim's machine is a Windows 10
// of a later build; earlier Windows answer 206). Built natively against
// winsim and as a Windows executable run under Wine; run_conformance.sh compares the two outputs.
//
// Everything lives below HKLM\SOFTWARE\VpLinks; targets are named "\Registry\Machine\...", the form both
// agree on (a link below HKEY_CURRENT_USER names its user's SID, which differs). Left out because Wine
// and Windows part ways there (winsim/README.md):
// - RegDeleteKeyW with an empty name on a handle opened on the link: Wine deletes the link, winsim
//   reaches the target; the tool never does this.
// - NtDeleteKey: statuses are printed as the Win32 errors they map to. A key with subkeys gives
//   STATUS_CANNOT_DELETE on Windows and STATUS_ACCESS_DENIED under Wine (both error 5); a second
//   NtDeleteKey on a handle whose key is already deleted succeeds under Wine (Windows:
//   STATUS_KEY_DELETED); not called here.
#include <windows.h>

#include "conformance_output.h"
#include <winternl.h>

#include <cstdio>
#include <string>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key_handle);

namespace {

const WCHAR* const Base = TEXT("SOFTWARE\\VpLinks");

Wide Path(const WCHAR* name) { return Wide(Base) + TEXT("\\") + name; }

void Make(const WCHAR* name, const char* value) {
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(name).c_str(), 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, NULL, &key, NULL);
    std::printf("create %s: %ld\n", Show(name, Wide(name).size()).c_str(), long(status));
    if (status != ERROR_SUCCESS) return;
    Wide data(value, value + std::string(value).size());
    RegSetValueExW(key, TEXT("v"), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   DWORD((data.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
}

// A link key named name (below the base) pointing at the target, a full registry path.
void Make_Link(const WCHAR* name, const WCHAR* target) {
    HKEY key;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(name).c_str(), 0, NULL, REG_OPTION_CREATE_LINK,
                                  KEY_ALL_ACCESS | KEY_CREATE_LINK, NULL, &key, &disposition);
    std::printf("create link %s: %ld disposition %lu\n", Show(name, Wide(name).size()).c_str(), long(status),
                (unsigned long)disposition);
    if (status != ERROR_SUCCESS) return;
    status = RegSetValueExW(key, TEXT("SymbolicLinkValue"), 0, REG_LINK, reinterpret_cast<const BYTE*>(target),
                            DWORD(Wide(target).size() * sizeof(WCHAR)));
    std::printf("  set SymbolicLinkValue: %ld\n", long(status));
    RegCloseKey(key);
}

// Counts from RegQueryInfoKeyW, then every subkey and value name with the value's type and size.
void Describe(HKEY key) {
    DWORD sub_keys = 99, values = 99;
    LONG status = RegQueryInfoKeyW(key, NULL, NULL, NULL, &sub_keys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    std::printf("  info: %ld subkeys %lu values %lu\n", long(status), (unsigned long)sub_keys,
                (unsigned long)values);
    for (DWORD index = 0;; ++index) {
        WCHAR name[260];
        DWORD length = 260;
        status = RegEnumKeyExW(key, index, name, &length, NULL, NULL, NULL, NULL);
        if (status != ERROR_SUCCESS) break;
        std::printf("  subkey %s\n", Show(name, length).c_str());
    }
    std::printf("  subkeys end: %ld\n", long(status));
    for (DWORD index = 0;; ++index) {
        WCHAR name[260];
        DWORD length = 260, type = 0, size = 0;
        status = RegEnumValueW(key, index, name, &length, NULL, &type, NULL, &size);
        if (status != ERROR_SUCCESS) break;
        std::printf("  value %s type %lu size %lu\n", Show(name, length).c_str(), (unsigned long)type,
                    (unsigned long)size);
    }
    std::printf("  values end: %ld\n", long(status));
}

// Opens name below the base with the options given, prints the status and, when open, what it shows.
void Open_And_Describe(const char* what, const WCHAR* name, DWORD options) {
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(name).c_str(), options, KEY_READ, &key);
    std::printf("%s: %ld\n", what, long(status));
    if (status != ERROR_SUCCESS) return;
    Describe(key);
    RegCloseKey(key);
}

void Exists(const char* what, const WCHAR* name) {
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(name).c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &key);
    std::printf("  %s: %s\n", what, status == ERROR_SUCCESS ? "present" : "absent");
    if (status == ERROR_SUCCESS) RegCloseKey(key);
}

// The tool's deletion of one key: opened through its parent's handle by its one name with
// REG_OPTION_OPEN_LINK and DELETE, then deleted through that handle.
void Delete_Itself(const char* what, HKEY parent, const WCHAR* name) {
    HKEY key;
    LONG status = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, DELETE, &key);
    std::printf("%s: open %ld", what, long(status));
    if (status == ERROR_SUCCESS) {
        NTSTATUS deleted = NtDeleteKey(key);
        std::printf(", NtDeleteKey error %lu, close %ld", (unsigned long)RtlNtStatusToDosError(deleted),
                    long(RegCloseKey(key)));
    }
    std::printf("\n");
}

}  // namespace

int main() {
    std::printf("registry link conformance\n");
    Make(TEXT("Product\\Settings"), "inner");
    Make(TEXT("Product"), "outer");
    Make(TEXT("Leaf"), "leaf");
    Make(TEXT("Maker"), "maker");

    Section("creating links");
    Make_Link(TEXT("Maker\\ToProduct"), TEXT("\\Registry\\Machine\\SOFTWARE\\VpLinks\\Product"));
    Make_Link(TEXT("Maker\\ToLeaf"), TEXT("\\Registry\\Machine\\SOFTWARE\\VpLinks\\Leaf"));
    Make_Link(TEXT("Maker\\Dangling"), TEXT("\\Registry\\Machine\\SOFTWARE\\VpLinks\\Missing"));
    Make_Link(TEXT("Maker\\Relative"), TEXT("SOFTWARE\\VpLinks\\Product"));
    Make_Link(TEXT("Maker\\Hop"), TEXT("\\Registry\\Machine\\SOFTWARE\\VpLinks\\Maker\\ToProduct"));
    Make_Link(TEXT("Maker\\LoopA"), TEXT("\\Registry\\Machine\\SOFTWARE\\VpLinks\\Maker\\LoopB"));
    Make_Link(TEXT("Maker\\LoopB"), TEXT("\\Registry\\Machine\\SOFTWARE\\VpLinks\\Maker\\LoopA"));
    Open_And_Describe("open Maker", TEXT("Maker"), 0);

    Section("opening a link");
    Open_And_Describe("open ToProduct", TEXT("Maker\\ToProduct"), 0);
    Open_And_Describe("open ToProduct with REG_OPTION_OPEN_LINK", TEXT("Maker\\ToProduct"), REG_OPTION_OPEN_LINK);
    Open_And_Describe("open ToProduct\\ with REG_OPTION_OPEN_LINK", TEXT("Maker\\ToProduct\\"),
                      REG_OPTION_OPEN_LINK);
    Open_And_Describe("open ToProduct\\Settings", TEXT("Maker\\ToProduct\\Settings"), 0);
    Open_And_Describe("open ToProduct\\Settings with REG_OPTION_OPEN_LINK", TEXT("Maker\\ToProduct\\Settings"),
                      REG_OPTION_OPEN_LINK);
    Open_And_Describe("open Hop (a link to a link)", TEXT("Maker\\Hop"), 0);
    Open_And_Describe("open Dangling", TEXT("Maker\\Dangling"), 0);
    Open_And_Describe("open Dangling with REG_OPTION_OPEN_LINK", TEXT("Maker\\Dangling"), REG_OPTION_OPEN_LINK);
    Open_And_Describe("open Relative", TEXT("Maker\\Relative"), 0);
    Open_And_Describe("open LoopA (a loop of links)", TEXT("Maker\\LoopA"), 0);
    HKEY maker;
    std::printf("open Maker for the walk: %ld\n",
                long(RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(TEXT("Maker")).c_str(), REG_OPTION_OPEN_LINK, KEY_READ,
                                   &maker)));
    HKEY child;
    LONG status = RegOpenKeyExW(maker, TEXT("ToProduct"), REG_OPTION_OPEN_LINK, KEY_READ, &child);
    std::printf("open ToProduct through Maker's handle with REG_OPTION_OPEN_LINK: %ld\n", long(status));
    if (status == ERROR_SUCCESS) {
        Describe(child);
        RegCloseKey(child);
    }

    Section("creating through a link");
    HKEY key;
    DWORD disposition = 0;
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(TEXT("Maker\\ToProduct")).c_str(), 0, NULL, 0, KEY_READ,
                             NULL, &key, &disposition);
    std::printf("create ToProduct: %ld disposition %lu\n", long(status), (unsigned long)disposition);
    if (status == ERROR_SUCCESS) {
        Describe(key);
        RegCloseKey(key);
    }
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(TEXT("Maker\\ToProduct")).c_str(), 0, NULL,
                             REG_OPTION_OPEN_LINK, KEY_READ, NULL, &key, &disposition);
    std::printf("create ToProduct with REG_OPTION_OPEN_LINK: %ld disposition %lu\n", long(status),
                (unsigned long)disposition);
    if (status == ERROR_SUCCESS) {
        Describe(key);
        RegCloseKey(key);
    }
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(TEXT("Maker\\ToProduct\\New")).c_str(), 0, NULL, 0,
                             KEY_READ, NULL, &key, &disposition);
    std::printf("create ToProduct\\New: %ld disposition %lu\n", long(status), (unsigned long)disposition);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    Exists("Product\\New", TEXT("Product\\New"));
    std::printf("delete Product\\New: %ld\n",
                long(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Path(TEXT("Product\\New")).c_str())));

    Section("deleting by name reaches the target");
    std::printf("RegDeleteKeyW Maker\\ToProduct: %ld\n",
                long(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Path(TEXT("Maker\\ToProduct")).c_str())));
    std::printf("RegDeleteKeyW Maker\\ToLeaf: %ld\n",
                long(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Path(TEXT("Maker\\ToLeaf")).c_str())));
    Exists("Maker\\ToLeaf", TEXT("Maker\\ToLeaf"));
    Exists("Leaf", TEXT("Leaf"));
    std::printf("RegDeleteKeyW Maker\\Dangling: %ld\n",
                long(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Path(TEXT("Maker\\Dangling")).c_str())));

    Section("deleting the link itself");
    Delete_Itself("delete ToProduct through Maker's handle", maker, TEXT("ToProduct"));
    Exists("Maker\\ToProduct", TEXT("Maker\\ToProduct"));
    Open_And_Describe("open Product", TEXT("Product"), 0);
    Open_And_Describe("open Product\\Settings", TEXT("Product\\Settings"), 0);
    Delete_Itself("delete ToLeaf through Maker's handle", maker, TEXT("ToLeaf"));
    Delete_Itself("delete Dangling through Maker's handle", maker, TEXT("Dangling"));
    Delete_Itself("delete Hop through Maker's handle", maker, TEXT("Hop"));
    Delete_Itself("delete Relative through Maker's handle", maker, TEXT("Relative"));
    Delete_Itself("delete LoopA through Maker's handle", maker, TEXT("LoopA"));
    Delete_Itself("delete LoopB through Maker's handle", maker, TEXT("LoopB"));
    Delete_Itself("delete ToProduct again", maker, TEXT("ToProduct"));
    Open_And_Describe("open Maker", TEXT("Maker"), 0);

    Section("deleting through a handle, ordinary keys");
    HKEY base;
    std::printf("open the base: %ld\n",
                long(RegOpenKeyExW(HKEY_LOCAL_MACHINE, Base, REG_OPTION_OPEN_LINK, KEY_READ, &base)));
    Delete_Itself("delete Product (it has a subkey)", base, TEXT("Product"));
    status = RegOpenKeyExW(base, TEXT("Maker"), REG_OPTION_OPEN_LINK, KEY_READ, &key);
    std::printf("open Maker without DELETE: %ld", long(status));
    if (status == ERROR_SUCCESS) {
        NTSTATUS deleted = NtDeleteKey(key);
        std::printf(", NtDeleteKey error %lu", (unsigned long)RtlNtStatusToDosError(deleted));
        RegCloseKey(key);
    }
    std::printf("\n");
    status = RegOpenKeyExW(base, TEXT("Maker"), REG_OPTION_OPEN_LINK, KEY_READ | DELETE, &key);
    std::printf("open Maker with KEY_READ | DELETE: %ld\n", long(status));
    if (status == ERROR_SUCCESS) {
        NTSTATUS deleted = NtDeleteKey(key);
        std::printf("  NtDeleteKey error %lu\n", (unsigned long)RtlNtStatusToDosError(deleted));
        DWORD sub_keys = 99;
        LONG info = RegQueryInfoKeyW(key, NULL, NULL, NULL, &sub_keys, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
        std::printf("  info on the deleted key: %ld\n", long(info));
        RegCloseKey(key);
    }
    RegCloseKey(maker);
    Delete_Itself("delete Product\\Settings", base, TEXT("Product\\Settings"));
    Delete_Itself("delete Product", base, TEXT("Product"));
    Delete_Itself("delete Leaf", base, TEXT("Leaf"));
    RegCloseKey(base);
    std::printf("delete the base: %ld\n", long(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Base)));
    return 0;
}
