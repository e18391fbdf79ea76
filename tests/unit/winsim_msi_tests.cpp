// winsim's MsiEnumRelatedProductsW: the related products of an upgrade code from the per-machine
// registration under HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Installer.
#include <gtest/gtest.h>
#include <msi.h>
#include <windows.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "test_support.h"

namespace {

using winsim::The_Machine;

// Upgrade code {5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A84}, packed 14A7E2B5C3D981F46A2EC3D7B1F9A048.
const char16_t kUpgrade[] = u"{5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A84}";
const char16_t kUpgradeKey[] = u"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\14A7E2B5C3D981F46A2EC3D7B1F9A048";
const char16_t kProducts[] = u"SOFTWARE\\Classes\\Installer\\Products\\";

class WinsimMsi : public ::testing::Test {
protected:
    void SetUp() override { The_Machine().Reset(); }
    void TearDown() override { The_Machine().Reset(); }

    // A related product under the upgrade code, published (Products key) or not.
    static void Relate(const std::u16string& packed_product, bool published) {
        Make_Key(The_Machine().hklm, kUpgradeKey)->Set_Value(packed_product, REG_SZ, Utf16_Bytes(u""));
        if (published) Make_Key(The_Machine().hklm, kProducts + packed_product);
    }

    // "status text" of one call; the text is the buffer's when the call succeeded.
    static std::string Call(const char16_t* code, DWORD reserved, DWORD index, bool with_buffer = true) {
        WCHAR buffer[39];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        UINT status = MsiEnumRelatedProductsW(code, reserved, index, with_buffer ? buffer : nullptr);
        std::string text = std::to_string(status);
        if (status == ERROR_SUCCESS) text += " " + winsim::To_Utf8(buffer);
        return text;
    }
};

TEST_F(WinsimMsi, AnswersFromThePublishedPerMachineRegistration) {
    // Three values in creation order: a published product, an unpublished one (its registration
    // gone), a second published one with lower-case digits as stored; a name that is no packed code;
    // and the same upgrade code registered only where other installers look.
    Relate(u"72C4D1E8B5A639D40B1FE7A2C9D6B351", true);
    Relate(u"00000000000000000000000000000001", false);
    Relate(u"BA0987654321FEDC0123456789abcdef", true);
    Make_Key(The_Machine().hklm, kUpgradeKey)->Set_Value(u"not a code", REG_SZ, Utf16_Bytes(u""));
    Make_Key(The_Machine().hklm, kProducts + std::u16string(u"not a code"));
    Make_Key(The_Machine().hklm,
             u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\"
             u"3C2B1A095E4D7C6FB4A5938271605FE4")
        ->Set_Value(u"11111111111111111111111111111111", REG_SZ, Utf16_Bytes(u""));
    Make_Key(The_Machine().hklm, kProducts + std::u16string(u"11111111111111111111111111111111"));
    Make_Key(The_Machine().hkcu, u"Software\\Classes\\Installer\\UpgradeCodes\\3C2B1A095E4D7C6FB4A5938271605FE4")
        ->Set_Value(u"11111111111111111111111111111111", REG_SZ, Utf16_Bytes(u""));

    struct Case {
        const char16_t* code;
        DWORD reserved;
        DWORD index;
        bool buffer;
        std::string expected;
    };
    const Case cases[] = {
        {kUpgrade, 0, 0, true, "0 {8E1D4C27-6A5B-4D93-B0F1-7E2A9C6D3B15}"},
        {kUpgrade, 0, 1, true, "0 {567890AB-1234-CDEF-1032-547698badcfe}"},
        {kUpgrade, 0, 2, true, "259"},
        {kUpgrade, 0, 0xFFFFFFFF, true, "259"},
        {u"{5b2e7a41-9d3c-4f18-a6e2-3c7d1b9f0a84}", 0, 0, true, "0 {8E1D4C27-6A5B-4D93-B0F1-7E2A9C6D3B15}"},
        {u"{90A1B2C3-D4E5-F6C7-4B5A-39281706F54E}", 0, 0, true, "259"},  // only in other places
        {u"{00000000-0000-0000-0000-000000000000}", 0, 0, true, "259"},
        {kUpgrade, 1, 0, true, "87"},
        {kUpgrade, 0, 0, false, "87"},
        {nullptr, 0, 0, true, "87"},
        {u"", 0, 0, true, "87"},
        {u"5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A84", 0, 0, true, "87"},
        {u"{5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A8}", 0, 0, true, "87"},
        {u"{5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A84}x", 0, 0, true, "87"},
        {u"{5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A8G}", 0, 0, true, "87"},
        {u"{5B2E7A41+9D3C-4F18-A6E2-3C7D1B9F0A84}", 0, 0, true, "87"},
        {u"14A7E2B5C3D981F46A2EC3D7B1F9A048", 0, 0, true, "87"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, Call(c.code, c.reserved, c.index, c.buffer))
            << winsim::To_Utf8(c.code ? c.code : u"(null)") << " reserved " << c.reserved << " index " << c.index;
    }
}

TEST_F(WinsimMsi, NothingRegisteredAndFaultsAndTheCallRecord) {
    EXPECT_EQ("259", Call(kUpgrade, 0, 0));
    Make_Key(The_Machine().hklm, kUpgradeKey);  // the key without values
    EXPECT_EQ("259", Call(kUpgrade, 0, 0));
    Relate(u"72C4D1E8B5A639D40B1FE7A2C9D6B351", true);
    The_Machine().Add_Fault("MsiEnumRelatedProductsW", 2, ERROR_BAD_CONFIGURATION, u"5B2E7A41");
    EXPECT_EQ("0 {8E1D4C27-6A5B-4D93-B0F1-7E2A9C6D3B15}", Call(kUpgrade, 0, 0));
    EXPECT_EQ("1610", Call(kUpgrade, 0, 0));
    EXPECT_EQ("0 {8E1D4C27-6A5B-4D93-B0F1-7E2A9C6D3B15}", Call(kUpgrade, 0, 0));
    // Deleting the product's published registration takes it out of the list.
    Find_Key(The_Machine().hklm, u"SOFTWARE\\Classes\\Installer\\Products")
        ->Remove_Subkey(u"72C4D1E8B5A639D40B1FE7A2C9D6B351");
    EXPECT_EQ("259", Call(kUpgrade, 0, 0));
    const std::string call = "MsiEnumRelatedProductsW {5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A84}";
    EXPECT_EQ(std::vector<std::string>(6, call), The_Machine().calls);
}

}  // namespace
