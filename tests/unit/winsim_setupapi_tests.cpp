// winsim's SetupUninstallOEMInfW: the published .inf and its .pnf leave the Windows "INF" folder.
#include <gtest/gtest.h>
#include <setupapi.h>
#include <windows.h>

#include <string>
#include <vector>

#include "machine/machine.h"

namespace {

using winsim::The_Machine;

class WinsimSetupUninstall : public ::testing::Test {
protected:
    void SetUp() override {
        The_Machine().Reset();
        inf_folder = The_Machine().Make_Folders(u"C:\\Windows\\INF");
        for (const char16_t* name : {u"oem12.inf", u"oem12.pnf", u"oem13.inf", u"oem13.pnf", u"usbport.inf"})
            inf_folder->Add_Child(name, false);
    }
    void TearDown() override { The_Machine().Reset(); }

    bool Has(const char16_t* name) const { return inf_folder->Find_Child(name) != nullptr; }

    winsim::Fs_Node* inf_folder = nullptr;
};

TEST_F(WinsimSetupUninstall, RemovesTheInfAndItsPnfAndRecordsTheCall) {
    EXPECT_TRUE(SetupUninstallOEMInfW(u"oem12.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(Has(u"oem12.inf"));
    EXPECT_FALSE(Has(u"oem12.pnf"));
    EXPECT_TRUE(Has(u"oem13.inf"));
    EXPECT_TRUE(Has(u"oem13.pnf"));
    EXPECT_EQ(std::vector<std::string>{"SetupUninstallOEMInfW oem12.inf 1"}, The_Machine().calls);
}

TEST_F(WinsimSetupUninstall, NamesCompareWithoutRegardToCase) {
    inf_folder->Add_Child(u"OEM7.INF", false);
    inf_folder->Add_Child(u"Oem7.Pnf", false);
    EXPECT_TRUE(SetupUninstallOEMInfW(u"oem7.inf", 0, nullptr));
    EXPECT_FALSE(Has(u"oem7.inf"));
    EXPECT_FALSE(Has(u"oem7.pnf"));
}

TEST_F(WinsimSetupUninstall, AnInfWithoutPnfGoesAlone) {
    inf_folder->Remove_Child(u"oem12.pnf");
    EXPECT_TRUE(SetupUninstallOEMInfW(u"oem12.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(Has(u"oem12.inf"));
    EXPECT_TRUE(Has(u"oem13.pnf"));
}

TEST_F(WinsimSetupUninstall, WorksInTheMachinesWindowsFolder) {
    The_Machine().windows_directory = u"D:\\Elsewhere";
    SetLastError(0);
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem12.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    The_Machine().windows_directory = u"C:\\WINDOWS";
    EXPECT_TRUE(SetupUninstallOEMInfW(u"oem12.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(Has(u"oem12.inf"));
}

TEST_F(WinsimSetupUninstall, PackageInUseStaysWithoutForceAndGoesWithIt) {
    The_Machine().oem_packages_in_use = {u"OEM12.INF"};
    SetLastError(0);
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem12.inf", 0, nullptr));
    EXPECT_EQ(DWORD(0xE000023D), GetLastError());
    EXPECT_TRUE(Has(u"oem12.inf"));
    EXPECT_TRUE(Has(u"oem12.pnf"));

    EXPECT_TRUE(SetupUninstallOEMInfW(u"oem12.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(Has(u"oem12.inf"));
    EXPECT_FALSE(Has(u"oem12.pnf"));
    EXPECT_EQ((std::vector<std::string>{"SetupUninstallOEMInfW oem12.inf 0",
                                        "SetupUninstallOEMInfW oem12.inf 1"}),
              The_Machine().calls);
}

TEST_F(WinsimSetupUninstall, AnotherPackageInUseDoesNotStopThisOne) {
    The_Machine().oem_packages_in_use = {u"oem1.inf", u"oem121.inf"};
    EXPECT_TRUE(SetupUninstallOEMInfW(u"oem12.inf", 0, nullptr));
    EXPECT_FALSE(Has(u"oem12.inf"));
}

TEST_F(WinsimSetupUninstall, MissingPublishedNameFailsWithFileNotFound) {
    SetLastError(0);
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem99.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    // The .pnf alone is no package.
    inf_folder->Remove_Child(u"oem13.inf");
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem13.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(Has(u"oem13.pnf"));
}

TEST_F(WinsimSetupUninstall, NamesThatAreNoOemPackageAreRefused) {
    inf_folder->Add_Child(u"oem7.inf.bak", false);
    inf_folder->Add_Child(u"oem2.info", false);
    inf_folder->Add_Child(u"oem.inf", false);
    inf_folder->Add_Child(u"oemx1.inf", false);
    for (const char16_t* name : {u"usbport.inf", u"oem7.inf.bak", u"oem2.info", u"oem.inf", u"oemx1.inf"}) {
        SetLastError(0);
        EXPECT_FALSE(SetupUninstallOEMInfW(name, SUOI_FORCEDELETE, nullptr));
        EXPECT_EQ(DWORD(0xE000023C), GetLastError());
        EXPECT_TRUE(Has(name));
    }
    // A path is not a published name either, even when it leads to one.
    EXPECT_FALSE(SetupUninstallOEMInfW(u"C:\\Windows\\INF\\oem12.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(DWORD(0xE000023C), GetLastError());
    EXPECT_TRUE(Has(u"oem12.inf"));
}

TEST_F(WinsimSetupUninstall, EmptyOrNullNameIsAnInvalidParameter) {
    SetLastError(0);
    EXPECT_FALSE(SetupUninstallOEMInfW(u"", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(SetupUninstallOEMInfW(nullptr, SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(WinsimSetupUninstall, FileHeldOpenElsewhereStopsTheWholeUninstall) {
    inf_folder->Find_Child(u"oem12.inf")->held_open = true;
    SetLastError(0);
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem12.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_TRUE(Has(u"oem12.pnf"));

    inf_folder->Find_Child(u"oem13.pnf")->held_open = true;
    SetLastError(0);
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem13.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_TRUE(Has(u"oem13.inf"));
}

TEST_F(WinsimSetupUninstall, InjectedFaultComesFirstAndHitsOnlyItsCall) {
    The_Machine().Add_Fault("SetupUninstallOEMInfW", 1, ERROR_ACCESS_DENIED, u"OEM13");
    SetLastError(0);
    EXPECT_TRUE(SetupUninstallOEMInfW(u"oem12.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem13.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(Has(u"oem13.inf"));
    EXPECT_TRUE(SetupUninstallOEMInfW(u"oem13.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(Has(u"oem13.inf"));
    EXPECT_EQ(3u, The_Machine().calls.size());
}

}  // namespace
