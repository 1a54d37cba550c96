#include "owner_table.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace mox::ipc_queue {

namespace {

constexpr uint64_t kOwnersMagic = 0x31524e574f584f4dULL;  // "MOXOWNR1"
constexpr uint64_t kClaiming = ~uint64_t{0};              // a slot being claimed: in use
constexpr size_t kTableSize = sizeof(OwnerTableHeader) + sizeof(OwnerSlot) * kOwnerSlots;

std::atomic<uint64_t> g_serial{0};
std::atomic<uint64_t> g_fork_generation{0};

void after_fork_in_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

uint64_t fork_generation() {
    static const bool registered = [] { return ::pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0; }();
    static_cast<void>(registered);
    return g_fork_generation.load(std::memory_order_relaxed);
}

struct SlotCache {
    const OwnerTable* table = nullptr;
    uint64_t serial = 0;
    uint64_t generation = 0;
    uint32_t count = 0;
    OwnerSlot* slots[kThreadSlots] = {};
};
thread_local SlotCache t_cache;

std::atomic<uint64_t> g_thread_serial{0};
thread_local const uint64_t t_thread_serial = g_thread_serial.fetch_add(1) + 1;

uint64_t this_thread_word() {
    return uint64_t{static_cast<uint32_t>(::getpid())} << 32 | static_cast<uint32_t>(::syscall(SYS_gettid));
}

// Field 3 (state) and field 22 (starttime) of a /proc stat file.
bool read_stat_file(const char* path, char& state, uint64_t& started) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');  // the command name may hold anything but ends there
    if (p == nullptr) return false;
    p += 2;
    state = *p;
    for (int field = 3; field < 22; ++field) {
        p = std::strchr(p, ' ');
        if (p == nullptr) return false;
        ++p;
    }
    started = std::strtoull(p, nullptr, 10);
    return true;
}

bool read_stat(uint64_t thread, char& state, uint64_t& started) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/task/%u/stat", static_cast<unsigned>(thread >> 32),
                  static_cast<unsigned>(thread & 0xffffffffu));
    return read_stat_file(path, state, started);
}

// Whether process `pid` is the one a thread of which started at
// `thread_started`: a process that took the id over later started after it.
bool process_alive(uint32_t pid, uint64_t thread_started) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(pid));
    char state = 0;
    uint64_t started = 0;
    return read_stat_file(path, state, started) && started <= thread_started && state != 'Z' && state != 'X' &&
           state != 'x';
}

SegmentIdentity identity_of_fd(int fd) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return {};
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

ThreadState record_state(uint64_t thread, uint64_t started, uint64_t holding) {
    const ThreadState state = thread_state(thread, started);
    // What an ended thread took and kept between calls is its process's:
    // another of its threads may give it back.
    if (state == ThreadState::kGone && held_between_calls(Holding::of(holding).step) &&
        process_alive(static_cast<uint32_t>(thread >> 32), started))
        return ThreadState::kRunning;
    return state;
}

ThreadState thread_state(uint64_t thread, uint64_t started) {
    char state = 0;
    uint64_t now_started = 0;
    if (thread == 0 || !read_stat(thread, state, now_started) || now_started != started) return ThreadState::kGone;
    switch (state) {
        case 'Z':
        case 'X':
        case 'x':
            return ThreadState::kGone;
        case 'T':
        case 't':
            return ThreadState::kStopped;
        case 'S':
            return ThreadState::kSleeping;
        default:
            return ThreadState::kRunning;  // R, or D: a page fault, not a wait
    }
}

OwnerTable::~OwnerTable() { detach(); }

