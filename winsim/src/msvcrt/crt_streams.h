// The C runtime's streams over files of drive C:, as crt.cpp opens them, and the host's part: how a
// real FILE reaches the simulated file (crt_streams_posix.cpp over glibc, crt_streams_windows.cpp
// over the Microsoft runtime of a Windows build).
#pragma once

#include "machine/machine.h"

#include <cstdio>

namespace winsim {

struct Runtime_File {
    Text path;
    bool text_mode = true;
    bool append = false;
    uint64_t position = 0;  // in bytes of the file as stored, before any text translation
    Fs_Node* node = nullptr;  // the file, found at Fs_Generation() == generation
    uint64_t generation = 0;
    FILE* stream = nullptr;
    std::wstring host_copy;  // Windows: the temporary file the stream reads
};

// The runtime files whose streams may still be open. Never destroyed, like the machine: streams may
// still be closed by static destructors.
std::vector<Runtime_File*>& Open_Files();

// The file behind a stream. The node found at the open is used while no folder entry has been
// removed since; after a removal the path is looked up again, so that a machine emptied under an
// open stream makes its calls fail instead of reaching a destroyed node.
Fs_Node* File_Node(Machine& machine, Runtime_File& file);

// The host's part. A stream for a file just opened with mode kind ('r', 'w' or 'a') and update
// ('+'), whose stored bytes are data; null with the C runtime's error in error when the host cannot
// give one. The caller holds machine.lock.
FILE* Open_Runtime_Stream(Runtime_File& file, char kind, bool update, const std::vector<uint8_t>& data,
                          errno_t& error);
// Whether fclose has not yet closed the stream of a file of Open_Files().
bool Runtime_Stream_Open(const Runtime_File& file);
// fread_s's read of wanted elements when the host reads a stream of the simulated files in one call:
// true with the result in got (or with refused set when the buffer is too small and more remains).
bool Read_Runtime_Stream(FILE* stream, void* buffer, size_t element_size, size_t wanted, size_t count,
                         size_t& got, bool& refused);

}  // namespace winsim
