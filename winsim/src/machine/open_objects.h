// What the process holds and must give back: open registry keys, kernel handles, threads,
// impersonations, SIDs, LocalAlloc'd blocks, smart-card contexts, C runtime streams and loaded hives. Each API that hands one out notes
// it here, each call that gives it back takes it out, so that a run can be checked for leaks once the
// tool's entry point has returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

// An impersonation (ImpersonateSelf, SetThreadToken) is held by its thread until RevertToSelf or the
// thread's end, noted by the thread's id.
enum class Object_Kind {
    Registry_Key, Kernel_Handle, Thread, Impersonation, Sid, Local_Memory, Smart_Card_Context, Runtime_Stream,
    Loaded_Hive  // a hive RegLoadKeyW loaded, until RegUnLoadKeyW unloads it
};

struct Open_Object {
    Object_Kind kind;
    uintptr_t id;      // the handle, context or pointer the caller holds (a thread: its id)
    std::string what;  // what it stands for: a key's path, a file's path, "thread 12 (suspended)", ...
};

// Notes an object handed out, or says anew what a noted one stands for. A call that gives one back
// takes it out even when an injected fault makes that call fail: the caller did give it back (a
// program does not retry a failed close), what stays is the system's.
void Note_Open(Object_Kind kind, uintptr_t id, std::string what);
void Note_Closed(Object_Kind kind, uintptr_t id);
// Every object held now, by kind, then by id.
std::vector<Open_Object> Open_Objects();

// What a run left open: the objects held now that were not held before it, by kind. Threads that were
// resumed and still run are waited for first (up to wait_ms), so that what they hold is judged after
// they end.
std::vector<Open_Object> Left_Open(const std::vector<Open_Object>& before, unsigned wait_ms = 10000);
// One line for a leak report: "registry key 0x104: HKEY_LOCAL_MACHINE\SOFTWARE\X", "SID: S-1-1-0".
std::string Describe(const Open_Object& object);

// Waits until every thread that was started or resumed has ended, or the time is up; false then
// (kernel32/sync.cpp).
bool Wait_For_Running_Threads(unsigned wait_ms);
// Takes out the C runtime streams that fclose closed without telling (msvcrt/crt.cpp).
void Let_Go_Of_Closed_Streams();

}  // namespace winsim
