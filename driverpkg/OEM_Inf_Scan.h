// Finds the product's precompiled OEM driver packages: the OEM .inf files of the Windows "Inf" folder
// whose text mentions the product or the USB smart-card reader driver.
#pragma once

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_Lists.h"

// Appends the lower-cased names of the matching files, in listing order. False when the folder path
// cannot be formed or the folder cannot be listed.
bool Find_Precompiled_OEM_Files(Wide_Name_List& names, Lib_Result& result);

// The decision for one candidate: reads the file whole in the C runtime's text mode, logs its
// encoding verdict and tells whether its text names the product or the reader driver. A file that
// cannot be opened, is empty or is in an unsupported Unicode form does not match.
bool Is_Precompiled_OEM_File(const Lib_StringW& path);
