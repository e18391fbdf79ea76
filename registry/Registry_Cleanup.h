// The registry stage: finds the identities under which the driver package and its bundle were
// registered, erases every registration that hangs on them, then runs the fixed cleanup plan.
#pragma once

#include "foundation/Lib_String.h"
#include "registry/Installer_Registration.h"

// Fills the two texts (empty on entry) with the bundle's and the product's package folders. Looks for
// what belongs to the codes of the findings too, and adds the codes it finds to them.
// The uninstall entries are those the pass has read; without them the stage reads its own.
bool Clean_Registry_From_Drivers(Lib_StringW& bundle_folder, Lib_StringW& product_folder, Removal_Findings& findings,
                                 Uninstall_Entries& uninstall_entries);
bool Clean_Registry_From_Drivers(Lib_StringW& bundle_folder, Lib_StringW& product_folder, Removal_Findings& findings);
