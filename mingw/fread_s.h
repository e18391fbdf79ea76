// The MinGW-w64 C runtime headers do not declare fread_s, and msvcrt.dll does not export it.
// The Windows build force-includes this header into every C++ unit, so the tool calls fread_s
// exactly as it would with the Microsoft C runtime; the definition is in fread_s.cpp.
#ifndef VP_MINGW_FREAD_S_H
#define VP_MINGW_FREAD_S_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Reads up to count items of element_size bytes from stream into buffer, which holds buffer_size
// bytes. Returns the number of whole items read (fewer on end of file or a read error).
// element_size or count 0: returns 0, buffer untouched. buffer or stream null: errno EINVAL, 0.
// A request larger than buffer_size: as many whole items as fit are read; if the stream still has
// data after them, the buffer is cleared, errno is ERANGE and the result is 0.
size_t __cdecl fread_s(void* buffer, size_t buffer_size, size_t element_size, size_t count, FILE* stream);

#ifdef __cplusplus
}
#endif

#endif
