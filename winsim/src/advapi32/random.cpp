// RtlGenRandom (SystemFunction036): random bytes from a generator the machine seeds the same way for
// every run, so that the names a run makes from them, and its logs, are the same in every run of a
// scenario. Windows gives bytes nobody can predict; the tool relies on nothing else.
#include <ntsecapi.h>

#include <mutex>

#include "machine/machine.h"

using namespace winsim;

BOOLEAN SystemFunction036(PVOID random_buffer, ULONG random_buffer_length) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault = 0;
    if (machine.Record_Call("RtlGenRandom", Text(), &fault)) {
        SetLastError(fault);
        return FALSE;
    }
    BYTE* bytes = static_cast<BYTE*>(random_buffer);
    for (ULONG at = 0; at < random_buffer_length; ++at) {
        // SplitMix64, one output per byte.
        machine.random_state += 0x9E3779B97F4A7C15ull;
        unsigned long long z = machine.random_state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        bytes[at] = BYTE(z ^ (z >> 31));
    }
    return TRUE;
}
