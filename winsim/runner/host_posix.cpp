// vpsim's host on Linux: arguments and output are UTF-8 bytes already.
#include "runner/host.h"

std::vector<std::string> Host_Start(int argc, char* argv[]) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}
