// Scenario files are opened on the host by their path as the host names it (UTF-8 on Linux, UTF-16
// on Windows), so that any name reaches them.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>

namespace winsim {

struct Host_File_Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
// An open host file, closed when it goes; a writer that wants to know whether the last of its data
// reached the file closes it itself: std::fclose(file.release()).
using Host_File = std::unique_ptr<std::FILE, Host_File_Closer>;

// std::fopen of a host path; mode is fopen's ("rb", "wb"). Null when it cannot be opened.
Host_File Open_Host_File(const std::filesystem::path& path, const char* mode);

}  // namespace winsim