void OwnerTable::attach(const std::string& name, const SegmentIdentity& segment) {
    // What recording costs is measured against a process that records nothing.
    if (const char* off = std::getenv(kUnrecordedVariable); off != nullptr && *off != '\0' && *off != '0') return;
    // Before any fork that follows: a child must never use its parent's slot.
    static_cast<void>(fork_generation());
    const std::string object = object_name(name);
    for (int attempt = 0; attempt < 4 && header_ == nullptr; ++attempt) {
        bool made = true;
        int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, kObjectMode);
        if (fd < 0 && errno == EEXIST) {
            made = false;
            fd = ::shm_open(object.c_str(), O_RDWR, kObjectMode);
        }
        if (fd < 0) return;
        if (made && ::ftruncate(fd, kTableSize) != 0) {
            ::shm_unlink(object.c_str());
            ::close(fd);
            return;
        }
        // Its maker sizes it and writes the magic last; give it a moment.
        void* p = MAP_FAILED;
        for (int wait = 0; wait < 100; ++wait) {
            struct stat st{};
            if (::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= kTableSize) {
                p = ::mmap(nullptr, kTableSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const SegmentIdentity table_id = identity_of_fd(fd);
        ::close(fd);
        if (p == MAP_FAILED) return;
        auto* h = static_cast<OwnerTableHeader*>(p);
        if (made) {
            h->segment_device = segment.device;
            h->segment_inode = segment.inode;
            h->slot_count = kOwnerSlots;
            __atomic_store_n(&h->magic, kOwnersMagic, __ATOMIC_RELEASE);
        }
        for (int wait = 0; wait < 100 && __atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) != kOwnersMagic; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (__atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) == kOwnersMagic && h->slot_count == kOwnerSlots &&
            h->segment_device == segment.device && h->segment_inode == segment.inode) {
            header_ = h;
            slots_ = reinterpret_cast<OwnerSlot*>(h + 1);
            serial_ = g_serial.fetch_add(1) + 1;
            return;
        }
        // Another queue's (an earlier one of this name), or its maker died:
        // replace it, unless it was replaced meanwhile.
        ::munmap(p, kTableSize);
        if (names_segment(object, table_id)) ::shm_unlink(object.c_str());
    }
}

void OwnerTable::detach() {
    if (header_ == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(claims_mutex_);
        const uint64_t pid = static_cast<uint32_t>(::getpid());
        for (const auto& [serial, slot] : claims_) {
            // A forked child holds its parent's map: only this process's own slots go.
            uint64_t thread = slot->thread.load();
            if (thread >> 32 != pid || thread == kClaiming) continue;
            if (Holding::of(slot->holding.load()).step != Step::kIdle) continue;  // left to be repaired
            slot->thread.compare_exchange_strong(thread, 0);
        }
        claims_.clear();
    }
    ::munmap(header_, kTableSize);
    header_ = nullptr;
    slots_ = nullptr;
    if (t_cache.table == this) t_cache = {};
}

void OwnerTable::remove_name(const std::string& name, const SegmentIdentity& segment) {
    const std::string object = object_name(name);
    const int fd = ::shm_open(object.c_str(), O_RDONLY, 0);
    if (fd < 0) return;
    const SegmentIdentity table_id = identity_of_fd(fd);
    void* p = ::mmap(nullptr, sizeof(OwnerTableHeader), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return;
    const auto* h = static_cast<const OwnerTableHeader*>(p);
    const bool ours = h->segment_device == segment.device && h->segment_inode == segment.inode;
    ::munmap(p, sizeof(OwnerTableHeader));
    if (ours && names_segment(object, table_id)) ::shm_unlink(object.c_str());
}

bool Holder::of_this_thread() const {
    return slot_ != nullptr &&
           std::find(t_cache.slots, t_cache.slots + t_cache.count, slot_) != t_cache.slots + t_cache.count;
}

void OwnerTable::load_cache() {
    const uint64_t generation = fork_generation();
    if (t_cache.table == this && t_cache.serial == serial_ && t_cache.generation == generation) return;
    t_cache = {this, serial_, generation};
    const uint64_t me = this_thread_word();
    std::lock_guard<std::mutex> lock(claims_mutex_);
    const auto [first, last] = claims_.equal_range(t_thread_serial);
    for (auto it = first; it != last && t_cache.count < kThreadSlots; ++it)
        if (it->second->thread.load() == me) t_cache.slots[t_cache.count++] = it->second;  // not a parent's, forked
}

Holder OwnerTable::holder() {
    if (header_ == nullptr) return Holder();
    load_cache();
    for (uint32_t i = 0; i < t_cache.count; ++i)
        if (!held_between_calls(Holding::of(t_cache.slots[i]->holding.load(std::memory_order_relaxed)).step))
            return Holder(t_cache.slots[i]);
    if (t_cache.count == kThreadSlots) return Holder();  // each holds something: this one goes unrecorded
    OwnerSlot* slot = claim();
    if (slot != nullptr) t_cache.slots[t_cache.count++] = slot;
    return Holder(slot);
}

Holder OwnerTable::repair_holder() {
    if (header_ == nullptr) return Holder();
    load_cache();
    return t_cache.count > 0 ? Holder(t_cache.slots[0]) : holder();
}

Holder OwnerTable::holder_of(Step step, uint32_t index) {
    if (header_ == nullptr) return Holder();
    load_cache();
    const uint64_t wanted = Holding{step, ListLock::kNone, LockHold::kNo, index}.word();
    for (uint32_t i = 0; i < t_cache.count; ++i)
        if (t_cache.slots[i]->holding.load(std::memory_order_relaxed) == wanted) return Holder(t_cache.slots[i]);
    {
        // Opened by another thread of this process.
        const uint64_t pid = static_cast<uint32_t>(::getpid());
        std::lock_guard<std::mutex> lock(claims_mutex_);
        for (const auto& [serial, slot] : claims_)
            if (slot->thread.load() >> 32 == pid && slot->holding.load() == wanted) return Holder(slot);
    }
    return holder();
}

OwnerSlot* OwnerTable::claim() {
    const uint64_t me = this_thread_word();
    std::lock_guard<std::mutex> lock(claims_mutex_);
    char state = 0;
    uint64_t started = 0;
    if (!read_stat(me, state, started)) return nullptr;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = 0; i < header_->slot_count; ++i) {
            OwnerSlot& s = slots_[i];
            uint64_t expected = s.thread.load(std::memory_order_relaxed);
            // First pass: free slots; second: slots of threads that are gone
            // and hold nothing (a repairer has not freed them yet).
            if (pass == 0 ? expected != 0
                          : expected == 0 || expected == kClaiming ||
                                Holding::of(s.holding.load()).step != Step::kIdle || state_of(i) != ThreadState::kGone)
                continue;
            if (!s.thread.compare_exchange_strong(expected, kClaiming)) continue;
            s.holding.store(0, std::memory_order_relaxed);
            s.started.store(started, std::memory_order_relaxed);
            s.thread.store(me, std::memory_order_release);
            claims_.emplace(t_thread_serial, &s);
            return &s;
        }
    }
    return nullptr;  // full: this thread works unrecorded
}

