// MultiByteToWideChar and WideCharToMultiByte for the ANSI code pages the simulated machine can have
// (1252 Western European, 1251 Cyrillic) and for UTF-8.

#include <cstring>

#include "machine/machine.h"

namespace winsim {

namespace {

// Bytes 0x80..0xFF of code page 1252; 0x00..0x7F are ASCII. The five bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of the same value.
const char16_t kCodePage1252[128] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,  // 0xA0
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,  // 0xA8
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,  // 0xB8
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,  // 0xC0
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,  // 0xC8
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,  // 0xD0
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,  // 0xD8
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,  // 0xE0
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,  // 0xE8
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,  // 0xF0
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,  // 0xF8
};

// Bytes 0x80..0xFF of code page 1251; the undefined byte 0x98 maps to U+0098.
const char16_t kCodePage1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 0x98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // 0xB8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // 0xC0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // 0xC8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // 0xD0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // 0xD8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // 0xE0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // 0xE8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // 0xF0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // 0xF8
};

// The table of a single-byte code page, or null for UTF-8 and for code pages the machine lacks.
// CP_ACP stands for the machine's ANSI code page.
bool Resolve_Code_Page(UINT code_page, UINT& resolved, const char16_t*& table) {
    if (code_page == CP_ACP) {
        std::lock_guard<std::recursive_mutex> guard(The_Machine().lock);
        code_page = The_Machine().code_page;
    }
    resolved = code_page;
    table = nullptr;
    if (code_page == 1252) table = kCodePage1252;
    else if (code_page == 1251) table = kCodePage1251;
    else if (code_page != CP_UTF8) return false;
    return true;
}

// Decodes UTF-8 into UTF-16 units. Each malformed sequence (bad lead byte, missing continuation,
// overlong form, surrogate, beyond U+10FFFF) gives U+FFFD for the bytes it spans up to the fault, or
// an error when the caller asked for MB_ERR_INVALID_CHARS.
bool Decode_Utf8(const unsigned char* bytes, size_t count, bool strict, Text& out) {
    size_t i = 0;
    while (i < count) {
        unsigned char lead = bytes[i];
        if (lead < 0x80) {
            out += char16_t(lead);
            ++i;
            continue;
        }
        size_t extra;
        uint32_t code;
        uint32_t minimum;
        if (lead >= 0xC2 && lead <= 0xDF) { extra = 1; code = lead & 0x1F; minimum = 0x80; }
        else if (lead >= 0xE0 && lead <= 0xEF) { extra = 2; code = lead & 0x0F; minimum = 0x800; }
        else if (lead >= 0xF0 && lead <= 0xF4) { extra = 3; code = lead & 0x07; minimum = 0x10000; }
        else {
            if (strict) return false;
            out += u'\xFFFD';
            ++i;
            continue;
        }
        size_t taken = 1;
        bool valid = true;
        for (; taken <= extra; ++taken) {
            if (i + taken >= count || (bytes[i + taken] & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            code = (code << 6) | (bytes[i + taken] & 0x3F);
        }
        if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) valid = false;
        if (!valid) {
            if (strict) return false;
            out += u'\xFFFD';
            i += taken;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += char16_t(0xD800 + (code >> 10));
            out += char16_t(0xDC00 + (code & 0x3FF));
        } else {
            out += char16_t(code);
        }
        i += extra + 1;
    }
    return true;
}

// Encodes UTF-16 units as UTF-8; an unpaired surrogate becomes U+FFFD, or an error when strict.
bool Encode_Utf8(const char16_t* units, size_t count, bool strict, std::string& out) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t code = units[i];
        bool pair = code >= 0xD800 && code <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
                    units[i + 1] <= 0xDFFF;
        if (pair) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            if (strict) return false;
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xC0 | (code >> 6));
            out += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += char(0xE0 | (code >> 12));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else {
            out += char(0xF0 | (code >> 18));
            out += char(0x80 | ((code >> 12) & 0x3F));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        }
    }
    return true;
}

// The byte of a single-byte code page for a UTF-16 unit; false when the code page has none.
// Windows would also map some characters to look-alikes here (best fit) unless WC_NO_BEST_FIT_CHARS
// is given; the simulated machine never does, so every character without an exact byte becomes the
// default character.
bool Encode_Byte(const char16_t* table, char16_t unit, char& byte) {
    if (unit < 0x80) {
        byte = char(unit);
        return true;
    }
    for (int i = 0; i < 128; ++i) {
        if (table[i] == unit) {
            byte = char(0x80 + i);
            return true;
        }
    }
    return false;
}

