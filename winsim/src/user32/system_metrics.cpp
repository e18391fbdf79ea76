// GetSystemMetrics of USER32: the one metric the tool asks, whether the process runs in a remote
// desktop session (machine.ini [run] remote_session=).
#include "machine/machine.h"

#include <mutex>

using namespace winsim;

int GetSystemMetrics(int index) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD error = 0;
    if (machine.Take_Fault("GetSystemMetrics", Text(), &error)) {
        SetLastError(error);
        return 0;
    }
    if (index == SM_REMOTESESSION) return machine.remote_session ? 1 : 0;
    return 0;
}
