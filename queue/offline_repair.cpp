#include "offline_repair.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "channel.h"
#include "owner_table.h"
#include "segment_report.h"
#include "shared_objects.h"

namespace mox::ipc_queue {

namespace {

using Refused = OfflineRepairRefused;

[[noreturn]] void refuse(Refused::Reason reason, const std::string& text) { throw Refused(reason, text); }

Refused::Reason reason_for(int err) {
    if (err == ENOENT) return Refused::kNotFound;
    if (err == EACCES || err == EPERM) return Refused::kNoAccess;
    return Refused::kSystem;
}

// A named object of /dev/shm mapped read-write, whole.
struct Mapping {
    char* bytes = nullptr;
    uint64_t size = 0;
    SegmentIdentity id;

    Mapping() = default;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (bytes != nullptr) ::munmap(bytes, size);
    }
    // 0, or the errno of the failed step. An empty object is not mapped.
    int map(const std::string& name) {
        const int fd = ::shm_open(name.c_str(), O_RDWR, 0);
        if (fd < 0) return errno;
        struct stat st{};
        int err = ::fstat(fd, &st) == 0 ? 0 : errno;
        if (err == 0 && st.st_size > 0) {
            void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p == MAP_FAILED) {
                err = errno;
            } else {
                bytes = static_cast<char*>(p);
                size = static_cast<uint64_t>(st.st_size);
                id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
            }
        }
        ::close(fd);
        return err;
    }
};

// Every semaphore of the queue, opened by name; all of them must be there.
class Semaphores {
public:
    Semaphores(const std::string& name, QueueKind kind, uint32_t channels) {
        for (const std::string& suffix : semaphore_suffixes(kind, channels)) {
            const std::string sem = name + suffix;
            // Checked first: sem_open of a damaged file would fault.
            const SemaphoreReading reading = read_named_semaphore(sem);
            if (reading.status == SemaphoreReading::kNoAccess) refuse(Refused::kNoAccess, "cannot open " + sem);
            if (reading.status != SemaphoreReading::kValue)
                refuse(Refused::kNotRepairable,
                       "semaphore " + sem + " is " + reading.text() + ": the queue cannot be repaired; remove it");
            sem_t* s = ::sem_open(sem.c_str(), 0);
            if (s == SEM_FAILED) refuse(reason_for(errno), "cannot open " + sem + ": " + std::strerror(errno));
            sems_.emplace(suffix, Handle(s));
        }
    }
    sem_t* operator[](const std::string& suffix) const { return sems_.at(suffix).get(); }
    int value(const std::string& suffix) const {
        int v = -1;
        return ::sem_getvalue((*this)[suffix], &v) == 0 ? v : -1;
    }
    // Exactly `value`: taken down to 0, then posted up.
    void set(const std::string& suffix, uint32_t value) const {
        sem_t* s = (*this)[suffix];
        while (::sem_trywait(s) == 0) {
        }
        for (uint32_t i = 0; i < value; ++i)
            if (::sem_post(s) != 0) throw std::system_error(errno, std::generic_category(), "sem_post " + suffix);
    }

private:
    struct Close {
        void operator()(sem_t* s) const { ::sem_close(s); }
    };
    using Handle = std::unique_ptr<sem_t, Close>;
    std::map<std::string, Handle> sems_;
};

// A list's items from `head`, in order: it stops at the end mark, at the
// first link out of range, or at an item seen before.
template <class NextOf>
std::vector<uint32_t> walk_list(uint32_t head, uint32_t count, NextOf next_of) {
    std::vector<uint32_t> items;
    std::vector<bool> seen(count, false);
    for (uint32_t i = head; i < count && !seen[i]; i = next_of(i)) {
        seen[i] = true;
        items.push_back(i);
    }
    return items;
}

// How many of `count` items are on neither list.
uint32_t on_no_list(uint32_t count, const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    std::vector<bool> listed(count, false);
    for (uint32_t i : a) listed[i] = true;
    for (uint32_t i : b) listed[i] = true;
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; ++i) n += listed[i] ? 0 : 1;
    return n;
}

