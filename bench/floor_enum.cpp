// The floor of the installer registration stage's work, as a Windows program: the installer's
// component keys enumerated once, each opened and one value queried (the product's packed code, as
// a removal looks for it). Prints the keys opened, the keys holding the value and the milliseconds.
#include <windows.h>

#include <stdio.h>

int wmain() {
    const WCHAR components_path[] =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components";
    const WCHAR product_code[] = L"4EC1AA496A240B9419E0F5CAC3D5076F";
    ULONGLONG start = GetTickCount64();
    HKEY components;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, components_path, 0, KEY_READ, &components) != ERROR_SUCCESS) {
        wprintf(L"no component keys\n");
        return 1;
    }
    unsigned long keys = 0, holding = 0;
    WCHAR name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (RegEnumKeyExW(components, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY component;
        if (RegOpenKeyExW(components, name, 0, KEY_QUERY_VALUE, &component) != ERROR_SUCCESS) continue;
        ++keys;
        BYTE data[1024];
        DWORD size = sizeof data, type = 0;
        if (RegQueryValueExW(component, product_code, nullptr, &type, data, &size) == ERROR_SUCCESS) ++holding;
        RegCloseKey(component);
    }
    RegCloseKey(components);
    wprintf(L"%lu keys, %lu holding the value, %llu ms\n", keys, holding, GetTickCount64() - start);
    return 0;
}
