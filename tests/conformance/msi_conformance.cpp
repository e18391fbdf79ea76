// MsiEnumRelatedProductsW and the merged HKEY_CLASSES_ROOT, as the removal tool's installer stages
// meet them, with every status and result printed. Built natively against winsim and as a Windows
// executable run under Wine; run_conformance.sh compares the two outputs line by line.
//
// The program registers what it asks about itself (per-machine Windows Installer keys, classes keys in
// both hives), so it needs nothing but an empty machine or a fresh Wine prefix.
//
// Where Wine 8 knowingly differs from Windows, the line prints "(differs)" on both sides; run with the
// argument "all" to print those answers too. Measured:
// - MsiEnumRelatedProductsW reads the related products from
//   HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UpgradeCodes\<packed>; Windows (and winsim)
//   from HKLM\SOFTWARE\Classes\Installer\UpgradeCodes\<packed>. A product registered in only one of the
//   two is seen by one side only.
// - Wine lists a related product whatever its own registration; Windows lists only products that are
//   published (installed or advertised: HKLM\SOFTWARE\Classes\Installer\Products\<packed>).
// - Wine checks neither the upgrade code's form nor the reserved value: a malformed code gives 259 and
//   a non-zero reserved value is ignored, where Windows refuses both with 87. A null code and a null
//   buffer give 87 on both.
// - HKEY_CLASSES_ROOT: Wine shows HKLM\SOFTWARE\Classes only; the user's classes
//   (HKCU\Software\Classes) are neither merged into reads and enumeration nor reached by deletions
//   (a user-only key is not found: 2). What lives in the machine's classes alone agrees.
#include <windows.h>

#include "conformance_output.h"
// after windows.h: MinGW-w64's msi.h needs its definitions
#include <msi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool show_all = false;

// Prints the line, or "(differs)" in its place where Wine and Windows part ways.
void Line(const char* what, const std::string& answer, bool differs) {
    std::printf("%s: %s\n", what, differs && !show_all ? "(differs)" : answer.c_str());
}

void Make_Key(HKEY root, const WCHAR* path) {
    HKEY key;
    LONG status = RegCreateKeyExW(root, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    else std::printf("create %s: %ld\n", Show(path).c_str(), long(status));
}

void Set_Text(HKEY root, const WCHAR* path, const WCHAR* name, const WCHAR* text) {
    HKEY key;
    LONG status = RegCreateKeyExW(root, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) {
        std::printf("create %s: %ld\n", Show(path).c_str(), long(status));
        return;
    }
    DWORD size = DWORD((std::char_traits<WCHAR>::length(text) + 1) * sizeof(WCHAR));
    status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size);
    if (status != ERROR_SUCCESS) std::printf("set %s: %ld\n", Show(name).c_str(), long(status));
    RegCloseKey(key);
}

std::string Enum(const WCHAR* code, DWORD reserved, DWORD index, bool buffer = true) {
    WCHAR product[39];
    for (WCHAR& unit : product) unit = '#';
    UINT status = MsiEnumRelatedProductsW(code, reserved, index, buffer ? product : NULL);
    std::string text = std::to_string(status);
    if (status == ERROR_SUCCESS) {
        product[38] = 0;  // a faulty answer without terminator is still printable
        text += " " + Show(product);
    }
    return text;
}

const WCHAR kClassesUpgradeCodes[] = TEXT("SOFTWARE\\Classes\\Installer\\UpgradeCodes\\");
const WCHAR kInstallerUpgradeCodes[] = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\");
const WCHAR kProducts[] = TEXT("SOFTWARE\\Classes\\Installer\\Products\\");
const WCHAR kUserDataProducts[] =
    TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\");

std::basic_string<WCHAR> Join(const WCHAR* a, const WCHAR* b) { return std::basic_string<WCHAR>(a) + b; }