bool Injected_Fault(const char* api) {
    DWORD error = ERROR_SUCCESS;
    if (!The_Machine().Take_Fault(api, Text(), &error)) return false;
    SetLastError(error);
    return true;
}

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi_byte, int multi_byte_count, LPWSTR wide,
                        int wide_count) {
    if (Injected_Fault("MultiByteToWideChar")) return 0;
    if (multi_byte == nullptr || multi_byte_count == 0 || multi_byte_count < -1 || wide_count < 0 ||
        (wide == nullptr && wide_count != 0) ||
        (wide != nullptr && static_cast<const void*>(wide) == static_cast<const void*>(multi_byte))) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    UINT resolved;
    const char16_t* table;
    if (!Resolve_Code_Page(code_page, resolved, table)) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD allowed = resolved == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_PRECOMPOSED | MB_ERR_INVALID_CHARS);
    if ((flags & ~allowed) != 0) return Fail(ERROR_INVALID_FLAGS);

    // With a count of -1 the text runs to its terminating 0, which is converted and counted too.
    size_t count = multi_byte_count == -1 ? std::strlen(multi_byte) + 1 : size_t(multi_byte_count);
    const auto* bytes = reinterpret_cast<const unsigned char*>(multi_byte);
    Text converted;
    if (table == nullptr) {
        if (!Decode_Utf8(bytes, count, (flags & MB_ERR_INVALID_CHARS) != 0, converted)) {
            return Fail(ERROR_NO_UNICODE_TRANSLATION);
        }
    } else {
        converted.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            converted += bytes[i] < 0x80 ? char16_t(bytes[i]) : table[bytes[i] - 0x80];
        }
    }
    if (converted.size() > size_t(0x7FFFFFFF)) return Fail(ERROR_ARITHMETIC_OVERFLOW);
    const int needed = int(converted.size());
    if (wide_count == 0) return needed;
    if (needed > wide_count) {
        std::memcpy(wide, converted.data(), size_t(wide_count) * sizeof(WCHAR));
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(wide, converted.data(), size_t(needed) * sizeof(WCHAR));
    return needed;
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_count, LPSTR multi_byte,
                        int multi_byte_count, LPCSTR default_char, LPBOOL used_default_char) {
    if (Injected_Fault("WideCharToMultiByte")) return 0;
    if (wide == nullptr || wide_count == 0 || wide_count < -1 || multi_byte_count < 0 ||
        (multi_byte == nullptr && multi_byte_count != 0) ||
        (multi_byte != nullptr && static_cast<const void*>(wide) == static_cast<const void*>(multi_byte))) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    UINT resolved;
    const char16_t* table;
    if (!Resolve_Code_Page(code_page, resolved, table)) return Fail(ERROR_INVALID_PARAMETER);
    if (table == nullptr) {
        if ((flags & ~DWORD(WC_ERR_INVALID_CHARS)) != 0) return Fail(ERROR_INVALID_FLAGS);
        // UTF-8 can show every character: asking for a default character is a parameter error.
        if (default_char != nullptr || used_default_char != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    } else if ((flags & ~DWORD(WC_NO_BEST_FIT_CHARS)) != 0) {
        return Fail(ERROR_INVALID_FLAGS);
    }

    size_t count = 0;
    if (wide_count == -1) {
        while (wide[count] != 0) ++count;
        ++count;  // the terminating 0 is converted and counted
    } else {
        count = size_t(wide_count);
    }
    std::string converted;
    if (table == nullptr) {
        if (!Encode_Utf8(wide, count, (flags & DWORD(WC_ERR_INVALID_CHARS)) != 0, converted)) {
            return Fail(ERROR_NO_UNICODE_TRANSLATION);
        }
    } else {
        const char fallback = default_char != nullptr ? default_char[0] : '?';
        bool defaulted = false;
        converted.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            char byte;
            if (!Encode_Byte(table, wide[i], byte)) {
                byte = fallback;
                defaulted = true;
            }
            converted += byte;
        }
        if (used_default_char != nullptr) *used_default_char = defaulted ? TRUE : FALSE;
    }
    if (converted.size() > size_t(0x7FFFFFFF)) return Fail(ERROR_ARITHMETIC_OVERFLOW);
    const int needed = int(converted.size());
    if (multi_byte_count == 0) return needed;
    if (needed > multi_byte_count) {
        std::memcpy(multi_byte, converted.data(), size_t(multi_byte_count));
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(multi_byte, converted.data(), size_t(needed));
    return needed;
}
