#include "foundation/Lib_String.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

// Header of a text block; capacity + 1 characters follow it in the same allocation.
struct Lib_Text_Block {
    LONG count;
    long long length;
    long long capacity;
};

namespace {

// The block of every empty text. Its count of -1 marks it: it is never counted, written or freed.
// Constant-initialised, so texts built during static initialisation of other files can use it.
struct Empty_Block_Storage {
    Lib_Text_Block header;
    WCHAR terminator;
};
Empty_Block_Storage Empty_Block = {{-1, 0, 0}, 0};

static_assert(offsetof(Empty_Block_Storage, terminator) == sizeof(Lib_Text_Block),
              "the characters of a block follow its header directly");

WCHAR* Empty_Text() { return &Empty_Block.terminator; }

WCHAR* Characters_Of(Lib_Text_Block* block) {
    return reinterpret_cast<WCHAR*>(reinterpret_cast<char*>(block) + sizeof(Lib_Text_Block));
}

long long Length_Of(const WCHAR* text) {
    if (text == nullptr) return 0;
    const WCHAR* end = text;
    while (*end != 0) ++end;
    return end - text;
}

// A new exclusive block (count 1, length 0) with room for exactly capacity characters and the
// terminating 0, all zero. Raises the out-of-memory exception on failure.
Lib_Text_Block* Allocate_Block(long long capacity) {
    const long long limit = static_cast<long long>((SIZE_MAX - sizeof(Lib_Text_Block)) / sizeof(WCHAR)) - 1;
    if (capacity < 0 || capacity > limit) throw std::bad_alloc();
    const size_t characters = static_cast<size_t>(capacity + 1) * sizeof(WCHAR);
    auto* block = static_cast<Lib_Text_Block*>(::operator new(sizeof(Lib_Text_Block) + characters));
    block->count = 1;
    block->length = 0;
    block->capacity = capacity;
    std::memset(Characters_Of(block), 0, characters);
    return block;
}

// The block's count, read atomically: other texts sharing the block may change it at the same time.
// The exchange writes only when the count equals the value it writes, so it never changes the count.
LONG Read_Count(Lib_Text_Block* block) { return InterlockedCompareExchange(&block->count, 0, 0); }

// Ordinal three-way comparison of two zero-terminated texts, optionally folding A to Z.
int Compare_Units(const WCHAR* left, const WCHAR* right, bool fold) {
    static const WCHAR nothing = 0;
    if (left == nullptr) left = &nothing;
    if (right == nullptr) right = &nothing;
    for (;; ++left, ++right) {
        WCHAR a = fold ? Fold_Lower(*left) : *left;
        WCHAR b = fold ? Fold_Lower(*right) : *right;
        if (a != b) return a < b ? -1 : 1;
        if (a == 0) return 0;
    }
}

Lib_String Concatenate(const WCHAR* left, long long left_length, const WCHAR* right, long long right_length) {
    Lib_String result;
    if (left_length + right_length == 0) return result;
    WCHAR* characters = result.Get_Buffer_Set_Length(left_length + right_length);
    if (left_length != 0) std::memcpy(characters, left, static_cast<size_t>(left_length) * sizeof(WCHAR));
    if (right_length != 0) {
        std::memcpy(characters + left_length, right, static_cast<size_t>(right_length) * sizeof(WCHAR));
    }
    return result;
}

}  // namespace

WCHAR Fold_Lower(WCHAR c) { return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + ('a' - 'A')) : c; }

Lib_StringW::Lib_StringW() : text(Empty_Text()) {}

Lib_StringW::Lib_StringW(const WCHAR* characters) : text(Empty_Text()) {
    Set_Characters(characters, Length_Of(characters));
}

Lib_StringW::Lib_StringW(std::nullptr_t) : text(Empty_Text()) {}

Lib_StringW::Lib_StringW(const char* ansi_text) : text(Empty_Text()) {
    if (ansi_text == nullptr) return;
    const size_t bytes = std::strlen(ansi_text);
    if (bytes >= static_cast<size_t>(INT_MAX)) return;  // beyond what one conversion call can take
    // A byte never yields more than one UTF-16 unit, so bytes + 1 units hold the text and its 0.
    std::unique_ptr<WCHAR[]> converted(new WCHAR[bytes + 1]);
    int count = MultiByteToWideChar(CP_ACP, 0, ansi_text, -1, converted.get(), static_cast<int>(bytes + 1));
    if (count > 0) Set_Characters(converted.get(), count - 1);
}

