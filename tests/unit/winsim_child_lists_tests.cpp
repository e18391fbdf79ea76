// The indexed children of keys and folders against plain reference lists, and registry.reg read
// from a file in blocks against the same text imported from memory.
#include "machine/machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace winsim;

namespace {

// A name from a counter; every third one upper-cased and some with letters beyond ASCII, so that
// the order is the folded one and names differing only in case meet.
Text Name(unsigned n) {
    static const char16_t letters[] = u"abcXYZ_[\u00e9\u0436\u00c9";
    unsigned x = n * 2654435761u;
    Text name;
    for (int i = 0; i < 1 + int(x % 5); ++i) name += letters[(x >> (3 * i + 3)) % 11];
    if (n % 3 == 0) std::transform(name.begin(), name.end(), name.begin(), Upcase);
    return name + char16_t(u'0' + n % 7);
}

std::vector<Text> Subkey_Names(const Reg_Key& key) {
    std::vector<Text> names;
    for (const auto& subkey : key.subkeys) names.push_back(subkey->name);
    return names;
}

}  // namespace

// Subkeys and folder entries: sorted by the folded comparison; a name differing only in case finds
// the existing element; removals keep the rest in order; walking indices after a change (the cursor
// must not survive it) and jumping to indices give the same elements as the reference.
TEST(WinsimChildLists, SortedChildrenFollowAReferenceThroughInsertionsAndRemovals) {
    Reg_Key key;
    Fs_Node folder;
    std::vector<Text> reference;
    for (unsigned n = 0; n < 3000; ++n) {
        Text name = Name(n);
        bool known = std::any_of(reference.begin(), reference.end(), [&](const Text& t) { return Same_Name(t, name); });
        Reg_Key* added = key.Add_Subkey(name);
        folder.Add_Child(name, n % 2 == 0);
        if (!known) reference.push_back(name);
        EXPECT_EQ(added, key.Find_Subkey(name));
        ASSERT_TRUE(Same_Name(added->name, name));
        if (n % 4 == 3) {  // remove an earlier one by another case of its name
            Text gone = reference[(n * 7) % reference.size()];
            Text other_case = gone;
            std::transform(other_case.begin(), other_case.end(), other_case.begin(), Upcase);
            EXPECT_TRUE(key.Remove_Subkey(other_case));
            EXPECT_TRUE(folder.Remove_Child(other_case));
            EXPECT_FALSE(key.Remove_Subkey(other_case));
            reference.erase(std::find(reference.begin(), reference.end(), gone));
            EXPECT_EQ(key.Find_Subkey(gone), nullptr);
        }
        if (n % 500 == 0) {  // a walk broken off by the change above
            for (size_t i = 0; i < key.subkeys.size() / 2; ++i) ASSERT_NE(key.subkeys[i], nullptr);
        }
    }
    std::stable_sort(reference.begin(), reference.end(), [](const Text& a, const Text& b) { return Compare_Names(a, b) < 0; });
    ASSERT_EQ(key.subkeys.size(), reference.size());
    EXPECT_EQ(Subkey_Names(key), reference);
    ASSERT_EQ(folder.children.size(), reference.size());
    for (size_t i = 0; i < reference.size(); ++i) ASSERT_EQ(folder.children[i]->name, reference[i]) << i;
    for (size_t i = reference.size(); i-- > 0;) ASSERT_EQ(key.subkeys[i]->name, reference[i]) << i;
    for (size_t step = 0, i = 0; step < reference.size(); ++step, i = (i + 7919) % reference.size())
        ASSERT_EQ(key.subkeys[i]->name, reference[i]) << i;
}

// Values: creation order; setting an existing name (in another case) replaces its data in place;
// a removed name set again goes to the end.
TEST(WinsimChildLists, ValuesKeepCreationOrderThroughReplacementsAndRemovals) {
    Reg_Key key;
    std::vector<std::pair<Text, uint8_t>> reference;
    for (unsigned n = 0; n < 3000; ++n) {
        Text name = n % 11 == 5 ? Text() : Name(n);
        uint8_t byte = uint8_t(n);
        key.Set_Value(name, REG_BINARY, {byte});
        auto at = std::find_if(reference.begin(), reference.end(), [&](const auto& v) { return Same_Name(v.first, name); });
        if (at == reference.end()) reference.emplace_back(name, byte);
        else at->second = byte;
        if (n % 5 == 4) {
            Text gone = reference[(n * 13) % reference.size()].first;
            EXPECT_TRUE(key.Remove_Value(gone));
            EXPECT_EQ(key.Find_Value(gone), nullptr);
            reference.erase(std::find_if(reference.begin(), reference.end(), [&](const auto& v) { return v.first == gone; }));
        }
    }
    ASSERT_EQ(key.values.size(), reference.size());
    size_t i = 0;
    for (const Reg_Value& value : key.values) {
        ASSERT_EQ(value.name, reference[i].first) << i;
        ASSERT_EQ(value.data, std::vector<uint8_t>{reference[i].second}) << i;
        ++i;
    }
    for (size_t j = reference.size(); j-- > 0;) ASSERT_EQ(key.values[j].name, reference[j].first) << j;
    Text first = reference.front().first;
    std::transform(first.begin(), first.end(), first.begin(), Upcase);
    ASSERT_NE(key.Find_Value(first), nullptr);
    EXPECT_EQ(key.Find_Value(first)->name, reference.front().first);
}

