// The foundation library: shared text blocks, buffers, the ordered set, the mutex owner and the
// owners of handles.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/Lib_Buffer.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Lib_Mutex.h"
#include "foundation/Lib_String.h"
#include "foundation/LibT_Set.h"
#include "machine/machine.h"

namespace {

std::u16string Units(const Lib_StringW& text) {
    return text.Get_Text() ? std::u16string(text.Get_Text(), size_t(text.Get_Length())) : std::u16string();
}

class Foundation_String : public ::testing::Test {
protected:
    void SetUp() override { winsim::The_Machine().Reset(); }
};

TEST_F(Foundation_String, Empty_Texts_Share_The_Static_Block_And_Leave_Its_Count_Alone) {
    const WCHAR* no_text = nullptr;
    Lib_StringW from_default;
    Lib_StringW from_null(no_text);
    Lib_StringW from_empty(TEXT(""));
    Lib_StringW from_null_ansi(static_cast<const char*>(nullptr));
    EXPECT_EQ(from_default.Get_Reference_Count(), -1);
    EXPECT_EQ(from_null.Get_Reference_Count(), -1);
    EXPECT_EQ(from_empty.Get_Reference_Count(), -1);
    EXPECT_EQ(from_null_ansi.Get_Reference_Count(), -1);
    EXPECT_EQ(from_default.Get_Text(), nullptr);
    EXPECT_EQ(from_default.Get_Length(), 0);
    EXPECT_TRUE(from_empty.Is_Empty());
    EXPECT_EQ(from_default.Compare(from_empty.Get_Text()), 0);
    {
        Lib_StringW copy(from_empty);
        Lib_StringW assigned;
        assigned = from_null;
        EXPECT_EQ(copy.Get_Reference_Count(), -1);
        EXPECT_EQ(assigned.Get_Reference_Count(), -1);
    }
    EXPECT_EQ(from_default.Get_Reference_Count(), -1);
    EXPECT_EQ(from_default.Get_Capacity(), 0);
}

TEST_F(Foundation_String, Copy_Shares_And_Append_To_Copy_Leaves_Original) {
    Lib_StringW original(TEXT("path"));
    EXPECT_EQ(original.Get_Reference_Count(), 1);
    Lib_StringW copy(original);
    EXPECT_EQ(copy.Get_Text(), original.Get_Text());
    EXPECT_EQ(original.Get_Reference_Count(), 2);
    copy.Append(TEXT("\\file"));
    EXPECT_EQ(Units(original), u"path");
    EXPECT_EQ(Units(copy), u"path\\file");
    EXPECT_EQ(original.Get_Reference_Count(), 1);
    EXPECT_EQ(copy.Get_Reference_Count(), 1);
    EXPECT_EQ(copy.Get_Capacity(), 9);
    Lib_StringW third(original);
    original.Clear();
    EXPECT_EQ(original.Get_Reference_Count(), -1);
    EXPECT_EQ(third.Get_Reference_Count(), 1);
    EXPECT_EQ(Units(third), u"path");
}

TEST_F(Foundation_String, Assignment_And_Append_From_The_Text_Itself) {
    Lib_StringW text(TEXT("C:\\Windows"));
    const WCHAR* before = text.Get_Text();
    Lib_StringW& alias = text;
    text = alias;
    text = text.Get_Text();
    EXPECT_EQ(text.Get_Text(), before);
    EXPECT_EQ(text.Get_Reference_Count(), 1);
    const WCHAR* no_text = nullptr;
    text.Append(no_text);
    text.Append(Lib_StringW());
    EXPECT_EQ(text.Get_Text(), before);
    Lib_StringW other(text);
    text = text.Get_Text() + 3;  // from the tail of a shared block
    EXPECT_EQ(Units(text), u"Windows");
    EXPECT_EQ(Units(other), u"C:\\Windows");
    EXPECT_EQ(other.Get_Reference_Count(), 1);
    text.Append(text);
    text.Append(text.Get_Text() + 11);
    EXPECT_EQ(Units(text), u"WindowsWindowsows");
    text = no_text;
    EXPECT_TRUE(text.Is_Empty());
    EXPECT_EQ(text.Get_Text(), nullptr);
}

TEST_F(Foundation_String, Find_Bounds) {
    Lib_StringW text(TEXT("oem12.inf"));
    EXPECT_EQ(text.Find(TEXT(".inf")), 5);
    EXPECT_EQ(text.Find(TEXT("oem"), 1), -1);
    EXPECT_EQ(text.Find(TEXT("f"), 8), 8);
    EXPECT_EQ(text.Find(TEXT("f"), 10), -1);
    EXPECT_EQ(text.Find(TEXT(""), 4), 4);
    EXPECT_EQ(text.Find(TEXT(""), 9), 9);
    EXPECT_EQ(text.Find(TEXT(""), 10), -1);
    EXPECT_EQ(text.Find(nullptr, 2), 2);
    EXPECT_EQ(text.Find(TEXT("inf."), 0), -1);
    EXPECT_EQ(text.Find(TEXT("e"), -1), -1);
    EXPECT_EQ(Lib_StringW().Find(TEXT("a")), -1);
    EXPECT_EQ(text.Reverse_Find(u'e'), 1);
    EXPECT_EQ(text.Reverse_Find(u'z'), -1);
}

TEST_F(Foundation_String, Mid_Bounds_And_Sharing) {
    Lib_StringW text(TEXT("abcde"));
    EXPECT_EQ(Units(text.Mid(3, 100)), u"de");
    EXPECT_EQ(text.Mid(3, 100).Get_Capacity(), 2);
    EXPECT_TRUE(text.Mid(7, 1).Is_Empty());
    EXPECT_EQ(text.Mid(7, 1).Get_Reference_Count(), -1);
    EXPECT_TRUE(text.Mid(5, 1).Is_Empty());
    EXPECT_TRUE(text.Mid(1, 0).Is_Empty());
    EXPECT_EQ(Units(text.Mid(1, 3)), u"bcd");
    Lib_String whole = text.Mid(0, 5);
    EXPECT_EQ(whole.Get_Text(), text.Get_Text());
    EXPECT_EQ(text.Get_Reference_Count(), 2);
    EXPECT_EQ(Units(text.Mid(-2, 2)), u"ab");
    EXPECT_TRUE(text.Mid(0, -1).Is_Empty());
}

TEST_F(Foundation_String, Compare_Is_Ordinal) {
    Lib_StringW upper(TEXT("ABC"));
    EXPECT_NE(upper.Compare(TEXT("abc")), 0);
    EXPECT_LT(upper.Compare(TEXT("abc")), 0);
    EXPECT_GT(Lib_StringW(TEXT("abc")).Compare(TEXT("ABC")), 0);
    EXPECT_EQ(upper.Compare(TEXT("ABC")), 0);
    EXPECT_LT(upper.Compare(TEXT("ABCD")), 0);
    EXPECT_GT(upper.Compare(TEXT("AB")), 0);
    EXPECT_NE(upper.Compare(nullptr), 0);
    EXPECT_EQ(Lib_StringW().Compare(nullptr), 0);
    EXPECT_EQ(Lib_StringW().Compare(TEXT("")), 0);
    // UTF-16 units compare as unsigned numbers.
    EXPECT_LT(Lib_StringW(TEXT("a")).Compare(u"\xFF01"), 0);
}

TEST_F(Foundation_String, Compare_No_Case_Folds_Only_A_To_Z_To_Lower) {
    EXPECT_EQ(Lib_StringW(TEXT("ABC")).Compare_No_Case(TEXT("abc")), 0);
    EXPECT_EQ(Lib_StringW(TEXT("OEM12.INF")).Compare_No_Case(TEXT("oem12.inf")), 0);
    EXPECT_NE(Lib_StringW(u"\x00C9").Compare_No_Case(u"\x00E9"), 0);
    // Folding to lower case puts '_' (0x5F) before letters: "A_" sorts before "AA".
    EXPECT_LT(Lib_StringW(TEXT("A_")).Compare_No_Case(TEXT("aa")), 0);
    EXPECT_GT(Lib_StringW(TEXT("b")).Compare_No_Case(TEXT("A")), 0);
    EXPECT_EQ(Lib_StringW().Compare_No_Case(nullptr), 0);
    EXPECT_GT(Lib_StringW(TEXT("a")).Compare_No_Case(nullptr), 0);
}

TEST_F(Foundation_String, Make_Lower_Copies_A_Shared_Block) {
    Lib_StringW name(TEXT("OEM12.INF\x00C9\x0416"));
    Lib_StringW shared(name);
    name.Make_Lower();
    EXPECT_EQ(Units(name), u"oem12.inf\x00C9\x0416");
    EXPECT_EQ(Units(shared), u"OEM12.INF\x00C9\x0416");
    EXPECT_EQ(name.Get_Reference_Count(), 1);
    EXPECT_EQ(shared.Get_Reference_Count(), 1);
    Lib_StringW empty;
    empty.Make_Lower();
    EXPECT_EQ(empty.Get_Reference_Count(), -1);
}

TEST_F(Foundation_String, Get_Buffer_Set_Length_Keeps_The_Reserved_Capacity) {
    Lib_StringW text;
    WCHAR* buffer = text.Get_Buffer_Set_Length(260);
    EXPECT_EQ(text.Get_Length(), 260);
    EXPECT_EQ(text.Get_Capacity(), 260);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[260], 0);
    std::memcpy(buffer, u"C:\\Windows\\X", 12 * sizeof(WCHAR));
    EXPECT_EQ(text.Get_Buffer_Set_Length(12), buffer);
    EXPECT_EQ(text.Get_Length(), 12);
    EXPECT_EQ(text.Get_Capacity(), 260);
    EXPECT_EQ(Units(text), u"C:\\Windows\\X");
    EXPECT_EQ(buffer[12], 0);
}

