// The first removal stage: uninstalls the product's precompiled OEM driver packages.
#pragma once

void Remove_Precompiled_OEM_Files();
