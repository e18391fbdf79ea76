// IsTextUnicode on a corpus of .inf files as the removal tool meets them in the Windows "Inf" folder:
// ANSI, UTF-8 with and without mark, UTF-16 little- and big-endian with and without mark, a four-byte
// FF FE 00 00 mark, tiny files, a 0x1A or zero byte, Cyrillic text. Each file is tried as its bytes
// on disk and as the buffer that a text-mode read leaves (CR LF turned into LF, stopped at 0x1A, the
// rest of the file's size zero). For each the program prints the verdict of all tests (no result
// pointer) and, per single test, the verdict and the result bits. Built natively against winsim and
// as a Windows executable run under Wine; run_conformance.sh compares the two outputs line by line.
//
// Where Wine knowingly differs from Windows, the line is printed as "(differs)" on both sides; each
// case of the corpus names its differing lines. Wine 8, measured:
// - ILLEGAL_CHARS never passes: not for FFFF, a NUL unit, CR LF packed into one unit (0A0D), nor an
//   embedded FFFE. So the ANSI and UTF-8 files whose CR LF falls on an even offset, and the text-mode
//   buffers with their zero tail, are not refused for it.
// - A NUL unit counts as a control and as a byte-swapped control (CONTROLS, REVERSE_CONTROLS).
// - ASCII16 and REVERSE_ASCII16 never pass.
// - NULL_BYTES misses a zero byte in the last unit ("A" 00; FF FE 00 00).
// - STATISTICS / REVERSE_STATISTICS follow another measure: "Bush hid the facts" (Windows: TRUE, with
//   STATISTICS alone) is not Unicode to Wine; UTF-16BE text does not pass REVERSE_STATISTICS.
// - CONTROLS passes for the UTF-16BE files, which hold none of the five controls as little-endian units,
//   and it looks beyond the first 256 bytes (an LF unit at byte 280 of 300 passes it).
// - A signature does not end the tests: with all tests as a mask the UTF-16LE file with its mark reports
//   the content tests beside SIGNATURE, and the FF FE 00 00 file of UTF-32LE text is refused for the NUL
//   units that follow (REVERSE_CONTROLS), where Windows answers TRUE on the mark alone.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Ansi(const char* text) { return Bytes(text, text + std::char_traits<char>::length(text)); }

Bytes Utf16(const char16_t* text, bool big_endian) {
    Bytes out;
    for (; *text; ++text) {
        unsigned unit = *text;
        unsigned char low = unit & 0xFF, high = unit >> 8;
        out.push_back(big_endian ? high : low);
        out.push_back(big_endian ? low : high);
    }
    return out;
}

