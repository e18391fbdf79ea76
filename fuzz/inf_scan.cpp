// The OEM .inf scan's decision for one file, on arbitrary file bytes: the bytes become
// C:\Windows\Inf\oem1.inf of an otherwise empty simulated machine, and the scan reads it through the
// C runtime's text mode, judges it with IsTextUnicode and looks for the markers.
#include <cstddef>
#include <cstdint>

#include "driverpkg/OEM_Inf_Scan.h"
#include "machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    winsim::Machine& machine = winsim::The_Machine();
    machine.Reset();
    winsim::Fs_Node* file = machine.Make_Folders(u"C:\\Windows\\Inf")->Add_Child(u"oem1.inf", false);
    file->data.assign(data, data + size);
    Is_Precompiled_OEM_File(Lib_StringW(u"C:\\Windows\\Inf\\oem1.inf"));
    return 0;
}
