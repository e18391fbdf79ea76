// The floor pass (floor_pass.h) as a Windows program, for the Wine timing
// (scripts/wine-heavy-timing.sh). Prints the keys opened, the keys holding the value and the
// milliseconds.
#include <windows.h>

#include <stdio.h>

#include "floor_pass.h"

int wmain() {
    ULONGLONG start = GetTickCount64();
    Floor_Count count;
    if (!Floor_Pass(count)) {
        wprintf(L"no component keys\n");
        return 1;
    }
    wprintf(L"%lu keys, %lu holding the value, %llu ms\n", count.keys, count.holding, GetTickCount64() - start);
    return 0;
}
