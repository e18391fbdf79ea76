// The status record that a primitive fills when a system call fails; only the error report reads it.
#pragma once

#include <cstdint>

class Lib_Result {
public:
    Lib_Result() : source(0), code(0) {}
    virtual ~Lib_Result() {
        source = 0;
        code = 0;
    }

    void Set(int32_t new_code, int32_t new_source) {
        code = new_code;
        source = new_source;
    }
    int32_t Get_Code() const { return code; }
    int32_t Get_Source() const { return source; }

private:
    int32_t source;  // one of the Lib_Result_Source_ kinds below
    int32_t code;
};

// The kinds of error value: an operating-system error value, or the C runtime's.
const int32_t Lib_Result_Source_System = 1;
// An errno value of the C runtime.
const int32_t Lib_Result_Source_C_Runtime = 2;
