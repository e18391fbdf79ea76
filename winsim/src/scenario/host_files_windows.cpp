#include "scenario/host_files.h"

#include <string>

namespace winsim {

Host_File Open_Host_File(const std::filesystem::path& path, const char* mode) {
    std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return Host_File(_wfopen(path.c_str(), wide_mode.c_str()));
}

}  // namespace winsim
