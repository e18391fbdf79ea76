// The file-system primitives on the simulated drive C:: results, log lines, the restart list and the
// files afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "primitives/File_Primitives.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

using File_Primitives = Log_Test;

TEST_F(File_Primitives, ReadOnlyFileLosesOnlyThatBitAndGoesWithoutAPause) {
    Make_File(u"C:\\Windows\\system32\\vpAPI.dll", "MZ",
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    The_Machine().Add_Fault("SetFileAttributesW", 99, 0);  // counts the calls without failing any
    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Delete_File(TEXT("C:\\Windows\\system32\\vpAPI.dll"), reboot, result));
    EXPECT_FALSE(Path_Exists(u"C:\\Windows\\system32\\vpAPI.dll"));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(The_Machine().clock_ms, 0u);
    EXPECT_EQ(The_Machine().faults[0].seen, 1u);
    EXPECT_EQ(Log_Text(), Lines({"   vpRemovalTool.exe!Check_Read_Only_File_Attributes",
                                 "   vpRemovalTool.exe!Check_Read_Only_File_Attributes exits",
                                 "   vpRemovalTool.exe!Remove_Read_Only_File_Attributes",
                                 "   vpRemovalTool.exe!Remove_Read_Only_File_Attributes exits"}));
}

TEST_F(File_Primitives, ClearingTheReadOnlyBitKeepsTheOtherBits) {
    Make_File(u"C:\\Windows\\system32\\vpAPI.dll", "MZ", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    The_Machine().Add_Fault("DeleteFileW", 2, ERROR_SHARING_VIOLATION, {}, true);  // the retries meet a sharer
    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Delete_File(TEXT("C:\\Windows\\system32\\vpAPI.dll"), reboot, result));
    winsim::Fs_Node* file = The_Machine().Find_Path(u"C:\\Windows\\system32\\vpAPI.dll");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
}

TEST_F(File_Primitives, FileInUseIsScheduledAtOnceAndRaisesTheFlag) {
    Make_File(u"C:\\Windows\\system32\\vpCSP.dll")->held_open = true;
    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Delete_File(TEXT("C:\\Windows\\system32\\vpCSP.dll"), reboot, result));
    EXPECT_TRUE(reboot);
    EXPECT_EQ(The_Machine().clock_ms, 0u);
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{u"C:\\Windows\\system32\\vpCSP.dll"}));
    EXPECT_EQ(Log_Text(), Lines({"         Deleted: C:\\Windows\\system32\\vpCSP.dll"}));
    EXPECT_EQ(result.Get_Code(), 0);
}

TEST_F(File_Primitives, FileThatStaysDeniedIsTriedElevenTimesOverEighteenSeconds) {
    Make_File(u"C:\\Windows\\system32\\vpLib.dll");
    The_Machine().Add_Fault("DeleteFileW", 1, ERROR_ACCESS_DENIED, u"vpLib.dll", true);
    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Delete_File(TEXT("C:\\Windows\\system32\\vpLib.dll"), reboot, result));
    EXPECT_EQ(The_Machine().faults[0].seen, 11u);
    EXPECT_EQ(The_Machine().clock_ms, 18000u);
    EXPECT_TRUE(reboot);
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{u"C:\\Windows\\system32\\vpLib.dll"}));
}

// A run waits a minute in all for refused deletions: three files take their 18 seconds each, the
// fourth the last 6 (the minute is then logged once), and each file after it is tried once more
// without a pause; every one of them is still scheduled for the restart.
TEST_F(File_Primitives, TheRunWaitsAMinuteInAllForRefusedDeletions) {
    const std::vector<std::u16string> names = {u"vpA.dll", u"vpB.dll", u"vpC.dll", u"vpD.dll", u"vpE.dll", u"vpF.dll"};
    std::vector<std::u16string> paths;
    for (const std::u16string& name : names) {
        paths.push_back(u"C:\\Windows\\system32\\" + name);
        Make_File(paths.back());
        The_Machine().Add_Fault("DeleteFileW", 1, ERROR_ACCESS_DENIED, name, true);
    }
    for (const std::u16string& path : paths) {
        bool reboot = false;
        Lib_Result result;
        EXPECT_TRUE(Changes().SC_Delete_File(reinterpret_cast<const WCHAR*>(path.c_str()), reboot, result));
        EXPECT_TRUE(reboot);
    }
    std::vector<unsigned> tries;
    for (const auto& fault : The_Machine().faults) tries.push_back(unsigned(fault.seen));
    EXPECT_EQ(tries, (std::vector<unsigned>{11, 11, 11, 5, 2, 2}));
    EXPECT_EQ(The_Machine().clock_ms, 60000u);
    EXPECT_EQ(Pending_Deletes(), paths);
    const std::string line =
        "   The run has waited 60 seconds in all for refused deletions: each further file is tried once more, "
        "without waiting.\r\n";
    const std::string log = Log_Text();
    ASSERT_NE(log.find(line), std::string::npos);
    EXPECT_EQ(log.find(line), log.rfind(line));
    // Logged while the fourth file waits, before its restart deletion.
    EXPECT_LT(log.find(line), log.find("Deleted: C:\\Windows\\system32\\vpD.dll"));
    EXPECT_GT(log.find(line), log.find("Deleted: C:\\Windows\\system32\\vpC.dll"));
}

