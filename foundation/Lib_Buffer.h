// Owned, zero-filled blocks of bytes, and their typed face.
#pragma once

#include <cstddef>

// A block of bytes owned by the object. Allocation never raises: when it fails, data stays null and the
// requested size is still recorded, so a caller tests the data pointer before using it.
class Lib_Buffer {
public:
    Lib_Buffer();
    explicit Lib_Buffer(size_t size);
    // A separate zero-filled block of the same size, into which the other's bytes are copied.
    Lib_Buffer(const Lib_Buffer& other);
    Lib_Buffer(Lib_Buffer&& other) noexcept;
    Lib_Buffer& operator=(const Lib_Buffer& other);
    Lib_Buffer& operator=(Lib_Buffer&& other) noexcept;
    virtual ~Lib_Buffer();

    size_t Get_Size() const { return size; }
    void* Get_Raw_Data() const { return data; }

private:
    void Free();

    size_t size;
    void* data;
};

// The same block read as an array of T. Sizes stay in bytes.
template <typename T>
class LibT_Buffer : public Lib_Buffer {
public:
    LibT_Buffer() = default;
    explicit LibT_Buffer(size_t size) : Lib_Buffer(size) {}
    LibT_Buffer(const LibT_Buffer& other) = default;
    LibT_Buffer(LibT_Buffer&& other) noexcept = default;
    LibT_Buffer& operator=(const LibT_Buffer& other) = default;
    LibT_Buffer& operator=(LibT_Buffer&& other) noexcept = default;
    ~LibT_Buffer() override = default;

    T* Get_Data() const { return static_cast<T*>(Get_Raw_Data()); }
};
