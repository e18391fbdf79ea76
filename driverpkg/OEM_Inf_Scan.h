// Finds the product's precompiled OEM driver packages: the OEM .inf files of the Windows "Inf" folder
// whose text mentions the product or the USB smart-card reader driver.
#pragma once

#include "diagnostics/Lib_Result.h"
#include "removal/Catalogue.h"

// Appends the lower-cased names of the matching files, in listing order. False when the folder path
// cannot be formed or the folder cannot be listed.
bool Find_Precompiled_OEM_Files(Wide_Name_List& names, Lib_Result& result);
