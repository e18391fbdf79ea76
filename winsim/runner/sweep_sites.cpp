#include "runner/sweep_sites.h"

#if __has_include(<backtrace.h>)
#include <backtrace.h>  // GCC's libbacktrace: the stack with its inlined functions, from the debug information
#include <cxxabi.h>
#include <link.h>
#define VP_SWEEP_CALL_SITES 1
#endif

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <windows.h>

int wmain(int argc, WCHAR* argv[]);  // the tool's entry

#if defined(VP_SWEEP_CALL_SITES)
namespace {

backtrace_state* Backtrace_State() {
    static backtrace_state* const state = backtrace_create_state(nullptr, 0, nullptr, nullptr);
    return state;
}

// A function's own name, as its inlined copies are named too: without its class or namespace, its
// template arguments and its parameters ("operator" for a lambda's body).
std::string Function_Name(const char* function) {
    int status = -1;
    char* demangled = abi::__cxa_demangle(function, nullptr, nullptr, &status);
    const std::string full = status == 0 && demangled ? demangled : function;
    std::free(demangled);
    std::string name;
    int depth = 0;
    for (char c : full) {
        if (c == '<' || c == '(' || c == '{') ++depth;
        else if (c == '>' || c == ')' || c == '}') --depth;
        else if (depth == 0 && c == ':') name.clear();
        else if (depth == 0) name += c;
    }
    return name;
}

bool Tool_Frame(const char* file) {
    // This file is ROOT/winsim/runner/sweep_sites.cpp; the source tree may also be mapped to relative paths.
    // Views of the literal, not strings: a call may fail inside a static destructor at the tool's exit,
    // after function-local strings here would already be destroyed.
    constexpr std::string_view self = __FILE__;
    constexpr std::string_view winsim_dir = self.substr(0, self.size() - std::string_view("runner/sweep_sites.cpp").size());
    constexpr std::string_view root = winsim_dir.substr(0, winsim_dir.size() - std::string_view("winsim/").size());
    const std::string_view path = file;
    if (path.substr(0, root.size()) != root || (root.empty() && path.substr(0, 1) == "/")) return false;
    return path.substr(0, winsim_dir.size()) != winsim_dir;
}

// libbacktrace reads a compilation unit's line table when a lookup first lands in it. Read here, in the
// sweep's parent, every table is read once: the runs, forked from it, find their failed call's site
// without reading the tables of the units on its stack each again. A lookup every 256 bytes of the
// program's code lands in every unit but the smallest, which a run still reads itself when it must.
void Read_Line_Tables() {
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
                const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                for (uintptr_t pc = start; pc < start + segment.p_memsz; pc += 256)
                    backtrace_pcinfo(
                        Backtrace_State(), pc, [](void*, uintptr_t, const char*, int, const char*) { return 1; },
                        nullptr, nullptr);
            }
            return 1;  // the program itself comes first; the shared libraries hold none of the tool's code
        },
        nullptr);
}

}  // namespace

std::string Call_Site() {
    std::vector<std::string> names;
    backtrace_full(
        Backtrace_State(), 0,
        [](void* data, uintptr_t, const char* file, int, const char* function) {
            auto& names = *static_cast<std::vector<std::string>*>(data);
            if (file && function && Tool_Frame(file)) names.push_back(Function_Name(function));
            return 0;
        },
        nullptr, &names);
    std::string site;
    for (const std::string& name : names) site += (site.empty() ? "" : " < ") + name;
    return site;
}

bool Call_Sites_Known() {
    bool known = false;
    backtrace_pcinfo(
        Backtrace_State(), reinterpret_cast<uintptr_t>(&wmain),
        [](void* data, uintptr_t, const char* file, int, const char* function) {
            *static_cast<bool*>(data) = file && function && Tool_Frame(file);
            return 1;
        },
        nullptr, &known);
    if (known) Read_Line_Tables();
    Call_Site();
    return known;
}
#else
std::string Call_Site() { return std::string(); }
bool Call_Sites_Known() { return false; }
#endif

