// The floor of the single-producer single-consumer design: the same ring of
// cells in shared memory (48-byte header, cells of 16-byte header + payload
// lying cell_size + 16 apart, ring positions in the header) and the same two
// named semaphores, "_free_" and "_filled_", with every check, error text,
// virtual call and hook left out. What SPSCQueueCPP costs beyond this is the
// price of the library itself.
#pragma once

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "bare_semaphores.h"
#include "program.h"

namespace mox::bench {

class BareRing {
public:
    // Creates the segment and the two semaphores (the writer's end).
    BareRing(const std::string& name, uint32_t cells, uint64_t cell_size, int64_t spin_ns)
        : name_(name), cells_(cells), cell_size_(cell_size), spin_ns_(spin_ns) {
        size_ = kHeader + static_cast<uint64_t>(cells) * (cell_size + 16);
        const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) fail_errno("shm_open " + name);
        if (::ftruncate(fd, static_cast<off_t>(size_)) != 0) fail_errno("ftruncate");
        map(fd);
        std::memcpy(segment_, &size_, 8);
        std::memcpy(segment_ + 12, &cells_, 4);
        std::memcpy(segment_ + 16, &cell_size_, 8);
        filled_ = open_sem("_filled_", 0, true);
        free_ = open_sem("_free_", cells, true);
    }

    // Connects (the reader's end) and removes the names, as the queue does.
    BareRing(const std::string& name, int64_t spin_ns) : name_(name), spin_ns_(spin_ns) {
        const int fd = ::shm_open(name.c_str(), O_RDWR, 0600);
        if (fd < 0) fail_errno("shm_open " + name);
        if (::read(fd, &size_, 8) != 8) fail_errno("read segment size");
        map(fd);
        std::memcpy(&cells_, segment_ + 12, 4);
        std::memcpy(&cell_size_, segment_ + 16, 8);
        filled_ = open_sem("_filled_", 0, false);
        free_ = open_sem("_free_", 0, false);
        remove_names();
    }

    ~BareRing() {
        if (filled_ != nullptr) ::sem_close(filled_);
        if (free_ != nullptr) ::sem_close(free_);
        if (segment_ != nullptr) ::munmap(segment_, size_);
        remove_names();
    }

    BareRing(const BareRing&) = delete;
    BareRing& operator=(const BareRing&) = delete;

    void write(const char* data, uint64_t length) {
        bare_wait(free_, spin_ns_);
        char* cell = cell_at(index(kWriteIndex));
        std::memcpy(cell + 8, &length, 8);
        std::memcpy(cell + 16, data, length);
        advance(kWriteIndex);
        bare_post(filled_);
    }

    uint64_t read(char* buffer, uint64_t) {
        bare_wait(filled_, spin_ns_);
        const char* cell = cell_at(index(kReadIndex));
        uint64_t length;
        std::memcpy(&length, cell + 8, 8);
        std::memcpy(buffer, cell + 16, length);
        advance(kReadIndex);
        bare_post(free_);
        return length;
    }

private:
    static constexpr uint64_t kHeader = 48;
    static constexpr size_t kReadIndex = 24;
    static constexpr size_t kWriteIndex = 28;

    void map(int fd) {
        void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (p == MAP_FAILED) fail_errno("mmap");
        segment_ = static_cast<char*>(p);
    }

    sem_t* open_sem(const char* suffix, unsigned initial, bool create) {
        const std::string n = name_ + suffix;
        sem_t* s = create ? ::sem_open(n.c_str(), O_CREAT | O_EXCL, 0600, initial) : ::sem_open(n.c_str(), 0);
        if (s == SEM_FAILED) fail_errno("sem_open " + n);
        return s;
    }

    void remove_names() {
        if (unlinked_) return;
        unlinked_ = true;
        ::shm_unlink(name_.c_str());
        ::sem_unlink((name_ + "_filled_").c_str());
        ::sem_unlink((name_ + "_free_").c_str());
    }

    uint32_t index(size_t at) const {
        uint32_t v;
        std::memcpy(&v, segment_ + at, 4);
        return v;
    }
    void advance(size_t at) {
        const uint32_t v = index(at) + 1;
        const uint32_t next = v == cells_ ? 0 : v;
        std::memcpy(segment_ + at, &next, 4);
    }
    char* cell_at(uint32_t i) const { return segment_ + kHeader + static_cast<uint64_t>(i) * (cell_size_ + 16); }

    std::string name_;
    uint32_t cells_ = 0;
    uint64_t cell_size_ = 0;
    int64_t spin_ns_ = 0;
    uint64_t size_ = 0;
    char* segment_ = nullptr;
    sem_t* filled_ = nullptr;
    sem_t* free_ = nullptr;
    bool unlinked_ = false;
};

}  // namespace mox::bench
