// winsim's C runtime calls: text-mode files over drive C:, the secure read, wide formatting.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace {

using winsim::The_Machine;

class WinsimCrtFiles : public ::testing::Test {
protected:
    void SetUp() override {
        The_Machine().Reset();
        The_Machine().Make_Folders(u"C:\\Windows\\TEMP");
    }
    void TearDown() override { The_Machine().Reset(); }

    static std::string Bytes_Of(const char16_t* path) {
        winsim::Fs_Node* node = The_Machine().Find_Path(path);
        if (!node) return "<missing>";
        return std::string(node->data.begin(), node->data.end());
    }
    static winsim::Fs_Node* Put_File(const char16_t* name, const std::string& bytes) {
        winsim::Fs_Node* node = The_Machine().Find_Path(u"C:\\Windows\\TEMP")->Add_Child(name, false);
        node->data.assign(bytes.begin(), bytes.end());
        return node;
    }
};

const char16_t* const Log_Path = u"C:\\Windows\\TEMP\\vpRemovalTool.txt";

TEST_F(WinsimCrtFiles, TextAppendWritesCarriageReturnBeforeEachLineFeed) {
    FILE* file = nullptr;
    ASSERT_EQ(0, _wfopen_s(&file, Log_Path, u"a"));
    const char line[] = "   one\ntwo\r\n";
    EXPECT_EQ(sizeof line - 1, fwrite(line, 1, sizeof line - 1, file));
    EXPECT_EQ(0, fclose(file));
    EXPECT_EQ("   one\r\ntwo\r\r\n", Bytes_Of(Log_Path));

    ASSERT_EQ(0, _wfopen_s(&file, Log_Path, u"a"));
    fseek(file, 0, SEEK_SET);  // appending ignores the position
    fwrite("x\n", 1, 2, file);
    fclose(file);
    EXPECT_EQ("   one\r\ntwo\r\r\nx\r\n", Bytes_Of(Log_Path));
}

TEST_F(WinsimCrtFiles, BinaryWriteKeepsBytesAndWriteModeTruncates) {
    Put_File(u"data.bin", "old contents");
    FILE* file = nullptr;
    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\data.bin", u"wb"));
    fwrite("a\nb", 1, 3, file);
    fclose(file);
    EXPECT_EQ("a\nb", Bytes_Of(u"C:\\Windows\\TEMP\\data.bin"));
}

TEST_F(WinsimCrtFiles, TextReadJoinsCrLfAndStopsAtCtrlZ) {
    const std::string stored("ab\r\ncd\re\r\n\x1A" "after", 16);
    Put_File(u"oem1.inf", stored);
    FILE* file = nullptr;
    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\OEM1.INF", u"r"));
    ASSERT_EQ(0, fseek(file, 0, SEEK_END));
    long size = ftell(file);
    EXPECT_EQ(16, size);  // the stored size, also in text mode
    ASSERT_EQ(0, fseek(file, 0, SEEK_SET));
    std::vector<char> buffer(size + 4, '\0');
    EXPECT_EQ(8u, fread_s(buffer.data(), size, 1, size, file));
    EXPECT_EQ(std::string("ab\ncd\re\n"), std::string(buffer.data()));
    EXPECT_EQ(0, std::memcmp(buffer.data() + 8, std::vector<char>(12, '\0').data(), 12));
    EXPECT_EQ(0u, fread(buffer.data(), 1, 4, file));  // Ctrl-Z stays the end of the file
    fclose(file);

    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\oem1.inf", u"rb"));
    std::vector<char> raw(20, '\0');
    EXPECT_EQ(16u, fread_s(raw.data(), raw.size(), 1, raw.size(), file));
    EXPECT_EQ(stored, std::string(raw.data(), 16));
    fclose(file);
}

TEST_F(WinsimCrtFiles, FilesOpenWithoutSharing) {
    FILE* first = nullptr;
    ASSERT_EQ(0, _wfopen_s(&first, Log_Path, u"a"));
    FILE* second = reinterpret_cast<FILE*>(0x1);
    errno = 0;
    EXPECT_EQ(EACCES, _wfopen_s(&second, u"c:\\windows\\temp\\VPREMOVALTOOL.TXT", u"r"));
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(EACCES, errno);
    EXPECT_FALSE(DeleteFileW(Log_Path));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    fclose(first);
    ASSERT_EQ(0, _wfopen_s(&second, Log_Path, u"r"));
    fclose(second);
}

