// vpsim.exe has no fleet: each machine's preview is a process forked from the fleet's.
#include <cstdio>

#include "runner/runner.h"

int Fleet(const std::vector<std::string>&) {
    std::fprintf(stderr, "vpsim: the fleet forks a process per machine, which Windows cannot; run it with vpsim on Linux\n");
    return 64;  // the runner's usage error
}
