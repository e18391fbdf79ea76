// registry.reg import (both formats, both code pages) on arbitrary bytes. The same bytes are imported
// whole and through the block reader with a small block, which must agree; an imported file is
// exported and imported again, which must give the same export.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fuzz_support.h"
#include "machine/machine.h"

namespace {

winsim::Machine& Fresh(winsim::Machine& machine, UINT code_page) {
    machine.Reset();
    machine.code_page = code_page;
    return machine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static winsim::Machine whole, blocks, again;
    // The code page (for REGEDIT4 files) and the block size follow from the size, so that the seeds
    // stay plain .reg files.
    UINT code_page = size % 2 ? 1251 : 1252;
    size_t block_size = 1 + size % 13;

    std::vector<uint8_t> bytes(data, data + size);
    std::string error;
    bool ok = winsim::Import_Registry_File(Fresh(whole, code_page), bytes, "registry.reg", error);
    if (!ok) Check_Refusal(error, "registry.reg");

    std::string block_error;
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    bool block_ok = file && winsim::Import_Registry_File(Fresh(blocks, code_page), file, size, "registry.reg",
                                                         block_error, block_size);
    if (file) std::fclose(file);
    // fmemopen refuses an empty buffer on some C libraries: nothing to compare then.
    if (file) {
        FUZZ_CHECK(ok == block_ok && error == block_error, "whole: %d \"%s\"; blocks of %zu: %d \"%s\"", ok,
                   error.c_str(), block_size, block_ok, block_error.c_str());
        if (ok) {
            FUZZ_CHECK(winsim::Export_Registry_File(whole) == winsim::Export_Registry_File(blocks),
                       "whole and block imports differ");
        }
    }
    if (!ok) return 0;

    std::string exported = winsim::Export_Registry_File(whole);
    std::string again_error;
    bool again_ok = winsim::Import_Registry_File(Fresh(again, code_page),
                                                 std::vector<uint8_t>(exported.begin(), exported.end()),
                                                 "registry.reg", again_error);
    FUZZ_CHECK(again_ok, "the export is refused: %s\n%s", again_error.c_str(), exported.c_str());
    FUZZ_CHECK(winsim::Export_Registry_File(again) == exported, "the export changes when imported again:\n%s",
               exported.c_str());
    return 0;
}