TEST_F(File_Primitives, MissingFileIsAQuietFalse) {
    bool reboot = false;
    Lib_Result result;
    EXPECT_FALSE(Changes().SC_Delete_File(TEXT("C:\\Windows\\system32\\vpErr.dll"), reboot, result));
    EXPECT_FALSE(Changes().SC_Delete_File(TEXT("C:\\Windows\\nowhere\\vpErr.dll"), reboot, result));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(Log_Text(), "");
    EXPECT_EQ(result.Get_Code(), 0);
    EXPECT_TRUE(Pending_Deletes().empty());
}

TEST_F(File_Primitives, OtherDeletionErrorAfterTheRetriesIsReported) {
    Make_File(u"C:\\Windows\\system32\\vpLib.dll");
    The_Machine().Add_Fault("DeleteFileW", 1, ERROR_ACCESS_DENIED);
    The_Machine().Add_Fault("DeleteFileW", 2, ERROR_PATH_NOT_FOUND, {}, true);
    bool reboot = false;
    Lib_Result result;
    EXPECT_FALSE(Changes().SC_Delete_File(TEXT("C:\\Windows\\system32\\vpLib.dll"), reboot, result));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(result.Get_Code(), 3);
    EXPECT_EQ(Log_Text(), Lines({"   vpRemovalTool.exe!Check_Read_Only_File_Attributes",
                                 "   vpRemovalTool.exe!Check_Read_Only_File_Attributes exits"}) +
                              Error_Report("   ", "DeleteFile", 3));
}

TEST_F(File_Primitives, UnreadableAttributesEndTheDeletionWithTwoReports) {
    Make_File(u"C:\\Windows\\system32\\vpLib.dll");
    The_Machine().Add_Fault("DeleteFileW", 1, ERROR_ACCESS_DENIED);
    The_Machine().Add_Fault("GetFileAttributesW", 1, ERROR_ACCESS_DENIED);
    bool reboot = false;
    Lib_Result result;
    EXPECT_FALSE(Changes().SC_Delete_File(TEXT("C:\\Windows\\system32\\vpLib.dll"), reboot, result));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\vpLib.dll"));
    EXPECT_EQ(Log_Text(), Lines({"   vpRemovalTool.exe!Check_Read_Only_File_Attributes"}) +
                              Error_Report("      ", "GetFileAttributes", 5) +
                              Error_Report("      ", "SC_Get_File_Attributes", 5) +
                              Lines({"   vpRemovalTool.exe!Check_Read_Only_File_Attributes exits"}));
    EXPECT_EQ(result.Get_Code(), 5);
}

TEST_F(File_Primitives, MissingFoldersListAsEmptyAndRemoveAsDone) {
    Wide_Name_List names;
    Lib_Result result;
    bool empty = false, reboot = false;
    EXPECT_TRUE(SC_Find_Files(TEXT("C:\\ProgramData\\Corvanta LLP"), names, result));
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(SC_Is_Directory_Empty(TEXT("C:\\ProgramData\\Corvanta LLP"), empty, result));
    EXPECT_TRUE(empty);
    EXPECT_TRUE(Changes().SC_Remove_Directory(TEXT("C:\\ProgramData\\Corvanta LLP"), true, reboot, result));
    EXPECT_EQ(Log_Text(), "");
}

