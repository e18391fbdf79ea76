// The foundation's text type on arbitrary bytes: ANSI <-> UTF-16 conversion in both code pages the
// machine can have, case folding, search and comparison, each checked against a plain model
// (std::u16string). Inputs are copied to blocks of their exact size, so that a read past a text's
// terminating zero is caught by AddressSanitizer.
//
// Input: byte 0 picks the code page, byte 1 is the search start, byte 2 the needle's length in
// units, byte 3 the Mid count; the rest is the text, read once as ANSI bytes and once as UTF-16LE
// units (the first units form the needle, the others the haystack).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "foundation/Lib_String.h"
#include "fuzz_support.h"
#include "machine/machine.h"

namespace {

using Units = std::u16string;

Units Model(const Lib_StringW& text) {
    return text.Is_Empty() ? Units() : Units(text.Get_Text(), size_t(text.Get_Length()));
}

void Check_Holds(const Lib_StringW& text, const Units& expected, const char* what) {
    FUZZ_CHECK(text.Get_Length() == (long long)expected.size() && Model(text) == expected &&
                   (text.Get_Text() == nullptr) == expected.empty() &&
                   (expected.empty() || text.Get_Text()[expected.size()] == 0),
               "%s: length %lld, expected %zu", what, text.Get_Length(), expected.size());
}

WCHAR Fold(WCHAR c) { return c >= 'A' && c <= 'Z' ? WCHAR(c + 32) : c; }

Units Folded(Units text) {
    for (WCHAR& c : text) c = Fold(c);
    return text;
}

int Sign(int value) { return (value > 0) - (value < 0); }

// A zero-terminated copy in a block of exactly its size.
std::unique_ptr<WCHAR[]> Exact(const Units& text) {
    std::unique_ptr<WCHAR[]> copy(new WCHAR[text.size() + 1]);
    std::memcpy(copy.get(), text.data(), text.size() * sizeof(WCHAR));
    copy[text.size()] = 0;
    return copy;
}

void Check_Ansi(const uint8_t* bytes, size_t size) {
    size_t length = 0;
    while (length < size && bytes[length] != 0) ++length;
    std::unique_ptr<char[]> ansi(new char[length + 1]);
    std::memcpy(ansi.get(), bytes, length);
    ansi[length] = 0;
    // Both code pages give every byte its own character: one unit per byte, and back again unchanged.
    Lib_StringW wide(ansi.get());
    FUZZ_CHECK(wide.Get_Length() == (long long)length, "ANSI %zu bytes gave %lld units", length, wide.Get_Length());
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] < 0x80) FUZZ_CHECK(wide.Get_Text()[i] == bytes[i], "ASCII byte %zu changed", i);
    LibT_Buffer<char> back = wide.To_Ansi_Buffer();
    if (length == 0) {
        FUZZ_CHECK(back.Get_Size() == 0, "empty text gave %zu ANSI bytes", back.Get_Size());
        return;
    }
    FUZZ_CHECK(back.Get_Size() == length + 1 && std::memcmp(back.Get_Data(), ansi.get(), length + 1) == 0,
               "ANSI round trip of %zu bytes gave %zu bytes", length, back.Get_Size());
}

void Check_Wide_To_Ansi(const Lib_StringW& text, const Units& units) {
    LibT_Buffer<char> ansi = text.To_Ansi_Buffer();
    if (units.empty()) {
        FUZZ_CHECK(ansi.Get_Size() == 0, "empty text gave %zu ANSI bytes", ansi.Get_Size());
        return;
    }
    // One byte per unit; a character the code page lacks becomes '?', the others come back unchanged.
    FUZZ_CHECK(ansi.Get_Size() == units.size() + 1 && ansi.Get_Data()[units.size()] == 0,
               "%zu units gave %zu ANSI bytes", units.size(), ansi.Get_Size());
    Lib_StringW back(ansi.Get_Data());
    Units returned = Model(back);
    FUZZ_CHECK(returned.size() == units.size(), "ANSI text came back with %zu units", returned.size());
    for (size_t i = 0; i < units.size(); ++i) {
        FUZZ_CHECK(returned[i] == units[i] || (returned[i] == u'?' && units[i] >= 0x80),
                   "unit %zu: %04X came back as %04X", i, unsigned(units[i]), unsigned(returned[i]));
    }
    LibT_Buffer<char> again = back.To_Ansi_Buffer();
    FUZZ_CHECK(again.Get_Size() == ansi.Get_Size() && std::memcmp(again.Get_Data(), ansi.Get_Data(), ansi.Get_Size()) == 0,
               "a second conversion differs");
}

