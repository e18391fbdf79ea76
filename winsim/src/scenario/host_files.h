// Scenario files are opened on the host by their path as the host names it (UTF-8 on Linux, UTF-16
// on Windows), so that any name reaches them.
#pragma once

#include <cstdio>
#include <filesystem>

namespace winsim {

// std::fopen of a host path; mode is fopen's ("rb", "wb").
std::FILE* Open_Host_File(const std::filesystem::path& path, const char* mode);

}  // namespace winsim
