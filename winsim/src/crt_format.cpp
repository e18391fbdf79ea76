// The C runtime's wide formatted output as the Microsoft C runtime has it: in the wide family %s
// and %c take WCHAR texts and characters (%hs, %hc, %S, %C the narrow ones), l is 32 bits, ll and
// I64 are 64 bits. Console output appends to the machine's console text.
#include "machine.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace winsim {

namespace {

enum class Width_Of { Default, Char, Short, Long, Long_Long, Pointer };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;  // -1: none given
    Width_Of size = Width_Of::Default;
    bool wide = false;    // l or w before s or c
    bool narrow = false;  // h before s or c
};

void Pad(Text& out, size_t count, char16_t fill) { out.append(count, fill); }

void Put_Field(Text& out, const Spec& spec, const Text& body) {
    size_t width = spec.width > 0 ? size_t(spec.width) : 0;
    size_t padding = body.size() < width ? width - body.size() : 0;
    if (!spec.left) Pad(out, padding, u' ');
    out += body;
    if (spec.left) Pad(out, padding, u' ');
}

void Put_Number(Text& out, const Spec& spec, bool negative, uint64_t magnitude, unsigned base, bool upper) {
    const char* digits_of = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    Text digits;
    for (uint64_t rest = magnitude; rest != 0; rest /= base)
        digits.insert(digits.begin(), char16_t(digits_of[rest % base]));
    if (spec.precision < 0 && digits.empty()) digits = u"0";
    if (spec.precision > 0 && digits.size() < size_t(spec.precision))
        digits.insert(0, size_t(spec.precision) - digits.size(), u'0');
    Text prefix;
    if (negative) prefix = u"-";
    else if (spec.plus && base == 10) prefix = u"+";
    else if (spec.space && base == 10) prefix = u" ";
    if (spec.alternate && magnitude != 0 && base == 16) prefix += upper ? u"0X" : u"0x";
    if (spec.alternate && base == 8 && (digits.empty() || digits[0] != u'0')) digits.insert(0, 1, u'0');
    size_t width = spec.width > 0 ? size_t(spec.width) : 0;
    if (spec.zero && !spec.left && spec.precision < 0 && prefix.size() + digits.size() < width)
        digits.insert(0, width - prefix.size() - digits.size(), u'0');
    Put_Field(out, spec, prefix + digits);
}

int Read_Number(const WCHAR*& at) {
    int value = 0;
    while (*at >= u'0' && *at <= u'9') {
        if (value < 100000) value = value * 10 + (*at - u'0');
        ++at;
    }
    return value;
}

int64_t Signed_Argument(const Spec& spec, va_list* args) {
    switch (spec.size) {
    case Width_Of::Long_Long:
    case Width_Of::Pointer: return va_arg(*args, long long);
    case Width_Of::Short: return short(va_arg(*args, int));
    case Width_Of::Char: return static_cast<signed char>(va_arg(*args, int));
    default: return va_arg(*args, int);  // int and long are both 32 bits on Windows
    }
}

uint64_t Unsigned_Argument(const Spec& spec, va_list* args) {
    switch (spec.size) {
    case Width_Of::Long_Long:
    case Width_Of::Pointer: return va_arg(*args, unsigned long long);
    case Width_Of::Short: return uint16_t(va_arg(*args, unsigned));
    case Width_Of::Char: return uint8_t(va_arg(*args, unsigned));
    default: return va_arg(*args, unsigned);
    }
}

