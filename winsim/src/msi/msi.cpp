// Windows Installer's MsiEnumRelatedProductsW, answered from the per-machine registration that
// Windows Installer keeps in the registry (HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Installer):
//
//   Installer\UpgradeCodes\<packed upgrade code>   one value per related product, named by the
//                                                  product's packed code (the value's data is unused)
//   Installer\Products\<packed product code>       the product's published registration: present
//                                                  while the product is installed or advertised
//
// The related products are the values of the upgrade code's key, in the key's value order, whose
// product is published; a value naming a product without that registration (left behind by a broken
// uninstall) or a name that is not a packed code is passed over. The product index counts the
// products listed. Per-user installations (HKEY_CURRENT_USER\Software\Microsoft\Installer and the
// managed per-user keys) are not modelled: the machine has only per-machine installations.
//
// The keys are read straight from the machine, not through the registry calls, so faults injected
// into those calls do not reach this one. The call itself is recorded in Machine::calls and takes its
// faults under the name "MsiEnumRelatedProductsW" with the upgrade code as given as subject.
#include <msi.h>
#include <windows.h>

#include <initializer_list>
#include <mutex>

#include "machine/machine.h"

using namespace winsim;

namespace {

constexpr size_t kBracedLength = 38;  // "{" 8-4-4-4-12 "}"
constexpr size_t kPackedLength = 32;

bool Is_Hex_Digit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
}

// The positions of the braced form's 32 digits, in the order the packed form writes them: each of the
// first three groups reversed, then each of the last eight bytes with its two digits swapped.
constexpr size_t kPackedOrder[kPackedLength] = {
    8,  7,  6,  5,  4,  3,  2,  1,                  // group 1 reversed
    13, 12, 11, 10,                                  // group 2 reversed
    18, 17, 16, 15,                                  // group 3 reversed
    21, 20, 23, 22,                                  // group 4, byte by byte
    26, 25, 28, 27, 30, 29, 32, 31, 34, 33, 36, 35,  // group 5, byte by byte
};

bool Is_Braced_Guid(const Text& code) {
    if (code.size() != kBracedLength || code.front() != u'{' || code.back() != u'}') return false;
    for (size_t i = 1; i + 1 < kBracedLength; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? code[i] != u'-' : !Is_Hex_Digit(code[i])) return false;
    }
    return true;
}

// The packed form of a braced code, or the empty text when the code is malformed.
Text Pack(const Text& braced) {
    if (!Is_Braced_Guid(braced)) return Text();
    Text packed(kPackedLength, u'0');
    for (size_t i = 0; i < kPackedLength; ++i) packed[i] = braced[kPackedOrder[i]];
    return packed;
}

// The braced form of a packed code with its digits as stored, or the empty text when the name is not
// a packed code.
Text Unpack(const Text& packed) {
    if (packed.size() != kPackedLength) return Text();
    Text braced = u"{00000000-0000-0000-0000-000000000000}";
    for (size_t i = 0; i < kPackedLength; ++i) {
        if (!Is_Hex_Digit(packed[i])) return Text();
        braced[kPackedOrder[i]] = packed[i];
    }
    return braced;
}

Reg_Key* Find_Below(Reg_Key* key, std::initializer_list<const char16_t*> names) {
    for (const char16_t* name : names) {
        if (!key) return nullptr;
        key = key->Find_Subkey(name);
    }
    return key;
}

}  // namespace

UINT WINAPI MsiEnumRelatedProductsW(LPCWSTR upgrade_code, DWORD reserved, DWORD product_index,
                                    LPWSTR product_buffer) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Record_Call("MsiEnumRelatedProductsW", From_Wide_Pointer(upgrade_code), &fault)) return fault;
    if (!upgrade_code || reserved != 0 || !product_buffer) return ERROR_INVALID_PARAMETER;
    Text packed_upgrade_code = Pack(From_Wide_Pointer(upgrade_code));
    if (packed_upgrade_code.empty()) return ERROR_INVALID_PARAMETER;

    Reg_Key* installer = Find_Below(&machine.hklm, {u"SOFTWARE", u"Classes", u"Installer"});
    Reg_Key* related = installer ? Find_Below(installer, {u"UpgradeCodes"}) : nullptr;
    related = related ? related->Find_Subkey(packed_upgrade_code) : nullptr;
    Reg_Key* products = installer ? installer->Find_Subkey(u"Products") : nullptr;
    if (!related || !products) return ERROR_NO_MORE_ITEMS;

    DWORD listed = 0;
    for (const Reg_Value& value : related->values) {
        Text product_code = Unpack(value.name);
        if (product_code.empty() || !products->Find_Subkey(value.name)) continue;
        if (listed++ != product_index) continue;
        for (size_t i = 0; i < kBracedLength; ++i) product_buffer[i] = product_code[i];
        product_buffer[kBracedLength] = 0;
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}
