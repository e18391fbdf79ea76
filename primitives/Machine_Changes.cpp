#include "primitives/Machine_Changes.h"

#include <setupapi.h>

#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"
#include "primitives/Live_Changes.h"
#include "primitives/Registry_Backup.h"

namespace {

Live_Changes The_Live_Changes;
Machine_Changes* In_Force = &The_Live_Changes;

}  // namespace

Machine_Changes& Changes() { return *In_Force; }

Removal_Counts& Removed_So_Far() {
    static Removal_Counts counts;
    return counts;
}

Changes_In_Force::Changes_In_Force(Machine_Changes& changes) : before_(In_Force) { In_Force = &changes; }

Changes_In_Force::~Changes_In_Force() { In_Force = before_; }

bool Live_Changes::Change_Key_Security(const WCHAR* object_name, SE_OBJECT_TYPE object_type,
                                       const std::function<bool()>& change) {
    Backup_Key_Security(object_name, object_type);
    return change();
}

void Live_Changes::Uninstall_Driver_Package(const WCHAR* published_name) {
    Log_Info_Detail(TEXT("Uninstalling OEM file: "), published_name);
    // Forced: a package that a connected device still uses goes as well.
    if (!SetupUninstallOEMInfW(published_name, SUOI_FORCEDELETE, nullptr)) {
        Report_System_Error(TEXT("SetupUninstallOEMInf"), GetLastError());
    }
}

namespace {

// Whether a key of HKEY_LOCAL_MACHINE is there; false also when that cannot be told.
bool Machine_Key_Exists(const WCHAR* key_path) {
    Owned_Key key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_QUERY_VALUE, key.Receive()) == ERROR_SUCCESS) return true;
    key.Release();  // nothing was opened
    return false;
}

}  // namespace

// The resource manager deletes the card's native key itself: saved before it may, and counted as
// removed when it was there before and is gone after (where the forget fails, the stage deletes it
// and counts it then).
void Live_Changes::Forget_Smart_Card_Type(const WCHAR* card_key_path, const std::function<void()>& forget) {
    Backup_Key_Tree(HKEY_LOCAL_MACHINE, card_key_path);
    const bool was_there = Machine_Key_Exists(card_key_path);
    forget();
    if (was_there && !Machine_Key_Exists(card_key_path)) ++Removed_So_Far().keys;
}