void Check_Search(const Lib_StringW& text, const Units& model, const Units& needle, long long start, long long count) {
    std::unique_ptr<WCHAR[]> needle_copy = Exact(needle);
    const WCHAR* needle_text = needle_copy.get();
    long long expected = -1;
    if (start >= 0 && start <= (long long)model.size()) {
        size_t at = model.find(needle, size_t(start));
        expected = at == Units::npos ? -1 : (long long)at;
    }
    FUZZ_CHECK(text.Find(needle_text, start) == expected, "Find from %lld: %lld, expected %lld", start,
               text.Find(needle_text, start), expected);
    if (needle.empty()) FUZZ_CHECK(text.Find(nullptr, start) == expected, "Find of null from %lld", start);

    WCHAR character = needle.empty() ? u'a' : needle[0];
    size_t last = model.rfind(character);
    FUZZ_CHECK(text.Reverse_Find(character) == (last == Units::npos ? -1 : (long long)last), "Reverse_Find");

    FUZZ_CHECK(Sign(text.Compare(needle_text)) == Sign(model.compare(needle)), "Compare");
    FUZZ_CHECK(Sign(text.Compare_No_Case(needle_text)) == Sign(Folded(model).compare(Folded(needle))),
               "Compare_No_Case");
    FUZZ_CHECK((text.Compare(nullptr) == 0) == model.empty(), "Compare with null");

    long long from = start < 0 ? 0 : start;
    Units middle;
    if (from < (long long)model.size() && count > 0) middle = model.substr(size_t(from), size_t(count));
    Check_Holds(text.Mid(start, count), middle, "Mid");
}

void Check_Changes(const Lib_StringW& text, const Units& model, const Units& needle) {
    // A copy shares the block; changing the copy leaves the original as it was.
    Lib_StringW lowered(text);
    lowered.Make_Lower();
    Check_Holds(lowered, Folded(model), "Make_Lower");
    Check_Holds(text, model, "original after Make_Lower of a copy");

    std::unique_ptr<WCHAR[]> needle_copy = Exact(needle);
    Lib_StringW appended(text);
    appended.Append(needle_copy.get());
    Check_Holds(appended, model + needle, "Append");
    appended.Append(appended);
    Check_Holds(appended, model + needle + model + needle, "Append to itself");
    Check_Holds(text, model, "original after Append to a copy");
    Check_Holds(text + needle_copy.get(), model + needle, "text + units");
    Check_Holds(needle_copy.get() + text, needle + model, "units + text");
    Check_Holds(text + Lib_StringW(needle_copy.get()), model + needle, "text + text");

    Lib_StringW cut(text);
    long long keep = (long long)model.size() / 2;
    cut.Get_Buffer_Set_Length(keep);
    Check_Holds(cut, model.substr(0, size_t(keep)), "Get_Buffer_Set_Length");
    Check_Holds(text, model, "original after Get_Buffer_Set_Length of a copy");
    cut = cut.Get_Text();
    Check_Holds(cut, model.substr(0, size_t(keep)), "assignment of its own characters");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    winsim::Machine& machine = winsim::The_Machine();
    machine.code_page = data[0] & 1 ? 1251 : 1252;
    long long start = (long long)int8_t(data[1]);
    size_t needle_units = data[2] % 16;
    long long count = (long long)int8_t(data[3]);
    const uint8_t* text = data + 4;
    size_t text_size = size - 4;

    Check_Ansi(text, text_size);

    Units units;
    for (size_t i = 0; i + 1 < text_size; i += 2) {
        WCHAR unit = WCHAR(text[i] | text[i + 1] << 8);
        if (unit == 0) break;
        units += unit;
    }
    Units needle = units.substr(0, needle_units);
    Units model = units.substr(needle.size());
    std::unique_ptr<WCHAR[]> exact = Exact(model);
    Lib_StringW wide(exact.get());
    Check_Holds(wide, model, "construction");
    LibT_Buffer<WCHAR> buffer = wide.To_Wide_Buffer();
    FUZZ_CHECK(model.empty() ? buffer.Get_Size() == 0
                             : buffer.Get_Size() == (model.size() + 1) * 2 &&
                                   std::memcmp(buffer.Get_Data(), exact.get(), buffer.Get_Size()) == 0,
               "To_Wide_Buffer: %zu bytes", buffer.Get_Size());
    Check_Wide_To_Ansi(wide, model);
    Check_Search(wide, model, needle, start, count);
    Check_Changes(wide, model, needle);
    return 0;
}
