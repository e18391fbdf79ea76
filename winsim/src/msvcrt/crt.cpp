// The C runtime's file calls as the Microsoft C runtime has them, over files of drive C:. A stream
// is a real glibc FILE whose reads, writes and seeks reach the simulated file through fopencookie;
// the cookie applies the runtime's text mode (LF written as CR LF; CR LF read as LF, Ctrl-Z ends
// the file) and its open rules (no sharing while open).
#include "kernel_files.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace winsim {

namespace {

const uint8_t Ctrl_Z = 0x1A;

struct Runtime_File {
    Text path;
    bool text_mode = true;
    bool append = false;
    uint64_t position = 0;  // in bytes of the file as stored, before any text translation
    Fs_Node* node = nullptr;  // the file, found at Fs_Generation() == generation
    uint64_t generation = 0;
    FILE* stream = nullptr;
};

// Never destroyed, like the machine: streams may still be closed by static destructors.
std::vector<Runtime_File*>& Open_Files() {
    static auto* files = new std::vector<Runtime_File*>();
    return *files;
}

// The file behind a stream. The node found at the open is used while no folder entry has been
// removed since; after a removal the path is looked up again, so that a machine emptied under an
// open stream makes its calls fail instead of reaching a destroyed node.
Fs_Node* File_Node(Machine& machine, Runtime_File& file) {
    if (file.node && file.generation == Fs_Generation()) return file.node;
    Fs_Node* node = machine.Find_Path(file.path);
    if (node && node->directory) node = nullptr;
    file.node = node;
    file.generation = Fs_Generation();
    return node;
}

ssize_t Read_File(void* cookie, char* out, size_t size) {
    auto* file = static_cast<Runtime_File*>(cookie);
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Fs_Node* node = File_Node(machine, *file);
    if (!node) {
        errno = EIO;
        return -1;
    }
    const std::vector<uint8_t>& data = node->data;
    size_t count = 0;
    while (count < size && file->position < data.size()) {
        uint8_t byte = data[file->position];
        if (file->text_mode) {
            if (byte == Ctrl_Z) break;  // the position stays on it, so later reads find the end too
            if (byte == '\r' && file->position + 1 < data.size() && data[file->position + 1] == '\n') {
                ++file->position;
                byte = '\n';
            }
        }
        out[count++] = char(byte);
        ++file->position;
    }
    return ssize_t(count);
}

ssize_t Write_File(void* cookie, const char* in, size_t size) {
    auto* file = static_cast<Runtime_File*>(cookie);
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Fs_Node* node = File_Node(machine, *file);
    if (!node) {
        errno = EIO;
        return -1;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(size + size / 8);
    for (size_t i = 0; i < size; ++i) {
        if (file->text_mode && in[i] == '\n') bytes.push_back('\r');
        bytes.push_back(uint8_t(in[i]));
    }
    std::vector<uint8_t>& data = node->data;
    if (file->append) file->position = data.size();
    if (file->position > data.size()) data.resize(file->position, 0);
    size_t overwritten = std::min<size_t>(bytes.size(), data.size() - file->position);
    std::copy(bytes.begin(), bytes.begin() + overwritten, data.begin() + file->position);
    data.insert(data.end(), bytes.begin() + overwritten, bytes.end());
    file->position += bytes.size();
    return ssize_t(size);
}

// Positions are those of the stored bytes, as in the Microsoft runtime: after a seek to the end,
// ftell gives the size of the file also in text mode.
int Seek_File(void* cookie, off64_t* offset, int whence) {
    auto* file = static_cast<Runtime_File*>(cookie);
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    int64_t base;
    if (whence == SEEK_SET) {
        base = 0;
    } else if (whence == SEEK_CUR) {
        base = int64_t(file->position);
    } else if (whence == SEEK_END) {
        Fs_Node* node = File_Node(machine, *file);
        if (!node) {
            errno = EIO;
            return -1;
        }
        base = int64_t(node->data.size());
    } else {
        errno = EINVAL;
        return -1;
    }
    if ((*offset < 0 && base + *offset < 0) || (*offset > 0 && *offset > INT64_MAX - base)) {
        errno = EINVAL;
        return -1;
    }
    file->position = uint64_t(base + *offset);
    *offset = off64_t(file->position);
    return 0;
}

int Close_File(void* cookie) {
    auto* file = static_cast<Runtime_File*>(cookie);
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    auto& files = Open_Files();
    files.erase(std::remove(files.begin(), files.end(), file), files.end());
    delete file;
    return 0;
}

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

// The runtime file behind a stream of _wfopen_s, or null.
Runtime_File* Runtime_Stream(FILE* stream) {
    for (Runtime_File* file : Open_Files())
        if (file->stream == stream) return file;
    return nullptr;
}

// Whether reading the stream goes on past what has been read: a byte before the end that is not,
// in text mode, the Ctrl-Z that ends the file.
bool More_To_Read(const Runtime_File& file, const Fs_Node& node) {
    if (file.position >= node.data.size()) return false;
    return !file.text_mode || node.data[file.position] != Ctrl_Z;
}

// A null pointer or an empty file name reaches the Microsoft runtime's invalid-parameter handler,
// whose default ends the process at once.
[[noreturn]] void Invalid_Parameter(const char* function) {
    std::fprintf(stderr, "winsim: invalid parameter passed to %s: the C runtime ends the process\n", function);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

bool Is_Open_In_Runtime(Machine& machine, const Fs_Node* node) {
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
        if (node->held_open || Is_Open_In_Runtime(machine, node)) return Fail_Open(EACCES);
        if (writes && (node->attributes & FILE_ATTRIBUTE_READONLY)) return Fail_Open(EACCES);
    } else if (parsed.kind == 'r' || !parent) {
        return Fail_Open(ENOENT);
    }

    auto* opened = new Runtime_File();
    opened->path = path;
    opened->text_mode = !parsed.binary;
    opened->append = parsed.kind == 'a';
    static const char* const glibc_modes[3][2] = {{"r", "r+"}, {"w", "w+"}, {"a", "a+"}};
    int row = parsed.kind == 'r' ? 0 : parsed.kind == 'w' ? 1 : 2;
    cookie_io_functions_t functions{Read_File, Write_File, Seek_File, Close_File};
    FILE* stream = fopencookie(opened, glibc_modes[row][parsed.update ? 1 : 0], functions);
    if (!stream) {
        delete opened;
        return Fail_Open(ENOMEM);
    }
    // Unbuffered: every read and seek reaches the cookie, so positions stay those of the stored
    // bytes and no translated bytes sit in a glibc buffer.
    setvbuf(stream, nullptr, _IONBF, 0);
    if (!node) {
        node = parent->Add_Child(last, false);
    } else if (parsed.kind == 'w') {
        node->data.clear();
        node->listed_size = 0;
    }
    opened->stream = stream;
    Open_Files().push_back(opened);
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
    {
        // A stream of the simulated files with nothing in the C library's own buffer is read in one
        // call of its reading function, not byte by byte as an unbuffered stream is. The locks are
        // taken in the order of the C library's own reads: the stream's, then the machine's.
        flockfile(stream);
        Machine& machine = The_Machine();
        std::unique_lock<std::recursive_mutex> guard(machine.lock);
        Runtime_File* file = Runtime_Stream(stream);
        Fs_Node* node = file ? File_Node(machine, *file) : nullptr;
        if (node && stream->_IO_read_ptr == stream->_IO_read_end && stream->_IO_save_base == nullptr &&
            !ferror_unlocked(stream)) {
            ssize_t bytes = Read_File(file, static_cast<char*>(buffer), wanted * element_size);
            size_t got = size_t(bytes) / element_size;
            bool more = More_To_Read(*file, *node);
            guard.unlock();
            funlockfile(stream);
            if (got == wanted && wanted < count && more) {
                std::memset(buffer, 0, buffer_size);
                errno = ERANGE;
                return 0;
            }
            // At the end, the stream's end-of-file indicator is set as fread and the look past a full
            // buffer set it.
            if (got < wanted || (wanted < count && !more)) fgetc(stream);
            return got;
        }
        guard.unlock();
        funlockfile(stream);
    }
    size_t got = fread(buffer, element_size, wanted, stream);
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
