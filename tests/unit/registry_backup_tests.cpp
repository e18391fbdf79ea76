// The backup of the registry changes: the regedit text of a saved tree, value and key security, the
// file created at the first change only, and the first failure reported once with the backup stopping
// there. Its other names and its file's security are shown by the whole runs.
#include <aclapi.h>

#include "primitives/Registry_Backup.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Product = u"SOFTWARE\\Corvanta LLP.\\VESPARIO";
// In the folder the backup makes under the machine's first random name.
const std::u16string Backup_Folder = u"C:\\Windows\\TEMP\\vpRemovalTool-backup-aff44fec9beae13c";
const std::u16string Backup_File = Backup_Folder + u"\\vpRemovalTool-backup.reg";
const std::string Backup_Line =
    "   Registry backup: C:\\Windows\\TEMP\\vpRemovalTool-backup-aff44fec9beae13c\\vpRemovalTool-backup.reg\r\n";

// The file's text (UTF-16LE after its byte-order mark) in UTF-8; "<none>" when there is no file.
std::string Backup_Text(const std::u16string& path = Backup_File) {
    winsim::Fs_Node* file = The_Machine().Find_Path(path);
    if (file == nullptr) return "<none>";
    const std::vector<uint8_t>& data = file->data;
    if (data.empty()) return "";
    if (data.size() < 2 || data[0] != 0xFF || data[1] != 0xFE) return "<no byte-order mark>";
    std::u16string text;
    for (size_t at = 2; at + 1 < data.size(); at += 2) text += char16_t(data[at] | (data[at + 1] << 8));
    return winsim::To_Utf8(text);
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return bytes; }

class Registry_Backup : public Log_Test {};

