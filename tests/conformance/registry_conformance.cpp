// Registry calls that the removal tool's registry primitives rely on, made in a fixed sequence with
// every result and status printed. Built natively against winsim and as a Windows executable run under
// Wine; run_conformance.sh compares the two outputs line by line.
//
// The program creates everything it touches below SOFTWARE\VpConformance (and a few named keys
// elsewhere), so it needs nothing but an empty machine or a fresh Wine prefix.
//
// Where Wine knowingly differs from Windows, the program avoids the difference or prints in a form that
// is the same on both:
// - Subkeys: Windows lists them sorted by upper-cased name, Wine by lower-cased name; the two orders
//   differ only for names with one of [ \ ] ^ _ ` where another name has a letter, so no name here has
//   one of those characters.
// - Values: Windows lists them in creation order, Wine sorted by name; value names are printed sorted.
// - RegQueryInfoKeyW on a key opened without KEY_QUERY_VALUE: Windows refuses it with 5, Wine answers;
//   not called here.
// - HKLM\SOFTWARE\Classes: Windows 7 and later share it between the views except CLSID, DirectShow,
//   Interface, Media Type and MediaFoundation; Wine redirects all of it. Only CLSID is used here.
//   HKCU\SOFTWARE\Classes\CLSID: Windows redirects it, Wine does not; not used here.
// - KEY_WOW64_32KEY on a path opened relative to a 64-bit key handle (HKLM\SOFTWARE, then "X"): Wine
//   ignores the flag there, winsim redirects by the full path; the tool never does this, so it is left out.
#include <windows.h>

#include "conformance_output.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void Status(const char* what, LONG status) { std::printf("%s: %ld\n", what, long(status)); }

// Opens and closes at once; prints the open's status.
void Probe(const char* what, HKEY root, const WCHAR* path, REGSAM sam) {
    HKEY key;
    LONG status = RegOpenKeyExW(root, path, 0, sam, &key);
    Status(what, status);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
}

// Creates and closes at once; prints the status and the disposition.
void Make(const char* what, HKEY root, const WCHAR* path, REGSAM sam) {
    HKEY key;
    DWORD disposition = 0;
    LONG status =
        RegCreateKeyExW(root, path, 0, NULL, REG_OPTION_NON_VOLATILE, sam, NULL, &key, &disposition);
    std::printf("%s: %ld disposition %lu\n", what, long(status), (unsigned long)disposition);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
}

void List_Subkeys(HKEY key) {
    for (DWORD index = 0;; ++index) {
        WCHAR name[260];
        DWORD length = 260;
        LONG status = RegEnumKeyExW(key, index, name, &length, NULL, NULL, NULL, NULL);
        if (status != ERROR_SUCCESS) {
            std::printf("  subkey %lu: status %ld\n", (unsigned long)index, long(status));
            return;
        }
        std::printf("  subkey %lu: %s (%lu)\n", (unsigned long)index, Show(name).c_str(),
                    (unsigned long)length);
    }
}

// Value names come out sorted: Wine sorts them, Windows keeps their creation order.
void List_Values_Sorted(HKEY key) {
    std::vector<std::string> names;
    LONG status;
    for (DWORD index = 0;; ++index) {
        WCHAR name[16383];
        DWORD length = 16383;
        status = RegEnumValueW(key, index, name, &length, NULL, NULL, NULL, NULL);
        if (status != ERROR_SUCCESS) break;
        names.push_back("\"" + Show(name, length) + "\"");
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) std::printf("  value %s\n", name.c_str());
    std::printf("  %lu values, then status %ld\n", (unsigned long)names.size(), long(status));
}

void Show_Value(HKEY key, const WCHAR* name) {
    DWORD type = 0xFFFF, size = 0;
    LONG status = RegQueryValueExW(key, name, NULL, &type, NULL, &size);
    std::printf("  query \"%s\": %ld type %lu size %lu", Show(name).c_str(), long(status),
                (unsigned long)type, (unsigned long)size);
    if (status == ERROR_SUCCESS) {
        std::vector<BYTE> data(size + 1);
        DWORD read = size;
        status = RegQueryValueExW(key, name, NULL, &type, data.data(), &read);
        std::printf(" read %ld size %lu bytes", long(status), (unsigned long)read);
        for (DWORD i = 0; i < read; ++i) std::printf(" %02X", data[i]);
    }
    std::printf("\n");
}