namespace {

// A registry file of many blocks: keys with values of every form, a hex value continued over
// several lines, non-ASCII names.
std::u16string Large_Registry_Text(const std::u16string& line_end) {
    std::u16string text = u"Windows Registry Editor Version 5.00" + line_end + line_end;
    const std::u16string description(40, u'd');
    for (unsigned n = 0; n < 400; ++n) {
        Text id = Name(n) + Text(1, char16_t(u'a' + n % 26)) + Text(1, char16_t(u'0' + n / 1000 % 10)) +
                  Text(1, char16_t(u'0' + n / 100 % 10)) + Text(1, char16_t(u'0' + n / 10 % 10));
        text += u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\" + Name(n % 40) + u"\\\u041a" + id + u"]" + line_end;
        text += u"\"Path\"=\"C:\\\\Program Files\\\\" + id + u"\\\\file.dll\"" + line_end;
        text += u"\"Description\"=\"" + description + u"\"" + line_end;
        text += u"\"Count\"=dword:0000000" + Text(1, char16_t(u'0' + n % 10)) + line_end;
        text += u"\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\" + line_end;
        text += u"  17,18,19,1a,1b,1c,1d,1e,1f" + line_end + line_end;
    }
    return text;
}

std::vector<uint8_t> Encode(const std::u16string& text, bool utf16) {
    std::vector<uint8_t> bytes;
    if (utf16) {
        bytes = {0xFF, 0xFE};
        for (char16_t c : text) {
            bytes.push_back(uint8_t(c & 0xFF));
            bytes.push_back(uint8_t(c >> 8));
        }
    } else {
        std::string narrow = To_Utf8(text);
        bytes.assign(narrow.begin(), narrow.end());
    }
    return bytes;
}

bool Import_From_File(Machine& machine, const std::vector<uint8_t>& bytes, std::string& error) {
    std::FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    bool ok = Import_Registry_File(machine, file, bytes.size(), "registry.reg", error, 4093);
    std::fclose(file);
    return ok;
}

}  // namespace

// Lines that cross the blocks in which the file is read (of an odd size here), in UTF-8 with LF and
// UTF-16 with CR LF: the machine and the line number of an error are those of the import from memory.
TEST(WinsimChildLists, RegistryFileReadInBlocksImportsAsFromMemory) {
    for (bool utf16 : {false, true}) {
        {
            std::u16string line_end = utf16 ? u"\r\n" : u"\n";
            std::vector<uint8_t> bytes = Encode(Large_Registry_Text(line_end), utf16);
            ASSERT_GT(bytes.size(), 20u * 4093);
            Machine from_memory, from_file;
            std::string memory_error, file_error;
            ASSERT_TRUE(Import_Registry_File(from_memory, bytes, "registry.reg", memory_error)) << memory_error;
            ASSERT_TRUE(Import_From_File(from_file, bytes, file_error)) << file_error;
            std::string exported = Export_Registry_File(from_file);
            EXPECT_EQ(exported, Export_Registry_File(from_memory));
            EXPECT_NE(exported.find("]\n\"Path\"=\"C:\\\\Program Files\\\\"), std::string::npos);

            std::vector<uint8_t> broken = Encode(Large_Registry_Text(line_end) + u"\"Blob\"=hex:00,\\" + line_end, utf16);
            Machine broken_memory, broken_file;
            EXPECT_FALSE(Import_Registry_File(broken_memory, broken, "registry.reg", memory_error));
            EXPECT_FALSE(Import_From_File(broken_file, broken, file_error));
            EXPECT_EQ(file_error, "registry.reg:2803: continuation line missing at end of file");
            EXPECT_EQ(memory_error, file_error);
        }
    }
}
