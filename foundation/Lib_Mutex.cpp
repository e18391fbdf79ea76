#include "foundation/Lib_Mutex.h"

Lib_Handle::~Lib_Handle() { Close_Handle(); }

void Lib_Handle::Close() { Close_Handle(); }

bool Lib_Handle::Close_Handle() {
    if (handle == nullptr) return true;
    BOOL closed = CloseHandle(handle);
    handle = nullptr;
    return closed != FALSE;
}

Lib_Synchro::~Lib_Synchro() { Lib_Synchro::Close(); }

void Lib_Synchro::Close() {
    name.Clear();
    Close_Handle();
}

bool Lib_Synchro::Release() { return false; }

DWORD Lib_Synchro::Wait(DWORD milliseconds) { return WaitForSingleObject(handle, milliseconds); }

// The old handle is closed directly, not through Close, which would also drop the name.
bool Lib_Mutex::Create(LPSECURITY_ATTRIBUTES attributes, BOOL initially_owned) {
    Close_Handle();
    handle = CreateMutexW(attributes, initially_owned, name.Get_Text());
    return handle != nullptr;
}

bool Lib_Mutex::Release() {
    if (handle == nullptr) return false;
    return ReleaseMutex(handle) != FALSE;
}
