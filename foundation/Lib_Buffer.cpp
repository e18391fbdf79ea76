#include "foundation/Lib_Buffer.h"

#include <cstdlib>
#include <cstring>

Lib_Buffer::Lib_Buffer() : size(0), data(nullptr) {}

Lib_Buffer::Lib_Buffer(size_t bytes) : size(bytes), data(bytes != 0 ? std::calloc(1, bytes) : nullptr) {}

Lib_Buffer::Lib_Buffer(const Lib_Buffer& other) : Lib_Buffer(other.size) {
    if (data != nullptr && other.data != nullptr) std::memcpy(data, other.data, size);
}

Lib_Buffer::Lib_Buffer(Lib_Buffer&& other) noexcept : size(other.size), data(other.data) {
    other.size = 0;
    other.data = nullptr;
}

Lib_Buffer& Lib_Buffer::operator=(const Lib_Buffer& other) {
    if (this != &other) {
        Lib_Buffer copy(other);
        *this = static_cast<Lib_Buffer&&>(copy);
    }
    return *this;
}

Lib_Buffer& Lib_Buffer::operator=(Lib_Buffer&& other) noexcept {
    if (this != &other) {
        Free();
        size = other.size;
        data = other.data;
        other.size = 0;
        other.data = nullptr;
    }
    return *this;
}

Lib_Buffer::~Lib_Buffer() { Free(); }

void Lib_Buffer::Free() {
    if (size != 0) std::free(data);
    size = 0;
    data = nullptr;
}