TEST_F(File_Primitives, ListingLeavesOutTheDotEntriesAndKeepsNamesOnFailure) {
    The_Machine().Make_Folders(u"C:\\Cache\\Empty");
    Make_File(u"C:\\Cache\\Full\\b.txt");
    Make_File(u"C:\\Cache\\Full\\a.txt");
    Make_File(u"C:\\Cache\\Full\\c.txt");
    Wide_Name_List names;
    Lib_Result result;
    bool empty = false;
    EXPECT_TRUE(SC_Is_Directory_Empty(TEXT("C:\\Cache\\Empty"), empty, result));
    EXPECT_TRUE(empty);
    EXPECT_TRUE(SC_Find_Files(TEXT("C:\\Cache\\Full"), names, result));
    EXPECT_EQ(names, (Wide_Name_List{u"a.txt", u"b.txt", u"c.txt"}));

    names.clear();
    The_Machine().Add_Fault("FindNextFileW", 4, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SC_Find_Files(TEXT("C:\\Cache\\Full"), names, result));
    EXPECT_EQ(names, (Wide_Name_List{u"a.txt", u"b.txt"}));
    EXPECT_EQ(result.Get_Code(), 5);
    EXPECT_EQ(Log_Text(), Error_Report("   ", "FindNextFile", 5));
}

TEST_F(File_Primitives, TreeGoesEntryByEntryWithTheOuterFolderLast) {
    Make_File(u"C:\\Windows\\system32\\Corvanta LLP\\a.dat");
    Make_File(u"C:\\Windows\\system32\\Corvanta LLP\\Sub\\x.dat");
    Make_File(u"C:\\Windows\\system32\\Corvanta LLP\\Sub\\y.dat");
    Make_File(u"C:\\Windows\\system32\\Corvanta LLP\\z.dat");
    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Remove_Directory(TEXT("C:\\Windows\\system32\\Corvanta LLP."), false, reboot, result));
    EXPECT_FALSE(Path_Exists(u"C:\\Windows\\system32\\Corvanta LLP"));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32"));
    EXPECT_EQ(Log_Text(), Lines({"   Removed:  C:\\Windows\\system32\\Corvanta LLP.\\a.dat",
                                 "   Removed:  C:\\Windows\\system32\\Corvanta LLP.\\Sub\\x.dat",
                                 "   Removed:  C:\\Windows\\system32\\Corvanta LLP.\\Sub\\y.dat",
                                 "   Removed:  C:\\Windows\\system32\\Corvanta LLP.\\Sub",
                                 "   Removed:  C:\\Windows\\system32\\Corvanta LLP.\\z.dat",
                                 "   Removed:  C:\\Windows\\system32\\Corvanta LLP."}));
}

TEST_F(File_Primitives, FolderInUseIsScheduledWhenDeferredWithoutRaisingTheFlag) {
    Make_File(u"C:\\ProgramData\\Corvanta LLP\\cache.bin");
    The_Machine().Find_Path(u"C:\\ProgramData\\Corvanta LLP")->held_open = true;
    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Remove_Directory(TEXT("C:\\ProgramData\\Corvanta LLP"), true, reboot, result));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{u"C:\\ProgramData\\Corvanta LLP"}));
    EXPECT_EQ(Log_Text(), Lines({"   Removed:  C:\\ProgramData\\Corvanta LLP\\cache.bin",
                                 "      Deleted: C:\\ProgramData\\Corvanta LLP",
                                 "   Removed:  C:\\ProgramData\\Corvanta LLP"}));

    Lib_Result second;
    EXPECT_FALSE(Changes().SC_Remove_Directory(TEXT("C:\\ProgramData\\Corvanta LLP"), false, reboot, second));
    EXPECT_EQ(second.Get_Code(), 0);
}

TEST_F(File_Primitives, FileInUseInsideASubFolderDropsTheSubFoldersFlag) {
    Make_File(u"C:\\Windows\\system32\\Corvanta LLP\\Sub\\busy.dll")->held_open = true;
    bool reboot = false;
    Lib_Result result;
    EXPECT_FALSE(Changes().SC_Remove_Directory(TEXT("C:\\Windows\\system32\\Corvanta LLP"), false, reboot, result));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(Pending_Deletes(),
              (std::vector<std::u16string>{u"C:\\Windows\\system32\\Corvanta LLP\\Sub\\busy.dll"}));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\Corvanta LLP\\Sub"));

    Reset_Indentation();
    bool direct_reboot = false;
    Make_File(u"C:\\Windows\\system32\\Other\\busy.dll")->held_open = true;
    EXPECT_FALSE(Changes().SC_Remove_Directory(TEXT("C:\\Windows\\system32\\Other"), false, direct_reboot, result));
    EXPECT_TRUE(direct_reboot);
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\Other"));
}

