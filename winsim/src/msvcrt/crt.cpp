// The C runtime's file calls as the Microsoft C runtime has them, over files of drive C:: the open
// rules (no sharing while open) and the secure read. The stream itself comes from the host's part
// (crt_streams.h).
#include "msvcrt/crt_streams.h"
#include "kernel32/kernel_files.h"
#include "kernel32/kernel_open.h"
#include "machine/open_objects.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace winsim {

std::vector<Runtime_File*>& Open_Files() {
    static auto* files = new std::vector<Runtime_File*>();
    return *files;
}

Fs_Node* File_Node(Machine& machine, Runtime_File& file) {
    if (file.node && file.generation == Fs_Generation()) return file.node;
    Fs_Node* node = machine.Find_Path(file.path);
    if (node && node->directory) node = nullptr;
    file.node = node;
    file.generation = Fs_Generation();
    return node;
}

namespace {

struct Open_Mode {
    char kind = 0;  // 'r', 'w' or 'a'
    bool update = false;
    bool binary = false;
};

// The modes of the Microsoft runtime that the simulation offers: r, w or a, then any of +, t, b.
bool Parse_Mode(const WCHAR* mode, Open_Mode& parsed) {
    if (mode[0] != u'r' && mode[0] != u'w' && mode[0] != u'a') return false;
    parsed.kind = char(mode[0]);
    bool text = false;
    for (const WCHAR* c = mode + 1; *c; ++c) {
        if (*c == u'+' && !parsed.update) {
            parsed.update = true;
        } else if (*c == u'b' && !parsed.binary && !text) {
            parsed.binary = true;
        } else if (*c == u't' && !text && !parsed.binary) {
            text = true;
        } else {
            return false;
        }
    }
    return true;
}

errno_t Fail_Open(errno_t error) {
    errno = error;
    return error;
}

// A null pointer or an empty file name reaches the Microsoft runtime's invalid-parameter handler,
// whose default ends the process at once.
[[noreturn]] void Invalid_Parameter(const char* function) {
    std::fprintf(stderr, "winsim: invalid parameter passed to %s: the C runtime ends the process\n", function);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

// Streams that fclose has closed without telling (the Windows build's) are let go here.
void Let_Go_Of_Closed_Streams() {
    std::lock_guard<std::recursive_mutex> guard(The_Machine().lock);
    std::vector<Runtime_File*>& files = Open_Files();
    files.erase(std::remove_if(files.begin(), files.end(), [](Runtime_File* file) {
                    if (Runtime_Stream_Open(*file)) return false;
                    Note_Closed(Object_Kind::Runtime_Stream, reinterpret_cast<uintptr_t>(file->stream));
                    delete file;
                    return true;
                }), files.end());
}

bool Is_Open_In_Runtime(Machine& machine, const Fs_Node* node) {
    Let_Go_Of_Closed_Streams();
    for (Runtime_File* file : Open_Files())
        if (File_Node(machine, *file) == node) return true;
    return false;
}

}  // namespace winsim

using namespace winsim;

errno_t _wfopen_s(FILE** file, const WCHAR* file_name, const WCHAR* mode) {
    if (!file || !file_name || !mode || !*file_name) Invalid_Parameter("_wfopen_s");
    *file = nullptr;
    Open_Mode parsed;
    if (!Parse_Mode(mode, parsed)) return Fail_Open(EINVAL);
    Text path = file_name;

    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD error = 0;
    if (machine.Take_Fault("_wfopen_s", path, &error)) return Fail_Open(errno_t(error));
    if (Has_Invalid_Name_Character(path)) return Fail_Open(EINVAL);
    bool writes = parsed.kind != 'r' || parsed.update;
    Fs_Node* parent = nullptr;
    Text last;
    Fs_Node* node = machine.Find_Path(path, &parent, &last);
    if (node) {
        if (node->directory || !parent) return Fail_Open(EACCES);
        Open_Breaks_Oplock(machine, node, GENERIC_READ | (writes ? GENERIC_WRITE : 0), 0, "_wfopen_s", path);
        if (node->held_open || Is_Open_In_Runtime(machine, node)) return Fail_Open(EACCES);
        if (writes && (node->attributes & FILE_ATTRIBUTE_READONLY)) return Fail_Open(EACCES);
    } else if (parsed.kind == 'r' || !parent) {
        return Fail_Open(ENOENT);
    }

    auto* opened = new Runtime_File();
    opened->path = path;
    opened->text_mode = !parsed.binary;
    opened->append = parsed.kind == 'a';
    static const std::vector<uint8_t> no_data;
    const std::vector<uint8_t>& data = node && parsed.kind != 'w' ? node->data : no_data;
    errno_t error_of_host = 0;
    FILE* stream = Open_Runtime_Stream(*opened, parsed.kind, parsed.update, data, error_of_host);
    if (!stream) {
        delete opened;
        return Fail_Open(error_of_host);
    }
    if (!node) {
        node = parent->Add_Child(last, false);
    } else if (parsed.kind == 'w') {
        node->data.clear();
        node->listed_size = 0;
    }
    opened->stream = stream;
    Open_Files().push_back(opened);
    Note_Open(Object_Kind::Runtime_Stream, reinterpret_cast<uintptr_t>(stream), To_Utf8(path));
    *file = stream;
    return 0;
}

size_t fread_s(void* buffer, size_t buffer_size, size_t element_size, size_t count, FILE* stream) {
    if (element_size == 0 || count == 0) return 0;
    if (!buffer) {
        errno = EINVAL;
        return 0;
    }
    if (!stream) {
        std::memset(buffer, 0, buffer_size);
        errno = EINVAL;
        return 0;
    }
    DWORD error = 0;
    if (The_Machine().Take_Fault("fread_s", Text(), &error)) {
        errno = int(error);
        return 0;
    }
    size_t room = buffer_size / element_size;
    size_t wanted = std::min(count, room);
    size_t got = 0;
    bool refused = false;
    if (Read_Runtime_Stream(stream, buffer, element_size, wanted, count, got, refused)) {
        if (!refused) return got;
        std::memset(buffer, 0, buffer_size);
        errno = ERANGE;
        return 0;
    }
    got = fread(buffer, element_size, wanted, stream);
    if (got == wanted && wanted < count) {
        // The buffer is full and more was asked for: when the stream holds more, the secure read
        // refuses, empties the buffer and reports ERANGE instead of writing past its end.
        int next = fgetc(stream);
        if (next != EOF) {
            ungetc(next, stream);
            std::memset(buffer, 0, buffer_size);
            errno = ERANGE;
            return 0;
        }
    }
    return got;
}
