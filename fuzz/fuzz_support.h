// What the targets check beside the sanitizers: a property that fails prints why and aborts, which
// libFuzzer reports as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, ...)                                                     \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "fuzz check failed: %s\n  ", #condition);            \
            std::fprintf(stderr, __VA_ARGS__);                                         \
            std::fprintf(stderr, "\n");                                                \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

// A malformed scenario file is refused with "FILE:LINE: message".
inline void Check_Refusal(const std::string& error, const std::string& file_name) {
    size_t digits = file_name.size() + 1;
    size_t end = error.find_first_not_of("0123456789", digits);
    bool ok = error.compare(0, file_name.size() + 1, file_name + ":") == 0 && end != std::string::npos &&
              end > digits && error[digits] != '0' && error.compare(end, 2, ": ") == 0 && error.size() > end + 2;
    FUZZ_CHECK(ok, "refusal not in the form %s:LINE: message: \"%s\"", file_name.c_str(), error.c_str());
}