// A per-machine product as Windows Installer registers it: published, installed, related in both
// upgrade-code keys (or only in the ones asked for).
void Register(const WCHAR* packed_upgrade, const WCHAR* packed_product, bool classes_key, bool installer_key,
              bool published) {
    if (classes_key) Set_Text(HKEY_LOCAL_MACHINE, Join(kClassesUpgradeCodes, packed_upgrade).c_str(), packed_product, TEXT(""));
    if (installer_key)
        Set_Text(HKEY_LOCAL_MACHINE, Join(kInstallerUpgradeCodes, packed_upgrade).c_str(), packed_product, TEXT(""));
    if (published) {
        Set_Text(HKEY_LOCAL_MACHINE, Join(kProducts, packed_product).c_str(), TEXT("ProductName"), TEXT("VpConformance"));
        Set_Text(HKEY_LOCAL_MACHINE,
                 (Join(kUserDataProducts, packed_product) + TEXT("\\InstallProperties")).c_str(),
                 TEXT("LocalPackage"), TEXT("C:\\windows\\Installer\\vp.msi"));
    }
}

void Related_Products() {
    Section("MsiEnumRelatedProductsW: arguments");
    const WCHAR* code = TEXT("{5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A84}");
    Line("nothing registered, index 0", Enum(code, 0, 0), false);
    Line("nothing registered, index 7", Enum(code, 0, 7), false);
    Line("reserved 1", Enum(code, 1, 0), true);
    Line("null code", Enum(NULL, 0, 0), false);
    Line("empty code", Enum(TEXT(""), 0, 0), true);
    Line("code without braces", Enum(TEXT("5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A84"), 0, 0), true);
    Line("code one digit short", Enum(TEXT("{5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A8}"), 0, 0), true);
    Line("code with a non-digit", Enum(TEXT("{5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A8G}"), 0, 0), true);
    Line("packed code", Enum(TEXT("14A7E2B5C3D981F46A2EC3D7B1F9A048"), 0, 0), true);

    Section("MsiEnumRelatedProductsW: registered products");
    // {5B2E7A41-...}: one product, {8E1D4C27-6A5B-4D93-B0F1-7E2A9C6D3B15}, registered as Windows
    // Installer does it.
    Register(TEXT("14A7E2B5C3D981F46A2EC3D7B1F9A048"), TEXT("72C4D1E8B5A639D40B1FE7A2C9D6B351"), true, true, true);
    Line("index 0", Enum(code, 0, 0), false);
    Line("index 1", Enum(code, 0, 1), false);
    Line("lower-case code, index 0", Enum(TEXT("{5b2e7a41-9d3c-4f18-a6e2-3c7d1b9f0a84}"), 0, 0), false);
    Line("reserved 1 with a product", Enum(code, 1, 0), true);
    Line("no buffer", Enum(code, 0, 0, false), false);

    // {2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}: related only under Classes; only under CurrentVersion;
    // related in both places but not published.
    const WCHAR* classes_only = TEXT("{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}");
    Register(TEXT("31E6F9A2C7B458E4D9025B8C1E4F7A36"), TEXT("11111111111111111111111111111111"), true, false, true);
    Line("related under Classes only", Enum(classes_only, 0, 0), true);
    const WCHAR* installer_only = TEXT("{90A1B2C3-D4E5-F6C7-4B5A-39281706F54E}");
    Register(TEXT("3C2B1A095E4D7C6FB4A5938271605FE4"), TEXT("22222222222222222222222222222222"), false, true, true);
    Line("related under CurrentVersion only", Enum(installer_only, 0, 0), true);
    const WCHAR* unpublished = TEXT("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
    Register(TEXT("C3D2E1F0A5B4879678695A4B3C2D1E0F"), TEXT("33333333333333333333333333333333"), true, true, false);
    Line("related but not published", Enum(unpublished, 0, 0), true);
}

// Subkey names of a key, in order, then the status that ended the walk.
std::string Subkeys(HKEY root, const WCHAR* path, REGSAM view = 0) {
    HKEY key;
    LONG status = RegOpenKeyExW(root, path, 0, KEY_READ | view, &key);
    if (status != ERROR_SUCCESS) return "open " + std::to_string(status);
    std::string names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[64];
        DWORD length = 64;
        status = RegEnumKeyExW(key, index, name, &length, NULL, NULL, NULL, NULL);
        if (status != ERROR_SUCCESS) break;
        names += Show(name) + " ";
    }
    RegCloseKey(key);
    return names + std::to_string(status);
}

