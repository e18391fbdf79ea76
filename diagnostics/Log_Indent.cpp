#include "diagnostics/Log_Indent.h"

namespace {

// The records of every thread that ever deepened its indentation, guarded by the log lock. Built by
// static initialisation before the entry point runs and destroyed after it returns.
class Log_Offsets_Registry {
public:
    Log_Offsets_Registry() { lock.Create(nullptr, FALSE); }

    ~Log_Offsets_Registry() {
        LibT_Set<logOffset_Info*>::Iterator it;
        for (it.Begin(offsets); !it.Is_End(); it.Next()) delete it.Get_Value();
        it.Reset();
        offsets.Remove_All();
        lock.Close();
    }

    // The calling thread's record, or null. The caller holds the lock.
    logOffset_Info* Find_Current_Thread() {
        DWORD thread_id = GetCurrentThreadId();
        LibT_Set<logOffset_Info*>::Iterator it;
        for (it.Begin(offsets); !it.Is_End(); it.Next()) {
            if (it.Get_Value()->thread_id == thread_id) return it.Get_Value();
        }
        return nullptr;
    }

    LibT_Set<logOffset_Info*> offsets;
    Lib_Mutex lock;
};

Log_Offsets_Registry Log_Offsets;

}  // namespace

Lib_Mutex& Log_Lock() { return Log_Offsets.lock; }

void Log_Indent() {
    Log_Offsets.lock.Wait(INFINITE);
    if (logOffset_Info* info = Log_Offsets.Find_Current_Thread()) {
        info->offset += Log_Indent_Step;
    } else {
        Log_Offsets.offsets.Insert(new logOffset_Info{GetCurrentThreadId(), Log_Indent_Step});
    }
    Log_Offsets.lock.Release();
}

void Log_Unindent() {
    Log_Offsets.lock.Wait(INFINITE);
    logOffset_Info* info = Log_Offsets.Find_Current_Thread();
    if (info && info->offset >= Log_Indent_Step) info->offset -= Log_Indent_Step;
    Log_Offsets.lock.Release();
}

DWORD Log_Get_Offset() {
    Log_Offsets.lock.Wait(INFINITE);
    logOffset_Info* info = Log_Offsets.Find_Current_Thread();
    DWORD offset = info ? info->offset : 0;
    Log_Offsets.lock.Release();
    return offset;
}
