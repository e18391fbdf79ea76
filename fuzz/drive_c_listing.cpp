// drive_c.listing (what the collection script writes instead of file copies) on arbitrary bytes,
// applied to a machine that already has a few files and folders.
#include <cstddef>
#include <cstdint>

#include "scenario/collected.h"
#include "fuzz_support.h"
#include "machine/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    winsim::Machine& machine = winsim::The_Machine();
    machine.Reset();
    machine.Make_Folders(u"C:\\Windows\\INF")->Add_Child(u"oem3.inf", false)->data = {'x'};
    machine.Make_Folders(u"C:\\ProgramData\\Corvanta");

    std::string error;
    if (!winsim::Load_Listing(machine, std::vector<uint8_t>(data, data + size), error))
        Check_Refusal(error, "drive_c.listing");
    return 0;
}
