// SetupAPI's uninstall of an OEM driver package, as Windows does it: the published name oemN.inf in the
// Windows "INF" folder is removed together with its precompiled oemN.pnf. The driver store copy and the
// catalogue are not part of the simulated machine.
#include <setupapi.h>
#include <windows.h>

#include <algorithm>

#include "kernel32/kernel_files.h"
#include "machine/machine.h"

using namespace winsim;

namespace {

// Only published names are OEM packages: "oem", one or more decimal digits, ".inf", in any case.
bool Is_Published_Name(const Text& name) {
    const Text prefix = u"OEM", extension = u".INF";
    if (name.size() < prefix.size() + 1 + extension.size()) return false;
    if (!Same_Name(name.substr(0, prefix.size()), prefix)) return false;
    if (!Same_Name(name.substr(name.size() - extension.size()), extension)) return false;
    return std::all_of(name.begin() + prefix.size(), name.end() - extension.size(),
                       [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

bool Is_Held(Machine& machine, const Fs_Node* node) {
    return node && (node->held_open || Is_Open_In_Runtime(machine, node));
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace

BOOL SetupUninstallOEMInfW(LPCWSTR inf_file_name, DWORD flags, PVOID) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text name = From_Wide_Pointer(inf_file_name);
    if (machine.keep_calls)
        machine.calls.push_back("SetupUninstallOEMInfW " + To_Utf8(name) + " " + std::to_string(flags));
    DWORD error = 0;
    if (machine.Take_Fault("SetupUninstallOEMInfW", name, &error)) return Fail(error);
    if (name.empty()) return Fail(ERROR_INVALID_PARAMETER);
    if (!Is_Published_Name(name)) return Fail(ERROR_NOT_AN_INSTALLED_OEM_INF);

    Text folder = machine.windows_directory + u"\\INF\\";
    Fs_Node* parent = nullptr;
    Fs_Node* inf = machine.Find_Path(folder + name, &parent);
    if (!inf || inf->directory) return Fail(ERROR_FILE_NOT_FOUND);
    Text pnf_name = name.substr(0, name.size() - 4) + u".pnf";
    Fs_Node* pnf = machine.Find_Path(folder + pnf_name);
    if (pnf && pnf->directory) pnf = nullptr;

    bool in_use = std::any_of(machine.oem_packages_in_use.begin(), machine.oem_packages_in_use.end(),
                              [&name](const Text& used) { return Same_Name(used, name); });
    if (in_use && !(flags & SUOI_FORCEDELETE)) return Fail(ERROR_INF_IN_USE_BY_DEVICES);
    // Either file open elsewhere without sharing stops the whole uninstall before anything goes.
    if (Is_Held(machine, inf) || Is_Held(machine, pnf)) return Fail(ERROR_SHARING_VIOLATION);

    Text inf_stored = inf->name;  // copies: the nodes go away during the removal
    Text pnf_stored = pnf ? pnf->name : Text();
    parent->Remove_Child(inf_stored);
    if (pnf) parent->Remove_Child(pnf_stored);
    return TRUE;
}
