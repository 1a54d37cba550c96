// mmap for the fuzz harness. The queue library's calls to mmap land here
// (glibc's own, as in sem_open, do not). Once a fuzz child sets
// mox_fuzz_guard_segments, a shared mapping of a descriptor, which is how a
// segment is mapped, is placed in the middle of a PROT_NONE reservation, so
// both its ends are guarded however the address space is laid out: an
// access past the segment faults instead of landing in a neighbouring
// mapping. An munmap of the segment leaves the guards; a child lives for one
// case only.
//
// Built without sanitizer instrumentation and making the system call
// itself: sanitizer runtimes call mmap while they start, before they could
// handle an instrumented function or a dlsym lookup.
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

extern "C" {
int mox_fuzz_guard_segments = 0;
long mox_fuzz_guarded_mappings = 0;
}

namespace {

constexpr size_t kGuardBytes = size_t{64} << 20;

void* raw_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
    const long r = ::syscall(SYS_mmap, addr, len, prot, flags, fd, off);
    if (r < 0 && r > -4096) {
        errno = static_cast<int>(-r);
        return MAP_FAILED;
    }
    return reinterpret_cast<void*>(r);
}

}  // namespace

extern "C" void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) noexcept {
    if (mox_fuzz_guard_segments == 0 || addr != nullptr || fd < 0 || (flags & MAP_SHARED) == 0 || len == 0 ||
        len > (size_t{1} << 40))
        return raw_mmap(addr, len, prot, flags, fd, off);
    const size_t span = (len + 4095) / 4096 * 4096;
    void* hole =
        raw_mmap(nullptr, span + 2 * kGuardBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (hole == MAP_FAILED) return hole;
    void* p = raw_mmap(static_cast<char*>(hole) + kGuardBytes, len, prot, flags | MAP_FIXED, fd, off);
    if (p == MAP_FAILED) {
        const int err = errno;
        ::syscall(SYS_munmap, hole, span + 2 * kGuardBytes);
        errno = err;
        return p;
    }
    ++mox_fuzz_guarded_mappings;
    return p;
}