Bytes Utf32_Little_Endian(const char16_t* text) {
    Bytes out;
    for (; *text; ++text) {
        unsigned unit = *text;
        out.push_back(unit & 0xFF);
        out.push_back(unit >> 8);
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

Bytes Join(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The buffer that the tool's text-mode read leaves: CR LF becomes LF, the read stops at 0x1A, and the
// rest of the file's size stays zero.
Bytes As_Read_In_Text_Mode(const Bytes& file) {
    Bytes out;
    for (size_t i = 0; i < file.size() && file[i] != 0x1A; ++i) {
        if (file[i] == '\r' && i + 1 < file.size() && file[i + 1] == '\n') continue;
        out.push_back(file[i]);
    }
    out.resize(file.size(), 0);
    return out;
}

const char* const Inf_Ansi =
    "; vpccid.inf: smart-card reader driver for the VESPARIO token\r\n"
    "[Version]\r\n"
    "Signature=\"$WINDOWS NT$\"\r\n"
    "Class=SmartCardReader\r\n"
    "ClassGuid={50DD5230-BA8A-11D1-BF5D-0000F805F530}\r\n"
    "Provider=%ProviderName%\r\n"
    "CatalogFile=vpccid.cat\r\n"
    "DriverVer=03/14/2023,4.2.7.0\r\n"
    "\r\n"
    "[Manufacturer]\r\n"
    "%ProviderName%=Vespario,NTamd64\r\n"
    "\r\n"
    "[Vespario.NTamd64]\r\n"
    "%ReaderName%=Reader_Install,USB\\VID_2A5B&PID_0201\r\n"
    "\r\n"
    "[Reader_Install.NT]\r\n"
    "Include=usbccid.inf\r\n"
    "Needs=USBCCID.NT\r\n"
    "CopyFiles=Reader_CopyFiles\r\n"
    "\r\n"
    "[Reader_CopyFiles]\r\n"
    "usbccid.sys\r\n"
    "\r\n"
    "[Strings]\r\n"
    "ProviderName=\"Halvorsen\"\r\n"
    "ReaderName=\"VESPARIO Token Reader\"\r\n";

const char16_t* const Inf_Wide =
    u"; vpccid.inf: smart-card reader driver for the VESPARIO token\r\n"
    u"[Version]\r\n"
    u"Signature=\"$WINDOWS NT$\"\r\n"
    u"Class=SmartCardReader\r\n"
    u"Provider=%ProviderName%\r\n"
    u"DriverVer=03/14/2023,4.2.7.0\r\n"
    u"\r\n"
    u"[Strings]\r\n"
    u"ProviderName=\"Halvorsen\"\r\n"
    u"ReaderName=\"VESPARIO \u0421\u0447\u0438\u0442\u044b\u0432\u0430\u0442\u0435\u043b\u044c\"\r\n";

const char16_t* const Cyrillic_Short =
    u"[Strings]\r\nReader=\"\u0421\u0447\u0438\u0442\u044b\u0432\u0430\u0442\u0435\u043b\u044c\"\r\n";

// A file of the corpus, and the lines of its report on which Wine is known to differ from Windows:
// "all" (no result pointer), "mask" (all tests as a mask) and the names of single tests.
struct Case {
    std::string name;
    Bytes bytes;
    std::string differs;
};

std::vector<Case> Corpus() {
    const Bytes utf16_mark = {0xFF, 0xFE}, utf16be_mark = {0xFE, 0xFF}, utf8_mark = {0xEF, 0xBB, 0xBF};
    const Bytes ansi = Ansi(Inf_Ansi);
    const Bytes ansi_short = Ansi("[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nProvider=VESPARIO\r\n");
    const Bytes ansi_odd = Join(ansi_short, Ansi("x"));
    const Bytes with_1a = Join(Ansi("[Version]\r\n\x1A"), ansi_short);
    const Bytes with_zero = Join(Join(Ansi("[Version]\r\n"), Bytes(1, 0)), ansi_short);
    // The Cyrillic reader name in code page 1251, and the same text as UTF-8.
    const Bytes ansi_cyrillic =
        Ansi("[Strings]\r\nReader=\"\xD1\xF7\xE8\xF2\xFB\xE2\xE0\xF2\xE5\xEB\xFC\"\r\n");
    const Bytes utf8 = Ansi("[Strings]\r\nReader=\"\xD0\xA1\xD1\x87\xD0\xB8\xD1\x82\xD1\x8B\xD0\xB2\xD0\xB0"
                            "\xD1\x82\xD0\xB5\xD0\xBB\xD1\x8C\"\r\nProvider=\"VESPARIO\"\r\n");
    const Bytes utf8_marked = Join(utf8_mark, utf8);
    const Bytes utf16 = Utf16(Inf_Wide, false);
    const Bytes utf16be = Utf16(Inf_Wide, true);
    const Bytes packed = Ansi("ab\r\ncd");
    return {
        {"empty", {}, ""},
        {"one byte A", Ansi("A"), ""},
        {"one byte FF", {0xFF}, ""},
        {"two bytes AB", Ansi("AB"), ""},
        {"two bytes FF FE", utf16_mark, ""},
        {"two bytes FE FF", utf16be_mark, ""},
        {"two bytes A 00", {'A', 0}, "all ASCII16 STATISTICS NULL_BYTES mask"},
        {"three bytes ABC", Ansi("ABC"), ""},
        {"three bytes FF FE 41", {0xFF, 0xFE, 0x41}, ""},
        {"four bytes FF FE 00 00", {0xFF, 0xFE, 0, 0}, "ILLEGAL_CHARS NULL_BYTES"},
        {"ansi", ansi, "ILLEGAL_CHARS mask"},
        {"ansi, read in text mode", As_Read_In_Text_Mode(ansi), ""},
        {"ansi short", ansi_short, "ILLEGAL_CHARS mask"},
        {"ansi short, read in text mode", As_Read_In_Text_Mode(ansi_short), "all ILLEGAL_CHARS mask"},
        {"ansi odd length", ansi_odd, "ILLEGAL_CHARS mask"},
        {"ansi odd length, read in text mode", As_Read_In_Text_Mode(ansi_odd),
         "CONTROLS REVERSE_CONTROLS ILLEGAL_CHARS mask"},
        {"ansi cyrillic", ansi_cyrillic, ""},
        {"ansi cyrillic, read in text mode", As_Read_In_Text_Mode(ansi_cyrillic), ""},
        {"ansi with 0x1A", with_1a, "ILLEGAL_CHARS mask"},
        {"ansi with 0x1A, read in text mode", As_Read_In_Text_Mode(with_1a),
         "STATISTICS CONTROLS REVERSE_CONTROLS ILLEGAL_CHARS mask"},
        {"ansi with zero byte", with_zero, "all ILLEGAL_CHARS mask"},
        {"ansi with zero byte, read in text mode", As_Read_In_Text_Mode(with_zero),
         "CONTROLS REVERSE_CONTROLS ILLEGAL_CHARS mask"},
        {"utf-8 with mark", utf8_marked, "ILLEGAL_CHARS mask"},
        {"utf-8 with mark, read in text mode", As_Read_In_Text_Mode(utf8_marked),
         "all ILLEGAL_CHARS mask"},
        {"utf-8 without mark", utf8, "ILLEGAL_CHARS mask"},
        {"utf-8 without mark, read in text mode", As_Read_In_Text_Mode(utf8),
         "CONTROLS REVERSE_CONTROLS ILLEGAL_CHARS mask"},
        {"utf-16le with mark", Join(utf16_mark, utf16), "mask"},
        {"utf-16le without mark", utf16, "ASCII16 mask"},
        {"utf-16le cyrillic without mark", Utf16(Cyrillic_Short, false), ""},
        {"utf-16be with mark", Join(utf16be_mark, utf16be), "REVERSE_STATISTICS CONTROLS mask"},
        {"utf-16be without mark", utf16be, "REVERSE_ASCII16 REVERSE_STATISTICS CONTROLS mask"},
        {"utf-32le with FF FE 00 00", Join(Bytes{0xFF, 0xFE, 0, 0}, Utf32_Little_Endian(Cyrillic_Short)),
         "all REVERSE_CONTROLS ILLEGAL_CHARS mask"},
        {"bush hid the facts", Ansi("Bush hid the facts"), "all STATISTICS mask"},
        {"crlf packed in one word", packed, "ILLEGAL_CHARS mask"},
        {"crlf packed in one word, read in text mode", As_Read_In_Text_Mode(packed), "all NULL_BYTES mask"},
    };
}

bool Differs(const Case& item, const char* label) {
    return (" " + item.differs + " ").find(std::string(" ") + label + " ") != std::string::npos;
}

struct Test {
    const char* name;
    int flag;
};

const Test Tests[] = {
    {"ASCII16", IS_TEXT_UNICODE_ASCII16},
    {"REVERSE_ASCII16", IS_TEXT_UNICODE_REVERSE_ASCII16},
    {"STATISTICS", IS_TEXT_UNICODE_STATISTICS},
    {"REVERSE_STATISTICS", IS_TEXT_UNICODE_REVERSE_STATISTICS},
    {"CONTROLS", IS_TEXT_UNICODE_CONTROLS},
    {"REVERSE_CONTROLS", IS_TEXT_UNICODE_REVERSE_CONTROLS},
    {"SIGNATURE", IS_TEXT_UNICODE_SIGNATURE},
    {"REVERSE_SIGNATURE", IS_TEXT_UNICODE_REVERSE_SIGNATURE},
    {"ILLEGAL_CHARS", IS_TEXT_UNICODE_ILLEGAL_CHARS},
    {"ODD_LENGTH", IS_TEXT_UNICODE_ODD_LENGTH},
    {"NULL_BYTES", IS_TEXT_UNICODE_NULL_BYTES},
};

void Examine(const Case& item) {
    // A copy in a block of exactly its size: nothing beyond it can be read unnoticed by a memory checker.
    std::vector<unsigned char> block(item.bytes);
    const void* data = block.empty() ? static_cast<const void*>("") : block.data();
    int size = static_cast<int>(block.size());
    std::printf("\n== %s (%d bytes)\n", item.name.c_str(), size);
    BOOL verdict = IsTextUnicode(data, size, NULL);
    if (Differs(item, "all")) {
        std::printf("  all tests: (differs)\n");
    } else {
        std::printf("  all tests: %d\n", verdict ? 1 : 0);
    }
    for (const Test& test : Tests) {
        int result = test.flag;
        verdict = IsTextUnicode(data, size, &result);
        if (Differs(item, test.name)) {
            std::printf("  %s: (differs)\n", test.name);
        } else {
            std::printf("  %s: %d result 0x%04X\n", test.name, verdict ? 1 : 0, unsigned(result));
        }
    }
    int everything = 0xFFFF;
    verdict = IsTextUnicode(data, size, &everything);
    if (Differs(item, "mask")) {
        std::printf("  mask 0xFFFF: (differs)\n");
    } else {
        std::printf("  mask 0xFFFF: %d result 0x%04X\n", verdict ? 1 : 0, unsigned(everything));
    }
}

}  // namespace

int main() {
    std::printf("IsTextUnicode conformance\n");
    for (const Case& item : Corpus()) Examine(item);
    return 0;
}