TEST_F(File_Primitives, JunctionInsideARemovedFolderGoesAsALinkAndItsTargetStays) {
    Make_File(u"C:\\Windows\\system32\\kernel32.dll", "MZ system");
    Make_File(u"C:\\Windows\\system32\\drivers\\etc\\hosts", "127.0.0.1");
    Make_File(u"C:\\ProgramData\\Package Cache\\{A}\\vpDrivers.msi");
    Make_Junction(u"C:\\ProgramData\\Package Cache\\{A}\\link", u"C:\\Windows\\system32");
    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Remove_Directory(TEXT("C:\\ProgramData\\Package Cache\\{A}"), true, reboot, result));
    EXPECT_FALSE(Path_Exists(u"C:\\ProgramData\\Package Cache\\{A}"));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\kernel32.dll"));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\drivers\\etc\\hosts"));
    EXPECT_EQ(Log_Text(), Lines({"   Removed:  C:\\ProgramData\\Package Cache\\{A}\\link",
                                 "   Removed:  C:\\ProgramData\\Package Cache\\{A}\\vpDrivers.msi",
                                 "   Removed:  C:\\ProgramData\\Package Cache\\{A}"}));

    // A link that cannot be removed fails the tree, which stays.
    Clear_Log();
    Make_Junction(u"C:\\ProgramData\\Package Cache\\{B}\\link", u"C:\\Windows\\system32");
    winsim::The_Machine().Add_Fault("RemoveDirectoryW", 1, ERROR_ACCESS_DENIED, u"link", false);
    EXPECT_FALSE(Changes().SC_Remove_Directory(TEXT("C:\\ProgramData\\Package Cache\\{B}"), true, reboot, result));
    EXPECT_TRUE(Path_Exists(u"C:\\ProgramData\\Package Cache\\{B}\\link"));
    EXPECT_EQ(Log_Text(), Error_Report("", "RemoveDirectory", ERROR_ACCESS_DENIED) +
                              Lines({"   Removed failed!!!!:  C:\\ProgramData\\Package Cache\\{B}\\link"}));
}

TEST_F(File_Primitives, FolderThatIsItselfAJunctionIsLeftAlone) {
    Make_File(u"C:\\Windows\\system32\\kernel32.dll", "MZ system");
    Make_Junction(u"C:\\ProgramData\\Corvanta LLP", u"C:\\Windows\\system32");
    bool reboot = false;
    Lib_Result result;
    EXPECT_FALSE(Changes().SC_Remove_Directory(TEXT("C:\\ProgramData\\Corvanta LLP"), true, reboot, result));
    EXPECT_TRUE(Path_Exists(u"C:\\ProgramData\\Corvanta LLP"));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\kernel32.dll"));
    EXPECT_EQ(Log_Text(), Lines({"   Left alone (C:\\ProgramData\\Corvanta LLP is a junction or symbolic link): "
                                 "C:\\ProgramData\\Corvanta LLP"}));
}

TEST_F(File_Primitives, FileSymbolicLinkGoesThroughTheOrdinaryFileDeletion) {
    Make_File(u"C:\\Windows\\system32\\kernel32.dll", "MZ system");
    Make_File(u"C:\\ProgramData\\Corvanta LLP\\a.dat");
    winsim::Fs_Node* link = Make_File(u"C:\\ProgramData\\Corvanta LLP\\busy.lnk", "",
                                      FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE);
    link->Link_To(u"C:\\Windows\\system32\\kernel32.dll");
    link->held_open = true;
    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Remove_Directory(TEXT("C:\\ProgramData\\Corvanta LLP"), true, reboot, result));
    EXPECT_TRUE(reboot);  // the link in use waits for the restart like any file in use
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{u"C:\\ProgramData\\Corvanta LLP\\busy.lnk",
                                                              u"C:\\ProgramData\\Corvanta LLP"}));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\kernel32.dll"));
    EXPECT_EQ(Log_Text(), Lines({"   Removed:  C:\\ProgramData\\Corvanta LLP\\a.dat",
                                 "         Deleted: C:\\ProgramData\\Corvanta LLP\\busy.lnk",
                                 "   Removed:  C:\\ProgramData\\Corvanta LLP\\busy.lnk",
                                 "      Deleted: C:\\ProgramData\\Corvanta LLP",
                                 "   Removed:  C:\\ProgramData\\Corvanta LLP"}));
}

