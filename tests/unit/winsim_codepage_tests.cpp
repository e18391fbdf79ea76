// The simulated text conversions: code pages 1252 and 1251, UTF-8, and Windows' buffer rules.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "machine/machine.h"

namespace {

class Winsim_Codepage : public ::testing::Test {
protected:
    void SetUp() override {
        winsim::The_Machine().Reset();
        SetLastError(0);
    }
};

std::u16string To_Wide(UINT code_page, const std::string& bytes, DWORD flags = 0) {
    int needed = MultiByteToWideChar(code_page, flags, bytes.data(), int(bytes.size()), nullptr, 0);
    if (needed <= 0) return u"<failed>";
    std::u16string out(size_t(needed), u'\0');
    int written = MultiByteToWideChar(code_page, flags, bytes.data(), int(bytes.size()), &out[0], needed);
    return written == needed ? out : u"<short>";
}

std::string To_Bytes(UINT code_page, const std::u16string& text, BOOL* used_default = nullptr,
                     const char* default_char = nullptr, DWORD flags = 0) {
    int needed = WideCharToMultiByte(code_page, flags, text.data(), int(text.size()), nullptr, 0, default_char,
                                     used_default);
    if (needed <= 0) return "<failed>";
    std::string out(size_t(needed), '\0');
    int written = WideCharToMultiByte(code_page, flags, text.data(), int(text.size()), &out[0], needed,
                                      default_char, used_default);
    return written == needed ? out : "<short>";
}

TEST_F(Winsim_Codepage, Code_Page_1252_High_Bytes) {
    EXPECT_EQ(To_Wide(1252, "\x80\x8A\x9F\xA0\xE9\xFF"), u"\x20AC\x0160\x0178\x00A0\x00E9\x00FF");
    // Bytes the code page leaves undefined become the control characters of the same value.
    EXPECT_EQ(To_Wide(1252, "\x81\x8D\x8F\x90\x9D"), u"\x0081\x008D\x008F\x0090\x009D");
    EXPECT_EQ(To_Bytes(1252, u"\x0081\x009D\x2122\x0152"), "\x81\x9D\x99\x8C");
}

TEST_F(Winsim_Codepage, Code_Page_1251_Round_Trip) {
    const std::string bytes = "\xC0\xFF\xA8\xB8\x80\x88\xB9\x98\xA5\xB4";
    const std::u16string text = u"\x0410\x044F\x0401\x0451\x0402\x20AC\x2116\x0098\x0490\x0491";
    EXPECT_EQ(To_Wide(1251, bytes), text);
    BOOL used_default = TRUE;
    EXPECT_EQ(To_Bytes(1251, text, &used_default), bytes);
    EXPECT_FALSE(used_default);
}

TEST_F(Winsim_Codepage, Unmappable_Characters_Become_The_Default_Character) {
    BOOL used_default = FALSE;
    EXPECT_EQ(To_Bytes(1252, u"a\x4E2D" u"b", &used_default), "a?b");
    EXPECT_TRUE(used_default);
    EXPECT_EQ(To_Bytes(1252, u"\x041F\x0440", &used_default), "??");
    EXPECT_TRUE(used_default);
    EXPECT_EQ(To_Bytes(1251, u"\x00E9", &used_default), "?");
    EXPECT_TRUE(used_default);
    EXPECT_EQ(To_Bytes(1252, u"x\x4E2D", &used_default, "#"), "x#");
    EXPECT_TRUE(used_default);
}

TEST_F(Winsim_Codepage, Ansi_Code_Page_Follows_The_Machine) {
    EXPECT_EQ(To_Wide(CP_ACP, "\xC0"), u"\x00C0");
    winsim::The_Machine().code_page = 1251;
    EXPECT_EQ(To_Wide(CP_ACP, "\xC0"), u"\x0410");
    EXPECT_EQ(To_Bytes(CP_ACP, u"\x0416"), "\xC6");
}

TEST_F(Winsim_Codepage, Terminated_Input_Converts_And_Counts_The_Zero) {
    WCHAR wide[8];
    for (WCHAR& unit : wide) unit = u'#';
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, wide, 8), 4);
    EXPECT_EQ(std::u16string(wide, 5), std::u16string(u"abc\0#", 5));
    for (WCHAR& unit : wide) unit = u'#';
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", 3, wide, 8), 3);
    EXPECT_EQ(wide[3], u'#');
    char bytes[8];
    for (char& byte : bytes) byte = '#';
    EXPECT_EQ(WideCharToMultiByte(1252, 0, u"xy", -1, nullptr, 0, nullptr, nullptr), 3);
    EXPECT_EQ(WideCharToMultiByte(1252, 0, u"xy", -1, bytes, 8, nullptr, nullptr), 3);
    EXPECT_EQ(std::string(bytes, 4), std::string("xy\0#", 4));
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "", -1, wide, 8), 1);
    EXPECT_EQ(wide[0], 0);
}

