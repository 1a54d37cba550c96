// Named semaphores with nothing around them: the wait the queues are built
// on (bare_wait: a plain sem_wait, or a poll first, as the queue's own wait
// does for small cells), and a pair of semaphores posted back and forth with
// no payload, the limit of any round trip through a queue.
#pragma once

#include <fcntl.h>
#include <semaphore.h>

#include <cstdint>
#include <string>

#include "program.h"
#include "timing.h"

namespace mox::bench {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Takes `sem`: with spin_ns 0 a plain sem_wait; otherwise first a poll with
// sem_trywait for up to spin_ns, then sem_wait. Fails on any error.
inline void bare_wait(sem_t* sem, int64_t spin_ns) {
    if (spin_ns > 0) {
        if (::sem_trywait(sem) == 0) return;
        const int64_t end = monotonic_ns() + spin_ns;
        do {
            for (int i = 0; i < 16; ++i) {
                cpu_relax();
                if (::sem_trywait(sem) == 0) return;
            }
        } while (monotonic_ns() < end);
    }
    if (::sem_wait(sem) != 0) fail_errno("sem_wait");
}

inline void bare_post(sem_t* sem) {
    if (::sem_post(sem) != 0) fail_errno("sem_post");
}

// Two named semaphores, "<name>_ping" and "<name>_pong"; the creator
// removes the names.
struct SemPair {
    SemPair(const std::string& name, bool create) : name_(name), owner_(create) {
        for (int i = 0; i < 2; ++i) {
            const std::string n = name + (i == 0 ? "_ping" : "_pong");
            sem_[i] = create ? ::sem_open(n.c_str(), O_CREAT | O_EXCL, 0600, 0) : ::sem_open(n.c_str(), 0);
            if (sem_[i] == SEM_FAILED) fail_errno("sem_open " + n);
        }
    }
    ~SemPair() {
        for (sem_t* s : sem_)
            if (s != nullptr && s != SEM_FAILED) ::sem_close(s);
        if (owner_) {
            ::sem_unlink((name_ + "_ping").c_str());
            ::sem_unlink((name_ + "_pong").c_str());
        }
    }
    SemPair(const SemPair&) = delete;
    SemPair& operator=(const SemPair&) = delete;

    std::string name_;
    sem_t* sem_[2] = {nullptr, nullptr};
    bool owner_ = false;
};

// One direction of a SemPair as the harness's write/read: post one
// semaphore, wait on the other. No payload moves.
struct SemEnd {
    sem_t* post_to;
    sem_t* wait_on;
    int64_t spin_ns;
    void write(const char*, uint64_t) { bare_post(post_to); }
    uint64_t read(char*, uint64_t capacity) {
        bare_wait(wait_on, spin_ns);
        return capacity;
    }
};

}  // namespace mox::bench
