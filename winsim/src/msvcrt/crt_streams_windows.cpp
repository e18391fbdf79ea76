// The streams of the C runtime's files in a Windows build (vpsim.exe): the Microsoft runtime has no
// way to back a FILE with the simulated file, so a stream reads a copy of the file made when it is
// opened, in a temporary file that the runtime deletes when fclose closes it; its own text mode
// translates what is read. Writing through such a stream would not reach the simulated file, so
// this build opens files for reading only (the tool reads its .inf files so).
#include "crt_streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace winsim {

namespace {

// A descriptor on a new temporary file that is deleted when its last descriptor closes, or -1.
int New_Temporary_File(std::wstring& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t* candidate = _wtempnam(nullptr, L"vpsim");
        if (!candidate) return -1;
        name = candidate;
        std::free(candidate);
        int fd = _wopen(name.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

FILE* Open_Runtime_Stream(Runtime_File& file, char kind, bool update, const std::vector<uint8_t>& data,
                          errno_t& error) {
    error = EINVAL;
    if (kind != 'r' || update) return nullptr;
    int fd = New_Temporary_File(file.host_copy);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    for (size_t done = 0; done < data.size();) {
        unsigned part = unsigned(std::min<size_t>(data.size() - done, 1u << 30));
        int written = _write(fd, data.data() + done, part);
        if (written <= 0) {
            error = errno;
            _close(fd);
            return nullptr;
        }
        done += size_t(written);
    }
    _lseek(fd, 0, SEEK_SET);
    if (file.text_mode) _setmode(fd, _O_TEXT);
    FILE* stream = _wfdopen(fd, file.text_mode ? L"rt" : L"rb");
    if (!stream) {
        error = errno;
        _close(fd);
    }
    return stream;
}

// The runtime deletes the copy when fclose closes its descriptor.
bool Runtime_Stream_Open(const Runtime_File& file) { return _waccess(file.host_copy.c_str(), 0) == 0; }

bool Read_Runtime_Stream(FILE*, void*, size_t, size_t, size_t, size_t&, bool&) { return false; }

}  // namespace winsim