ThreadState OwnerTable::state_of(uint32_t i) const {
    const OwnerSlot& s = slots_[i];
    const uint64_t thread = s.thread.load(std::memory_order_acquire);
    if (thread == 0) return ThreadState::kGone;
    if (thread == kClaiming) return ThreadState::kRunning;
    const uint64_t started = s.started.load(std::memory_order_relaxed);
    const ThreadState state = record_state(thread, started, s.holding.load());
    // Claimed anew while we looked: whoever has it now is alive.
    if (s.thread.load(std::memory_order_acquire) != thread) return ThreadState::kRunning;
    return state;
}

uint64_t OwnerTable::releases() const {
    if (header_ == nullptr) return 0;
    uint64_t sum = header_->releases.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < header_->slot_count; ++i) sum += slots_[i].releases.load(std::memory_order_acquire);
    return sum;
}

bool OwnerTable::other_processes_gone() const {
    if (header_ == nullptr) return false;
    const auto mine = static_cast<uint32_t>(::getpid());
    bool seen = false;
    for (uint32_t i = 0; i < header_->slot_count; ++i) {
        const uint64_t thread = slots_[i].thread.load(std::memory_order_acquire);
        const auto pid = static_cast<uint32_t>(thread >> 32);
        if (thread == 0 || thread == kClaiming || pid == mine) continue;
        if (process_alive(pid, slots_[i].started.load(std::memory_order_relaxed))) return false;
        seen = true;
    }
    return seen;
}

void OwnerTable::add_unsure_posts(CountId id, uint32_t n) {
    if (header_ != nullptr && n > 0) header_->unsure_posts[static_cast<int>(id)].fetch_add(n);
}

