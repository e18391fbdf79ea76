// Base of the foundation library's containers.
#pragma once

#include <cstddef>

class Lib_Container {
public:
    virtual ~Lib_Container() = default;
    virtual void Remove_All() {}
    virtual size_t Get_Count() const { return 0; }
};
