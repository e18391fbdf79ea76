// What vpsim needs of the system it runs on beyond the C++ library (host_posix.cpp, host_windows.cpp).
#pragma once

#include <string>
#include <vector>

// Called first: the command line's arguments after the program's name, in UTF-8. From then on
// standard output and standard error take UTF-8 bytes as they are (no line-end translation), and a
// console shows them as UTF-8 text.
std::vector<std::string> Host_Start(int argc, char* argv[]);
