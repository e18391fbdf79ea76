#include "scenario/host_files.h"

namespace winsim {

Host_File Open_Host_File(const std::filesystem::path& path, const char* mode) {
    return Host_File(std::fopen(path.c_str(), mode));
}

}  // namespace winsim
