#include "machine/open_objects.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <set>

namespace winsim {

namespace {

// A leaf lock: nothing is called while it is held. Never destroyed, as static destructors may still
// give objects back.
struct Object_Table {
    std::mutex lock;
    std::map<std::pair<Object_Kind, uintptr_t>, std::string> open;
};

Object_Table& The_Table() {
    static auto* table = new Object_Table();
    return *table;
}

const char* Kind_Name(Object_Kind kind) {
    switch (kind) {
    case Object_Kind::Registry_Key: return "registry key";
    case Object_Kind::Kernel_Handle: return "handle";
    case Object_Kind::Thread: return "thread";
    case Object_Kind::Impersonation: return "impersonation by thread";
    case Object_Kind::Sid: return "SID";
    case Object_Kind::Local_Memory: return "LocalAlloc block";
    case Object_Kind::Smart_Card_Context: return "smart-card context";
    case Object_Kind::Runtime_Stream: return "C runtime stream";
    case Object_Kind::Loaded_Hive: return "loaded hive";
    }
    return "object";
}

}  // namespace

void Note_Open(Object_Kind kind, uintptr_t id, std::string what) {
    Object_Table& table = The_Table();
    std::lock_guard<std::mutex> guard(table.lock);
    table.open[{kind, id}] = std::move(what);
}

void Note_Closed(Object_Kind kind, uintptr_t id) {
    Object_Table& table = The_Table();
    std::lock_guard<std::mutex> guard(table.lock);
    table.open.erase({kind, id});
}

std::vector<Open_Object> Open_Objects() {
    Object_Table& table = The_Table();
    std::lock_guard<std::mutex> guard(table.lock);
    std::vector<Open_Object> objects;
    for (const auto& entry : table.open) objects.push_back({entry.first.first, entry.first.second, entry.second});
    return objects;
}

std::vector<Open_Object> Left_Open(const std::vector<Open_Object>& before, unsigned wait_ms) {
    Wait_For_Running_Threads(wait_ms);
    Let_Go_Of_Closed_Streams();
    std::set<std::pair<Object_Kind, uintptr_t>> held_before;
    for (const Open_Object& object : before) held_before.insert({object.kind, object.id});
    std::vector<Open_Object> left;
    for (Open_Object& object : Open_Objects())
        if (!held_before.count({object.kind, object.id})) left.push_back(std::move(object));
    return left;
}

std::string Describe(const Open_Object& object) {
    // Objects known by their address (SIDs, blocks, streams) are named by what they hold only, as
    // addresses differ from run to run.
    char id[32] = "";
    if (object.kind == Object_Kind::Thread || object.kind == Object_Kind::Impersonation)
        std::snprintf(id, sizeof id, " %lu", static_cast<unsigned long>(object.id));
    else if (object.kind == Object_Kind::Registry_Key || object.kind == Object_Kind::Kernel_Handle ||
             object.kind == Object_Kind::Smart_Card_Context)
        std::snprintf(id, sizeof id, " 0x%lx", static_cast<unsigned long>(object.id));
    return std::string(Kind_Name(object.kind)) + id + ": " + object.what;
}

}  // namespace winsim