OfflineRepairSummary rebuild_mpmc(char* seg, const Geometry& g, const Semaphores& sems) {
    OfflineRepairSummary s;
    s.kind = QueueKind::kMPMC;
    auto* h = reinterpret_cast<MPMCHeader*>(seg);
    const RecordArray cells = g.cells();
    const auto cell = [&](uint32_t i) { return reinterpret_cast<Cell*>(seg + cells.offset(i)); };
    const auto next_of = [&](uint32_t i) { return cell(i)->next(); };
    // No count left to take while the lists change.
    sems.set("_free_", 0);
    sems.set("_filled_", 0);
    const std::vector<uint32_t> filled = walk_list(h->filled_head, g.num_cells, next_of);
    s.recovered = on_no_list(g.num_cells, filled, walk_list(h->free_head, g.num_cells, next_of));

    std::vector<uint32_t> kept;
    std::vector<bool> keep(g.num_cells, false);
    for (uint32_t i : filled) {
        if (cell(i)->length() > g.cell_size) {
            ++s.dropped;
            continue;
        }
        kept.push_back(i);
        keep[i] = true;
    }
    for (size_t k = 0; k < kept.size(); ++k) cell(kept[k])->set_next(k + 1 < kept.size() ? kept[k + 1] : kListEnd);
    h->filled_head = kept.empty() ? kListEnd : kept.front();
    h->filled_tail = kept.empty() ? kListEnd : kept.back();
    uint32_t top = kListEnd;
    for (uint32_t i = g.num_cells; i-- > 0;)
        if (!keep[i]) {
            cell(i)->set_next(top);
            top = i;
            ++s.free;
        }
    h->free_head = top;
    s.kept = static_cast<uint32_t>(kept.size());
    std::atomic_thread_fence(std::memory_order_seq_cst);
    sems.set("_free_mutex_", 1);
    sems.set("_filled_mutex_", 1);
    sems.set("_free_", s.free);
    sems.set("_filled_", s.kept);
    return s;
}

OfflineRepairSummary rebuild_mpmcvar(char* seg, const Geometry& g, const Semaphores& sems) {
    OfflineRepairSummary s;
    s.kind = QueueKind::kMPMCVar;
    auto* h = reinterpret_cast<MPMCVarHeader*>(seg);
    const RecordArray areas = g.channels();
    const auto area = [&](uint32_t c) { return ChannelArea(seg + areas.offset(c)); };
    const auto cell = [&](uint32_t c, uint32_t j) {
        return reinterpret_cast<Cell*>(seg + g.ring(areas.offset(c)).offset(j));
    };
    const auto next_of = [&](uint32_t c) { return area(c).next(); };
    const auto ring_sem = [](size_t which, uint32_t c) {
        return std::string(channel_semaphores()[which].suffix) + std::to_string(c);
    };
    sems.set("_free_", 0);
    sems.set("_used_", 0);
    const std::vector<uint32_t> used = walk_list(h->used_head.load(), g.num_channels, next_of);
    s.recovered = on_no_list(g.num_channels, used, walk_list(free_top(h->free_word.load()), g.num_channels, next_of));

    // A listed channel has no reader yet: the cells its free count lacks are
    // the writer's, from read_index on. Its message is whole when they are
    // all full but the last, and that last is handed over, or its writer
    // ended the message and died before the post (which is made here).
    const auto whole_message = [&](uint32_t c) -> uint32_t {
        const ChannelArea a = area(c);
        const uint8_t state = *a.message_state();
        const int free_cells = sems.value(ring_sem(0, c));
        const int handed = sems.value(ring_sem(1, c));
        if (state == kWriterAbandoned || state == kReaderAbandoned || a.read_index() >= g.num_cells || free_cells < 0 ||
            free_cells >= static_cast<int>(g.num_cells) || handed < 0)
            return 0;
        const uint32_t taken = g.num_cells - static_cast<uint32_t>(free_cells);
        const bool posted = static_cast<uint32_t>(handed) == taken;
        if (!posted && !(state == kWriterEnded && static_cast<uint32_t>(handed) + 1 == taken)) return 0;
        for (uint32_t k = 0; k < taken; ++k) {
            const uint64_t length = cell(c, (a.read_index() + k) % g.num_cells)->length();
            if (k + 1 < taken ? length != g.cell_size : length >= g.cell_size) return 0;
        }
        return taken;
    };
    std::vector<uint32_t> kept;
    std::vector<bool> keep(g.num_channels, false);
    for (uint32_t c : used) {
        if (const uint32_t cells = whole_message(c); cells > 0) {
            sems.set(ring_sem(1, c), cells);
            kept.push_back(c);
            keep[c] = true;
        } else {
            ++s.dropped;
        }
    }
    uint32_t top = kListEnd;
    for (uint32_t c = g.num_channels; c-- > 0;) {
        if (keep[c]) continue;
        // As a create leaves a channel (Channel::initialise_area), with its two counts.
        ChannelArea a = area(c);
        a.set_message_length(0);
        a.set_read_index(0);
        a.set_write_index(0);
        *a.message_state() = kMessageOpen;
        for (uint32_t j = 0; j < g.num_cells; ++j) cell(c, j)->set_length(0);
        for (size_t which = 0; which < channel_semaphores().size(); ++which)
            sems.set(ring_sem(which, c), initial_value(channel_semaphores()[which].initial, g));
        a.set_next(top);
        top = c;
        ++s.free;
    }
    for (size_t k = 0; k < kept.size(); ++k) area(kept[k]).set_next(k + 1 < kept.size() ? kept[k + 1] : kListEnd);
    h->used_head.store(kept.empty() ? kListEnd : kept.front());
    h->used_tail.store(kept.empty() ? kListEnd : kept.back());
    // A new modification count: no pop that read the old word may succeed.
    h->free_word.store((uint64_t{free_count(h->free_word.load()) + 1} << 32) | top);
    s.kept = static_cast<uint32_t>(kept.size());
    std::atomic_thread_fence(std::memory_order_seq_cst);
    sems.set("_used_mutex_", 1);
    sems.set("_free_", s.free);
    sems.set("_used_", s.kept);
    return s;
}

