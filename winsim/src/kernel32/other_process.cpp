// An ordinary user's process acting on drive C: through the simulated file calls (other_process.h).
#include "kernel32/other_process.h"

#include <windows.h>

#include "kernel32/kernel_open.h"

namespace winsim {

namespace {

// Runs the steps as another process: its calls are not the tool's (not counted, recorded or
// faulted), its token is the ordinary user's, and the tool's last error is left as it was.
template <typename Steps>
DWORD As_Other_Process(Machine& machine, Steps steps) {
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    bool was_other = machine.in_other_process;
    DWORD tool_error = GetLastError();
    machine.in_other_process = true;
    DWORD error = steps();
    machine.in_other_process = was_other;
    SetLastError(tool_error);
    return error;
}

DWORD Rename_Step(const Text& from, const Text& to) {
    return MoveFileExW(from.c_str(), to.c_str(), 0) ? ERROR_SUCCESS : GetLastError();
}

DWORD Junction_Steps(const Text& path, const Text& target) { return Create_Junction(path, target); }

}  // namespace

DWORD User_Rename(Machine& machine, const Text& from, const Text& to) {
    return As_Other_Process(machine, [&] { return Rename_Step(from, to); });
}

DWORD User_Make_Junction(Machine& machine, const Text& path, const Text& target) {
    return As_Other_Process(machine, [&] { return Junction_Steps(path, target); });
}

DWORD User_Swap_For_Junction(Machine& machine, const Text& folder, const Text& target) {
    return As_Other_Process(machine, [&] {
        DWORD error = Rename_Step(folder, folder + u"~");
        return error != ERROR_SUCCESS ? error : Junction_Steps(folder, target);
    });
}

}  // namespace winsim
