// vpsim.exe has no sweep: each of its runs is a process forked from one that loaded the scenario.
#include <cstdio>

#include "runner/runner.h"

int Sweep(const std::vector<std::string>&) {
    std::fprintf(stderr, "vpsim: the sweep forks a process per run, which Windows cannot; run it with vpsim on Linux\n");
    return 64;  // the runner's usage error
}
