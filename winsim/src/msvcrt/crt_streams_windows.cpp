// The streams of the C runtime's files in a Windows build (vpsim.exe): the Microsoft runtime has no
// way to back a FILE with the simulated file, so a stream reads a copy of the file made when it is
// opened, in a temporary file that the runtime deletes when fclose closes it; its own text mode
// translates what is read. Writing through such a stream would not reach the simulated file, so
// this build opens files for reading only (the tool reads its .inf files so).
#include "msvcrt/crt_streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <memory>
#include <sys/stat.h>

namespace winsim {

namespace {

// A descriptor of the C runtime, closed when it goes unless a stream has taken it.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) _close(fd);
    }
};

// A new temporary file, deleted when its last descriptor closes; fd stays -1 when none can be made.
void New_Temporary_File(std::wstring& name, Descriptor& file) {
    for (int attempt = 0; attempt < 100 && file.fd < 0; ++attempt) {
        std::unique_ptr<wchar_t, decltype(&std::free)> candidate(_wtempnam(nullptr, L"vpsim"), &std::free);
        if (!candidate) return;
        name = candidate.get();
        file.fd = _wopen(name.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY, _S_IREAD | _S_IWRITE);
        if (file.fd < 0 && errno != EEXIST) return;
    }
}

}  // namespace

FILE* Open_Runtime_Stream(Runtime_File& file, char kind, bool update, const std::vector<uint8_t>& data,
                          errno_t& error) {
    error = EINVAL;
    if (kind != 'r' || update) return nullptr;
    Descriptor copy;
    New_Temporary_File(file.host_copy, copy);
    size_t done = 0;
    while (copy.fd >= 0 && done < data.size()) {
        int written = _write(copy.fd, data.data() + done, unsigned(std::min<size_t>(data.size() - done, 1u << 30)));
        if (written <= 0) break;
        done += size_t(written);
    }
    if (copy.fd < 0 || done != data.size() || _lseeki64(copy.fd, 0, SEEK_SET) != 0) {
        error = errno ? errno : EIO;
        return nullptr;
    }
    if (file.text_mode) _setmode(copy.fd, _O_TEXT);
    FILE* stream = _wfdopen(copy.fd, file.text_mode ? L"rt" : L"rb");
    if (!stream) {
        error = errno;
        return nullptr;
    }
    copy.fd = -1;  // the stream closes it
    return stream;
}

// The runtime deletes the copy when fclose closes its descriptor.
bool Runtime_Stream_Open(const Runtime_File& file) { return _waccess(file.host_copy.c_str(), 0) == 0; }

bool Read_Runtime_Stream(FILE*, void*, size_t, size_t, size_t, size_t&, bool&) { return false; }

}  // namespace winsim