// The table of owners of this segment, if it has one; refuses while it
// records a live thread. A table of an earlier queue of the name is not
// this queue's and is left alone.
OwnerTableHeader* open_owners(const std::string& name, Mapping& table, const SegmentIdentity& segment) {
    if (const int err = table.map(OwnerTable::object_name(name)); err != 0) {
        if (err == ENOENT) return nullptr;
        refuse(reason_for(err),
               "cannot open the table of owners " + OwnerTable::object_name(name) + ": " + std::strerror(err));
    }
    auto* h = reinterpret_cast<OwnerTableHeader*>(table.bytes);
    if (table.size < sizeof(OwnerTableHeader) + sizeof(OwnerSlot) * kOwnerSlots || h->slot_count != kOwnerSlots ||
        h->segment_device != segment.device || h->segment_inode != segment.inode)
        return nullptr;
    std::string alive;
    auto* slots = reinterpret_cast<OwnerSlot*>(h + 1);
    for (uint32_t i = 0; i < kOwnerSlots; ++i) {
        const uint64_t thread = slots[i].thread.load();
        // All ones: a slot being claimed right now.
        if (thread != 0 &&
            (thread == ~uint64_t{0} || thread_state(thread, slots[i].started.load()) != ThreadState::kGone))
            alive += " " + std::to_string(thread >> 32);
    }
    if (!alive.empty())
        refuse(Refused::kInUse, "queue '" + name + "' is in use by recording process(es)" + alive +
                                    ", which repair it themselves; nothing changed");
    return h;
}

// Every record left is of a dead thread, and what it held is rebuilt: a
// later repair must not redo it. The credits counted posts the rebuild reset.
uint32_t clear_owners(OwnerTableHeader* h) {
    uint32_t cleared = 0;
    auto* slots = reinterpret_cast<OwnerSlot*>(h + 1);
    for (uint32_t i = 0; i < kOwnerSlots; ++i) {
        uint64_t thread = slots[i].thread.load();
        // Looked at again: a process may have joined since the check.
        if (thread == 0 || thread == ~uint64_t{0} ||
            thread_state(thread, slots[i].started.load()) != ThreadState::kGone)
            continue;
        slots[i].holding.store(0);
        slots[i].saved.store(0);
        cleared += slots[i].thread.compare_exchange_strong(thread, 0) ? 1 : 0;
    }
    for (auto& credits : h->unsure_posts) credits.store(0);
    h->repairer.store(0);
    return cleared;
}

}  // namespace

OfflineRepairSummary repair_offline(const std::string& name) {
    Mapping seg;
    if (const int err = seg.map(name); err != 0)
        refuse(reason_for(err), "cannot open queue '" + name + "': " + std::strerror(err));
    const auto unsound = [&](const std::string& why) {
        refuse(Refused::kNotRepairable,
               "'" + name + "' is not a sound queue header (" + why + "); nothing changed: remove it instead");
    };
    if (seg.size < kPrefixSize) unsound("shorter than the segment prefix");
    uint32_t type = 0;
    std::memcpy(&type, seg.bytes + offsetof(SegmentPrefix, queue_type), sizeof type);
    const std::optional<QueueKind> kind = kind_from_code(type);
    if (!kind) unsound("queue_type " + std::to_string(type) + " is no queue kind");
    if (*kind == QueueKind::kSPSC)
        refuse(Refused::kNotRepairable, "'" + name + "' is an spsc queue: it has no lists to rebuild; nothing changed");
    if (seg.size < Geometry{*kind}.header_size()) unsound("shorter than its header");
    if (const std::string problem = header_problem(*kind, seg.bytes, seg.size); !problem.empty()) unsound(problem);
    const Geometry g = read_geometry(*kind, seg.bytes);

    Mapping table;
    OwnerTableHeader* owners = open_owners(name, table, seg.id);
    const Semaphores sems(name, *kind, g.num_channels);
    OfflineRepairSummary summary =
        *kind == QueueKind::kMPMC ? rebuild_mpmc(seg.bytes, g, sems) : rebuild_mpmcvar(seg.bytes, g, sems);
    if (owners != nullptr) summary.records_cleared = clear_owners(owners);
    return summary;
}

}  // namespace mox::ipc_queue
