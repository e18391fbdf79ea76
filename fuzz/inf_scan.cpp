// The OEM .inf scan's decision for one file, on arbitrary file bytes: the bytes become
// C:\Windows\Inf\oem1.inf of an otherwise empty simulated machine, and the scan reads it through the
// C runtime's text mode, judges it with IsTextUnicode and looks for the markers. The decision is
// checked against the rule applied to the bytes directly, for the verdict the scan logged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driverpkg/OEM_Inf_Scan.h"
#include "fuzz_support.h"
#include "machine/machine.h"

namespace {

template <typename Text>
bool Names_The_Product(Text text) {
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z') c = c - 'A' + 'a';
    return text.find(Text{'v', 'e', 's', 'p', 'a', 'r', 'i', 'o'}) != Text::npos ||
           text.find(Text{'u', 's', 'b', 'c', 'c', 'i', 'd', '.', 's', 'y', 's'}) != Text::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    winsim::Machine& machine = winsim::The_Machine();
    machine.Reset();
    winsim::Fs_Node* file = machine.Make_Folders(u"C:\\Windows\\Inf")->Add_Child(u"oem1.inf", false);
    file->data.assign(data, data + size);
    bool matches = Is_Precompiled_OEM_File(Lib_StringW(u"C:\\Windows\\Inf\\oem1.inf"));

    // What the text-mode read leaves in the zeroed buffer: CR LF read as LF, nothing from the first
    // Ctrl-Z on.
    std::vector<uint8_t> read;
    for (size_t i = 0; i < size && data[i] != 0x1A; ++i)
        if (!(data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')) read.push_back(data[i]);
    read.resize(size + 4, 0);

    std::u16string verdicts;
    for (const std::u16string& line : machine.debug_output) verdicts += line;
    bool ansi = verdicts.find(u"ANSI .inf file") != std::u16string::npos;
    bool utf16 = verdicts.find(u"UTF-16 encoded .inf file") != std::u16string::npos;
    bool unsupported = verdicts.find(u"Unsupported unicode encoded .inf file") != std::u16string::npos;
    FUZZ_CHECK(ansi + utf16 + unsupported == (size > 0 ? 1 : 0), "%zu bytes, %zu log lines", size,
               machine.debug_output.size());
    bool expected = false;
    if (ansi) {
        expected = Names_The_Product(std::string(reinterpret_cast<const char*>(read.data())));
    } else if (utf16) {
        FUZZ_CHECK(read[0] == 0xFF && read[1] == 0xFE && !(read[2] == 0 && read[3] == 0), "UTF-16 without its mark");
        std::u16string text;
        for (size_t i = 4; i + 1 < read.size() && (read[i] | read[i + 1]); i += 2)
            text += char16_t(read[i] | read[i + 1] << 8);
        expected = Names_The_Product(text);
    }
    FUZZ_CHECK(matches == expected, "the scan says %d, the rule %d", matches, expected);
    return 0;
}
