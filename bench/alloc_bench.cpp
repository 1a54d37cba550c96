// Counts heap allocations on the write and read paths of the fixed-cell
// queues (SPSCQueueCPP, MPMCQueueCPP). This program replaces malloc, calloc,
// realloc, the aligned allocators and operator new with counting versions
// that forward to glibc, so every allocation the queue library makes in this
// process is seen. Each path runs many times while counting is on.
// A control row (MPMCVarQueueCPP::read_begin, which allocates its handle,
// and a std::string read into an empty string) shows that the counter sees
// what it should.
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "bench_common.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_allocations{0};
inline void count() {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void* calloc(size_t a, size_t n) {
    count();
    return __libc_calloc(a, n);
}
void* realloc(void* p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
void* memalign(size_t align, size_t n) {
    count();
    return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
    count();
    return __libc_memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
    count();
    void* p = __libc_memalign(align, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
}

void* operator new(size_t n) {
    void* p = malloc(n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

using mox::ipc_queue::Cell;
using mox::ipc_queue::MPMCQueueCPP;
using mox::ipc_queue::MPMCVarQueueCPP;
using mox::ipc_queue::SPSCQueueCPP;
namespace b = mox::bench;

namespace {

constexpr uint64_t kCalls = 100000;

// Runs `body` `calls` times with counting on; prints and returns the count.
template <class Body>
uint64_t counted(const char* path, Body&& body, uint64_t calls = kCalls) {
    body();  // once uncounted: first-use work (lazy symbol binding, buffers) is not the path
    g_allocations.store(0);
    g_counting.store(true);
    for (uint64_t i = 0; i < calls; ++i) body();
    g_counting.store(false);
    const uint64_t n = g_allocations.load();
    std::printf("%-62s %8llu calls  %8llu heap allocations\n", path, static_cast<unsigned long long>(calls),
                static_cast<unsigned long long>(n));
    std::printf("{\"kind\":\"alloc\",\"path\":\"%s\",\"calls\":%llu,\"allocations\":%llu}\n", b::json_escape(path).c_str(),
                static_cast<unsigned long long>(calls), static_cast<unsigned long long>(n));
    std::fflush(stdout);
    return n;
}

template <class Q>
void fixed_cell_paths(Q& q, const char* kind) {
    char data[64];
    std::memset(data, 'a', sizeof data);
    char buffer[64];
    int64_t got = 0;
    std::string out;
    out.reserve(64);
    const std::string k(kind);
    counted((k + "::write + read(buffer)").c_str(), [&] {
        q.write(data, sizeof data);
        q.read(buffer, sizeof buffer, got, 0);
    });
    counted((k + "::write + read(std::string&) into a reserved string").c_str(), [&] {
        q.write(data, sizeof data);
        q.read(out, 0);
    });
    counted((k + "::open/close_cell_for_write + open/close_cell_for_read").c_str(), [&] {
        Cell* cell = q.open_cell_for_write();
        cell->set_length(sizeof data);
        std::memcpy(cell->data(), data, sizeof data);
        q.close_cell_after_write(cell, false);
        const Cell* in = q.open_cell_for_read(0);
        q.close_cell_after_read(in);
    });
    counted((k + "::write + read_begin/read(handle)/read_end").c_str(), [&] {
        q.write(data, sizeof data);
        void* handle = q.read_begin();
        char* p = nullptr;
        uint64_t len = 0;
        q.read(handle, &p, &len);
        q.read_end(handle);
    });
    counted((k + "::read with a 1 ms timeout on an empty queue").c_str(), [&] {
        (void)q.read(buffer, sizeof buffer, got, 1);
    }, 200);  // each call waits its millisecond
}

}  // namespace

int main() {
    try {
        b::print_machine();
        {
            const std::string name = b::queue_name("alloc_spsc");
            SPSCQueueCPP q(name, 64, 64, true);
            fixed_cell_paths(q, "SPSCQueueCPP");
            q.unlink();
        }
        {
            const std::string name = b::queue_name("alloc_mpmc");
            MPMCQueueCPP q(name, 64, 64);
            fixed_cell_paths(q, "MPMCQueueCPP");
            q.unlink();
        }
        {
            // Control: these allocate by design, so the counter must see them.
            const std::string name = b::queue_name("alloc_var");
            MPMCVarQueueCPP q(name, 2, 8, 64);
            char data[16] = {};
            const uint64_t handles = counted("control: MPMCVarQueueCPP::read_begin (allocates its handle)", [&] {
                q.write(data, sizeof data);
                void* h = q.read_begin();
                char* p = nullptr;
                uint64_t len = 0;
                q.read(h, &p, &len);
                q.read_end(h);
            });
            const uint64_t strings = counted("control: a 100-byte std::string built from empty", [&] {
                std::string s;
                s.assign(100, 'x');
                asm volatile("" : : "r"(s.data()) : "memory");
            });
            q.unlink();
            if (handles == 0 || strings == 0) b::fail("the allocation counter saw nothing in its control rows");
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "alloc_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