// Every value type as regedit writes it, names and data with the characters the format escapes, a
// name it cannot carry, a link, a subkey; the 32-bit view under its Wow6432Node path; the user's
// classes reached through HKEY_CLASSES_ROOT; nothing for what is missing.
TEST_F(Registry_Backup, SavesWhatIsAboutToGoAsRegeditWritesIt) {
    winsim::Reg_Key* product = Make_Key(The_Machine().hklm, Product);
    product->Set_Value(u"", REG_SZ, Utf16_Bytes(u"Default"));
    product->Set_Value(u"Quote \"a\" b\\c=d", REG_SZ, Utf16_Bytes(u"x\"y\\z"));
    product->Set_Value(u"Empty", REG_SZ, {});
    product->Set_Value(u"Unterminated", REG_SZ, Bytes({0x41, 0x00}));
    product->Set_Value(u"Multi", REG_MULTI_SZ, Bytes({0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}));
    product->Set_Value(u"Expand", REG_EXPAND_SZ, Utf16_Bytes(u"%A%"));
    product->Set_Value(u"Q", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    product->Set_Value(u"None", REG_NONE, {});
    product->Set_Value(u"Odd", 0x4D2, Bytes({0xAB}));
    product->Set_Value(u"Short", REG_DWORD, Bytes({1, 2, 3}));
    product->Set_Value(u"D", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12}));
    product->Set_Value(u"Line\nBreak", REG_SZ, Utf16_Bytes(u"v"));
    product->Set_Value(u"Long", REG_BINARY, std::vector<uint8_t>(30, 0xAB));
    Make_Key(The_Machine().hklm, Product + u"\\Sub")->Set_Value(u"V", REG_DWORD, Bytes({1, 0, 0, 0}));
    winsim::Reg_Key* link = Make_Key(The_Machine().hklm, Product + u"\\L");
    link->link = true;
    std::vector<uint8_t> target = Utf16_Bytes(u"\\Registry\\Machine\\SOFTWARE\\Target");
    target.resize(target.size() - 2);  // a link's value has no terminating zero
    link->Set_Value(u"SymbolicLinkValue", REG_LINK, target);
    Make_Key(The_Machine().hklm, u"SOFTWARE\\Target\\Kept");
    Make_Key(The_Machine().hklm, u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs")
        ->Set_Value(u"C:\\x.dll", REG_DWORD, Bytes({1, 0, 0, 0}));
    Make_Key(The_Machine().hkcu, u"Software\\Classes\\CLSID\\{X}")->Set_Value(u"", REG_SZ, Utf16_Bytes(u"user's"));

    // Nothing to save yet: no file.
    Backup_Key_Tree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing");
    Backup_Value(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvanta LLP.\\VESPARIO", u"Missing", 0);
    EXPECT_EQ(Backup_Text(), "<none>");

    Backup_Key_Tree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvanta LLP.\\VESPARIO");
    Backup_Value(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", u"C:\\x.dll",
                 KEY_WOW64_32KEY);
    Backup_Key_Tree(HKEY_CLASSES_ROOT, u"CLSID\\{X}");
    const std::string long_line = "\"Long\"=hex:" + [] {
        std::string bytes;
        for (int at = 0; at < 22; ++at) bytes += "ab,";
        return bytes + "\\\r\n  ab,ab,ab,ab,ab,ab,ab,ab";
    }();
    EXPECT_EQ(Backup_Text(),
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.\\VESPARIO]\r\n"
              "@=\"Default\"\r\n"
              "\"Quote \\\"a\\\" b\\\\c=d\"=\"x\\\"y\\\\z\"\r\n"
              "\"Empty\"=hex(1):\r\n"
              "\"Unterminated\"=hex(1):41,00\r\n"
              "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
              "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
              "\"Q\"=hex(b):01,02,03,04,05,06,07,08\r\n"
              "\"None\"=hex(0):\r\n"
              "\"Odd\"=hex(4d2):ab\r\n"
              "\"Short\"=hex(4):01,02,03\r\n"
              "\"D\"=dword:12345678\r\n"
              "; Not restorable by reg import (a line break or zero in its name): value name (UTF-16LE) "
              "hex:4c,00,69,00,6e,00,65,00,0a,00,42,00,72,00,65,00,61,00,6b,00 type 1 data hex:76,00,00,00\r\n" +
                  long_line +
                  "\r\n"
                  "\r\n; Not restorable by reg import (a registry symbolic link): "
                  "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.\\VESPARIO\\L\r\n"
                  "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.\\VESPARIO\\Sub]\r\n"
                  "\"V\"=dword:00000001\r\n"
                  "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs]\r\n"
                  "\"C:\\\\x.dll\"=dword:00000001\r\n"
                  "\r\n[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{X}]\r\n"
                  "@=\"user's\"\r\n");
    // Saving changes nothing; the log and the console name the backup once, when it is made.
    EXPECT_NE(Find_Key(The_Machine().hklm, u"SOFTWARE\\Target\\Kept"), nullptr);
    EXPECT_EQ(Whole_Log_Text(), Backup_Line);
    EXPECT_EQ(winsim::To_Utf8(The_Machine().console), Backup_Line.substr(3, Backup_Line.size() - 5) + "\n");
}

// A key's owner and own entries before its first change, with the command that restores them; a
// second change of the same key (its other view, which Windows shares) adds nothing.
TEST_F(Registry_Backup, SavesAKeysSecurityOnceBeforeItsFirstChange) {
    const std::u16string readers = u"SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers";
    Make_Key(The_Machine().hklm, readers)->security = std::make_shared<winsim::Key_Security>();
    std::string why;
    ASSERT_TRUE(winsim::Parse_Key_Sddl("O:SYD:P(A;CI;KA;;;SY)(A;CI;KR;;;BU)",
                                       *Find_Key(The_Machine().hklm, readers)->security, why))
        << why;
    Backup_Key_Security(u"MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers", SE_REGISTRY_KEY);
    Backup_Key_Security(u"MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers", SE_REGISTRY_WOW64_32KEY);
    Backup_Key_Security(u"MACHINE\\SOFTWARE\\Missing", SE_REGISTRY_KEY);
    const std::string path = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers";
    const std::string sddl = "O:S-1-5-18D:P(A;CI;0xf003f;;;S-1-5-18)(A;CI;0x20019;;;S-1-5-32-545)";
    EXPECT_EQ(Backup_Text(), "Windows Registry Editor Version 5.00\r\n"
                             "\r\n; Security of [" + path + "] before the run changed it (owner and access list, SDDL):\r\n"
                             ";   " + sddl + "\r\n"
                             "; To restore it, in an elevated PowerShell:\r\n"
                             ";   $acl = Get-Acl -LiteralPath 'Registry::" + path + "'; "
                             "$acl.SetSecurityDescriptorSddlForm('" + sddl + "'); "
                             "Set-Acl -LiteralPath 'Registry::" + path + "' -AclObject $acl\r\n");
}

