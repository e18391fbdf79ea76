// The call site of a failed call: the tool's functions on the stack when the call failed, innermost
// first ("Get_Registry_Value < Check_Bundle_Upgrade_Code < ... < wmain"), inlined ones included, as
// the debug information names them (the presets that sweep build with -g, GCC's libbacktrace). The
// simulated machine's own frames (winsim/) and those outside the source tree (the standard library's)
// are left out.
#pragma once

#include <string>

// The site of the calling point; empty without libbacktrace.
std::string Call_Site();
// Whether the debug information names the tool's functions. Read in the sweep's parent, it is read
// once for every run to inherit.
bool Call_Sites_Known();
