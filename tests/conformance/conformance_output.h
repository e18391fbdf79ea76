// What the conformance programs print: the same text whether WCHAR is 16 bits wide (Windows) or
// char16_t (winsim), so the two outputs compare line by line.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

typedef std::basic_string<WCHAR> Wide;

// ASCII as is, every other UTF-16 unit as \uXXXX.
inline std::string Show(const WCHAR* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        unsigned unit = unsigned(text[i]) & 0xFFFF;
        if (unit >= 0x20 && unit < 0x7F) {
            out += char(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", unit);
            out += escaped;
        }
    }
    return out;
}

inline std::string Show(const WCHAR* text) { return Show(text, std::char_traits<WCHAR>::length(text)); }

inline void Section(const char* title) { std::printf("\n== %s\n", title); }
