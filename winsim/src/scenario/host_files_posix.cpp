#include "host_files.h"

namespace winsim {

std::FILE* Open_Host_File(const std::filesystem::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

}  // namespace winsim
