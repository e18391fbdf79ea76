// Owners of Windows kernel handles: the plain handle, the named synchronisation object, the mutex.
#pragma once

#include <windows.h>

#include "foundation/Lib_Handles.h"
#include "foundation/Lib_String.h"

// Owns one kernel handle: closing or destroying the object closes it exactly once.
class Lib_Handle {
public:
    Lib_Handle() = default;
    virtual ~Lib_Handle() = default;

    virtual void Close() { handle.Close(); }
    HANDLE Get_Handle() const { return handle.Get(); }

protected:
    Owned_Handle handle;
};

// A kernel object that can be waited for, with an optional name.
class Lib_Synchro : public Lib_Handle {
public:
    Lib_Synchro() = default;
    explicit Lib_Synchro(const Lib_String& object_name) : name(object_name) {}
    ~Lib_Synchro() override;

    void Close() override;
    virtual bool Release();
    // WaitForSingleObject's result, unchanged; INFINITE waits without limit.
    DWORD Wait(DWORD milliseconds);

protected:
    Lib_String name;  // empty for an unnamed object
};

class Lib_Mutex : public Lib_Synchro {
public:
    Lib_Mutex() = default;
    explicit Lib_Mutex(const Lib_String& mutex_name) : Lib_Synchro(mutex_name) {}
    ~Lib_Mutex() override = default;

    // Closes any handle held, then creates (or opens, for a name already in use) the mutex; an empty
    // name gives an unnamed mutex. True when a handle came back.
    bool Create(LPSECURITY_ATTRIBUTES attributes, BOOL initially_owned);
    bool Release() override;
};