TEST_F(WinsimCrtFiles, OpenFailuresGiveErrnoValues) {
    Put_File(u"readonly.txt", "x")->attributes |= FILE_ATTRIBUTE_READONLY;
    Put_File(u"held.txt", "x")->held_open = true;
    struct Case {
        const char16_t* path;
        const char16_t* mode;
        errno_t error;
    } cases[] = {
        {u"C:\\Windows\\TEMP\\absent.txt", u"r", ENOENT},
        {u"C:\\Windows\\Missing\\log.txt", u"a", ENOENT},
        {u"C:\\Windows\\TEMP", u"r", EACCES},
        {u"C:\\Windows\\TEMP\\readonly.txt", u"a", EACCES},
        {u"C:\\Windows\\TEMP\\held.txt", u"r", EACCES},
        {u"C:\\Windows\\TEMP\\log.txt", u"x", EINVAL},
        {u"C:\\Windows\\TEMP\\log.txt", u"rbt", EINVAL},
    };
    for (const Case& c : cases) {
        FILE* file = nullptr;
        EXPECT_EQ(c.error, _wfopen_s(&file, c.path, c.mode)) << winsim::To_Utf8(c.path);
        EXPECT_EQ(nullptr, file);
    }
    EXPECT_EQ(nullptr, The_Machine().Find_Path(u"C:\\Windows\\TEMP\\log.txt"));
    FILE* file = nullptr;
    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\readonly.txt", u"r"));  // reading is allowed
    fclose(file);
}

TEST_F(WinsimCrtFiles, InjectedOpenFault) {
    The_Machine().Add_Fault("_wfopen_s", 1, EACCES, u"vpRemovalTool");
    FILE* file = nullptr;
    EXPECT_EQ(EACCES, _wfopen_s(&file, Log_Path, u"a"));
    EXPECT_EQ(nullptr, The_Machine().Find_Path(Log_Path));
    ASSERT_EQ(0, _wfopen_s(&file, Log_Path, u"a"));
    fclose(file);
}

TEST_F(WinsimCrtFiles, SecureReadRefusesToOverrunItsBuffer) {
    Put_File(u"eight.bin", "12345678");
    FILE* file = nullptr;
    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\eight.bin", u"rb"));
    char buffer[4] = {'a', 'b', 'c', 'd'};
    errno = 0;
    EXPECT_EQ(0u, fread_s(buffer, sizeof buffer, 1, 8, file));
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(0, std::memcmp(buffer, "\0\0\0\0", 4));
    fclose(file);

    Put_File(u"four.bin", "1234");
    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\four.bin", u"rb"));
    EXPECT_EQ(4u, fread_s(buffer, sizeof buffer, 1, 8, file));  // the file ends where the buffer does
    EXPECT_EQ(0, std::memcmp(buffer, "1234", 4));
    fclose(file);
}

// Reads of whole elements after a character pushed back, with the end reached in the middle of an
// element, and with a file removed and another created in its folder while the stream is open: the
// position, the end-of-file indicator and the bytes are those of the C library's own reads.
TEST_F(WinsimCrtFiles, SecureReadsKeepPositionsAndTheEndIndicator) {
    Put_File(u"ten.txt", "0123456789");
    Put_File(u"other.txt", "x");
    FILE* file = nullptr;
    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\ten.txt", u"rb"));
    char buffer[12] = {};
    EXPECT_EQ('0', fgetc(file));
    EXPECT_EQ('0', ungetc('0', file));
    EXPECT_EQ(1u, fread_s(buffer, 3, 3, 1, file));  // the pushed-back character first
    EXPECT_EQ(std::string("012"), std::string(buffer, 3));
    EXPECT_EQ(3, ftell(file));
    ASSERT_TRUE(winsim::The_Machine().Find_Path(u"C:\\Windows\\TEMP")->Remove_Child(u"other.txt"));
    Put_File(u"new.txt", "y");
    EXPECT_EQ(2u, fread_s(buffer, sizeof buffer, 3, 3, file));  // "345", "678", and "9" of a third
    EXPECT_EQ(std::string("345678"), std::string(buffer, 6));
    EXPECT_NE(0, feof(file));
    EXPECT_EQ(10, ftell(file));
    EXPECT_EQ(0u, fread_s(buffer, sizeof buffer, 1, 1, file));
    fclose(file);

    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\ten.txt", u"rb"));
    errno = 0;
    EXPECT_EQ(0u, fread_s(buffer, 4, 2, 4, file));  // two fit, four are asked for and the file has more
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(4, ftell(file));
    EXPECT_EQ(3u, fread_s(buffer, 6, 2, 3, file));  // "45", "67", "89": the end, exactly
    EXPECT_EQ(std::string("456789"), std::string(buffer, 6));
    EXPECT_EQ(0, feof(file));
    fclose(file);
    ASSERT_EQ(0, _wfopen_s(&file, u"C:\\Windows\\TEMP\\ten.txt", u"rb"));
    ASSERT_EQ(0, fseek(file, 6, SEEK_SET));
    EXPECT_EQ(2u, fread_s(buffer, 4, 2, 3, file));  // the buffer ends where the file does
    EXPECT_NE(0, feof(file));
    fclose(file);
}

