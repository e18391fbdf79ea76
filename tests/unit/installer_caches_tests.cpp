// The installer caches stage on the simulated drive C:.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <shlobj.h>

#include "files/Installer_Caches.h"
#include "machine.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Company = u"C:\\ProgramData\\Corvanta LLP\\";
const std::u16string Cache = u"C:\\ProgramData\\Package Cache\\";

class Installer_Caches : public Log_Test {};

// Only a direct sub-folder of the package cache that directly holds an entry named with the marker,
// in its letter case, goes; a link is never looked through.
TEST_F(Installer_Caches, CompanyFolderAndMarkedPackageCacheEntriesGo) {
    Make_File(Company + u"VESPARIO\\settings.xml");
    Make_File(Cache + u"{A1}v1\\vpDrivers.msi");
    Make_File(Cache + u"{A1}v1\\data.cab");
    Make_File(Cache + u"{B2}\\VPDRIVERS.MSI");
    Make_File(Cache + u"{C3}\\sub\\vpDrivers.msi");
    Make_File(u"C:\\Windows\\system32\\vpDrivers.dll");
    Make_Junction(Cache + u"{D4}", u"C:\\Windows\\system32");
    Make_File(Cache + u"vpDrivers.log");
    EXPECT_TRUE(Delete_All_Caches(Lib_StringW()));
    EXPECT_EQ(Log_Text(), Lines({"   Deleting all caches...",
                                 "      Removed:  C:\\ProgramData\\Corvanta LLP\\VESPARIO\\settings.xml",
                                 "      Removed:  C:\\ProgramData\\Corvanta LLP\\VESPARIO",
                                 "      Removed:  C:\\ProgramData\\Corvanta LLP",
                                 "      Removing new caches (with WIX)...",
                                 "         Removed:  C:\\ProgramData\\Package Cache\\{A1}v1\\data.cab",
                                 "         Removed:  C:\\ProgramData\\Package Cache\\{A1}v1\\vpDrivers.msi",
                                 "         Removed:  C:\\ProgramData\\Package Cache\\{A1}v1",
                                 "      Not examined (link):  C:\\ProgramData\\Package Cache\\{D4}",
                                 "      New caches (with WIX) removed.",
                                 "   All caches deleted."}));
    EXPECT_FALSE(Path_Exists(Company));
    EXPECT_FALSE(Path_Exists(Cache + u"{A1}v1"));
    for (const char16_t* stays : {u"{B2}\\VPDRIVERS.MSI", u"{C3}\\sub\\vpDrivers.msi", u"{D4}", u"vpDrivers.log"}) {
        EXPECT_TRUE(Path_Exists(Cache + stays)) << winsim::To_Utf8(stays);
    }
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\vpDrivers.dll"));
    EXPECT_TRUE(Pending_Deletes().empty());
}

// A cached file in use waits for the restart (with its folder); a folder whose listing fails ends
// the walk, so a marked entry after it stays.
TEST_F(Installer_Caches, FileInUseIsScheduledAndAFailedListingEndsTheWalk) {
    Make_File(Cache + u"{A1}\\vpDrivers.msi")->held_open = true;
    Make_File(Cache + u"{B2}\\other.msi");
    Make_File(Cache + u"{C3}\\vpDrivers.msi");
    The_Machine().Add_Fault("FindFirstFileW", 1, ERROR_ACCESS_DENIED, u"{B2}");
    Remove_New_Caches(CSIDL_COMMON_APPDATA, TEXT("Package Cache"), TEXT("vpDrivers"), Lib_StringW());
    EXPECT_EQ(Log_Text(), Lines({"   Removing new caches (with WIX)...",
                                 "            Deleted: C:\\ProgramData\\Package Cache\\{A1}\\vpDrivers.msi",
                                 "      Removed:  C:\\ProgramData\\Package Cache\\{A1}\\vpDrivers.msi",
                                 "         Deleted: C:\\ProgramData\\Package Cache\\{A1}",
                                 "      Removed:  C:\\ProgramData\\Package Cache\\{A1}"}) +
                              Error_Report("   ", "FindFirstFile", 5) +
                              Lines({"   New caches (with WIX) removed."}));
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{Cache + u"{A1}\\vpDrivers.msi", Cache + u"{A1}"}));
    EXPECT_TRUE(Path_Exists(Cache + u"{C3}\\vpDrivers.msi"));
}

}  // namespace