// Formats one format text. False for a conversion that the runtime refuses (or that this
// simulation does not offer: floating point and %n), and for a format ending inside a conversion.
bool Format_Wide(Text& out, const WCHAR* format, va_list* args) {
    const WCHAR* at = format;
    while (*at) {
        if (*at != u'%') {
            out += *at++;
            continue;
        }
        ++at;
        Spec spec;
        for (bool more = true; more;) {
            switch (*at) {
            case u'-': spec.left = true; ++at; break;
            case u'+': spec.plus = true; ++at; break;
            case u' ': spec.space = true; ++at; break;
            case u'#': spec.alternate = true; ++at; break;
            case u'0': spec.zero = true; ++at; break;
            default: more = false;
            }
        }
        if (*at == u'*') {
            spec.width = va_arg(*args, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = spec.width == INT32_MIN ? 0 : -spec.width;
            }
            ++at;
        } else {
            spec.width = Read_Number(at);
        }
        if (*at == u'.') {
            ++at;
            if (*at == u'*') {
                spec.precision = va_arg(*args, int);
                if (spec.precision < 0) spec.precision = -1;
                ++at;
            } else {
                spec.precision = Read_Number(at);
            }
        }
        if (at[0] == u'h' && at[1] == u'h') {
            spec.size = Width_Of::Char;
            at += 2;
        } else if (at[0] == u'h') {
            spec.size = Width_Of::Short;
            spec.narrow = true;
            ++at;
        } else if (at[0] == u'l' && at[1] == u'l') {
            spec.size = Width_Of::Long_Long;
            at += 2;
        } else if (at[0] == u'l' || at[0] == u'w') {
            spec.size = Width_Of::Long;
            spec.wide = true;
            ++at;
        } else if (at[0] == u'I' && at[1] == u'6' && at[2] == u'4') {
            spec.size = Width_Of::Long_Long;
            at += 3;
        } else if (at[0] == u'I' && at[1] == u'3' && at[2] == u'2') {
            spec.size = Width_Of::Long;
            at += 3;
        } else if (at[0] == u'I' || at[0] == u'z' || at[0] == u'j' || at[0] == u't') {
            spec.size = Width_Of::Pointer;
            ++at;
        }
        char16_t conversion = *at;
        if (conversion == 0) return false;
        ++at;
        switch (conversion) {
        case u'd':
        case u'i': {
            int64_t value = Signed_Argument(spec, args);
            uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
            Put_Number(out, spec, value < 0, magnitude, 10, false);
            break;
        }
        case u'u': Put_Number(out, spec, false, Unsigned_Argument(spec, args), 10, false); break;
        case u'o': Put_Number(out, spec, false, Unsigned_Argument(spec, args), 8, false); break;
        case u'x': Put_Number(out, spec, false, Unsigned_Argument(spec, args), 16, false); break;
        case u'X': Put_Number(out, spec, false, Unsigned_Argument(spec, args), 16, true); break;
        case u'p': {
            Spec pointer;
            pointer.left = spec.left;
            pointer.width = spec.width;
            pointer.precision = 16;  // all the digits of a 64-bit address, upper case
            Put_Number(out, pointer, false, uint64_t(uintptr_t(va_arg(*args, void*))), 16, true);
            break;
        }
        case u'c':
        case u'C': {
            bool narrow = conversion == u'C' ? !spec.wide : spec.narrow;
            int value = va_arg(*args, int);
            Put_Field(out, spec, Text(1, narrow ? char16_t(uint8_t(value)) : char16_t(value)));
            break;
        }
        case u's':
        case u'S': {
            bool narrow = conversion == u'S' ? !spec.wide : spec.narrow;
            size_t limit = spec.precision >= 0 ? size_t(spec.precision) : SIZE_MAX;
            Text body;
            if (narrow) {
                // Bytes of the "C" locale, each the character of the same value.
                const char* text = va_arg(*args, const char*);
                if (!text) text = "(null)";
                for (size_t i = 0; i < limit && text[i]; ++i) body += char16_t(uint8_t(text[i]));
            } else {
                const WCHAR* text = va_arg(*args, const WCHAR*);
                if (!text) text = u"(null)";
                for (size_t i = 0; i < limit && text[i]; ++i) body += text[i];
            }
            Put_Field(out, spec, body);
            break;
        }
        case u'%': out += u'%'; break;
        default: return false;
        }
    }
    return true;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

int _vsnwprintf_s(WCHAR* buffer, size_t size_in_words, size_t count, const WCHAR* format, va_list arguments) {
    if (!buffer || size_in_words == 0 || !format) {
        if (buffer && size_in_words != 0) buffer[0] = 0;
        errno = EINVAL;
        return -1;
    }
    buffer[0] = 0;
    DWORD error = 0;
    if (The_Machine().Take_Fault("_vsnwprintf_s", Text(), &error)) {
        errno = int(error);
        return -1;
    }
    Text text;
    va_list args;
    va_copy(args, arguments);
    bool formatted = Format_Wide(text, format, &args);
    va_end(args);
    if (!formatted) {
        errno = EINVAL;
        return -1;
    }
    size_t room = size_in_words - 1;
    if (count != _TRUNCATE && count >= size_in_words && text.size() > room) {
        // Asked for more than the buffer holds, and the text does not fit: refused, buffer empty.
        errno = ERANGE;
        return -1;
    }
    size_t limit = count == _TRUNCATE ? room : std::min(count, room);
    bool truncated = text.size() > limit;
    size_t kept = truncated ? limit : text.size();
    std::copy(text.begin(), text.begin() + kept, buffer);
    buffer[kept] = 0;
    return truncated ? -1 : int(kept);
}

int wprintf(const WCHAR* format, ...) {
    if (!format) {
        errno = EINVAL;
        return -1;
    }
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD error = 0;
    if (machine.Take_Fault("wprintf", Text(), &error)) {
        errno = int(error);
        return -1;
    }
    Text text;
    va_list args;
    va_start(args, format);
    bool formatted = Format_Wide(text, format, &args);
    va_end(args);
    if (!formatted) {
        errno = EINVAL;
        return -1;
    }
    machine.console += text;
    return int(text.size());
}
