// The OEM .inf scan and the package uninstall stage on the simulated Windows "Inf" folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "driverpkg/OEM_Inf_Scan.h"
#include "driverpkg/OEM_Package_Uninstall.h"
#include "machine/machine.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

std::string Utf16le(const std::u16string& text, bool mark) {
    std::string bytes = mark ? std::string("\xFF\xFE") : std::string();
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

std::string Utf16be(const std::u16string& text) {
    std::string bytes("\xFE\xFF");
    for (char16_t c : text) {
        bytes += static_cast<char>(c >> 8);
        bytes += static_cast<char>(c & 0xFF);
    }
    return bytes;
}

const std::u16string Inf_Body =
    u"\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=SmartCardReader\r\nProvider=%Maker%\r\n"
    u"[Strings]\r\nMaker=\"Corvanta LLP.\"\r\nDisk=\"Reader installation disk\"\r\n";

class Oem_Inf_Scan : public Log_Test {
protected:
    void Inf(const std::u16string& name, const std::string& bytes) { Make_File(u"C:\\Windows\\Inf\\" + name, bytes); }

    Wide_Name_List Scan(bool expected_result = true) {
        Wide_Name_List names;
        Lib_Result result;
        EXPECT_EQ(Find_Precompiled_OEM_Files(names, result), expected_result);
        return names;
    }
};

TEST_F(Oem_Inf_Scan, FolderWithoutCandidatesGivesNothingAndOpensNothing) {
    Inf(u"usbport.inf", "[Version]\r\nProvider=VESPARIO\r\n");
    Inf(u"oem5.pnf", "VESPARIO");
    Inf(u"machine.inf", "usbccid.sys");
    EXPECT_TRUE(Scan().empty());
    EXPECT_EQ(Log_Text(), Lines({"      Searching precompiled OEM files in C:\\Windows\\Inf"}));
}

TEST_F(Oem_Inf_Scan, AnsiPackageNamingTheProductInMixedCaseIsReturnedLowerCased) {
    Inf(u"OEM12.INF", "[Version]\r\nProvider=\"VeSpArIo drivers\"\r\n");
    EXPECT_EQ(Scan(), (Wide_Name_List{u"oem12.inf"}));
    EXPECT_EQ(Log_Text(), Lines({"      Searching precompiled OEM files in C:\\Windows\\Inf",
                                 "      Reading oem file:  C:\\Windows\\Inf\\oem12.inf",
                                 "      ANSI .inf file",
                                 "      Required file:  oem12.inf"}));
}

TEST_F(Oem_Inf_Scan, ReaderDriverInCapitalsAloneIsEnough) {
    Inf(u"oem4.inf", "[Files]\r\nUSBCCID.SYS,,,0x100\r\n");
    Inf(u"oem6.inf", "[Files]\r\nusbprint.sys\r\n");
    EXPECT_EQ(Scan(), (Wide_Name_List{u"oem4.inf"}));
}

TEST_F(Oem_Inf_Scan, NameTestWantsOemAndInfAnywhere) {
    Inf(u"oem7.inf.bak", "VESPARIO");
    Inf(u"oem2.info", "VESPARIO");
    Inf(u"xoem.inf", "nothing");
    EXPECT_EQ(Scan(), (Wide_Name_List{u"oem2.info", u"oem7.inf.bak"}));
}

TEST_F(Oem_Inf_Scan, Utf16PackageIsExaminedFromTheSecondCharacterOn) {
    Inf(u"oem3.inf", Utf16le(u"; VESPARIO reader package" + Inf_Body, true));
    Inf(u"oem8.inf", Utf16le(u"VESPARIO" + Inf_Body, true));
    EXPECT_EQ(Scan(), (Wide_Name_List{u"oem3.inf"}));
    EXPECT_EQ(Log_Text(), Lines({"      Searching precompiled OEM files in C:\\Windows\\Inf",
                                 "      Reading oem file:  C:\\Windows\\Inf\\oem3.inf",
                                 "      UTF-16 encoded .inf file",
                                 "      Required file:  oem3.inf",
                                 "      Reading oem file:  C:\\Windows\\Inf\\oem8.inf",
                                 "      UTF-16 encoded .inf file"}));
}

// Big-endian text is byte-reversed Unicode, which IsTextUnicode does not call Unicode: it is read as
// ANSI text, which ends at its first zero byte, so it never matches either.
TEST_F(Oem_Inf_Scan, UnicodeFormsOtherThanMarkedLittleEndianAreNeverKept) {
    Inf(u"oem20.inf", Utf16le(u"; VESPARIO reader package" + Inf_Body, false));
    Inf(u"oem21.inf", Utf16be(u"; VESPARIO reader package" + Inf_Body));
    Inf(u"oem22.inf", std::string("\xFF\xFE\0\0", 4) + Utf16le(u"; VESPARIO" + Inf_Body, false));
    EXPECT_TRUE(Scan().empty());
    EXPECT_EQ(Log_Text(), Lines({"      Searching precompiled OEM files in C:\\Windows\\Inf",
                                 "      Reading oem file:  C:\\Windows\\Inf\\oem20.inf",
                                 "      Unsupported unicode encoded .inf file",
                                 "      Reading oem file:  C:\\Windows\\Inf\\oem21.inf",
                                 "      ANSI .inf file",
                                 "      Reading oem file:  C:\\Windows\\Inf\\oem22.inf",
                                 "      Unsupported unicode encoded .inf file"}));
}

TEST_F(Oem_Inf_Scan, Utf8IsReadAsAnsiWithOrWithoutItsMark) {
    Inf(u"oem30.inf", "\xEF\xBB\xBF[Version]\r\nProvider=\"Корванта VESPARIO\"\r\n");
    Inf(u"oem31.inf", "[Version]\r\nProvider=\"Корванта vespario\"\r\n");
    EXPECT_EQ(Scan(), (Wide_Name_List{u"oem30.inf", u"oem31.inf"}));
}

TEST_F(Oem_Inf_Scan, EndOfFileByteOrZeroByteBeforeTheMarkerHidesIt) {
    Inf(u"oem40.inf", std::string("[Version]\r\n\x1A Provider=VESPARIO\r\n"));
    Inf(u"oem41.inf", std::string("[Version]\r\n") + '\0' + " Provider=VESPARIO\r\n");
    EXPECT_TRUE(Scan().empty());
}

TEST_F(Oem_Inf_Scan, EmptyFileIsSkippedWithoutAVerdict) {
    Inf(u"oem50.inf", "");
    EXPECT_TRUE(Scan().empty());
    EXPECT_EQ(Log_Text(), Lines({"      Searching precompiled OEM files in C:\\Windows\\Inf",
                                 "      Reading oem file:  C:\\Windows\\Inf\\oem50.inf"}));
}

// The decision alone, as the fuzz target calls it: an empty path never reaches the C runtime (whose
// invalid-parameter handler would end the process).
TEST_F(Oem_Inf_Scan, DecisionForOneFileRefusesAnEmptyPath) {
    Inf(u"oem2.inf", "VESPARIO");
    EXPECT_FALSE(Is_Precompiled_OEM_File(Lib_StringW()));
    EXPECT_TRUE(Is_Precompiled_OEM_File(Lib_StringW(u"C:\\Windows\\Inf\\oem2.inf")));
    EXPECT_EQ(Log_Text(), Lines({"   ANSI .inf file"}));
}

TEST_F(Oem_Inf_Scan, UnlistableFolderFailsWithAnEmptyList) {
    Inf(u"oem2.inf", "VESPARIO");
    The_Machine().Add_Fault("FindFirstFileW", 1, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Scan(false).empty());
    EXPECT_EQ(Log_Text(), Lines({"      Searching precompiled OEM files in C:\\Windows\\Inf"}) +
                              Error_Report("      ", "FindFirstFile", 5));
}

TEST_F(Oem_Inf_Scan, FileWhosePathCannotBeFormedIsSkippedWithItsReport) {
    Inf(u"oem2.inf", "VESPARIO");
    Inf(u"oem3.inf", "VESPARIO");
    The_Machine().Add_Fault("SHGetSpecialFolderPathW", 2, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Scan(), (Wide_Name_List{u"oem3.inf"}));
    EXPECT_EQ(Log_Text(), Lines({"      Searching precompiled OEM files in C:\\Windows\\Inf"}) +
                              Error_Report("   ", "SHGetSpecialFolderPath", 5) +
                              Exit_Line("", "Get_Absolute_File_Path_From_Special_Folder") +
                              Lines({"   Reading oem file:  C:\\Windows\\Inf\\oem3.inf",
                                     "   ANSI .inf file",
                                     "   Required file:  oem3.inf"}));
}

using Oem_Package_Uninstall = Oem_Inf_Scan;

TEST_F(Oem_Package_Uninstall, MatchingPackagesGoWithTheirPnfFilesAndOthersStay) {
    Inf(u"oem2.inf", "[Version]\r\nProvider=VESPARIO\r\n");
    Inf(u"oem2.pnf", "PNF");
    Inf(u"oem4.inf", "USBCCID.SYS");
    Inf(u"oem4.pnf", "PNF");
    Inf(u"oem9.inf", "[Version]\r\nProvider=Other\r\n");
    Inf(u"oem9.pnf", "PNF");
    Remove_Precompiled_OEM_Files();
    EXPECT_FALSE(Path_Exists(u"C:\\Windows\\Inf\\oem2.inf"));
    EXPECT_FALSE(Path_Exists(u"C:\\Windows\\Inf\\oem2.pnf"));
    EXPECT_FALSE(Path_Exists(u"C:\\Windows\\Inf\\oem4.inf"));
    EXPECT_FALSE(Path_Exists(u"C:\\Windows\\Inf\\oem4.pnf"));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\Inf\\oem9.inf"));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\Inf\\oem9.pnf"));
    EXPECT_EQ(The_Machine().console, u"Removing precompiled OEM files...\n");
    EXPECT_EQ(Log_Text(), Lines({"      Removing precompiled OEM files...",
                                 "         Searching precompiled OEM files in C:\\Windows\\Inf",
                                 "         Reading oem file:  C:\\Windows\\Inf\\oem2.inf",
                                 "         ANSI .inf file",
                                 "         Required file:  oem2.inf",
                                 "         Reading oem file:  C:\\Windows\\Inf\\oem4.inf",
                                 "         ANSI .inf file",
                                 "         Required file:  oem4.inf",
                                 "         Reading oem file:  C:\\Windows\\Inf\\oem9.inf",
                                 "         ANSI .inf file",
                                 "      Uninstalling OEM file:  oem2.inf",
                                 "      Uninstalling OEM file:  oem4.inf",
                                 "   Precompiled OEM files removed."}));
}