TEST_F(Foundation_String, Get_Buffer_Grows_A_Shared_Block_Without_Touching_The_Other) {
    Lib_StringW text(TEXT("abc"));
    Lib_StringW other(text);
    WCHAR* buffer = text.Get_Buffer(8);
    EXPECT_NE(buffer, other.Get_Text());
    EXPECT_EQ(text.Get_Capacity(), 8);
    EXPECT_EQ(text.Get_Length(), 3);
    EXPECT_EQ(text.Get_Reference_Count(), 1);
    EXPECT_EQ(other.Get_Reference_Count(), 1);
    buffer[0] = u'X';
    EXPECT_EQ(Units(text), u"Xbc");
    EXPECT_EQ(Units(other), u"abc");
    // Room beyond the old characters is zero, so a longer length never exposes stale memory.
    EXPECT_EQ(buffer[8], 0);
    text.Get_Buffer_Set_Length(6);
    EXPECT_EQ(Units(text), std::u16string(u"Xbc\0\0\0", 6));
    // Asked for no room at all, a shared text is made its own all the same before it is written.
    Lib_StringW copy(other);
    copy.Get_Buffer(0)[0] = u'Y';
    EXPECT_EQ(Units(copy), u"Ybc");
    EXPECT_EQ(Units(other), u"abc");
}

