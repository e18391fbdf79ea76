#include "foundation/Lib_Mutex.h"

Lib_Synchro::~Lib_Synchro() { Lib_Synchro::Close(); }

void Lib_Synchro::Close() {
    name.Clear();
    handle.Close();
}

bool Lib_Synchro::Release() { return false; }

DWORD Lib_Synchro::Wait(DWORD milliseconds) { return WaitForSingleObject(handle.Get(), milliseconds); }

// The old handle is closed directly, not through Close, which would also drop the name.
bool Lib_Mutex::Create(LPSECURITY_ATTRIBUTES attributes, BOOL initially_owned) {
    handle.Close();
    handle = Owned_Handle(CreateMutexW(attributes, initially_owned, name.Get_Text()));
    return handle.Is_Open();
}

bool Lib_Mutex::Release() {
    if (!handle.Is_Open()) return false;
    return ReleaseMutex(handle.Get()) != FALSE;
}
