// Kernel handles of the simulated machine: one table for every kind of object (mutexes, threads,
// open files, folder searches, ...), so that CloseHandle and WaitForSingleObject treat them alike.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace winsim {

struct Kernel_Object {
    virtual ~Kernel_Object() = default;
    // WaitForSingleObject on the object; the default object cannot be waited for.
    virtual DWORD Wait(DWORD milliseconds);
    // What the handle stands for, as a leak report names it ("file C:\x", "mutex NAME", ...).
    virtual std::string What() const;
    // The owner of a named kernel object (a SID's text form), as GetSecurityInfo reads it; empty for an
    // object whose security is not modelled.
    virtual std::string Owner_Sid() const;
};

// Registers an object and returns its new handle (never null, never INVALID_HANDLE_VALUE); the handle
// is noted as open (open_objects.h) until Remove_Handle.
HANDLE Add_Handle(std::shared_ptr<Kernel_Object> object);
// The object behind a handle, or null when the handle is not open.
std::shared_ptr<Kernel_Object> Get_Handle(HANDLE handle);
template <typename T>
std::shared_ptr<T> Get_Handle_As(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(Get_Handle(handle));
}
// Closes a handle; false when it was not open.
bool Remove_Handle(HANDLE handle);

// The id of the thread behind a thread handle (GetCurrentThread() included); false for another handle.
bool Thread_Id_Of(HANDLE thread, DWORD& id);

}  // namespace winsim
