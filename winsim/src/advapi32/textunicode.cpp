// IsTextUnicode: Windows' guess whether a buffer holds UTF-16 text, from its documented tests.
//
// - Fewer than 2 bytes are too few to judge: FALSE, and the result receives no test.
// - ODD_LENGTH: the size in bytes is odd (judged on the whole size).
// - SIGNATURE / REVERSE_SIGNATURE: the first 16-bit unit is FEFF / FFFE. When the caller asked for that
//   signature test, the mark decides alone: the content tests are not run.
// - The content tests look at the first 256 bytes only, as 16-bit little-endian units:
//   STATISTICS / REVERSE_STATISTICS compare how much the low bytes and the high bytes change from unit
//   to unit (the first unit counted against zero); one side must change more than three times as much
//   as the other. CONTROLS / REVERSE_CONTROLS: CR, LF, space, tab or the CJK space, plain / byte-swapped.
//   ILLEGAL_CHARS: FFFF, a NUL unit, CR LF packed into one unit (0A0D), or FFFE after the first unit.
//   ASCII16 / REVERSE_ASCII16: every unit is ASCII zero-extended, plain / byte-swapped.
//   NULL_BYTES: a zero byte, which ANSI text never has.
// - The verdict: FALSE when a passed test says "not Unicode" (NOT_UNICODE_MASK) or "byte-reversed"
//   (REVERSE_MASK); otherwise TRUE when one says Unicode (UNICODE_MASK) or "not ASCII"
//   (NOT_ASCII_MASK); otherwise FALSE.
// With a result pointer, only the tests it names run and it receives those that passed; without one,
// all tests run.
#include <windows.h>

#include <cstdlib>

namespace {

const int kAllTests = IS_TEXT_UNICODE_UNICODE_MASK | IS_TEXT_UNICODE_REVERSE_MASK |
                      IS_TEXT_UNICODE_NOT_UNICODE_MASK | IS_TEXT_UNICODE_NOT_ASCII_MASK;
const int kExaminedBytes = 256;

bool Is_Control(unsigned unit) {
    return unit == 0x000D || unit == 0x000A || unit == 0x0020 || unit == 0x0009 || unit == 0x3000;
}

unsigned Swapped(unsigned unit) { return ((unit & 0xFF) << 8) | (unit >> 8); }

// The content tests over the first bytes of the buffer; returns every test that passed.
int Content_Tests(const BYTE* bytes, int size) {
    int length = size < kExaminedBytes ? size : kExaminedBytes;
    int found = 0;
    for (int i = 0; i < length; ++i) {
        if (bytes[i] == 0) found |= IS_TEXT_UNICODE_NULL_BYTES;
    }
    int units = length / 2;
    long low_changes = 0, high_changes = 0;
    int previous_low = 0, previous_high = 0;
    bool ascii16 = true, reverse_ascii16 = true;
    for (int i = 0; i < units; ++i) {
        int low = bytes[2 * i], high = bytes[2 * i + 1];
        unsigned unit = unsigned(low) | unsigned(high) << 8;
        low_changes += std::abs(low - previous_low);
        high_changes += std::abs(high - previous_high);
        previous_low = low;
        previous_high = high;
        if (Is_Control(unit)) found |= IS_TEXT_UNICODE_CONTROLS;
        if (Is_Control(Swapped(unit))) found |= IS_TEXT_UNICODE_REVERSE_CONTROLS;
        if (unit == 0xFFFF || unit == 0x0000 || unit == 0x0A0D || (unit == 0xFFFE && i > 0))
            found |= IS_TEXT_UNICODE_ILLEGAL_CHARS;
        if (unit > 0x7F) ascii16 = false;
        if (Swapped(unit) > 0x7F) reverse_ascii16 = false;
    }
    if (units > 0 && ascii16) found |= IS_TEXT_UNICODE_ASCII16;
    if (units > 0 && reverse_ascii16) found |= IS_TEXT_UNICODE_REVERSE_ASCII16;
    if (3 * high_changes < low_changes) found |= IS_TEXT_UNICODE_STATISTICS;
    if (3 * low_changes < high_changes) found |= IS_TEXT_UNICODE_REVERSE_STATISTICS;
    return found;
}

BOOL Verdict(int passed) {
    if (passed & (IS_TEXT_UNICODE_NOT_UNICODE_MASK | IS_TEXT_UNICODE_REVERSE_MASK)) return FALSE;
    return (passed & (IS_TEXT_UNICODE_UNICODE_MASK | IS_TEXT_UNICODE_NOT_ASCII_MASK)) ? TRUE : FALSE;
}

}  // namespace

BOOL IsTextUnicode(const void* buffer, int size, LPINT result) {
    int tests = result ? *result : kAllTests;
    if (size < 2) {
        if (result) *result = 0;
        return FALSE;
    }
    const BYTE* bytes = static_cast<const BYTE*>(buffer);
    int found = (size % 2) ? IS_TEXT_UNICODE_ODD_LENGTH : 0;
    unsigned first = unsigned(bytes[0]) | unsigned(bytes[1]) << 8;
    if (first == 0xFEFF) found |= IS_TEXT_UNICODE_SIGNATURE;
    if (first == 0xFFFE) found |= IS_TEXT_UNICODE_REVERSE_SIGNATURE;
    bool mark_decides = (found & tests & (IS_TEXT_UNICODE_SIGNATURE | IS_TEXT_UNICODE_REVERSE_SIGNATURE)) != 0;
    if (!mark_decides) found |= Content_Tests(bytes, size);
    int passed = found & tests;
    if (result) *result = passed;
    return Verdict(passed);
}