TEST_F(Oem_Package_Uninstall, PackageThatADeviceUsesIsForcedOut) {
    Inf(u"oem3.inf", "[Version]\r\nProvider=VESPARIO\r\n");
    Inf(u"oem3.pnf", "PNF");
    The_Machine().oem_packages_in_use.push_back(u"oem3.inf");
    Remove_Precompiled_OEM_Files();
    EXPECT_FALSE(Path_Exists(u"C:\\Windows\\Inf\\oem3.inf"));
    EXPECT_FALSE(Path_Exists(u"C:\\Windows\\Inf\\oem3.pnf"));
    EXPECT_NE(std::find(The_Machine().calls.begin(), The_Machine().calls.end(), "SetupUninstallOEMInfW oem3.inf 1"),
              The_Machine().calls.end());
}

TEST_F(Oem_Package_Uninstall, RefusedUninstallIsReportedAndTheNextPackageStillGoes) {
    Inf(u"oem2.inf", "VESPARIO");
    Inf(u"oem4.inf", "VESPARIO");
    The_Machine().Add_Fault("SetupUninstallOEMInfW", 1, ERROR_ACCESS_DENIED);
    Remove_Precompiled_OEM_Files();
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\Inf\\oem2.inf"));
    EXPECT_FALSE(Path_Exists(u"C:\\Windows\\Inf\\oem4.inf"));
    const std::string log = Log_Text();
    const std::string expected = Lines({"      Uninstalling OEM file:  oem2.inf"}) + Error_Report("   ", "SetupUninstallOEMInf", 5) +
                                 Lines({"      Uninstalling OEM file:  oem4.inf", "   Precompiled OEM files removed."});
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(log.substr(log.size() - expected.size()), expected);
}

TEST_F(Oem_Package_Uninstall, NothingFoundSaysSoAndCallsNothing) {
    Inf(u"usbport.inf", "usbccid.sys");
    Remove_Precompiled_OEM_Files();
    EXPECT_EQ(Log_Text(), Lines({"      Removing precompiled OEM files...",
                                 "         Searching precompiled OEM files in C:\\Windows\\Inf",
                                 "   There aren't OEM files for removing."}));
    for (const std::string& call : The_Machine().calls) EXPECT_NE(call.rfind("SetupUninstallOEMInfW", 0), 0u);
}

}  // namespace