bool OwnerTable::spend_unsure_post(CountId id) {
    if (header_ == nullptr) return false;
    std::atomic<uint32_t>& left = header_->unsure_posts[static_cast<int>(id)];
    uint32_t n = left.load();
    while (n > 0 && !left.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
}

bool OwnerTable::try_lock_repair(const Holder& me) {
    if (header_ == nullptr || me.slot() == nullptr) return false;
    const uint64_t mine = static_cast<uint64_t>(me.slot() - slots_) + 1;
    uint64_t current = 0;
    if (header_->repairer.compare_exchange_strong(current, mine)) return true;
    if (current == mine) return true;
    // The repairer died at work: its repair is redone by whoever comes next.
    if (current > header_->slot_count || state_of(static_cast<uint32_t>(current - 1)) != ThreadState::kGone)
        return false;
    return header_->repairer.compare_exchange_strong(current, mine);
}

void OwnerTable::unlock_repair(const Holder& me) {
    if (header_ == nullptr || me.slot() == nullptr) return;
    uint64_t mine = static_cast<uint64_t>(me.slot() - slots_) + 1;
    header_->repairer.compare_exchange_strong(mine, 0);
}

void OwnerTable::release_dead_slot(uint32_t i, uint64_t thread) {
    // Only while it is still the dead thread's: an idle dead slot may have
    // been claimed anew meanwhile.
    OwnerSlot& s = slots_[i];
    if (thread == 0 || thread == kClaiming || !s.thread.compare_exchange_strong(thread, kClaiming)) return;
    s.holding.store(0);
    s.thread.store(0, std::memory_order_release);
}

const char* step_name(Step step) {
    static const char* const kNames[] = {
        "idle",
        "want free count",
        "have free count",
        "pop free",
        "write cell",
        "append filled",
        "post filled",
        "want filled count",
        "have filled count",
        "pop filled",
        "read cell",
        "push free",
        "post free",
        "restore filled",
        "post restored",
        "want free channel",
        "pop channel",
        "have channel",
        "append used",
        "post used",
        "write message",
        "end message",
        "want used count",
        "have used count",
        "pop used",
        "read message",
        "release channel",
        "repair",
        "write cell held",
        "read cell held",
        "post channel free",
        "last post",
    };
    const auto i = static_cast<size_t>(step);
    return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "unknown";
}

void OwnerTable::discount_unsure_posts(const std::string& name, std::vector<std::string>& findings) {
    const int fd = ::shm_open(object_name(name).c_str(), O_RDONLY, 0);
    if (fd < 0) return;
    void* p = ::mmap(nullptr, sizeof(OwnerTableHeader), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return;
    const auto* header = static_cast<const OwnerTableHeader*>(p);
    static const char* const kLists[kCountIds] = {"free", "filled", "used"};
    for (int id = 0; id < kCountIds && header->magic == kOwnersMagic; ++id) {
        const std::string above = std::string(kLists[id]) + " count above its list";
        for (uint32_t n = header->unsure_posts[id].load(); n > 0; --n) {
            const auto it = std::find(findings.begin(), findings.end(), above);
            if (it == findings.end()) break;
            findings.erase(it);
        }
    }
    ::munmap(p, sizeof(OwnerTableHeader));
}

std::vector<OwnerRecord> OwnerTable::read_records(const std::string& name) {
    std::vector<OwnerRecord> records;
    const int fd = ::shm_open(object_name(name).c_str(), O_RDONLY, 0);
    if (fd < 0) return records;
    struct stat st{};
    void* p = ::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= kTableSize
                  ? ::mmap(nullptr, kTableSize, PROT_READ, MAP_SHARED, fd, 0)
                  : MAP_FAILED;
    ::close(fd);
    if (p == MAP_FAILED) return records;
    const auto* header = static_cast<const OwnerTableHeader*>(p);
    const auto* slots = reinterpret_cast<const OwnerSlot*>(header + 1);
    if (header->magic == kOwnersMagic && header->slot_count == kOwnerSlots)
        for (uint32_t i = 0; i < kOwnerSlots; ++i) {
            const uint64_t thread = slots[i].thread.load();
            if (thread == 0 || thread == kClaiming) continue;
            records.push_back({i, static_cast<uint32_t>(thread >> 32), static_cast<uint32_t>(thread),
                               record_state(thread, slots[i].started.load(), slots[i].holding.load()),
                               Holding::of(slots[i].holding.load())});
        }
    ::munmap(p, kTableSize);
    return records;
}

}  // namespace mox::ipc_queue