TEST_F(Foundation_String, Get_Buffer_Zero_On_Empty_Hands_Out_The_Shared_Block_Unchanged) {
    Lib_StringW text;
    const WCHAR* buffer = text.Get_Buffer(0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(text.Get_Reference_Count(), -1);
    text.Get_Buffer_Set_Length(0);
    EXPECT_EQ(text.Get_Reference_Count(), -1);
    EXPECT_EQ(Lib_StringW().Get_Length(), 0);
}

TEST_F(Foundation_String, Concatenation_Has_Exact_Length) {
    Lib_StringW left(TEXT("C:\\"));
    Lib_String joined = left + TEXT("Windows") + Lib_StringW(TEXT("\\Temp"));
    EXPECT_EQ(Units(joined), u"C:\\Windows\\Temp");
    EXPECT_EQ(joined.Get_Capacity(), joined.Get_Length());
    EXPECT_EQ(Units(TEXT("x") + left), u"xC:\\");
    const WCHAR* no_text = nullptr;
    EXPECT_EQ(Units(left + no_text), u"C:\\");
    EXPECT_EQ(Units(no_text + left), u"C:\\");
    Lib_String nothing = Lib_StringW() + TEXT("");
    EXPECT_EQ(nothing.Get_Reference_Count(), -1);
}

TEST_F(Foundation_String, Decimal_Text_From_Zero_To_The_Largest_Number) {
    EXPECT_EQ(Units(Decimal_Text(0)), u"0");
    EXPECT_EQ(Units(Decimal_Text(1002)), u"1002");
    EXPECT_EQ(Units(Decimal_Text(~0ull)), u"18446744073709551615");
}

TEST_F(Foundation_String, Wide_Buffer_Holds_Characters_And_Zero) {
    LibT_Buffer<WCHAR> buffer = Lib_StringW(TEXT("ab")).To_Wide_Buffer();
    ASSERT_EQ(buffer.Get_Size(), 6u);
    ASSERT_NE(buffer.Get_Data(), nullptr);
    EXPECT_EQ(buffer.Get_Data()[0], u'a');
    EXPECT_EQ(buffer.Get_Data()[1], u'b');
    EXPECT_EQ(buffer.Get_Data()[2], 0);
    LibT_Buffer<WCHAR> empty = Lib_StringW().To_Wide_Buffer();
    EXPECT_EQ(empty.Get_Size(), 0u);
    EXPECT_EQ(empty.Get_Data(), nullptr);
}

TEST_F(Foundation_String, Ansi_Buffer_Replaces_Unmappable_Characters) {
    LibT_Buffer<char> buffer = Lib_StringW(u"a\x4E2D\x00E9").To_Ansi_Buffer();
    ASSERT_EQ(buffer.Get_Size(), 4u);
    EXPECT_EQ(std::string(buffer.Get_Data(), 4), std::string("a?\xE9\0", 4));
    EXPECT_EQ(Lib_StringW().To_Ansi_Buffer().Get_Size(), 0u);
}

TEST_F(Foundation_String, Ansi_Round_Trip_In_Cyrillic_Code_Page) {
    winsim::The_Machine().code_page = 1251;
    Lib_StringW text("\xCF\xF0\xE8\xE2\xE5\xF2 \xA8");
    EXPECT_EQ(Units(text), u"\x041F\x0440\x0438\x0432\x0435\x0442 \x0401");
    LibT_Buffer<char> back = text.To_Ansi_Buffer();
    ASSERT_EQ(back.Get_Size(), 9u);
    EXPECT_STREQ(back.Get_Data(), "\xCF\xF0\xE8\xE2\xE5\xF2 \xA8");
    winsim::The_Machine().code_page = 1252;
    LibT_Buffer<char> western = text.To_Ansi_Buffer();
    EXPECT_STREQ(western.Get_Data(), "?????? ?");
}

TEST_F(Foundation_String, Ansi_Construction_Uses_Code_Page_1252) {
    Lib_StringW text("\x80\x81 caf\xE9");
    EXPECT_EQ(Units(text), u"\x20AC\x0081 caf\x00E9");
    EXPECT_EQ(text.Get_Capacity(), 7);
    EXPECT_EQ(Lib_StringW("").Get_Reference_Count(), -1);
}

TEST_F(Foundation_String, Failed_Conversions_Give_Empty_Results) {
    winsim::The_Machine().Add_Fault("MultiByteToWideChar", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Lib_StringW("abc").Get_Reference_Count(), -1);
    winsim::The_Machine().Add_Fault("WideCharToMultiByte", 1, ERROR_NOT_ENOUGH_MEMORY);
    LibT_Buffer<char> failed = Lib_StringW(TEXT("abc")).To_Ansi_Buffer();
    ASSERT_EQ(failed.Get_Size(), 1u);
    EXPECT_EQ(failed.Get_Data()[0], 0);
}

TEST_F(Foundation_String, Copies_Released_On_Several_Threads_Free_The_Block_Once) {
    Lib_StringW text(TEXT("shared between threads"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&text] {
            for (int i = 0; i < 10000; ++i) {
                Lib_StringW copy(text);
                Lib_StringW again = copy;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(text.Get_Reference_Count(), 1);
}

TEST(Foundation_Buffer, Construction_Copy_And_Empty) {
    Lib_Buffer none;
    EXPECT_EQ(none.Get_Size(), 0u);
    EXPECT_EQ(none.Get_Raw_Data(), nullptr);
    Lib_Buffer zero(0);
    EXPECT_EQ(zero.Get_Raw_Data(), nullptr);
    LibT_Buffer<unsigned char> bytes(5);
    ASSERT_NE(bytes.Get_Data(), nullptr);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(bytes.Get_Data()[i], 0);
    bytes.Get_Data()[2] = 0x7A;
    LibT_Buffer<unsigned char> copy(bytes);
    EXPECT_NE(copy.Get_Data(), bytes.Get_Data());
    EXPECT_EQ(copy.Get_Size(), 5u);
    EXPECT_EQ(copy.Get_Data()[2], 0x7A);
    copy.Get_Data()[2] = 1;
    EXPECT_EQ(bytes.Get_Data()[2], 0x7A);
}

// ---- the ordered set ----

struct Item {
    int id;
};

std::vector<int> Visit(const LibT_Set<int>& set) {
    std::vector<int> order;
    LibT_Set<int>::Iterator it;
    for (it.Begin(set); !it.Is_End(); it.Next()) order.push_back(it.Get_Value());
    return order;
}

TEST(Foundation_Set, Empty_Set) {
    LibT_Set<int> set;
    EXPECT_EQ(set.Get_Count(), 0u);
    LibT_Set<int>::Iterator it;
    it.Begin(set);
    EXPECT_TRUE(it.Is_End());
    EXPECT_FALSE(it.Next());
    set.Remove_All();
    EXPECT_EQ(set.Get_Count(), 0u);
}

TEST(Foundation_Set, Visits_In_Pre_Order_Lesser_First) {
    LibT_Set<int> set;
    for (int value : {50, 30, 70, 20, 40, 60, 80, 35, 65}) EXPECT_TRUE(set.Insert(value));
    EXPECT_EQ(Visit(set), (std::vector<int>{50, 30, 20, 40, 35, 70, 60, 65, 80}));
    EXPECT_EQ(set.Get_Count(), 9u);
}

TEST(Foundation_Set, Duplicate_Insert_Changes_Nothing) {
    LibT_Set<int> set;
    EXPECT_TRUE(set.Insert(5));
    EXPECT_TRUE(set.Insert(3));
    EXPECT_FALSE(set.Insert(5));
    EXPECT_FALSE(set.Insert(3));
    EXPECT_EQ(set.Get_Count(), 2u);
    EXPECT_EQ(Visit(set), (std::vector<int>{5, 3}));
}

TEST(Foundation_Set, Remove_All_Empties_And_The_Set_Can_Grow_Again) {
    LibT_Set<int> set;
    for (int value = 0; value < 100; ++value) set.Insert((value * 37) % 101);
    EXPECT_EQ(set.Get_Count(), 100u);
    set.Remove_All();
    EXPECT_EQ(set.Get_Count(), 0u);
    set.Insert(4);
    EXPECT_EQ(Visit(set), (std::vector<int>{4}));
}

TEST(Foundation_Set, Degenerate_Tree_Of_Many_Nodes_Is_Counted_And_Freed) {
    LibT_Set<int> set;
    for (int value = 0; value < 20000; ++value) set.Insert(value);
    EXPECT_EQ(set.Get_Count(), 20000u);
    set.Remove_All();
    EXPECT_EQ(set.Get_Count(), 0u);
}

TEST(Foundation_Set, Pointer_Elements_Are_Ordered_By_Address_And_Not_Freed) {
    Item items[3] = {{1}, {2}, {3}};
    {
        LibT_Set<Item*> set;
        set.Insert(&items[1]);
        set.Insert(&items[2]);
        set.Insert(&items[0]);
        EXPECT_FALSE(set.Insert(&items[1]));
        std::vector<int> order;
        LibT_Set<Item*>::Iterator it;
        for (it.Begin(set); !it.Is_End(); it.Next()) order.push_back(it.Get_Value()->id);
        EXPECT_EQ(order, (std::vector<int>{2, 1, 3}));
    }
    // The set is gone; the items it pointed to are intact.
    EXPECT_EQ(items[0].id, 1);
    EXPECT_EQ(items[2].id, 3);
}

TEST(Foundation_Set, Stop_Reset_And_Begin_Again) {
    LibT_Set<int> set;
    for (int value : {10, 5, 15}) set.Insert(value);
    LibT_Set<int>::Iterator it;
    it.Begin(set);
    EXPECT_TRUE(it.Next());  // at 5, with 15 still on the stack
    EXPECT_EQ(it.Get_Value(), 5);
    it.Stop();
    EXPECT_TRUE(it.Is_End());
    EXPECT_FALSE(it.Next());
    it.Begin(set);
    EXPECT_EQ(it.Get_Value(), 10);
    EXPECT_TRUE(it.Next());
    EXPECT_TRUE(it.Next());
    EXPECT_EQ(it.Get_Value(), 15);
    EXPECT_FALSE(it.Next());
    EXPECT_TRUE(it.Is_End());
    it.Reset();
    EXPECT_TRUE(it.Is_End());
}

// ---- the mutex owner ----

class Foundation_Mutex : public ::testing::Test {
protected:
    void SetUp() override { winsim::The_Machine().Reset(); }
};

TEST_F(Foundation_Mutex, Unnamed_Mutex_Waits_Recursively_And_Releases) {
    Lib_Mutex mutex;
    ASSERT_TRUE(mutex.Create(nullptr, FALSE));
    EXPECT_NE(mutex.Get_Handle(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(mutex.Wait(INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(mutex.Wait(0), WAIT_OBJECT_0);
    EXPECT_TRUE(mutex.Release());
    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Release());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
}

TEST_F(Foundation_Mutex, Release_Without_Create_Is_False_And_Wait_Fails) {
    Lib_Mutex mutex;
    EXPECT_FALSE(mutex.Release());
    EXPECT_EQ(mutex.Wait(INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    Lib_Synchro synchro;
    EXPECT_FALSE(synchro.Release());
}

TEST_F(Foundation_Mutex, Failed_Create_Leaves_No_Handle) {
    winsim::The_Machine().Add_Fault("CreateMutexW", 1, ERROR_ACCESS_DENIED);
    Lib_Mutex mutex;
    EXPECT_FALSE(mutex.Create(nullptr, FALSE));
    EXPECT_EQ(mutex.Get_Handle(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Foundation_Mutex, Named_Mutexes_Meet_And_Create_Again_Keeps_The_Name) {
    Lib_Mutex first(Lib_String(TEXT("vp-foundation-test")));
    Lib_Mutex second(Lib_String(TEXT("vp-foundation-test")));
    ASSERT_TRUE(first.Create(nullptr, TRUE));
    ASSERT_TRUE(second.Create(nullptr, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // Re-creating closes the old handle only: the name stays, so the same mutex is opened again.
    ASSERT_TRUE(second.Create(nullptr, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    DWORD result = 0;
    std::thread other([&result, &second] { result = second.Wait(10); });
    other.join();
    EXPECT_EQ(result, WAIT_TIMEOUT);
    EXPECT_TRUE(first.Release());
}

TEST_F(Foundation_Mutex, Close_Closes_The_Handle_Once) {
    Lib_Mutex mutex;
    ASSERT_TRUE(mutex.Create(nullptr, FALSE));
    HANDLE handle = mutex.Get_Handle();
    mutex.Close();
    EXPECT_EQ(mutex.Get_Handle(), nullptr);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    winsim::The_Machine().Add_Fault("CloseHandle", 1, ERROR_GEN_FAILURE);
    mutex.Close();  // no handle: CloseHandle is not called, so the fault stays unused
    Lib_Handle nothing;
    nothing.Close();
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

// ---- the owners of handles ----

// Values that count how often they were given back; giving one back fails, as a close may, and
// leaves its own error as the last error.
struct Counted_Kind {
    using Value = int*;
    static bool Is_Held(int* count) { return count != nullptr; }
    static void Give_Back(int* count) {
        ++*count;
        SetLastError(ERROR_INVALID_HANDLE);
    }
};
using Counted = LibT_Owned<Counted_Kind>;

TEST(Foundation_Handles, Owners_Give_Back_Once_Keep_The_Last_Error_And_Pass_On) {
    struct Case {
        const char* name;
        void (*use)(int* first, int* second);  // what is done with owners of the two values
        int first_given_back, second_given_back;
    };
    const Case cases[] = {
        {"destroyed", [](int* a, int*) { Counted owner(a); }, 1, 0},
        {"closed twice, then destroyed",
         [](int* a, int*) {
             Counted owner(a);
             owner.Close();
             EXPECT_FALSE(owner.Is_Open());
             owner.Close();
         },
         1, 0},
        {"moved into a new owner",
         [](int* a, int*) {
             Counted from(a);
             Counted to(std::move(from));
             EXPECT_FALSE(from.Is_Open());
             EXPECT_EQ(to.Get(), a);
         },
         1, 0},
        {"moved over a held value, which goes at once",
         [](int* a, int* b) {
             Counted from(a);
             Counted to(b);
             to = std::move(from);
             EXPECT_EQ(*b, 1);
             EXPECT_EQ(*a, 0);
         },
         1, 1},
        {"released: passed on, never given back",
         [](int* a, int*) {
             Counted owner(a);
             EXPECT_EQ(owner.Release(), a);
             EXPECT_FALSE(owner.Is_Open());
         },
         0, 0},
        {"received into while holding: the old value goes first",
         [](int* a, int* b) {
             Counted owner(a);
             int** slot = owner.Receive();
             EXPECT_EQ(*a, 1);
             *slot = b;
         },
         1, 1},
        {"holding nothing", [](int*, int*) { Counted().Close(); }, 0, 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        int first = 0, second = 0;
        SetLastError(ERROR_MORE_DATA);
        test.use(&first, &second);
        EXPECT_EQ(first, test.first_given_back);
        EXPECT_EQ(second, test.second_given_back);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    }

    // The kernel handle's owner closes a real handle once, through a failing close too, and takes a
    // failed open's INVALID_HANDLE_VALUE for nothing.
    winsim::The_Machine().Reset();
    HANDLE handle = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(handle, nullptr);
    { Owned_Handle owner(handle); }
    EXPECT_FALSE(CloseHandle(handle));
    winsim::The_Machine().Add_Fault("CloseHandle", 1, ERROR_GEN_FAILURE);
    {
        Owned_Handle nothing(INVALID_HANDLE_VALUE);
        EXPECT_FALSE(nothing.Is_Open());
        Owned_Handle failing(CreateMutexW(nullptr, FALSE, nullptr));
        SetLastError(ERROR_MORE_DATA);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(winsim::The_Machine().fault_hits.size(), 1u);  // the held one only
}

}  // namespace