Lib_StringW::Lib_StringW(const Lib_StringW& other) : text(Empty_Text()) { Attach(other.Get_Block()); }

Lib_StringW::~Lib_StringW() { Release(); }

Lib_StringW& Lib_StringW::operator=(const Lib_StringW& other) {
    if (other.text != text) {
        Release();
        Attach(other.Get_Block());
    }
    return *this;
}

Lib_StringW& Lib_StringW::operator=(const WCHAR* characters) {
    if (characters != text) Set_Characters(characters, Length_Of(characters));
    return *this;
}

const WCHAR* Lib_StringW::Get_Text() const { return Get_Length() == 0 ? nullptr : text; }

int Lib_StringW::Compare(const WCHAR* other) const { return Compare_Units(text, other, false); }

int Lib_StringW::Compare_No_Case(const WCHAR* other) const { return Compare_Units(text, other, true); }

long long Lib_StringW::Get_Length() const { return Get_Block()->length; }

long long Lib_StringW::Find(const WCHAR* needle, long long start) const {
    const long long length = Get_Length();
    if (start < 0 || start > length) return -1;
    const long long needle_length = Length_Of(needle);
    if (needle_length == 0) return start;
    for (long long at = start; at + needle_length <= length; ++at) {
        if (std::memcmp(text + at, needle, static_cast<size_t>(needle_length) * sizeof(WCHAR)) == 0) return at;
    }
    return -1;
}

long long Lib_StringW::Reverse_Find(WCHAR character) const {
    for (long long at = Get_Length() - 1; at >= 0; --at) {
        if (text[at] == character) return at;
    }
    return -1;
}

Lib_String Lib_StringW::Mid(long long start, long long count) const {
    const long long length = Get_Length();
    if (start < 0) start = 0;
    if (start >= length || count <= 0) return Lib_String();
    if (count > length - start) count = length - start;
    if (start == 0 && count == length) return Lib_String(*this);
    Lib_String result;
    static_cast<Lib_StringW&>(result).Set_Characters(text + start, count);
    return result;
}

void Lib_StringW::Append(const Lib_StringW& other) { Append_Characters(other.text, other.Get_Length()); }

void Lib_StringW::Append(const WCHAR* characters) { Append_Characters(characters, Length_Of(characters)); }

void Lib_StringW::Clear() {
    if (Get_Length() != 0) Release();
}

void Lib_StringW::Make_Lower() {
    const long long length = Get_Length();
    if (length == 0) return;
    Lib_Text_Block* block = Get_Block();
    if (Read_Count(block) != 1) {
        Lib_Text_Block* fresh = Allocate_Block(length);
        std::memcpy(Characters_Of(fresh), text, static_cast<size_t>(length) * sizeof(WCHAR));
        fresh->length = length;
        Release();
        text = Characters_Of(fresh);
    }
    for (long long at = 0; at < length; ++at) text[at] = Fold_Lower(text[at]);
}

WCHAR* Lib_StringW::Get_Buffer(long long minimum_capacity) {
    if (minimum_capacity < 0) minimum_capacity = 0;
    Lib_Text_Block* block = Get_Block();
    if (Read_Count(block) == 1 && block->capacity >= minimum_capacity) return text;
    if (text == Empty_Text() && minimum_capacity == 0) return text;
    const long long length = block->length;
    Lib_Text_Block* fresh = Allocate_Block(minimum_capacity > length ? minimum_capacity : length);
    if (length != 0) std::memcpy(Characters_Of(fresh), text, static_cast<size_t>(length) * sizeof(WCHAR));
    fresh->length = length;
    Release();
    text = Characters_Of(fresh);
    return text;
}

WCHAR* Lib_StringW::Get_Buffer_Set_Length(long long length) {
    if (length < 0) length = 0;
    WCHAR* characters = Get_Buffer(length);
    if (characters == Empty_Text()) return characters;  // length 0 on the empty text: nothing to set
    Get_Block()->length = length;
    characters[length] = 0;
    return characters;
}

