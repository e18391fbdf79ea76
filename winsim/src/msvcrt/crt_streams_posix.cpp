// The streams of the C runtime's files on Linux: a real glibc FILE whose reads, writes and seeks
// reach the simulated file through fopencookie; the cookie applies the Microsoft runtime's text mode
// (LF written as CR LF; CR LF read as LF, Ctrl-Z ends the file).
#include "msvcrt/crt_streams.h"
#include "machine/open_objects.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace winsim {

namespace {

const uint8_t kCtrlZ = 0x1A;

// Runs a read or write on the file behind a cookie and its node, under the machine's lock; -1 with
// EIO when the file is gone.
template <typename Work>
ssize_t On_File(void* cookie, Work work) {
    auto* file = static_cast<Runtime_File*>(cookie);
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Fs_Node* node = File_Node(machine, *file);
    if (!node) {
        errno = EIO;
        return -1;
    }
    return work(*file, node->data);
}

ssize_t Read_File(void* cookie, char* out, size_t size) {
    return On_File(cookie, [&](Runtime_File& file, const std::vector<uint8_t>& data) {
        size_t count = 0;
        while (count < size && file.position < data.size()) {
            uint8_t byte = data[file.position];
            if (file.text_mode) {
                if (byte == kCtrlZ) break;  // the position stays on it, so later reads find the end too
                if (byte == '\r' && file.position + 1 < data.size() && data[file.position + 1] == '\n') {
                    ++file.position;
                    byte = '\n';
                }
            }
            out[count++] = char(byte);
            ++file.position;
        }
        return ssize_t(count);
    });
}

ssize_t Write_File(void* cookie, const char* in, size_t size) {
    return On_File(cookie, [&](Runtime_File& file, std::vector<uint8_t>& data) {
        std::vector<uint8_t> bytes;
        bytes.reserve(size + size / 8);
        for (size_t i = 0; i < size; ++i) {
            if (file.text_mode && in[i] == '\n') bytes.push_back('\r');
            bytes.push_back(uint8_t(in[i]));
        }
        if (file.append) file.position = data.size();
        if (file.position > data.size()) data.resize(file.position, 0);
        size_t overwritten = std::min<size_t>(bytes.size(), data.size() - file.position);
        std::copy(bytes.begin(), bytes.begin() + overwritten, data.begin() + file.position);
        data.insert(data.end(), bytes.begin() + overwritten, bytes.end());
        file.position += bytes.size();
        return ssize_t(size);
    });
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
    Note_Closed(Object_Kind::Runtime_Stream, reinterpret_cast<uintptr_t>(file->stream));
    delete file;
    return 0;
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
    return !file.text_mode || node.data[file.position] != kCtrlZ;
}

}  // namespace

FILE* Open_Runtime_Stream(Runtime_File& file, char kind, bool update, const std::vector<uint8_t>&,
                          errno_t& error) {
    static const char* const glibc_modes[3][2] = {{"r", "r+"}, {"w", "w+"}, {"a", "a+"}};
    int row = kind == 'r' ? 0 : kind == 'w' ? 1 : 2;
    cookie_io_functions_t functions{Read_File, Write_File, Seek_File, Close_File};
    FILE* stream = fopencookie(&file, glibc_modes[row][update ? 1 : 0], functions);
    if (!stream) {
        error = ENOMEM;
        return nullptr;
    }
    // Unbuffered: every read and seek reaches the cookie, so positions stay those of the stored
    // bytes and no translated bytes sit in a glibc buffer.
    setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

// Close_File takes a closed stream's file out of Open_Files().
bool Runtime_Stream_Open(const Runtime_File&) { return true; }

bool Read_Runtime_Stream(FILE* stream, void* buffer, size_t element_size, size_t wanted, size_t count,
                         size_t& got, bool& refused) {
    // A stream of the simulated files with nothing in the C library's own buffer is read in one
    // call of its reading function, not byte by byte as an unbuffered stream is. The locks are
    // taken in the order of the C library's own reads: the stream's, then the machine's.
    flockfile(stream);
    Machine& machine = The_Machine();
    std::unique_lock<std::recursive_mutex> guard(machine.lock);
    Runtime_File* file = Runtime_Stream(stream);
    Fs_Node* node = file ? File_Node(machine, *file) : nullptr;
    if (!node || stream->_IO_read_ptr != stream->_IO_read_end || stream->_IO_save_base != nullptr ||
        ferror_unlocked(stream)) {
        guard.unlock();
        funlockfile(stream);
        return false;
    }
    ssize_t bytes = Read_File(file, static_cast<char*>(buffer), wanted * element_size);
    got = size_t(bytes) / element_size;
    bool more = More_To_Read(*file, *node);
    guard.unlock();
    funlockfile(stream);
    refused = got == wanted && wanted < count && more;
    // At the end, the stream's end-of-file indicator is set as fread and the look past a full buffer
    // set it.
    if (!refused && (got < wanted || (wanted < count && !more))) fgetc(stream);
    return true;
}

}  // namespace winsim
