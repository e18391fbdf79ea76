// fread_s for the MinGW-w64 build, over the C runtime's own fread.
#include "mingw/fread_s.h"

#include <errno.h>
#include <string.h>

extern "C" size_t __cdecl fread_s(void* buffer, size_t buffer_size, size_t element_size, size_t count, FILE* stream)
{
    if (element_size == 0 || count == 0)
        return 0;
    if (buffer == nullptr || stream == nullptr)
    {
        errno = EINVAL;
        return 0;
    }

    const size_t fitting = buffer_size / element_size;
    if (count <= fitting)
        return fread(buffer, element_size, count, stream);

    // More was asked for than the buffer holds: read what fits, then see whether the stream had more.
    const size_t read = fread(buffer, element_size, fitting, stream);
    if (read < fitting)
        return read;
    const int next = fgetc(stream);
    if (next == EOF)
        return read;
    ungetc(next, stream);
    memset(buffer, 0, buffer_size);
    errno = ERANGE;
    return 0;
}