TEST_F(Winsim_Codepage, Too_Small_Buffer_Fails_With_122) {
    WCHAR wide[3];
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    char bytes[2];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\x20AC", 1, bytes, 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(Winsim_Codepage, Invalid_Parameters_Fail_With_87) {
    WCHAR wide[4];
    char bytes[4];
    auto expect_87 = [](int result) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        SetLastError(0);
    };
    expect_87(MultiByteToWideChar(1252, 0, nullptr, -1, wide, 4));
    expect_87(MultiByteToWideChar(1252, 0, "a", 0, wide, 4));
    expect_87(MultiByteToWideChar(1252, 0, "a", -2, wide, 4));
    expect_87(MultiByteToWideChar(1252, 0, "a", 1, nullptr, 4));
    expect_87(MultiByteToWideChar(1252, 0, "a", 1, wide, -1));
    expect_87(MultiByteToWideChar(437, 0, "a", 1, wide, 4));
    expect_87(WideCharToMultiByte(1252, 0, nullptr, -1, bytes, 4, nullptr, nullptr));
    expect_87(WideCharToMultiByte(1252, 0, u"a", 0, bytes, 4, nullptr, nullptr));
    expect_87(WideCharToMultiByte(1252, 0, u"a", 1, nullptr, 4, nullptr, nullptr));
    expect_87(WideCharToMultiByte(866, 0, u"a", 1, bytes, 4, nullptr, nullptr));
    BOOL used_default = FALSE;
    expect_87(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, bytes, 4, nullptr, &used_default));
    expect_87(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, bytes, 4, "?", nullptr));
}

TEST_F(Winsim_Codepage, Invalid_Flags_Fail_With_1004) {
    WCHAR wide[4];
    char bytes[4];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(MultiByteToWideChar(1252, MB_PRECOMPOSED, "a", 1, wide, 4), 1);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", 1, bytes, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, u"a", 1, bytes, 4, nullptr, nullptr), 1);
}

TEST_F(Winsim_Codepage, Utf8_Both_Ways) {
    const std::string bytes = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::u16string text = u"a\x00E9\x20AC\xD83D\xDE00";
    EXPECT_EQ(To_Wide(CP_UTF8, bytes), text);
    EXPECT_EQ(To_Bytes(CP_UTF8, text), bytes);
}

TEST_F(Winsim_Codepage, Utf8_Malformed_Input) {
    EXPECT_EQ(To_Wide(CP_UTF8, "a\xFF" "b"), u"a\xFFFD" u"b");
    EXPECT_EQ(To_Wide(CP_UTF8, "\xC0\xAF"), u"\xFFFD\xFFFD");  // overlong form of '/'
    WCHAR wide[4];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(To_Bytes(CP_UTF8, u"\xD800x"), "\xEF\xBF\xBDx");
    char bytes[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"\xDC00", 1, bytes, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

}  // namespace