TEST_F(File_Primitives, JunctionInUseIsHandledAsAFolderInUse) {
    Make_File(u"C:\\Windows\\system32\\kernel32.dll", "MZ system");
    Make_File(u"C:\\ProgramData\\Corvanta LLP\\a.dat");
    Make_Junction(u"C:\\ProgramData\\Corvanta LLP\\link", u"C:\\Windows\\system32")->held_open = true;
    bool reboot = false;
    Lib_Result kept;
    EXPECT_FALSE(Changes().SC_Remove_Directory(TEXT("C:\\ProgramData\\Corvanta LLP\\link"), false, reboot, kept));
    EXPECT_EQ(kept.Get_Code(), 0);  // a link as the top is left alone, without a report
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Remove_Directory(TEXT("C:\\ProgramData\\Corvanta LLP"), true, reboot, result));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{u"C:\\ProgramData\\Corvanta LLP\\link",
                                                              u"C:\\ProgramData\\Corvanta LLP"}));
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\kernel32.dll"));
    // The link that waits is locked down itself, so that its maker cannot point it elsewhere; its
    // target keeps its security.
    EXPECT_EQ(winsim::Effective_Sddl(The_Machine(), u"C:\\ProgramData\\Corvanta LLP\\link"),
              "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    EXPECT_EQ(winsim::Security_Changes(The_Machine()).find("system32"), std::string::npos);
    EXPECT_EQ(Log_Text(), Lines({"   Left alone (C:\\ProgramData\\Corvanta LLP\\link is a junction or symbolic link): "
                                 "C:\\ProgramData\\Corvanta LLP\\link",
                                 "   Removed:  C:\\ProgramData\\Corvanta LLP\\a.dat",
                                 "      Deleted: C:\\ProgramData\\Corvanta LLP\\link",
                                 "   Removed:  C:\\ProgramData\\Corvanta LLP\\link",
                                 "      Deleted: C:\\ProgramData\\Corvanta LLP",
                                 "   Removed:  C:\\ProgramData\\Corvanta LLP"}));
}

TEST_F(File_Primitives, EmptyFolderIsRemovedAndAFolderWithFilesStays) {
    Make_File(u"C:\\Menu\\VESPARIO\\other.lnk");
    The_Machine().Make_Folders(u"C:\\Menu\\Empty");
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Remove_Empty_Directory(TEXT("C:\\Menu\\VESPARIO"), result));
    EXPECT_TRUE(Path_Exists(u"C:\\Menu\\VESPARIO\\other.lnk"));
    EXPECT_TRUE(Changes().SC_Remove_Empty_Directory(TEXT("C:\\Menu\\Empty"), result));
    EXPECT_FALSE(Path_Exists(u"C:\\Menu\\Empty"));
    EXPECT_EQ(Log_Text(), "");
}

TEST_F(File_Primitives, SpecialFolderIsFormedAndCreated) {
    Lib_StringW path;
    Lib_Result result;
    ASSERT_TRUE(Changes().Get_Absolute_File_Path_From_Special_Folder(0x19, nullptr, nullptr, path, result));
    EXPECT_EQ(std::u16string(path.Get_Text()), u"C:\\Users\\Public\\Desktop");
    EXPECT_TRUE(Path_Exists(u"C:\\Users\\Public\\Desktop"));
    ASSERT_TRUE(Changes().Get_Absolute_File_Path_From_Special_Folder(0x25, TEXT("Corvanta LLP."), nullptr, path, result));
    EXPECT_EQ(std::u16string(path.Get_Text()), u"C:\\Windows\\system32\\Corvanta LLP.");
    ASSERT_TRUE(Changes().Get_Absolute_File_Path_From_Special_Folder(0x24, TEXT("Inf"), TEXT("oem3.inf"), path, result));
    EXPECT_EQ(std::u16string(path.Get_Text()), u"C:\\Windows\\Inf\\oem3.inf");
    EXPECT_EQ(Log_Text(), "");
}

TEST_F(File_Primitives, SpecialFolderFailureIsReportedAndLeavesThePath) {
    The_Machine().Add_Fault("SHGetSpecialFolderPathW", 1, ERROR_ACCESS_DENIED);
    Lib_StringW path(TEXT("before"));
    Lib_Result result;
    EXPECT_FALSE(Changes().Get_Absolute_File_Path_From_Special_Folder(0x23, TEXT("Package Cache"), nullptr, path, result));
    EXPECT_EQ(std::u16string(path.Get_Text()), u"before");
    EXPECT_EQ(result.Get_Code(), 5);
    EXPECT_EQ(Log_Text(), Error_Report("", "SHGetSpecialFolderPath", 5) +
                              Exit_Line("", "Get_Absolute_File_Path_From_Special_Folder"));
}

}  // namespace
