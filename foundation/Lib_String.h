// The text type of the tool: UTF-16 code units in a reference-counted, copy-on-write block.
//
// A text points at the first character of its block; the block header (reference count, length,
// capacity) sits just before it. Every empty text points at one static block whose count is -1 and
// which is never counted, written or freed. Lengths, capacities and positions count UTF-16 units.
#pragma once

#include <windows.h>

#include <cstddef>

#include "foundation/Lib_Buffer.h"

class Lib_String;
struct Lib_Text_Block;

// The letters A to Z folded to lower case, as Make_Lower and Compare_No_Case fold them; other units as
// they are.
WCHAR Fold_Lower(WCHAR c);

class Lib_StringW {
public:
    Lib_StringW();
    Lib_StringW(const WCHAR* text);  // null gives the empty text
    Lib_StringW(std::nullptr_t);
    // ANSI text, converted from the machine's ANSI code page; null or a failed conversion gives empty.
    Lib_StringW(const char* ansi_text);
    Lib_StringW(const Lib_StringW& other);
    virtual ~Lib_StringW();

    Lib_StringW& operator=(const Lib_StringW& other);
    Lib_StringW& operator=(const WCHAR* text);

    // The characters, or null for an empty text.
    virtual const WCHAR* Get_Text() const;
    // 0 when both hold the same characters (null counts as empty); otherwise the sign of an ordinal
    // comparison of UTF-16 units, the object's own text on the left.
    virtual int Compare(const WCHAR* text) const;
    // Three-way comparison that folds the letters A to Z to lower case; other units compare by value.
    int Compare_No_Case(const WCHAR* text) const;

    long long Get_Length() const;
    bool Is_Empty() const { return Get_Length() == 0; }
    // Position of the first occurrence of needle at or after start, or -1. An empty (or null) needle is
    // found at start; a start outside the text gives -1.
    long long Find(const WCHAR* needle, long long start = 0) const;
    long long Reverse_Find(WCHAR character) const;
    // The characters from start on, at most count of them.
    Lib_String Mid(long long start, long long count) const;

    void Append(const Lib_StringW& other);
    void Append(const WCHAR* text);
    void Clear();
    void Make_Lower();
    // Makes the block exclusive with room for at least minimum_capacity characters (plus the terminating
    // 0) and returns the characters. With 0 on an empty text it returns the shared empty block, which
    // must only be read.
    WCHAR* Get_Buffer(long long minimum_capacity);
    // Get_Buffer(length), then the text holds exactly length characters, the last followed by a 0.
    WCHAR* Get_Buffer_Set_Length(long long length);

    // (length + 1) * 2 bytes: the characters and a 0. An empty text gives an empty buffer.
    LibT_Buffer<WCHAR> To_Wide_Buffer() const;
    // The text in the ANSI code page, zero-terminated. An empty text gives an empty buffer; a failed
    // conversion gives a buffer holding only the terminating 0.
    LibT_Buffer<char> To_Ansi_Buffer() const;

    // How many texts share the block (-1 for the shared empty block), and its room in characters.
    LONG Get_Reference_Count() const;
    long long Get_Capacity() const;

private:
    Lib_Text_Block* Get_Block() const;
    void Attach(Lib_Text_Block* block);
    void Release();
    void Set_Characters(const WCHAR* text, long long count);
    void Append_Characters(const WCHAR* text, long long count);

    WCHAR* text;
};

// The name under which the tool declares its texts.
class Lib_String : public Lib_StringW {
public:
    using Lib_StringW::Lib_StringW;
    Lib_String() = default;
    Lib_String(const Lib_String& other) = default;
    Lib_String(const Lib_StringW& other) : Lib_StringW(other) {}
    ~Lib_String() override = default;

    Lib_String& operator=(const Lib_String& other) = default;
    Lib_String& operator=(const Lib_StringW& other) {
        Lib_StringW::operator=(other);
        return *this;
    }
    Lib_String& operator=(const WCHAR* other) {
        Lib_StringW::operator=(other);
        return *this;
    }
};

// The number in decimal digits ("0", "42", "18446744073709551615").
Lib_String Decimal_Text(unsigned long long number);

// Concatenation: a new text of exactly the combined length. A null pointer counts as empty.
Lib_String operator+(const Lib_StringW& left, const Lib_StringW& right);
Lib_String operator+(const Lib_StringW& left, const WCHAR* right);
Lib_String operator+(const WCHAR* left, const Lib_StringW& right);
