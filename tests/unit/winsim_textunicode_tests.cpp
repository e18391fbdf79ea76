// winsim's IsTextUnicode on the kinds of .inf buffers that the OEM scan hands it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

const int All_Tests = 0xFFFF;

Bytes Ansi(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Utf16_Le(const std::u16string& text, const Bytes& mark = {}) {
    Bytes out(mark);
    for (char16_t unit : text) {
        out.push_back(unit & 0xFF);
        out.push_back(unit >> 8);
    }
    return out;
}

Bytes Swap_Pairs(Bytes bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
    return bytes;
}

struct Verdict {
    BOOL unicode;
    int result;
};

Verdict Judge(const Bytes& bytes, int tests = All_Tests) {
    int result = tests;
    BOOL unicode = IsTextUnicode(bytes.data(), int(bytes.size()), &result);
    return {unicode, result};
}

const std::u16string Wide_Inf = u"[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nProvider=VESPARIO\r\n";
const std::u16string Cyrillic =
    u"[Strings]\r\nReader=\"\u0421\u0447\u0438\u0442\u044b\u0432\u0430\u0442\u0435\u043b\u044c\"\r\n";

TEST(WinsimTextUnicode, FewerThanTwoBytesAreNeverUnicode) {
    const unsigned char bytes[] = {0xFF, 0xFE};
    int result = All_Tests;
    EXPECT_FALSE(IsTextUnicode(bytes, 0, &result));
    EXPECT_EQ(0, result);
    result = All_Tests;
    EXPECT_FALSE(IsTextUnicode(bytes, 1, &result));
    EXPECT_EQ(0, result);
    EXPECT_FALSE(IsTextUnicode(bytes, 1, nullptr));
    EXPECT_TRUE(IsTextUnicode(bytes, 2, nullptr));
}

TEST(WinsimTextUnicode, ReadsOnlyTheGivenSize) {
    // The zero bytes after the two letters would count as null bytes and a NUL unit.
    const unsigned char bytes[] = {'A', 'B', 0, 0};
    int result = All_Tests;
    EXPECT_FALSE(IsTextUnicode(bytes, 2, &result));
    EXPECT_EQ(0, result);
}

TEST(WinsimTextUnicode, Utf16LittleEndianWithMarkIsDecidedByTheMark) {
    Verdict verdict = Judge(Utf16_Le(Wide_Inf, {0xFF, 0xFE}));
    EXPECT_TRUE(verdict.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_SIGNATURE, verdict.result);
    Bytes marked = Utf16_Le(Wide_Inf, {0xFF, 0xFE});
    EXPECT_TRUE(IsTextUnicode(marked.data(), int(marked.size()), nullptr));
}

TEST(WinsimTextUnicode, FourByteMarkIsUnicodeAlthoughNulUnitsFollow) {
    Bytes utf32 = {0xFF, 0xFE, 0, 0, 'A', 0, 0, 0, '\r', 0, 0, 0, '\n', 0, 0, 0};
    EXPECT_TRUE(IsTextUnicode(utf32.data(), int(utf32.size()), nullptr));
    EXPECT_EQ(IS_TEXT_UNICODE_SIGNATURE, Judge(utf32).result);
    // Without the signature test the content speaks: NUL units are illegal.
    Verdict content = Judge(utf32, IS_TEXT_UNICODE_ILLEGAL_CHARS | IS_TEXT_UNICODE_NULL_BYTES);
    EXPECT_FALSE(content.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_ILLEGAL_CHARS | IS_TEXT_UNICODE_NULL_BYTES, content.result);
}

TEST(WinsimTextUnicode, OddLengthOutweighsTheMark) {
    Verdict verdict = Judge({0xFF, 0xFE, 'A'});
    EXPECT_FALSE(verdict.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_SIGNATURE | IS_TEXT_UNICODE_ODD_LENGTH, verdict.result);
}

TEST(WinsimTextUnicode, BigEndianIsNotUnicode) {
    Bytes big_endian = Swap_Pairs(Utf16_Le(Wide_Inf));
    Verdict unmarked = Judge(big_endian);
    EXPECT_FALSE(unmarked.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_REVERSE_ASCII16 | IS_TEXT_UNICODE_REVERSE_STATISTICS |
                  IS_TEXT_UNICODE_REVERSE_CONTROLS | IS_TEXT_UNICODE_NULL_BYTES,
              unmarked.result);
    Bytes marked = Swap_Pairs(Utf16_Le(Wide_Inf, {0xFF, 0xFE}));
    Verdict verdict = Judge(marked);
    EXPECT_FALSE(verdict.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_REVERSE_SIGNATURE, verdict.result);
    EXPECT_FALSE(IsTextUnicode(marked.data(), int(marked.size()), nullptr));
}

TEST(WinsimTextUnicode, Utf16LittleEndianWithoutMarkIsUnicode) {
    Verdict ascii = Judge(Utf16_Le(Wide_Inf));
    EXPECT_TRUE(ascii.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_ASCII16 | IS_TEXT_UNICODE_STATISTICS | IS_TEXT_UNICODE_CONTROLS |
                  IS_TEXT_UNICODE_NULL_BYTES,
              ascii.result);
    Verdict cyrillic = Judge(Utf16_Le(Cyrillic));
    EXPECT_TRUE(cyrillic.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_STATISTICS | IS_TEXT_UNICODE_CONTROLS | IS_TEXT_UNICODE_NULL_BYTES,
              cyrillic.result);
}

TEST(WinsimTextUnicode, AnsiInfWithCrLfOnAnEvenOffsetIsRefused) {
    // The CR LF of the third line starts at offset 44 and packs into one unit, 0A0D.
    Bytes ansi = Ansi("[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=X\r\n");
    ASSERT_EQ('\r', ansi[44]);
    Verdict verdict = Judge(ansi);
    EXPECT_FALSE(verdict.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_ILLEGAL_CHARS, verdict.result);
}

TEST(WinsimTextUnicode, TextModeBufferWithZeroTailStaysAnsi) {
    // What the text-mode read leaves of a short ANSI file with three CR LF: three zero bytes at the end.
    Bytes buffer = Ansi("[Version]\nSignature=\"$WINDOWS NT$\"\nProvider=VESPARIO\n");
    buffer.resize(buffer.size() + 3, 0);
    Verdict verdict = Judge(buffer);
    EXPECT_FALSE(verdict.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_CONTROLS | IS_TEXT_UNICODE_ILLEGAL_CHARS | IS_TEXT_UNICODE_NULL_BYTES,
              verdict.result);
    EXPECT_FALSE(IsTextUnicode(buffer.data(), int(buffer.size()), nullptr));
}

TEST(WinsimTextUnicode, OnlyTheFirst256BytesAreExamined) {
    Bytes text(300, 'a');
    for (size_t i = 1; i < text.size(); i += 2) text[i] = 'b';
    std::fill(text.begin() + 256, text.end(), 0);
    EXPECT_EQ(0, Judge(text).result);
    text[254] = text[255] = 0;
    EXPECT_EQ(IS_TEXT_UNICODE_ILLEGAL_CHARS | IS_TEXT_UNICODE_NULL_BYTES, Judge(text).result);
    // The length is judged on the whole size.
    text.push_back('c');
    EXPECT_EQ(IS_TEXT_UNICODE_ILLEGAL_CHARS | IS_TEXT_UNICODE_ODD_LENGTH | IS_TEXT_UNICODE_NULL_BYTES,
              Judge(text).result);
}

TEST(WinsimTextUnicode, StatisticsCountTheFirstUnitAgainstZero) {
    // Documented cases: "Bush hid the facts" passes the statistics alone, "Bush hid the truth" does not,
    // and so does A LF CR ^Z.
    Verdict facts = Judge(Ansi("Bush hid the facts"));
    EXPECT_TRUE(facts.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_STATISTICS, facts.result);
    Verdict truth = Judge(Ansi("Bush hid the truth"));
    EXPECT_FALSE(truth.unicode);
    EXPECT_EQ(0, truth.result);
    EXPECT_EQ(IS_TEXT_UNICODE_STATISTICS, Judge({0x41, 0x0A, 0x0D, 0x1A}, IS_TEXT_UNICODE_STATISTICS).result);
    Verdict two = Judge(Ansi("AB"));
    EXPECT_FALSE(two.unicode);
    EXPECT_EQ(0, two.result);
}

TEST(WinsimTextUnicode, IllegalUnitsAndControls) {
    const int tests =
        IS_TEXT_UNICODE_ILLEGAL_CHARS | IS_TEXT_UNICODE_CONTROLS | IS_TEXT_UNICODE_REVERSE_CONTROLS;
    EXPECT_EQ(IS_TEXT_UNICODE_ILLEGAL_CHARS, Judge(Utf16_Le(u"A\uFFFF"), tests).result);
    EXPECT_EQ(IS_TEXT_UNICODE_ILLEGAL_CHARS, Judge(Utf16_Le(u"A\uFFFE"), tests).result);
    EXPECT_EQ(0, Judge(Utf16_Le(u"\uFFFEA"), tests).result);  // at the start it is the reversed mark
    EXPECT_EQ(IS_TEXT_UNICODE_CONTROLS, Judge(Utf16_Le(u"A\u3000"), tests).result);
    EXPECT_EQ(IS_TEXT_UNICODE_CONTROLS, Judge(Utf16_Le(u"A\t"), tests).result);
    EXPECT_EQ(IS_TEXT_UNICODE_REVERSE_CONTROLS, Judge(Utf16_Le(u"A\u0900"), tests).result);
    EXPECT_EQ(IS_TEXT_UNICODE_REVERSE_CONTROLS, Judge(Utf16_Le(u"A\u0030"), tests).result);
}

TEST(WinsimTextUnicode, MaskNarrowsTestsAndResult) {
    Bytes odd = Ansi("[Version]\nx");
    Verdict verdict = Judge(odd, IS_TEXT_UNICODE_STATISTICS | IS_TEXT_UNICODE_ODD_LENGTH);
    EXPECT_FALSE(verdict.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_ODD_LENGTH, verdict.result);
    // A mark that was not asked about does not decide: the content tests run.
    Verdict controls = Judge(Utf16_Le(Wide_Inf, {0xFF, 0xFE}), IS_TEXT_UNICODE_CONTROLS);
    EXPECT_TRUE(controls.unicode);
    EXPECT_EQ(IS_TEXT_UNICODE_CONTROLS, controls.result);
    Verdict nothing = Judge(Utf16_Le(Wide_Inf), 0);
    EXPECT_FALSE(nothing.unicode);
    EXPECT_EQ(0, nothing.result);
}

}  // namespace
