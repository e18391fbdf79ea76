// machine.ini on arbitrary bytes, applied to a small machine that has what its file and key entries
// can name (folders, a driver package, keys), so that those entries get past the look-up.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "machine/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    winsim::Machine& machine = winsim::The_Machine();
    machine.Reset();
    machine.Make_Folders(u"C:\\Windows\\INF")->Add_Child(u"oem3.inf", false);
    machine.Make_Folders(u"C:\\Windows\\System32")->Add_Child(u"vpCSP.dll", false);
    machine.Make_Folders(u"C:\\ProgramData\\Corvanta\\VESPARIO");
    machine.hklm.Add_Subkey(u"SOFTWARE")->Add_Subkey(u"Corvanta")->Add_Subkey(u"VESPARIO");
    machine.hkcu.Add_Subkey(u"Software")->Add_Subkey(u"Corvanta");

    std::string error;
    if (!winsim::Load_Machine_Ini(machine, std::vector<uint8_t>(data, data + size), error))
        Check_Refusal(error, "machine.ini");
    return 0;
}
