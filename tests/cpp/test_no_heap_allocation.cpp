// No heap allocation on the message paths of the fixed-cell kinds (SPSC,
// MPMC: write, reads into a caller's buffer or a reserved string, zero-copy
// reads, the cell calls, a timed read that times out) nor in
// MPMCVarQueueCPP::write. This program replaces malloc and its relatives
// with counting versions that forward to glibc's, so an allocation anywhere
// in the process is seen: in the library, in libstdc++ (its operator new
// allocates through them) or inside libc. The counter's own test shows it
// sees each entry to the heap.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

// ---- the counting allocator ------------------------------------------------

// Under a sanitizer its runtime owns the heap and its operator new does not
// go through malloc: the count is made in the plain build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
TEST(AllocationCounter, NeedsThePlainBuild) { GTEST_SKIP() << "a sanitizer's runtime owns the heap"; }
#else

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* __libc_valloc(size_t);
void* __libc_pvalloc(size_t);
void __libc_free(void*);
}

namespace {
bool g_counting = false;
uint64_t g_allocations = 0;

void note_allocation() {
    if (__atomic_load_n(&g_counting, __ATOMIC_RELAXED)) __atomic_fetch_add(&g_allocations, 1, __ATOMIC_RELAXED);
}
}  // namespace

// libstdc++'s operator new, aligned or not, allocates through these.
extern "C" {
void* malloc(size_t n) {
    note_allocation();
    return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) {
    note_allocation();
    return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) {
    note_allocation();
    return __libc_realloc(p, n);
}
void* reallocarray(void* p, size_t count, size_t n) {
    size_t bytes = 0;
    if (__builtin_mul_overflow(count, n, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(p, bytes);
}
void* memalign(size_t align, size_t n) {
    note_allocation();
    return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void** out, size_t align, size_t n) {
    void* p = memalign(align, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void* valloc(size_t n) {
    note_allocation();
    return __libc_valloc(n);
}
void* pvalloc(size_t n) {
    note_allocation();
    return __libc_pvalloc(n);
}
void free(void* p) { __libc_free(p); }
}

namespace mox::ipc_queue {
namespace {

using namespace test;

// Heap allocations made during one call of `body`.
template <class Body>
uint64_t allocations_during(Body&& body) {
    __atomic_store_n(&g_allocations, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g_counting, true, __ATOMIC_RELAXED);
    body();
    __atomic_store_n(&g_counting, false, __ATOMIC_RELAXED);
    return __atomic_load_n(&g_allocations, __ATOMIC_RELAXED);
}

// Heap allocations made during `calls` calls of `body`, after one uncounted
// call: first-use work (lazy symbol binding, first pages touched) is not the path.
template <class Body>
uint64_t allocations_in(Body&& body, int calls = 1000) {
    body();
    return allocations_during([&] {
        for (int i = 0; i < calls; ++i) body();
    });
}

// Keeps the compiler from taking an allocation out as unused.
void escape(void* p) { asm volatile("" : : "r"(p) : "memory"); }

constexpr int64_t kCell = 64;
constexpr int kCalls = 1000;

// ---- the counter sees each entry to the heap ------------------------------

TEST(AllocationCounter, CountsEachEntryToTheHeap) {
    struct alignas(128) Wide {
        char bytes[128];
    };
    // One of each: new, new[], an over-aligned new, malloc + realloc, calloc,
    // aligned_alloc, posix_memalign.
    EXPECT_EQ(allocations_during([] {
                  int* i = new int(7);
                  char* c = new char[100];
                  Wide* w = new Wide;
                  void* p = nullptr;
                  void* raw[] = {std::realloc(std::malloc(64), 4096), std::calloc(4, 16), std::aligned_alloc(64, 128),
                                 ::posix_memalign(&p, 64, 128) == 0 ? p : nullptr};
                  escape(i), escape(c), escape(w);
                  delete i;
                  delete[] c;
                  delete w;
                  for (void* r : raw) escape(r), std::free(r);
              }),
              8u);
}

TEST(AllocationCounter, SeesAllocationsMadeInsideTheLibraries) {
    // A std::string grows in libstdc++, a stream buffer inside libc.
    NameGuard guard(unique_name("heap"));
    SPSCQueueCPP q(guard.name(), 8, kCell, true);
    const char data[kCell] = {};
    q.write(data, kCell);
    std::string empty;
    EXPECT_GE(allocations_during([&] { ASSERT_EQ(q.read(empty, 0), 0); }), 1u);
    EXPECT_EQ(empty.size(), static_cast<size_t>(kCell));

    EXPECT_GE(allocations_during([] {
                  FILE* f = std::fopen("/dev/null", "w");
                  ASSERT_NE(f, nullptr);
                  std::fputs("x", f);
                  std::fclose(f);
              }),
              1u);
}

// ---- SPSCQueueCPP and MPMCQueueCPP ---------------------------------------

template <class Queue>
std::unique_ptr<Queue> make_queue(const std::string& name);
template <>
std::unique_ptr<SPSCQueueCPP> make_queue(const std::string& name) {
    return std::make_unique<SPSCQueueCPP>(name, 16, kCell, true);
}
template <>
std::unique_ptr<MPMCQueueCPP> make_queue(const std::string& name) {
    return std::make_unique<MPMCQueueCPP>(name, 16, kCell);
}

// One object writes and reads: the paths are the same as across processes.
template <class Queue>
class FixedCellPaths : public ::testing::Test {};
using FixedCellKinds = ::testing::Types<SPSCQueueCPP, MPMCQueueCPP>;
TYPED_TEST_SUITE(FixedCellPaths, FixedCellKinds);

TYPED_TEST(FixedCellPaths, WritesReadsCellsAndTimeoutsAllocateNothing) {
    NameGuard guard{unique_name("heap")};
    const std::unique_ptr<TypeParam> queue = make_queue<TypeParam>(guard.name());
    TypeParam& q = *queue;
    char data[kCell], buffer[kCell];
    std::memset(data, 'a', sizeof data);
    std::string out;
    out.reserve(kCell);
    uint64_t bytes_read = 0;  // what the counted calls moved: proof that they ran
    const auto none_in = [&](const char* path, auto&& body) {
        bytes_read = 0;
        EXPECT_EQ(allocations_in(body), 0u) << path;
        EXPECT_EQ(bytes_read, static_cast<uint64_t>((kCalls + 1) * kCell)) << path;
    };
    none_in("write, read into a buffer", [&] {
        q.write(data, kCell);
        int64_t got = 0;
        ASSERT_EQ(q.read(buffer, kCell, got, 0), 0);
        bytes_read += static_cast<uint64_t>(got);
    });
    EXPECT_EQ(std::memcmp(buffer, data, kCell), 0);
    none_in("write, read into a reserved string", [&] {
        q.write(data, kCell);
        ASSERT_EQ(q.read(out, 0), 0);
        bytes_read += out.size();
    });
    none_in("zero-copy read", [&] {
        q.write(data, kCell);
        void* handle = q.read_begin();
        char* payload = nullptr;
        uint64_t length = 0;
        EXPECT_TRUE(q.read(handle, &payload, &length));
        q.read_end(handle);
        bytes_read += length;
    });
    none_in("open and close cells", [&] {
        Cell* cell = q.open_cell_for_write();
        cell->set_length(kCell);
        std::memcpy(cell->data(), data, kCell);
        q.close_cell_after_write(cell, false);
        const Cell* in = q.open_cell_for_read(0);
        ASSERT_NE(in, nullptr);
        bytes_read += in->length();
        q.close_cell_after_read(in);
    });
    int timeouts = 0;
    int64_t got = -1;
    EXPECT_EQ(allocations_in([&] { timeouts += q.read(buffer, kCell, got, 1); }, 20), 0u)  // a millisecond each
        << "a timed read that times out";
    EXPECT_EQ(timeouts, 21);
}

// ---- MPMCVarQueueCPP -------------------------------------------------------

TEST(MPMCVarQueuePaths, WriteOfAManyCellMessage) {
    NameGuard guard(unique_name("heap"));
    MPMCVarQueueCPP q(guard.name(), 2, 8, kCell);
    const std::string message(kCell * 5 + 10, 'v');  // fits the ring: the writer never waits for the reader
    std::string out;
    out.reserve(message.size());
    uint64_t total = 0;
    for (int i = 0; i < kCalls; ++i) {
        total += allocations_during([&] { q.write(message.data(), static_cast<int64_t>(message.size())); });
        ASSERT_EQ(q.read(out, 0), 0);
        ASSERT_EQ(out, message);
    }
    EXPECT_EQ(total, 0u);
}

}  // namespace
}  // namespace mox::ipc_queue

#endif
