// The floor of the installer registration stage's work: the installer's component keys enumerated
// once, each opened and one value queried (the product's packed code, as a removal looks for it).
// Plain Win32 calls: built for Windows (floor_enum.exe) and against winsim (heavy_machine_bench).
#ifndef VP_BENCH_FLOOR_PASS_H
#define VP_BENCH_FLOOR_PASS_H

#include <windows.h>

struct Floor_Count {
    unsigned long keys = 0;     // component keys opened
    unsigned long holding = 0;  // of them, keys holding the product's value
};

// False when the component keys cannot be opened.
inline bool Floor_Pass(Floor_Count& count) {
    count = Floor_Count();
    HKEY components;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components"), 0,
                      KEY_READ, &components) != ERROR_SUCCESS)
        return false;
    WCHAR name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (RegEnumKeyExW(components, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY component;
        if (RegOpenKeyExW(components, name, 0, KEY_QUERY_VALUE, &component) != ERROR_SUCCESS) continue;
        ++count.keys;
        BYTE data[1024];
        DWORD size = sizeof data, type = 0;
        if (RegQueryValueExW(component, TEXT("4EC1AA496A240B9419E0F5CAC3D5076F"), nullptr, &type, data, &size) ==
            ERROR_SUCCESS)
            ++count.holding;
        RegCloseKey(component);
    }
    RegCloseKey(components);
    return true;
}

#endif
