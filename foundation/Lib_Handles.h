// Owners of what Windows hands out to be given back: kernel handles, folder searches, registry keys,
// security identifiers, memory from LocalAlloc, and the C runtime's files. Each owner is moved, never
// copied, and gives its value back once, when it goes or is closed. Giving back keeps the thread's
// last-error value: the error reports read it after a failure, whatever went out of scope in between.
#pragma once

#include <windows.h>

#include <stdio.h>

// Owns one value of a kind. A kind names the value's type (Value), tells whether a value is held
// (Is_Held: a value a failed call returns is not) and gives one back (Give_Back).
template <typename Kind>
class LibT_Owned {
public:
    using Value = typename Kind::Value;

    LibT_Owned() = default;
    explicit LibT_Owned(Value value) : value_(value) {}
    LibT_Owned(const LibT_Owned&) = delete;
    LibT_Owned& operator=(const LibT_Owned&) = delete;
    LibT_Owned(LibT_Owned&& other) noexcept : value_(other.Release()) {}
    LibT_Owned& operator=(LibT_Owned&& other) noexcept {
        if (this != &other) {
            Close();
            value_ = other.Release();
        }
        return *this;
    }
    ~LibT_Owned() { Close(); }

    bool Is_Open() const { return Kind::Is_Held(value_); }
    Value Get() const { return value_; }
    // Where a call puts the value it hands out; anything held before is given back first.
    Value* Receive() {
        Close();
        return &value_;
    }
    // Hands the value on: the owner holds nothing afterwards and gives nothing back.
    Value Release() {
        Value value = value_;
        value_ = Value();
        return value;
    }
    void Close() {
        if (!Is_Open()) return;
        DWORD last_error = GetLastError();
        Kind::Give_Back(Release());
        SetLastError(last_error);
    }

private:
    Value value_ = Value();
};

// A kernel handle (a file, a token, a thread, ...): null and INVALID_HANDLE_VALUE hold nothing.
struct Lib_Kernel_Handle_Kind {
    using Value = HANDLE;
    static bool Is_Held(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void Give_Back(HANDLE handle) { CloseHandle(handle); }
};
using Owned_Handle = LibT_Owned<Lib_Kernel_Handle_Kind>;

// A folder search of FindFirstFile.
struct Lib_Find_Handle_Kind : Lib_Kernel_Handle_Kind {
    static void Give_Back(HANDLE handle) { FindClose(handle); }
};
using Owned_Find_Handle = LibT_Owned<Lib_Find_Handle_Kind>;

// An open registry key, never a predefined root.
struct Lib_Registry_Key_Kind {
    using Value = HKEY;
    static bool Is_Held(HKEY key) { return key != nullptr; }
    static void Give_Back(HKEY key) { RegCloseKey(key); }
};
using Owned_Key = LibT_Owned<Lib_Registry_Key_Kind>;

// A security identifier of AllocateAndInitializeSid.
struct Lib_Sid_Kind {
    using Value = PSID;
    static bool Is_Held(PSID sid) { return sid != nullptr; }
    static void Give_Back(PSID sid) { FreeSid(sid); }
};
using Owned_Sid = LibT_Owned<Lib_Sid_Kind>;

// Memory a call allocated for its caller with LocalAlloc (an access list, a security descriptor, a
// message text), seen as a T.
template <typename T>
struct LibT_Local_Memory_Kind {
    using Value = T;
    static bool Is_Held(T memory) { return memory != nullptr; }
    static void Give_Back(T memory) { LocalFree(memory); }
};
template <typename T>
using Owned_Local = LibT_Owned<LibT_Local_Memory_Kind<T>>;

// A file of the C runtime (_wfopen_s).
struct Lib_C_File_Kind {
    using Value = FILE*;
    static bool Is_Held(FILE* file) { return file != nullptr; }
    static void Give_Back(FILE* file) { fclose(file); }
};
using Owned_C_File = LibT_Owned<Lib_C_File_Kind>;