// The first failure is reported once and the log says where the backup stops; nothing later is
// saved, whatever the call that failed.
TEST_F(Registry_Backup, TheFirstFailureStopsTheBackup) {
    struct Case {
        const char* api;
        const char* report;
        std::string file;  // the backup's text afterwards
    };
    const std::string header = "Windows Registry Editor Version 5.00\r\n";
    const std::string first = "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.\\VESPARIO]\r\n\"D\"=dword:00000001\r\n";
    const Case cases[] = {
        {"RegOpenKeyExW", "RegOpenKeyEx", "<none>"},
        {"NtQueryKey", "NtQueryKey", "<none>"},
        {"RegQueryInfoKeyW", "RegQueryInfoKey", "<none>"},
        {"RegEnumValueW", "RegEnumValue", "<none>"},
        {"RtlGenRandom", "RtlGenRandom", "<none>"},
        {"CreateDirectoryW", "CreateDirectory", "<none>"},
        {"CreateFileW", "CreateFile", "<none>"},
        {"GetFileInformationByHandle", "GetFileInformationByHandle", "<none>"},
        {"SetSecurityInfo", "SetSecurityInfo", "<none>"},
        {"GetSecurityInfo", "GetSecurityInfo", ""},
        {"WriteFile", "WriteFile", ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.api);
        SetUp();
        Make_Key(The_Machine().hklm, Product)->Set_Value(u"D", REG_DWORD, Bytes({1, 0, 0, 0}));
        // Every try of a name fails alike: the creation gives up at once on a failure a name does not cause.
        The_Machine().Add_Fault(row.api, 1, std::string(row.api) == "NtQueryKey" ? 0xC0000022u
                                            : std::string(row.api) == "CreateFileW" ? ERROR_PATH_NOT_FOUND
                                                                                    : ERROR_ACCESS_DENIED,
                                std::string(row.api) == "CreateFileW" || std::string(row.api) == "WriteFile" ||
                                        std::string(row.api) == "CreateDirectoryW"
                                    ? u"backup" : u"");
        Backup_Key_Tree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvanta LLP.\\VESPARIO");
        Backup_Key_Tree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvanta LLP.\\VESPARIO");
        long error = std::string(row.api) == "CreateFileW" ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
        bool file_made = row.file.empty();
        // Named once the file is ready to be written.
        bool named = std::string(row.api) == "WriteFile";
        EXPECT_EQ(Whole_Log_Text(), (named ? Backup_Line : "") + Error_Report("", row.report, error) +
                                  Lines({std::string("   The registry backup stops here; the changes that follow are not in it:  ") +
                                         (file_made ? winsim::To_Utf8(Backup_File) : "(no backup file)")}));
        // A folder the backup made stays, protected, whatever failed after it.
        winsim::Fs_Node* folder = The_Machine().Find_Path(Backup_Folder);
        bool folder_made = row.file != "<none>" || std::string(row.api) == "GetFileInformationByHandle" ||
                           std::string(row.api) == "SetSecurityInfo" || std::string(row.api) == "CreateFileW";
        EXPECT_EQ(folder != nullptr, folder_made);
        EXPECT_EQ(Backup_Text(), file_made ? "" : "<none>");
    }
}

}  // namespace
