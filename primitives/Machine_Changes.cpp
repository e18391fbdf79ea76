#include "primitives/Machine_Changes.h"

#include <setupapi.h>

#include "diagnostics/Log_Report.h"
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

// The resource manager deletes the card's native key itself: saved before it may.
void Live_Changes::Forget_Smart_Card_Type(const WCHAR* card_key_path, const std::function<void()>& forget) {
    Backup_Key_Tree(HKEY_LOCAL_MACHINE, card_key_path);
    forget();
}
