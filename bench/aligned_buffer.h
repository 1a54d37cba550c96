// A pre-touched buffer whose data starts a chosen number of bytes past a page
// boundary. Where copies start matters: on some CPUs memcpy slows down many
// times over for certain source/destination offsets modulo 64, so the
// programs fix the offsets instead of taking whatever malloc returns.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "program.h"

namespace mox::bench {

class AlignedBuffer {
public:
    AlignedBuffer(uint64_t size, uint64_t offset, char fill)
        : base_(static_cast<char*>(std::aligned_alloc(4096, round_up(size + offset)))), size_(size) {
        if (base_ == nullptr) fail("out of memory");
        std::memset(base_, fill, round_up(size + offset));
        data_ = base_ + offset;
    }
    ~AlignedBuffer() { std::free(base_); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    char* data() const { return data_; }
    uint64_t size() const { return size_; }

private:
    static uint64_t round_up(uint64_t n) { return (n + 4095) / 4096 * 4096 + 4096; }
    char* base_;
    char* data_ = nullptr;
    uint64_t size_;
};

}  // namespace mox::bench