void Info(HKEY key) {
    DWORD sub_keys = 99, max_sub_key = 99, values = 99, max_value_name = 99, max_value = 99;
    LONG status = RegQueryInfoKeyW(key, NULL, NULL, NULL, &sub_keys, &max_sub_key, NULL, &values,
                                   &max_value_name, &max_value, NULL, NULL);
    std::printf("  info: %ld subkeys %lu longest %lu values %lu longest name %lu largest data %lu\n",
                long(status), (unsigned long)sub_keys, (unsigned long)max_sub_key, (unsigned long)values,
                (unsigned long)max_value_name, (unsigned long)max_value);
}

void Names_And_Case() {
    Section("names are case-insensitive and case-preserving");
    Make("create MixedCase\\Child", HKEY_CURRENT_USER, TEXT("SOFTWARE\\VpConformance\\MixedCase\\Child"),
         KEY_ALL_ACCESS);
    Make("create mixedcase again", HKEY_CURRENT_USER, TEXT("SOFTWARE\\VpConformance\\mixedcase"),
         KEY_ALL_ACCESS);
    Probe("open MIXEDCASE\\child", HKEY_CURRENT_USER, TEXT("SOFTWARE\\VPCONFORMANCE\\MIXEDCASE\\child"),
          KEY_READ);
    Make("create \\u00E9t\\u00E9", HKEY_CURRENT_USER, TEXT("SOFTWARE\\VpConformance\\\u00e9t\u00e9"),
         KEY_ALL_ACCESS);
    Probe("open \\u00C9T\\u00C9", HKEY_CURRENT_USER, TEXT("SOFTWARE\\VpConformance\\\u00c9T\u00c9"),
          KEY_READ);
    HKEY key;
    Status("open VpConformance",
           RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("SOFTWARE\\VpConformance"), 0, KEY_READ, &key));
    List_Subkeys(key);
    RegCloseKey(key);
}

