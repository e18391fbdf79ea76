// Registry and file paths joined from their parts.
#pragma once

#include <windows.h>

#include "foundation/Lib_String.h"

// Joins the parts that are present (null or empty parts are left out) with single backslashes.
bool Combine_Path(const WCHAR* first, const WCHAR* second, const WCHAR* third, Lib_StringW& path);