LibT_Buffer<WCHAR> Lib_StringW::To_Wide_Buffer() const {
    const long long length = Get_Length();
    if (length == 0) return LibT_Buffer<WCHAR>();
    LibT_Buffer<WCHAR> buffer(static_cast<size_t>(length + 1) * sizeof(WCHAR));
    if (buffer.Get_Data() != nullptr) {
        std::memcpy(buffer.Get_Data(), text, static_cast<size_t>(length) * sizeof(WCHAR));
    }
    return buffer;
}

LibT_Buffer<char> Lib_StringW::To_Ansi_Buffer() const {
    if (Get_Length() == 0) return LibT_Buffer<char>();
    int needed = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return LibT_Buffer<char>(1);
    LibT_Buffer<char> buffer(static_cast<size_t>(needed));
    if (buffer.Get_Data() == nullptr) return buffer;
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, buffer.Get_Data(), needed, nullptr, nullptr) <= 0) {
        return LibT_Buffer<char>(1);
    }
    return buffer;
}

LONG Lib_StringW::Get_Reference_Count() const { return Read_Count(Get_Block()); }

long long Lib_StringW::Get_Capacity() const { return Get_Block()->capacity; }

Lib_Text_Block* Lib_StringW::Get_Block() const {
    return reinterpret_cast<Lib_Text_Block*>(reinterpret_cast<char*>(text) - sizeof(Lib_Text_Block));
}

// Shares a block; the caller has let go of its own first.
void Lib_StringW::Attach(Lib_Text_Block* block) {
    if (Characters_Of(block) == Empty_Text()) {
        text = Empty_Text();
        return;
    }
    InterlockedIncrement(&block->count);
    text = Characters_Of(block);
}

void Lib_StringW::Release() {
    if (text == Empty_Text()) return;
    Lib_Text_Block* block = Get_Block();
    text = Empty_Text();
    if (InterlockedDecrement(&block->count) <= 0) ::operator delete(block);
}

// The new block is filled before the old one is released, so characters may come from the text itself.
void Lib_StringW::Set_Characters(const WCHAR* characters, long long count) {
    Lib_Text_Block* block = Get_Block();
    if (Read_Count(block) != 1 || block->capacity < count) {
        if (count == 0) {
            Release();
            return;
        }
        Lib_Text_Block* fresh = Allocate_Block(count);
        std::memcpy(Characters_Of(fresh), characters, static_cast<size_t>(count) * sizeof(WCHAR));
        fresh->length = count;
        Release();
        text = Characters_Of(fresh);
        return;
    }
    if (count != 0) std::memmove(text, characters, static_cast<size_t>(count) * sizeof(WCHAR));
    block->length = count;
    text[count] = 0;
}

void Lib_StringW::Append_Characters(const WCHAR* characters, long long count) {
    if (characters == nullptr || count <= 0) return;
    Lib_Text_Block* block = Get_Block();
    const long long length = block->length;
    if (Read_Count(block) != 1 || block->capacity < length + count) {
        Lib_Text_Block* fresh = Allocate_Block(length + count);
        WCHAR* fresh_text = Characters_Of(fresh);
        if (length != 0) std::memcpy(fresh_text, text, static_cast<size_t>(length) * sizeof(WCHAR));
        std::memcpy(fresh_text + length, characters, static_cast<size_t>(count) * sizeof(WCHAR));
        fresh->length = length + count;
        Release();
        text = fresh_text;
        return;
    }
    std::memmove(text + length, characters, static_cast<size_t>(count) * sizeof(WCHAR));
    block->length = length + count;
    text[length + count] = 0;
}

Lib_String operator+(const Lib_StringW& left, const Lib_StringW& right) {
    return Concatenate(left.Get_Text(), left.Get_Length(), right.Get_Text(), right.Get_Length());
}

Lib_String operator+(const Lib_StringW& left, const WCHAR* right) {
    return Concatenate(left.Get_Text(), left.Get_Length(), right, Length_Of(right));
}

Lib_String operator+(const WCHAR* left, const Lib_StringW& right) {
    return Concatenate(left, Length_Of(left), right.Get_Text(), right.Get_Length());
}

Lib_String Decimal_Text(unsigned long long number) {
    WCHAR digits[21];  // 20 digits at most, and the terminating 0
    int first = 20;
    digits[first] = 0;
    do {
        digits[--first] = static_cast<WCHAR>(TEXT('0') + number % 10);
        number /= 10;
    } while (number != 0);
    return Lib_String(digits + first);
}
