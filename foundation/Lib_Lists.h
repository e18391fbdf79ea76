// The lists that stages build at run time: registry names, and file names from folder listings.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "foundation/Lib_String.h"

typedef std::vector<Lib_StringW> Lib_String_List;
typedef std::basic_string<WCHAR> Wide_Name;
typedef std::vector<Wide_Name> Wide_Name_List;
