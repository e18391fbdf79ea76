#include "machine/handles.h"

#include "machine/open_objects.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace winsim {

namespace {

// The process-wide handle table. Handle values grow by 4 as on Windows and are never reused, so a
// closed handle stays invalid for the rest of the run. Built on first use (the tool creates its log
// lock during static initialisation) and never destroyed (static destructors may still close handles).
struct Handle_Table {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Kernel_Object>> objects;
    uintptr_t next = 0x40;
};

Handle_Table& The_Table() {
    static Handle_Table* table = new Handle_Table();
    return *table;
}

}  // namespace

DWORD Kernel_Object::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

std::string Kernel_Object::What() const { return "kernel object"; }

std::string Kernel_Object::Owner_Sid() const { return std::string(); }

HANDLE Add_Handle(std::shared_ptr<Kernel_Object> object) {
    Handle_Table& table = The_Table();
    std::lock_guard<std::mutex> guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    Note_Open(Object_Kind::Kernel_Handle, value, object->What());
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Kernel_Object> Get_Handle(HANDLE handle) {
    Handle_Table& table = The_Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.objects.end() ? nullptr : found->second;
}

bool Remove_Handle(HANDLE handle) {
    std::shared_ptr<Kernel_Object> object;  // destroyed after the table's lock is let go
    Handle_Table& table = The_Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.objects.end()) return false;
    object = std::move(found->second);
    table.objects.erase(found);
    Note_Closed(Object_Kind::Kernel_Handle, reinterpret_cast<uintptr_t>(handle));
    return true;
}

}  // namespace winsim
