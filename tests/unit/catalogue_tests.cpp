// The fixed name tables that the stages walk.
#include <gtest/gtest.h>

#include <string>

#include "catalogue/Catalogue.h"

namespace {

TEST(Catalogue, TablesHoldTheirNamesOnceEach) {
    EXPECT_EQ(Driver_Binaries.count, 18u);
    EXPECT_EQ(Control_Panel_Shortcuts.count, 2u);
    EXPECT_EQ(Smart_Card_Names.count, 10u);
    for (const Name_Table* table : {&Driver_Binaries, &Control_Panel_Shortcuts, &Smart_Card_Names}) {
        for (size_t i = 0; i < table->count; ++i)
            for (size_t j = i + 1; j < table->count; ++j)
                EXPECT_NE(std::u16string(table->names[i]), std::u16string(table->names[j]));
    }
    EXPECT_EQ(std::u16string(Driver_Binaries.names[0]), u"vpAPIi.dll");
    EXPECT_EQ(std::u16string(Driver_Binaries.names[17]), u"vpMiniDrv64.dll");
    EXPECT_EQ(std::u16string(Control_Panel_Shortcuts.names[0]), u"Панель управления VESPARIO.lnk");
    EXPECT_EQ(std::u16string(Smart_Card_Names.names[0]), u"VESPARIO");
    EXPECT_EQ(std::u16string(Smart_Card_Names.names[9]), u"VESPARIO lite SD");
}

// The shared-DLL cleanup matches binary names as substrings of paths: no name may stand for another.
TEST(Catalogue, NoBinaryNameIsPartOfAnother) {
    for (const WCHAR* name : Driver_Binaries)
        for (const WCHAR* other : Driver_Binaries)
            if (name != other) EXPECT_EQ(std::u16string(other).find(name), std::u16string::npos);
}

}  // namespace
