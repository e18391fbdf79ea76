#include "foundation/Lib_Path.h"

#include <initializer_list>

// Never truncates: a path cut to a fixed buffer could name another, existing key or file, and
// deleting that would destroy data. The system call that receives a long path reports what it must.
bool Combine_Path(const WCHAR* first, const WCHAR* second, const WCHAR* third, Lib_StringW& path) {
    Lib_StringW joined;
    if (first != nullptr) joined.Append(first);
    for (const WCHAR* part : {second, third}) {
        if (part == nullptr || part[0] == 0) continue;
        int length = static_cast<int>(joined.Get_Length());
        if (length > 0 && joined.Get_Text()[length - 1] != TEXT('\\')) joined.Append(TEXT("\\"));
        joined.Append(part);
    }
    path = joined;
    return true;
}
