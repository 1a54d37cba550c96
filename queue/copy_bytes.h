// Copying a payload between a caller's memory and a cell.
//
// Cells lie cell_size + 16 bytes apart, so a copy's destination often
// starts a few bytes past its source modulo 4 KiB. For such copies of a few
// KiB and more, glibc's memcpy (rep movsb) runs many times slower on some
// CPUs (measured on AMD EPYC: 2-3 GB/s instead of 60-90 GB/s for 4-256 KiB).
// Those copies go in fixed 256-byte pieces instead, which the compiler
// turns into plain vector moves that keep their speed at any alignment;
// every other copy is memcpy's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mox::ipc_queue {

inline void copy_bytes(void* dst, const void* src, size_t n) {
    const uintptr_t ahead = (reinterpret_cast<uintptr_t>(dst) - reinterpret_cast<uintptr_t>(src)) % 4096;
    if (n < 2048 || ahead == 0 || ahead >= 64) {
        std::memcpy(dst, src, n);
        return;
    }
    char* d = static_cast<char*>(dst);
    const char* s = static_cast<const char*>(src);
    for (; n >= 256; n -= 256, d += 256, s += 256) std::memcpy(d, s, 256);
    std::memcpy(d, s, n);
}

}  // namespace mox::ipc_queue