std::string Read(HKEY root, const WCHAR* path, const WCHAR* name) {
    WCHAR data[64] = {0};
    DWORD size = sizeof data - sizeof(WCHAR);
    HKEY key;
    LONG status = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return "open " + std::to_string(status);
    status = RegQueryValueExW(key, name, NULL, NULL, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? Show(data) : std::to_string(status);
}

std::string Exists(HKEY root, const WCHAR* path) {
    HKEY key;
    LONG status = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return std::to_string(status);
}

void Classes_Root() {
    Section("HKEY_CLASSES_ROOT: the machine's classes");
    Set_Text(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Classes\\VpMachine\\Inner"), TEXT("v"), TEXT("machine"));
    Line("read a machine key's value", Read(HKEY_CLASSES_ROOT, TEXT("VpMachine\\Inner"), TEXT("v")), false);
    Line("subkeys of a machine key", Subkeys(HKEY_CLASSES_ROOT, TEXT("VpMachine")), false);
    Make_Key(HKEY_CLASSES_ROOT, TEXT("VpCreated\\Deep"));
    Line("a new key lands in HKLM", Exists(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Classes\\VpCreated\\Deep")), false);
    Line("and not in HKCU", Exists(HKEY_CURRENT_USER, TEXT("Software\\Classes\\VpCreated")), false);
    Line("delete it through HKCR",
         std::to_string(RegDeleteKeyW(HKEY_CLASSES_ROOT, TEXT("VpCreated\\Deep"))), false);
    Line("gone from HKLM", Exists(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Classes\\VpCreated\\Deep")), false);
    Set_Text(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Classes\\Installer\\Dependencies\\{VpDep}"), TEXT("DisplayName"),
             TEXT("VESPARIO Drivers"));
    Line("a dependency key",
         Read(HKEY_CLASSES_ROOT, TEXT("Installer\\Dependencies\\{VpDep}"), TEXT("DisplayName")), false);

    Section("HKEY_CLASSES_ROOT: the user's classes merged");
    Set_Text(HKEY_CURRENT_USER, TEXT("Software\\Classes\\VpUser"), TEXT("v"), TEXT("user"));
    Set_Text(HKEY_CURRENT_USER, TEXT("Software\\Classes\\VpMachine"), TEXT("v"), TEXT("user"));
    Make_Key(HKEY_CURRENT_USER, TEXT("Software\\Classes\\VpMachine\\UserInner"));
    Set_Text(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Classes\\VpMachine"), TEXT("v"), TEXT("machine"));
    Line("a user-only key", Read(HKEY_CLASSES_ROOT, TEXT("VpUser"), TEXT("v")), true);
    Line("a value in both keys", Read(HKEY_CLASSES_ROOT, TEXT("VpMachine"), TEXT("v")), true);
    Line("subkeys of a key in both", Subkeys(HKEY_CLASSES_ROOT, TEXT("VpMachine")), true);
    Line("delete a user-only key", std::to_string(RegDeleteKeyW(HKEY_CLASSES_ROOT, TEXT("VpUser"))), true);
}

}  // namespace

int main(int argc, char** argv) {
    show_all = argc > 1 && std::strcmp(argv[1], "all") == 0;
    std::printf("msi conformance\n");
    Related_Products();
    Classes_Root();
    return 0;
}