void Enumeration() {
    Section("enumeration order and name buffers");
    HKEY key;
    Make("create Order", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Order"), KEY_ALL_ACCESS);
    Status("open Order", RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Order"), 0,
                                       KEY_ALL_ACCESS, &key));
    const WCHAR* names[] = {TEXT("beta"), TEXT("Alpha"),  TEXT("alpha2"), TEXT("B"),
                            TEXT("a b"),  TEXT("Zeta"),   TEXT("y1"),     TEXT("10"),
                            TEXT("9"),    TEXT("{0A1B}"), TEXT("a.b"),    TEXT("A-B")};
    for (const WCHAR* name : names) {
        HKEY sub;
        RegCreateKeyExW(key, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &sub, NULL);
        RegCloseKey(sub);
        DWORD number = 7;
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    }
    List_Subkeys(key);
    List_Values_Sorted(key);
    Info(key);

    // "10" is subkey 0: two characters need a buffer of three.
    WCHAR name[8] = {'#', '#', '#', 0};
    DWORD length = 2;
    LONG status = RegEnumKeyExW(key, 0, name, &length, NULL, NULL, NULL, NULL);
    std::printf("subkey 0 into 2: %ld length %lu\n", long(status), (unsigned long)length);
    length = 3;
    status = RegEnumKeyExW(key, 0, name, &length, NULL, NULL, NULL, NULL);
    std::printf("subkey 0 into 3: %ld length %lu name %s\n", long(status), (unsigned long)length,
                Show(name).c_str());
    length = 8;
    status = RegEnumKeyExW(key, 12, name, &length, NULL, NULL, NULL, NULL);
    std::printf("subkey 12: %ld length %lu\n", long(status), (unsigned long)length);

    // Value names by name length, whatever their index.
    DWORD index = 0;
    for (;; ++index) {
        length = 8;
        if (RegEnumValueW(key, index, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        if (Show(name, length) == "alpha2") break;
    }
    length = 6;
    status = RegEnumValueW(key, index, name, &length, NULL, NULL, NULL, NULL);
    std::printf("value alpha2 into 6: %ld length %lu\n", long(status), (unsigned long)length);
    length = 7;
    status = RegEnumValueW(key, index, name, &length, NULL, NULL, NULL, NULL);
    std::printf("value alpha2 into 7: %ld length %lu\n", long(status), (unsigned long)length);
    BYTE data[8];
    DWORD type = 0, size = 2;
    length = 7;
    status = RegEnumValueW(key, index, name, &length, NULL, &type, data, &size);
    std::printf("value alpha2 data into 2: %ld type %lu size %lu\n", long(status), (unsigned long)type,
                (unsigned long)size);
    length = 7;
    size = 8;
    status = RegEnumValueW(key, index, name, &length, NULL, &type, data, &size);
    std::printf("value alpha2 data into 8: %ld type %lu size %lu first byte %u\n", long(status),
                (unsigned long)type, (unsigned long)size, unsigned(data[0]));
    length = 8;
    status = RegEnumValueW(key, 12, name, &length, NULL, NULL, NULL, NULL);
    std::printf("value 12: %ld\n", long(status));
    RegCloseKey(key);
}

void Values() {
    Section("value types and sizes");
    HKEY key;
    Make("create Values", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Values"), KEY_ALL_ACCESS);
    Status("open Values", RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Values"), 0,
                                        KEY_ALL_ACCESS, &key));
    const WCHAR text[] = TEXT("abcd");
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text);
    Status("set sz with terminator", RegSetValueExW(key, TEXT("Terminated"), 0, REG_SZ, bytes, 10));
    // Six bytes of "abcd": no terminator follows the third character, so the value has none.
    Status("set sz without terminator", RegSetValueExW(key, TEXT("Unterminated"), 0, REG_SZ, bytes, 6));
    // Eight bytes of "abcd": the size leaves out the terminator that follows, which is stored too.
    Status("set sz short of its terminator", RegSetValueExW(key, TEXT("ShortCount"), 0, REG_SZ, bytes, 8));
    Status("set expand_sz", RegSetValueExW(key, TEXT("Expand"), 0, REG_EXPAND_SZ, bytes, 10));
    const WCHAR multi[] = TEXT("ab\0c\0");
    Status("set multi_sz", RegSetValueExW(key, TEXT("Multi"), 0, REG_MULTI_SZ,
                                          reinterpret_cast<const BYTE*>(multi), sizeof multi));
    DWORD number = 0x12345678;
    Status("set dword",
           RegSetValueExW(key, TEXT("Number"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4));
    const BYTE qword[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Status("set qword", RegSetValueExW(key, TEXT("Quad"), 0, REG_QWORD, qword, 8));
    Status("set binary of 3", RegSetValueExW(key, TEXT("Odd"), 0, REG_BINARY, qword, 3));
    Status("set none of 0", RegSetValueExW(key, TEXT("Empty"), 0, REG_NONE, NULL, 0));
    Status("set default", RegSetValueExW(key, NULL, 0, REG_SZ, bytes, 10));
    Status("set dword without data", RegSetValueExW(key, TEXT("Broken"), 0, REG_DWORD, NULL, 4));
    Status("overwrite number as sz", RegSetValueExW(key, TEXT("number"), 0, REG_SZ, bytes, 4));
    for (const WCHAR* name : {TEXT("Terminated"), TEXT("Unterminated"), TEXT("ShortCount"), TEXT("Expand"),
                              TEXT("Multi"), TEXT("NUMBER"), TEXT("Quad"), TEXT("Odd"), TEXT("Empty"),
                              TEXT(""), TEXT("Broken"), TEXT("Missing")})
        Show_Value(key, name);
    List_Values_Sorted(key);
    Info(key);

    BYTE data[16] = {0};
    DWORD type = 0, size = 9;
    LONG status = RegQueryValueExW(key, TEXT("Terminated"), NULL, &type, data, &size);
    std::printf("query Terminated into 9: %ld size %lu\n", long(status), (unsigned long)size);
    size = 10;
    status = RegQueryValueExW(key, TEXT("Terminated"), NULL, &type, data, &size);
    std::printf("query Terminated into 10: %ld size %lu\n", long(status), (unsigned long)size);
    size = 16;
    status = RegQueryValueExW(key, TEXT("Missing"), NULL, &type, data, &size);
    std::printf("query Missing: %ld size %lu\n", long(status), (unsigned long)size);
    Status("query Terminated with data but no size",
           RegQueryValueExW(key, TEXT("Terminated"), NULL, &type, data, NULL));
    Status("query Terminated with nothing",
           RegQueryValueExW(key, TEXT("Terminated"), NULL, NULL, NULL, NULL));
    Status("delete value Odd", RegDeleteValueW(key, TEXT("ODD")));
    Status("delete value Odd again", RegDeleteValueW(key, TEXT("Odd")));
    Status("delete default value", RegDeleteValueW(key, NULL));
    Status("delete default value again", RegDeleteValueW(key, TEXT("")));
    List_Values_Sorted(key);
    RegCloseKey(key);
}

void Paths() {
    Section("doubled, trailing and leading backslashes");
    Make("create Paths\\\\Inner\\\\", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Paths\\\\Inner\\\\"),
         KEY_ALL_ACCESS);
    Probe("open Paths\\Inner", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Paths\\Inner"), KEY_READ);
    Probe("open Paths\\Inner\\", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Paths\\Inner\\"),
          KEY_READ);
    Probe("open Paths\\\\\\", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Paths\\\\\\"), KEY_READ);
    Probe("open \\SOFTWARE", HKEY_LOCAL_MACHINE, TEXT("\\SOFTWARE\\VpConformance"), KEY_READ);
    Make("create \\SOFTWARE", HKEY_LOCAL_MACHINE, TEXT("\\SOFTWARE\\VpConformance\\Lead"), KEY_ALL_ACCESS);
    Status("delete \\Paths\\Inner",
           RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("\\SOFTWARE\\VpConformance\\Paths\\Inner")));
    Status("delete Paths\\\\Inner\\",
           RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Paths\\\\Inner\\")));
    Probe("open Paths\\Inner after", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Paths\\Inner"),
          KEY_READ);
    Probe("open with null path", HKEY_LOCAL_MACHINE, NULL, KEY_READ);
    Probe("open with empty path", HKEY_LOCAL_MACHINE, TEXT(""), KEY_READ);
    HKEY key;
    Status("open with no result", RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 0, KEY_READ, NULL));
    Status("delete with null path", RegDeleteKeyW(HKEY_LOCAL_MACHINE, NULL));
    Status("open Paths",
           RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Paths"), 0, KEY_READ, &key));
    Probe("open empty below Paths", key, TEXT(""), KEY_READ);
    RegCloseKey(key);
}

void Deletion() {
    Section("deletion of missing, non-empty, nested and open keys");
    Make("create Tree\\Middle\\Leaf", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Tree\\Middle\\Leaf"),
         KEY_ALL_ACCESS);
    Status("delete missing key",
           RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Tree\\Nothing")));
    Status("delete below a missing key",
           RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Nothing\\Nothing")));
    Probe("open below a missing key", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Nothing\\Nothing"),
          KEY_READ);
    Status("delete Tree (has subkeys)",
           RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Tree")));
    Status("delete Middle (has subkeys)",
           RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Tree\\Middle")));

    HKEY tree, leaf, middle;
    Status("open Tree", RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Tree"), 0,
                                      KEY_ALL_ACCESS, &tree));
    Status("open Leaf through Tree", RegOpenKeyExW(tree, TEXT("Middle\\Leaf"), 0, KEY_ALL_ACCESS, &leaf));
    Status("delete Leaf through Tree", RegDeleteKeyW(tree, TEXT("MIDDLE\\LEAF")));
    WCHAR name[32];
    DWORD length = 32;
    Status("enumerate deleted Leaf", RegEnumKeyExW(leaf, 0, name, &length, NULL, NULL, NULL, NULL));
    length = 32;
    Status("enumerate values of deleted Leaf", RegEnumValueW(leaf, 0, name, &length, NULL, NULL, NULL, NULL));
    Status("query info of deleted Leaf",
           RegQueryInfoKeyW(leaf, NULL, NULL, NULL, &length, NULL, NULL, NULL, NULL, NULL, NULL, NULL));
    Status("query value of deleted Leaf", RegQueryValueExW(leaf, TEXT("x"), NULL, NULL, NULL, &length));
    DWORD number = 1;
    Status("set value on deleted Leaf",
           RegSetValueExW(leaf, TEXT("x"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4));
    Status("delete value on deleted Leaf", RegDeleteValueW(leaf, TEXT("x")));
    HKEY other;
    Status("open below deleted Leaf", RegOpenKeyExW(leaf, TEXT(""), 0, KEY_READ, &other));
    Status("create below deleted Leaf",
           RegCreateKeyExW(leaf, TEXT("New"), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &other, NULL));
    Status("delete deleted Leaf", RegDeleteKeyW(leaf, TEXT("")));
    Make("create Leaf anew", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Tree\\Middle\\Leaf"),
         KEY_ALL_ACCESS);
    Status("query info of deleted Leaf after",
           RegQueryInfoKeyW(leaf, NULL, NULL, NULL, &length, NULL, NULL, NULL, NULL, NULL, NULL, NULL));
    Status("close deleted Leaf", RegCloseKey(leaf));
    Status("close Leaf again", RegCloseKey(leaf));

    Status("delete Leaf",
           RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Tree\\Middle\\Leaf")));
    Status("open Middle", RegOpenKeyExW(tree, TEXT("Middle"), 0, KEY_ALL_ACCESS, &middle));
    Status("delete Middle by its own handle", RegDeleteKeyW(middle, TEXT("")));
    Status("close Middle", RegCloseKey(middle));
    Status("delete Tree", RegDeleteKeyW(tree, TEXT("")));
    Status("close Tree", RegCloseKey(tree));
    Probe("open Tree after", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Tree"), KEY_READ);
    Status("delete the root", RegDeleteKeyW(HKEY_CURRENT_USER, TEXT("")));
    Status("close a predefined root", RegCloseKey(HKEY_LOCAL_MACHINE));
}

void Access() {
    Section("access masks");
    Make("create Access\\Child", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Access\\Child"),
         KEY_ALL_ACCESS);
    HKEY key, child;
    WCHAR name[32];
    DWORD length, number = 5, type, size;
    const BYTE* data = reinterpret_cast<const BYTE*>(&number);
    Status("open KEY_SET_VALUE", RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Access"), 0,
                                               KEY_SET_VALUE, &key));
    Status("  set value", RegSetValueExW(key, TEXT("v"), 0, REG_DWORD, data, 4));
    length = 32;
    Status("  enumerate subkeys", RegEnumKeyExW(key, 0, name, &length, NULL, NULL, NULL, NULL));
    length = 32;
    Status("  enumerate values", RegEnumValueW(key, 0, name, &length, NULL, NULL, NULL, NULL));
    Status("  query value", RegQueryValueExW(key, TEXT("v"), NULL, &type, NULL, &size));
    Status("  open child for reading", RegOpenKeyExW(key, TEXT("Child"), 0, KEY_READ, &child));
    RegCloseKey(child);
    Make("  create child below", key, TEXT("Child\\Grandchild"), KEY_READ);
    Status("  delete grandchild", RegDeleteKeyW(key, TEXT("Child\\Grandchild")));
    RegCloseKey(key);

    Status("open KEY_READ",
           RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Access"), 0, KEY_READ, &key));
    Status("  set value", RegSetValueExW(key, TEXT("w"), 0, REG_DWORD, data, 4));
    Status("  delete value", RegDeleteValueW(key, TEXT("v")));
    Status("  query value", RegQueryValueExW(key, TEXT("v"), NULL, &type, NULL, &size));
    Info(key);
    RegCloseKey(key);

    Status("open KEY_QUERY_VALUE", RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Access"),
                                                 0, KEY_QUERY_VALUE, &key));
    length = 32;
    Status("  enumerate subkeys", RegEnumKeyExW(key, 0, name, &length, NULL, NULL, NULL, NULL));
    length = 32;
    Status("  enumerate values", RegEnumValueW(key, 0, name, &length, NULL, NULL, NULL, NULL));
    RegCloseKey(key);

    Status("open KEY_ENUMERATE_SUB_KEYS",
           RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance\\Access"), 0,
                         KEY_ENUMERATE_SUB_KEYS, &key));
    length = 32;
    Status("  enumerate subkeys", RegEnumKeyExW(key, 0, name, &length, NULL, NULL, NULL, NULL));
    length = 32;
    Status("  enumerate values", RegEnumValueW(key, 0, name, &length, NULL, NULL, NULL, NULL));
    RegCloseKey(key);
    Status("use a handle never opened",
           RegOpenKeyExW(reinterpret_cast<HKEY>(0x5678), TEXT("x"), 0, KEY_READ, &key));
}

void Views() {
    Section("32-bit view and redirection");
    const REGSAM view32 = KEY_WOW64_32KEY;
    Make("create SOFTWARE\\VpView in the 32-bit view", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpView\\Inner"),
         KEY_ALL_ACCESS | view32);
    Probe("  64-bit SOFTWARE\\VpView", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpView"), KEY_READ);
    Probe("  64-bit SOFTWARE\\Wow6432Node\\VpView", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Wow6432Node\\VpView"),
          KEY_READ);
    Probe("  32-bit SOFTWARE\\Wow6432Node\\VpView", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Wow6432Node\\VpView"),
          KEY_READ | view32);
    Probe("  32-bit software\\vpview\\inner", HKEY_LOCAL_MACHINE, TEXT("software\\vpview\\inner"),
          KEY_READ | view32);
    Probe("  KEY_WOW64_64KEY SOFTWARE\\VpView", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpView"),
          KEY_READ | KEY_WOW64_64KEY);
    Make("create SOFTWARE\\VpNative in the 64-bit view", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpNative"),
         KEY_ALL_ACCESS);
    Probe("  32-bit SOFTWARE\\VpNative", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpNative"), KEY_READ | view32);

    HKEY software;
    Status("open SOFTWARE in the 32-bit view",
           RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 0, KEY_SET_VALUE | view32, &software));
    Probe("  VpView through it", software, TEXT("VpView"), KEY_READ);
    Probe("  VpNative through it", software, TEXT("VpNative"), KEY_READ);
    Status("  delete VpView (has a subkey)", RegDeleteKeyW(software, TEXT("VpView")));
    Status("  delete VpView\\Inner", RegDeleteKeyW(software, TEXT("VpView\\Inner")));
    Status("  delete VpView", RegDeleteKeyW(software, TEXT("VpView")));
    Status("  delete VpNative", RegDeleteKeyW(software, TEXT("VpNative")));
    RegCloseKey(software);
    Probe("  64-bit SOFTWARE\\Wow6432Node\\VpView after", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Wow6432Node\\VpView"), KEY_READ);
    Probe("  64-bit SOFTWARE\\VpNative after", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpNative"), KEY_READ);

    Make("create SOFTWARE\\Wow6432Node\\VpExplicit in the 32-bit view", HKEY_LOCAL_MACHINE,
         TEXT("SOFTWARE\\Wow6432Node\\VpExplicit"), KEY_ALL_ACCESS | view32);
    Probe("  64-bit SOFTWARE\\Wow6432Node\\VpExplicit", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Wow6432Node\\VpExplicit"), KEY_READ);
    Probe("  64-bit SOFTWARE\\Wow6432Node\\Wow6432Node\\VpExplicit", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Wow6432Node\\Wow6432Node\\VpExplicit"), KEY_READ);

    Section("shared keys");
    Make("create HKCU SOFTWARE\\VpConformance\\User32 in the 32-bit view", HKEY_CURRENT_USER,
         TEXT("SOFTWARE\\VpConformance\\User32"), KEY_ALL_ACCESS | view32);
    Probe("  64-bit HKCU SOFTWARE\\VpConformance\\User32", HKEY_CURRENT_USER,
          TEXT("SOFTWARE\\VpConformance\\User32"), KEY_READ);
    Status("  delete it in the 64-bit view",
           RegDeleteKeyW(HKEY_CURRENT_USER, TEXT("SOFTWARE\\VpConformance\\User32")));
    Probe("  32-bit after", HKEY_CURRENT_USER, TEXT("SOFTWARE\\VpConformance\\User32"), KEY_READ | view32);

    Make("create Calais\\Readers\\VpReader in the 32-bit view", HKEY_LOCAL_MACHINE,
         TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers\\VpReader"), KEY_ALL_ACCESS | view32);
    Probe("  64-bit Calais\\Readers\\VpReader", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers\\VpReader"), KEY_READ);
    Status("  delete it in the 64-bit view",
           RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                         TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers\\VpReader")));

    Make("create Group Policy\\VpPolicy in the 32-bit view", HKEY_LOCAL_MACHINE,
         TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\VpPolicy"),
         KEY_ALL_ACCESS | view32);
    Probe("  64-bit Group Policy\\VpPolicy", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\VpPolicy"), KEY_READ);
    Status("  delete it in the 64-bit view",
           RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                         TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\VpPolicy")));

    Section("redirected keys below shared ones");
    Make("create Calais\\SmartCards\\VpCard in the 32-bit view", HKEY_LOCAL_MACHINE,
         TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VpCard"), KEY_ALL_ACCESS | view32);
    Probe("  64-bit Calais\\SmartCards\\VpCard", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VpCard"), KEY_READ);
    Probe("  64-bit Wow6432Node\\...\\SmartCards\\VpCard", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Wow6432Node\\Microsoft\\Cryptography\\Calais\\SmartCards\\VpCard"), KEY_READ);

    Make("create HKCR CLSID\\{VpClass} in the 32-bit view", HKEY_CLASSES_ROOT, TEXT("CLSID\\{VpClass}"),
         KEY_ALL_ACCESS | view32);
    Probe("  64-bit HKCR CLSID\\{VpClass}", HKEY_CLASSES_ROOT, TEXT("CLSID\\{VpClass}"), KEY_READ);
    Probe("  64-bit HKLM SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{VpClass}", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{VpClass}"), KEY_READ);
    Probe("  32-bit HKLM SOFTWARE\\Classes\\CLSID\\{VpClass}", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Classes\\CLSID\\{VpClass}"), KEY_READ | view32);
    Make("create HKCR CLSID\\{VpNative} in the 64-bit view", HKEY_CLASSES_ROOT, TEXT("CLSID\\{VpNative}"),
         KEY_ALL_ACCESS);
    Probe("  64-bit HKLM SOFTWARE\\Classes\\CLSID\\{VpNative}", HKEY_LOCAL_MACHINE,
          TEXT("SOFTWARE\\Classes\\CLSID\\{VpNative}"), KEY_READ);
    Probe("  32-bit HKCR CLSID\\{VpNative}", HKEY_CLASSES_ROOT, TEXT("CLSID\\{VpNative}"), KEY_READ | view32);
}

}  // namespace

int main() {
    std::printf("registry conformance\n");
    Make("create HKLM SOFTWARE\\VpConformance", HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\VpConformance"),
         KEY_ALL_ACCESS);
    Make("create HKCU SOFTWARE\\VpConformance", HKEY_CURRENT_USER, TEXT("SOFTWARE\\VpConformance"),
         KEY_ALL_ACCESS);
    Names_And_Case();
    Enumeration();
    Values();
    Paths();
    Deletion();
    Access();
    Views();
    return 0;
}