// ---- formatting ----

int Format(WCHAR* buffer, size_t size, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int count = _vsnwprintf_s(buffer, size, _TRUNCATE, format, args);
    va_end(args);
    return count;
}

TEST(WinsimCrtFormat, MicrosoftConversions) {
    WCHAR buffer[260];
    EXPECT_EQ(12, Format(buffer, 260, u"%.2d:%.2d:%.2d:%.3d", 7, 5, 3, 9));
    EXPECT_EQ(std::u16string(u"07:05:03:009"), std::u16string(buffer));
    EXPECT_EQ(14, Format(buffer, 260, u"%d(0x%X)", -1, -1));
    EXPECT_EQ(std::u16string(u"-1(0xFFFFFFFF)"), std::u16string(buffer));
    Format(buffer, 260, u"%d(0x%X)", 5, 5);
    EXPECT_EQ(std::u16string(u"5(0x5)"), std::u16string(buffer));
    Format(buffer, 260, u"%s|%ls|%c|%u|%x|%%|%5d|%-4d|%03d", u"wide", u"text", u'Z', 4294967295u, 255, 42, 7, -5);
    EXPECT_EQ(std::u16string(u"wide|text|Z|4294967295|ff|%|   42|7   |-05"), std::u16string(buffer));
    Format(buffer, 260, u"%hs|%S|%.3s|%s", "narrow", "also", u"abcdef", static_cast<const WCHAR*>(nullptr));
    EXPECT_EQ(std::u16string(u"narrow|also|abc|(null)"), std::u16string(buffer));
    Format(buffer, 260, u"%I64d %llX %.0d|", -5000000000LL, 0x1234567890ULL, 0);
    EXPECT_EQ(std::u16string(u"-5000000000 1234567890 |"), std::u16string(buffer));
}

TEST(WinsimCrtFormat, TruncationAndBadFormats) {
    WCHAR buffer[5];
    EXPECT_EQ(-1, Format(buffer, 5, u"abcdefg"));
    EXPECT_EQ(std::u16string(u"abcd"), std::u16string(buffer));
    EXPECT_EQ(4, Format(buffer, 5, u"%d", 1234));
    EXPECT_EQ(std::u16string(u"1234"), std::u16string(buffer));

    errno = 0;
    EXPECT_EQ(-1, Format(buffer, 5, u"ab%q"));
    EXPECT_EQ(u'\0', buffer[0]);
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, Format(buffer, 5, u"ab%"));
    EXPECT_EQ(u'\0', buffer[0]);
}

int Format_Counted(WCHAR* buffer, size_t size, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf_s(buffer, size, count, format, args);
    va_end(args);
    return result;
}

TEST(WinsimCrtFormat, CountBelowOrAboveTheBuffer) {
    WCHAR buffer[8];
    EXPECT_EQ(-1, Format_Counted(buffer, 8, 3, u"abcdef"));  // cut to the count
    EXPECT_EQ(std::u16string(u"abc"), std::u16string(buffer));
    errno = 0;
    EXPECT_EQ(-1, Format_Counted(buffer, 8, 20, u"abcdefghij"));  // the buffer cannot hold it: refused
    EXPECT_EQ(u'\0', buffer[0]);
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(6, Format_Counted(buffer, 8, 20, u"abcdef"));
}

TEST(WinsimCrtFormat, WprintfAppendsToTheConsole) {
    The_Machine().Reset();
    EXPECT_EQ(34, wprintf(u"Removing precompiled OEM files...\n"));
    EXPECT_EQ(9, wprintf(u"%ls %d\n", u"count", 12));
    EXPECT_EQ(std::u16string(u"Removing precompiled OEM files...\ncount 12\n"), The_Machine().console);
    The_Machine().Add_Fault("wprintf", 1, EIO);
    EXPECT_EQ(-1, wprintf(u"lost\n"));
    EXPECT_EQ(43u, The_Machine().console.size());
    The_Machine().Reset();
}

}  // namespace
