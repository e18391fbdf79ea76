// The C runtime's wide formatted output as the Microsoft C runtime has it: in the wide family %s
// and %c take WCHAR texts and characters (%hs, %hc, %S, %C the narrow ones), l is 32 bits, ll and
// I64 are 64 bits. Console output appends to the machine's console text.
#include "machine/machine.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace winsim {

namespace {

enum class Width_Of { Default, Char, Short, Long, Long_Long, Pointer };

struct Field_Format {
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

void Put_Field(Text& out, const Field_Format& field, const Text& body) {
    size_t width = field.width > 0 ? size_t(field.width) : 0;
    size_t padding = body.size() < width ? width - body.size() : 0;
    if (!field.left) Pad(out, padding, u' ');
    out += body;
    if (field.left) Pad(out, padding, u' ');
}

void Put_Number(Text& out, const Field_Format& field, bool negative, uint64_t magnitude, unsigned base, bool upper) {
    const char* digits_of = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    Text digits;
    for (uint64_t rest = magnitude; rest != 0; rest /= base)
        digits.insert(digits.begin(), char16_t(digits_of[rest % base]));
    if (field.precision < 0 && digits.empty()) digits = u"0";
    if (field.precision > 0 && digits.size() < size_t(field.precision))
        digits.insert(0, size_t(field.precision) - digits.size(), u'0');
    Text prefix;
    if (negative) prefix = u"-";
    else if (field.plus && base == 10) prefix = u"+";
    else if (field.space && base == 10) prefix = u" ";
    if (field.alternate && magnitude != 0 && base == 16) prefix += upper ? u"0X" : u"0x";
    if (field.alternate && base == 8 && (digits.empty() || digits[0] != u'0')) digits.insert(0, 1, u'0');
    size_t width = field.width > 0 ? size_t(field.width) : 0;
    if (field.zero && !field.left && field.precision < 0 && prefix.size() + digits.size() < width)
        digits.insert(0, width - prefix.size() - digits.size(), u'0');
    Put_Field(out, field, prefix + digits);
}

int Read_Number(const WCHAR*& at) {
    int value = 0;
    while (*at >= u'0' && *at <= u'9') {
        if (value < 100000) value = value * 10 + (*at - u'0');
        ++at;
    }
    return value;
}

int64_t Signed_Argument(const Field_Format& field, va_list* args) {
    switch (field.size) {
    case Width_Of::Long_Long:
    case Width_Of::Pointer: return va_arg(*args, long long);
    case Width_Of::Short: return short(va_arg(*args, int));
    case Width_Of::Char: return static_cast<signed char>(va_arg(*args, int));
    default: return va_arg(*args, int);  // int and long are both 32 bits on Windows
    }
}

uint64_t Unsigned_Argument(const Field_Format& field, va_list* args) {
    switch (field.size) {
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
        Field_Format field;
        for (bool more = true; more;) {
            switch (*at) {
            case u'-': field.left = true; ++at; break;
            case u'+': field.plus = true; ++at; break;
            case u' ': field.space = true; ++at; break;
            case u'#': field.alternate = true; ++at; break;
            case u'0': field.zero = true; ++at; break;
            default: more = false;
            }
        }
        if (*at == u'*') {
            field.width = va_arg(*args, int);
            if (field.width < 0) {
                field.left = true;
                field.width = field.width == INT32_MIN ? 0 : -field.width;
            }
            ++at;
        } else {
            field.width = Read_Number(at);
        }
        if (*at == u'.') {
            ++at;
            if (*at == u'*') {
                field.precision = va_arg(*args, int);
                if (field.precision < 0) field.precision = -1;
                ++at;
            } else {
                field.precision = Read_Number(at);
            }
        }
        if (at[0] == u'h' && at[1] == u'h') {
            field.size = Width_Of::Char;
            at += 2;
        } else if (at[0] == u'h') {
            field.size = Width_Of::Short;
            field.narrow = true;
            ++at;
        } else if (at[0] == u'l' && at[1] == u'l') {
            field.size = Width_Of::Long_Long;
            at += 2;
        } else if (at[0] == u'l' || at[0] == u'w') {
            field.size = Width_Of::Long;
            field.wide = true;
            ++at;
        } else if (at[0] == u'I' && at[1] == u'6' && at[2] == u'4') {
            field.size = Width_Of::Long_Long;
            at += 3;
        } else if (at[0] == u'I' && at[1] == u'3' && at[2] == u'2') {
            field.size = Width_Of::Long;
            at += 3;
        } else if (at[0] == u'I' || at[0] == u'z' || at[0] == u'j' || at[0] == u't') {
            field.size = Width_Of::Pointer;
            ++at;
        }
        char16_t conversion = *at;
        if (conversion == 0) return false;
        ++at;
        switch (conversion) {
        case u'd':
        case u'i': {
            int64_t value = Signed_Argument(field, args);
            uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
            Put_Number(out, field, value < 0, magnitude, 10, false);
            break;
        }
        case u'u': Put_Number(out, field, false, Unsigned_Argument(field, args), 10, false); break;
        case u'o': Put_Number(out, field, false, Unsigned_Argument(field, args), 8, false); break;
        case u'x': Put_Number(out, field, false, Unsigned_Argument(field, args), 16, false); break;
        case u'X': Put_Number(out, field, false, Unsigned_Argument(field, args), 16, true); break;
        case u'p': {
            Field_Format pointer;
            pointer.left = field.left;
            pointer.width = field.width;
            pointer.precision = 16;  // all the digits of a 64-bit address, upper case
            Put_Number(out, pointer, false, uint64_t(uintptr_t(va_arg(*args, void*))), 16, true);
            break;
        }
        case u'c':
        case u'C': {
            bool narrow = conversion == u'C' ? !field.wide : field.narrow;
            int value = va_arg(*args, int);
            Put_Field(out, field, Text(1, narrow ? char16_t(uint8_t(value)) : char16_t(value)));
            break;
        }
        case u's':
        case u'S': {
            bool narrow = conversion == u'S' ? !field.wide : field.narrow;
            size_t limit = field.precision >= 0 ? size_t(field.precision) : SIZE_MAX;
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
            Put_Field(out, field, body);
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
