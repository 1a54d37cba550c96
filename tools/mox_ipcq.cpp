// mox-ipcq: lists, inspects and removes the queues in /dev/shm.
//
// Reading never changes anything: a segment is opened O_RDONLY and read with
// pread, never mapped, so a segment that is damaged or shrinks under us
// cannot fault this process; every offset is checked against the object's
// size before it is read. Semaphores are opened by name and only queried
// with sem_getvalue.

#include <dirent.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ipc_queue.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "shared_objects.h"
#include "spsc_queue.h"

#ifndef MOX_IPCQ_VERSION
#define MOX_IPCQ_VERSION "unknown"
#endif

namespace {

using namespace mox::ipc_queue;

constexpr const char* kShmDir = "/dev/shm";
constexpr const char* kSemFilePrefix = "sem.";
constexpr uint64_t kMaxCount = 2147483647;
// Offsets within a channel area are 32-bit: its ring stays below 2^32 bytes.
constexpr uint64_t kRingLimit = uint64_t{1} << 32;
constexpr uint64_t kPrefixBytes = offsetof(SegmentPrefix, queue_type) + sizeof(uint32_t);

enum ExitCode : int {
    kOk = 0,
    kNotFound = 1,
    kUsage = 2,
    kNotQueue = 3,
    kPermission = 4,
    kSystemError = 5,
};

const char* const kHelp =
    "usage: mox-ipcq COMMAND [ARGS]\n"
    "\n"
    "Operator tool for the mox_ipc_queue queues in /dev/shm.\n"
    "\n"
    "commands:\n"
    "  list [--all]               every queue: kind, geometry, fill level, state;\n"
    "                             --all also shows objects that are not queues\n"
    "  inspect NAME               header fields, list words and semaphore values\n"
    "                             of one queue (read-only)\n"
    "  remove [--kind KIND] NAME  removes the queue's segment and all its\n"
    "                             semaphore names, also when the segment is\n"
    "                             damaged or some names are gone; KIND (spsc,\n"
    "                             mpmc, mpmcvar) is needed when the segment is\n"
    "                             gone or not recognisable\n"
    "\n"
    "NAME is the queue name, with or without the leading '/'.\n"
    "An SPSC queue removes its names once its peer has connected; it is then\n"
    "no longer in /dev/shm and not listed.\n"
    "\n"
    "exit codes:\n"
    "  0  success\n"
    "  1  not found: no such queue, or nothing left to remove\n"
    "  2  usage error\n"
    "  3  not a queue, damaged segment, or KIND disagrees with the segment\n"
    "  4  permission denied\n"
    "  5  other system error\n";

// Ends a command with a message on stderr and an exit code.
struct Failure {
    int code;
    std::string message;
};

[[noreturn]] void fail(int code, std::string message) { throw Failure{code, std::move(message)}; }

int code_for_errno(int err) {
    if (err == ENOENT) return kNotFound;
    if (err == EACCES || err == EPERM) return kPermission;
    return kSystemError;
}

// ------------------------------------------------------------------ names ---

// The user may write "/jobs" or "jobs"; the objects in /dev/shm drop the '/'.
std::string parse_name(const std::string& arg) {
    std::string stem = arg;
    if (!stem.empty() && stem[0] == '/') stem.erase(0, 1);
    if (stem.empty() || stem.find('/') != std::string::npos || stem == "." || stem == "..")
        fail(kUsage, "invalid queue name '" + arg + "': expected /NAME or NAME without further '/'");
    return stem;
}

std::string shown(const std::string& stem) { return "/" + stem; }
std::string sem_path(const std::string& sem_stem) { return std::string(kShmDir) + "/" + kSemFilePrefix + sem_stem; }

enum class Kind : uint32_t { kSPSC = kSPSCQueueType, kMPMC = kMPMCQueueType, kMPMCVar = kMPMCVarQueueType };

const char* label(Kind kind) {
    switch (kind) {
        case Kind::kSPSC: return "spsc";
        case Kind::kMPMC: return "mpmc";
        case Kind::kMPMCVar: return "mpmcvar";
    }
    return "?";
}

std::optional<Kind> parse_kind(const std::string& text) {
    for (Kind k : {Kind::kSPSC, Kind::kMPMC, Kind::kMPMCVar})
        if (text == label(k)) return k;
    return std::nullopt;
}

// The semaphore suffixes of a kind, apart from the per-channel ones.
std::vector<std::string> queue_semaphore_suffixes(Kind kind) {
    switch (kind) {
        case Kind::kSPSC: return {"_filled_", "_free_"};
        case Kind::kMPMC: return {"_filled_", "_filled_mutex_", "_free_mutex_", "_free_"};
        case Kind::kMPMCVar: return {"_free_", "_used_", "_used_mutex_"};
    }
    return {};
}

const char* const kChannelFree = "_free_channel_";
const char* const kChannelFilled = "_filled_channel_";

// Channel numbers that have a channel semaphore of queue `stem` in /dev/shm:
// how channels are found when the header cannot say how many there are.
std::set<uint32_t> scan_channel_numbers(const std::string& stem) {
    std::set<uint32_t> found;
    DIR* dir = ::opendir(kShmDir);
    if (dir == nullptr) return found;
    const std::string prefixes[] = {kSemFilePrefix + stem + kChannelFree, kSemFilePrefix + stem + kChannelFilled};
    while (const dirent* e = ::readdir(dir)) {
        const std::string entry = e->d_name;
        for (const std::string& prefix : prefixes) {
            if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) continue;
            const std::string digits = entry.substr(prefix.size());
            // Channel numbers are written as "%u": no sign, no leading zero.
            const bool decimal = std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!decimal || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) continue;
            const uint64_t n = std::stoull(digits);
            if (n <= 0xFFFFFFFFu) found.insert(static_cast<uint32_t>(n));
        }
    }
    ::closedir(dir);
    return found;
}

// Every semaphore name (without '/') a queue of this kind owns.
std::vector<std::string> semaphore_names(const std::string& stem, Kind kind, const std::set<uint32_t>& channels) {
    std::vector<std::string> names;
    for (const std::string& suffix : queue_semaphore_suffixes(kind)) names.push_back(stem + suffix);
    if (kind == Kind::kMPMCVar) {
        for (uint32_t n : channels) {
            names.push_back(stem + kChannelFree + std::to_string(n));
            names.push_back(stem + kChannelFilled + std::to_string(n));
        }
    }
    return names;
}

// ------------------------------------------------------------- semaphores ---

struct SemState {
    enum Status { kValue, kMissing, kNoAccess, kBroken } status = kMissing;
    int value = 0;

    bool present() const { return status != kMissing; }
    std::string text() const {
        switch (status) {
            case kValue: return std::to_string(value);
            case kMissing: return "missing";
            case kNoAccess: return "no-access";
            case kBroken: return "broken";
        }
        return "?";
    }
};

SemState sem_state_for_errno(int err) {
    if (err == ENOENT) return {SemState::kMissing, 0};
    if (err == EACCES || err == EPERM) return {SemState::kNoAccess, 0};
    return {SemState::kBroken, 0};
}

// The value of a named semaphore, without changing it.
SemState query_semaphore(const std::string& sem_stem) {
    struct stat st {};
    if (::stat(sem_path(sem_stem).c_str(), &st) != 0) return sem_state_for_errno(errno);
    // sem_open maps sizeof(sem_t) bytes: a shorter file would fault on access.
    if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(sizeof(sem_t))) return {SemState::kBroken, 0};
    sem_t* sem = ::sem_open(("/" + sem_stem).c_str(), 0);
    if (sem == SEM_FAILED) return sem_state_for_errno(errno);
    int value = 0;
    const int rc = ::sem_getvalue(sem, &value);
    ::sem_close(sem);
    if (rc != 0) return {SemState::kBroken, 0};
    return {SemState::kValue, value};
}

// ---------------------------------------------------------------- segment ---

// A segment opened read-only; reads are bounded by the object's size.
class SegmentFile {
public:
    SegmentFile() = default;
    SegmentFile(const SegmentFile&) = delete;
    SegmentFile& operator=(const SegmentFile&) = delete;
    ~SegmentFile() { close(); }

    // 0, or the errno of the failed open/fstat.
    int open(const std::string& stem) {
        close();
        fd_ = ::shm_open(("/" + stem).c_str(), O_RDONLY, 0);
        if (fd_ < 0) return errno;
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            const int err = errno;
            close();
            return err;
        }
        regular_ = S_ISREG(st.st_mode);
        size_ = regular_ ? static_cast<uint64_t>(st.st_size) : 0;
        return 0;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool regular() const { return regular_; }
    uint64_t size() const { return size_; }

    // Reads a T at `offset` if it lies wholly inside the object.
    template <class T>
    bool read(uint64_t offset, T& value) const {
        if (offset > size_ || sizeof(T) > size_ - offset) return false;
        return ::pread(fd_, &value, sizeof(T), static_cast<off_t>(offset)) == static_cast<ssize_t>(sizeof(T));
    }

private:
    int fd_ = -1;
    bool regular_ = false;
    uint64_t size_ = 0;
};

enum class Verdict { kQueue, kDamaged, kForeign };

// What the first bytes of a segment say it is, with its geometry.
struct Probe {
    Verdict verdict = Verdict::kForeign;
    Kind kind = Kind::kSPSC;
    std::string problem;  // why it is damaged or not a queue
    uint64_t segment_size = 0;
    uint32_t queue_type = 0;
    uint32_t num_channels = 0;  // MPMCVar only
    uint32_t num_cells = 0;
    uint64_t cell_size = 0;
    uint64_t channel_stride = 0;  // MPMCVar only
};

// The MPMCVar header, read field by field (its list words are atomics).
struct VarHeaderWords {
    uint64_t segment_size = 0;
    uint32_t queue_type = 0;
    uint32_t num_channels = 0;
    uint32_t num_cells = 0;
    uint32_t cell_size = 0;
    uint64_t free_word = 0;
    uint32_t used_head = 0;
    uint32_t used_tail = 0;

    uint32_t free_head() const { return static_cast<uint32_t>(free_word); }
    uint32_t free_count() const { return static_cast<uint32_t>(free_word >> 32); }
};

bool read_var_header(const SegmentFile& seg, VarHeaderWords& h) {
    return seg.read(offsetof(MPMCVarHeader, segment_size), h.segment_size) &&
           seg.read(offsetof(MPMCVarHeader, queue_type), h.queue_type) &&
           seg.read(offsetof(MPMCVarHeader, num_channels), h.num_channels) &&
           seg.read(offsetof(MPMCVarHeader, num_cells), h.num_cells) &&
           seg.read(offsetof(MPMCVarHeader, cell_size), h.cell_size) &&
           seg.read(offsetof(MPMCVarHeader, free_word), h.free_word) &&
           seg.read(offsetof(MPMCVarHeader, used_head), h.used_head) &&
           seg.read(offsetof(MPMCVarHeader, used_tail), h.used_tail);
}

bool link_ok(uint32_t link, uint64_t count) { return link == kListEnd || link < count; }

// Fixed-cell kinds: cells follow a header of `header_size` bytes.
std::string fixed_geometry_problem(uint64_t header_size, uint32_t num_cells, uint64_t cell_size, uint64_t object_size) {
    if (num_cells < 1 || num_cells > kMaxCount) return "num_cells " + std::to_string(num_cells) + " out of range";
    if (cell_size < 1 || cell_size + Cell::kHeaderSize < cell_size)
        return "cell_size " + std::to_string(cell_size) + " out of range";
    const Geometry g{header_size == sizeof(SPSCHeader) ? QueueKind::kSPSC : QueueKind::kMPMC, 0, num_cells, cell_size};
    if (!g.problem().empty() || g.segment_size() != object_size)
        return "num_cells and cell_size do not match the object size " + std::to_string(object_size);
    return "";
}

Probe probe(const SegmentFile& seg) {
    Probe p;
    const uint64_t size = seg.size();
    if (!seg.regular()) {
        p.problem = "not a regular file";
        return p;
    }
    if (size < kPrefixBytes || !seg.read(offsetof(SegmentPrefix, segment_size), p.segment_size) ||
        !seg.read(offsetof(SegmentPrefix, queue_type), p.queue_type)) {
        p.problem = "object of " + std::to_string(size) + " bytes is shorter than the segment prefix";
        return p;
    }
    if (p.queue_type > kMPMCVarQueueType) {
        p.problem = "queue_type " + std::to_string(p.queue_type) + " is no queue kind";
        return p;
    }
    // A sized but never written segment reads as zeros: size 0, type 0.
    if (p.segment_size != size) {
        p.problem = "segment_size " + std::to_string(p.segment_size) + " differs from the object size " +
                    std::to_string(size);
        return p;
    }
    p.kind = static_cast<Kind>(p.queue_type);
    p.verdict = Verdict::kDamaged;

    switch (p.kind) {
        case Kind::kSPSC: {
            SPSCHeader h{};
            if (!seg.read(0, h)) {
                p.problem = "object is shorter than the SPSC header";
                return p;
            }
            p.num_cells = h.num_cells;
            p.cell_size = h.cell_size;
            p.problem = fixed_geometry_problem(sizeof h, h.num_cells, h.cell_size, size);
            if (p.problem.empty() && (h.read_index >= h.num_cells || h.write_index >= h.num_cells))
                p.problem = "ring index out of range";
            break;
        }
        case Kind::kMPMC: {
            MPMCHeader h{};
            if (!seg.read(0, h)) {
                p.problem = "object is shorter than the MPMC header";
                return p;
            }
            p.num_cells = h.num_cells;
            p.cell_size = h.cell_size;
            p.problem = fixed_geometry_problem(sizeof h, h.num_cells, h.cell_size, size);
            if (p.problem.empty() && !(link_ok(h.free_head, h.num_cells) && link_ok(h.filled_head, h.num_cells) &&
                                       link_ok(h.filled_tail, h.num_cells)))
                p.problem = "list head out of range";
            break;
        }
        case Kind::kMPMCVar: {
            VarHeaderWords h;
            if (!read_var_header(seg, h)) {
                p.problem = "object is shorter than the MPMCVar header";
                return p;
            }
            p.num_channels = h.num_channels;
            p.num_cells = h.num_cells;
            p.cell_size = h.cell_size;
            const uint64_t ring = uint64_t{h.num_cells} * (uint64_t{h.cell_size} + Cell::kHeaderSize);
            p.channel_stride = ring + sizeof(ChannelAreaLayout);
            if (h.num_channels < 1 || h.num_channels > kMaxCount)
                p.problem = "num_channels " + std::to_string(h.num_channels) + " out of range";
            else if (h.num_cells < 1 || h.num_cells > kMaxCount)
                p.problem = "num_cells " + std::to_string(h.num_cells) + " out of range";
            else if (h.cell_size < 1)
                p.problem = "cell_size 0";
            else if (ring >= kRingLimit)
                p.problem = "channel ring of 2^32 bytes or more";
            else if (const Geometry g{QueueKind::kMPMCVar, h.num_channels, h.num_cells, h.cell_size};
                     !g.problem().empty() || g.segment_size() != size)
                p.problem = "num_channels, num_cells and cell_size do not match the object size " + std::to_string(size);
            else if (!(link_ok(h.free_head(), h.num_channels) && link_ok(h.used_head, h.num_channels) &&
                       link_ok(h.used_tail, h.num_channels)))
                p.problem = "list head out of range";
            break;
        }
    }
    if (p.problem.empty()) p.verdict = Verdict::kQueue;
    return p;
}

// The channel numbers of a queue: from a sound header, plus whatever
// channel semaphores exist (all of them when the header is damaged).
std::set<uint32_t> channel_numbers(const std::string& stem, const Probe& p) {
    std::set<uint32_t> channels = scan_channel_numbers(stem);
    if (p.verdict == Verdict::kQueue && p.kind == Kind::kMPMCVar)
        for (uint32_t n = 0; n < p.num_channels; ++n) channels.insert(n);
    return channels;
}

// ------------------------------------------------------------------- list ---

std::string fill_text(const std::string& stem, Kind kind) {
    const SemState free = query_semaphore(stem + "_free_");
    if (kind == Kind::kMPMCVar) return "used=" + query_semaphore(stem + "_used_").text() + ",free=" + free.text();
    return "filled=" + query_semaphore(stem + "_filled_").text() + ",free=" + free.text();
}

void print_table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], row[i].size());
        }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

int cmd_list(bool all) {
    DIR* dir = ::opendir(kShmDir);
    if (dir == nullptr) {
        const int err = errno;
        fail(code_for_errno(err), std::string("cannot read ") + kShmDir + ": " + std::strerror(err));
    }
    std::vector<std::string> entries;
    while (const dirent* e = ::readdir(dir)) {
        const std::string entry = e->d_name;
        // Semaphores live beside the segments as "sem.<name>".
        if (entry == "." || entry == ".." || entry.compare(0, std::strlen(kSemFilePrefix), kSemFilePrefix) == 0)
            continue;
        entries.push_back(entry);
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end());

    std::vector<std::vector<std::string>> rows{{"NAME", "KIND", "CHANNELS", "CELLS", "CELL_SIZE", "FILL", "STATE"}};
    for (const std::string& stem : entries) {
        SegmentFile seg;
        const int err = seg.open(stem);
        if (err != 0) {
            const char* state = code_for_errno(err) == kPermission ? "no-access" : "unreadable";
            if (all && err != ENOENT) rows.push_back({shown(stem), "unknown", "-", "-", "-", "-", state});
            continue;
        }
        const Probe p = probe(seg);
        seg.close();
        if (p.verdict == Verdict::kForeign) {
            if (all) rows.push_back({shown(stem), "unknown", "-", "-", "-", "-", "-"});
            continue;
        }
        if (p.verdict == Verdict::kDamaged) {
            rows.push_back({shown(stem), label(p.kind), "-", "-", "-", "-", "damaged"});
            continue;
        }
        const auto names = semaphore_names(stem, p.kind, channel_numbers(stem, p));
        size_t missing = 0;
        for (const std::string& name : names)
            if (!query_semaphore(name).present()) ++missing;
        const std::string state =
            missing == 0 ? "ok" : "missing:" + std::to_string(missing) + "/" + std::to_string(names.size());
        rows.push_back({shown(stem), label(p.kind), p.kind == Kind::kMPMCVar ? std::to_string(p.num_channels) : "-",
                        std::to_string(p.num_cells), std::to_string(p.cell_size), fill_text(stem, p.kind), state});
    }
    print_table(rows);
    return kOk;
}

// ---------------------------------------------------------------- inspect ---

void field(const std::string& key, const std::string& value) {
    std::printf("%-18s %s\n", (key + ":").c_str(), value.c_str());
}

std::string link_text(uint32_t link, uint64_t count) {
    if (link == kListEnd) return "end";
    if (link == kInUseMark) return "in-use";
    if (link < count) return std::to_string(link);
    return std::to_string(link) + " (out of range)";
}

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// Walks a list of `count` elements from `head`; a snapshot, so a list that
// another process changes meanwhile may read as broken.
template <class NextOf>
std::string walk(uint32_t head, uint64_t count, NextOf next_of) {
    uint64_t length = 0;
    for (uint32_t i = head; i != kListEnd;) {
        if (i >= count) return "broken after " + std::to_string(length) + " (link " + link_text(i, count) + ")";
        if (++length > count) return "broken (cycle)";
        std::optional<uint32_t> next = next_of(i);
        if (!next) return "broken after " + std::to_string(length) + " (unreadable)";
        i = *next;
    }
    return std::to_string(length);
}

void print_semaphores(const std::vector<std::string>& names) {
    std::printf("semaphores:\n");
    for (const std::string& name : names) std::printf("  %s: %s\n", shown(name).c_str(), query_semaphore(name).text().c_str());
}

void inspect_spsc(const SegmentFile& seg, const std::string& stem) {
    SPSCHeader h{};
    if (!seg.read(0, h)) return;
    field("num_cells", std::to_string(h.num_cells));
    field("cell_size", std::to_string(h.cell_size));
    field("read_index", std::to_string(h.read_index));
    field("write_index", std::to_string(h.write_index));
    field("first_thread", h.first_thread == 0 ? "0 (open)" : hex(h.first_thread));
    field("second_thread", h.second_thread == 0 ? "0 (open)" : hex(h.second_thread));
    print_semaphores(semaphore_names(stem, Kind::kSPSC, {}));
}

void inspect_mpmc(const SegmentFile& seg, const std::string& stem, bool sound) {
    MPMCHeader h{};
    if (!seg.read(0, h)) return;
    field("num_cells", std::to_string(h.num_cells));
    field("cell_size", std::to_string(h.cell_size));
    field("free_head", link_text(h.free_head, h.num_cells));
    field("filled_head", link_text(h.filled_head, h.num_cells));
    field("filled_tail", link_text(h.filled_tail, h.num_cells));
    field("reserved", std::to_string(h.reserved));
    if (sound) {
        auto next_of = [&](uint32_t i) -> std::optional<uint32_t> {
            Cell cell{};
            if (!seg.read(sizeof h + uint64_t{i} * (h.cell_size + Cell::kHeaderSize), cell)) return std::nullopt;
            return cell.next();
        };
        field("free list", walk(h.free_head, h.num_cells, next_of));
        field("filled list", walk(h.filled_head, h.num_cells, next_of));
    }
    print_semaphores(semaphore_names(stem, Kind::kMPMC, {}));
}

void inspect_mpmcvar(const SegmentFile& seg, const std::string& stem, const Probe& p) {
    VarHeaderWords h;
    if (!read_var_header(seg, h)) return;
    field("num_channels", std::to_string(h.num_channels));
    field("num_cells", std::to_string(h.num_cells));
    field("cell_size", std::to_string(h.cell_size));
    field("free_head", link_text(h.free_head(), h.num_channels));
    field("free_count", std::to_string(h.free_count()));
    field("used_head", link_text(h.used_head, h.num_channels));
    field("used_tail", link_text(h.used_tail, h.num_channels));
    const bool sound = p.verdict == Verdict::kQueue;
    auto area = [&](uint32_t i, ChannelAreaLayout& a) {
        return seg.read(sizeof(MPMCVarHeader) + uint64_t{i} * p.channel_stride, a);
    };
    if (sound) {
        auto next_of = [&](uint32_t i) -> std::optional<uint32_t> {
            ChannelAreaLayout a{};
            if (!area(i, a)) return std::nullopt;
            return a.next;
        };
        field("free list", walk(h.free_head(), h.num_channels, next_of));
        field("used list", walk(h.used_head, h.num_channels, next_of));
    }
    print_semaphores(semaphore_names(stem, Kind::kMPMCVar, {}));

    std::printf("channels:\n");
    for (uint32_t n : channel_numbers(stem, p)) {
        std::string line = "  channel " + std::to_string(n) + ":";
        ChannelAreaLayout a{};
        if (sound && n < h.num_channels && area(n, a)) {
            line += " next=" + link_text(a.next, h.num_channels) + " read_index=" + std::to_string(a.read_index) +
                    " write_index=" + std::to_string(a.write_index) +
                    " message_length=" + std::to_string(a.message_length);
        } else {
            line += " (area not read: header damaged)";
        }
        line += " free_sem=" + query_semaphore(stem + kChannelFree + std::to_string(n)).text();
        line += " filled_sem=" + query_semaphore(stem + kChannelFilled + std::to_string(n)).text();
        std::printf("%s\n", line.c_str());
    }
}

int cmd_inspect(const std::string& stem) {
    SegmentFile seg;
    if (const int err = seg.open(stem); err != 0)
        fail(code_for_errno(err), "cannot open queue '" + shown(stem) + "': " + std::strerror(err));
    const Probe p = probe(seg);
    if (p.verdict == Verdict::kForeign) fail(kNotQueue, "'" + shown(stem) + "' is not a queue: " + p.problem);

    field("name", shown(stem));
    field("kind", label(p.kind));
    field("segment_size", std::to_string(p.segment_size));
    field("queue_type", std::to_string(p.queue_type));
    switch (p.kind) {
        case Kind::kSPSC: inspect_spsc(seg, stem); break;
        case Kind::kMPMC: inspect_mpmc(seg, stem, p.verdict == Verdict::kQueue); break;
        case Kind::kMPMCVar: inspect_mpmcvar(seg, stem, p); break;
    }
    if (p.verdict == Verdict::kDamaged) {
        field("damaged", p.problem);
        fail(kNotQueue, "queue '" + shown(stem) + "' is damaged: " + p.problem);
    }
    return kOk;
}

// ----------------------------------------------------------------- remove ---

// Semaphore names of any kind that still exist for `stem`.
std::vector<std::string> leftover_semaphores(const std::string& stem) {
    std::set<std::string> names;
    for (Kind k : {Kind::kSPSC, Kind::kMPMC, Kind::kMPMCVar})
        for (const std::string& name : semaphore_names(stem, k, scan_channel_numbers(stem)))
            if (query_semaphore(name).present()) names.insert(shown(name));
    return {names.begin(), names.end()};
}

int cmd_remove(const std::string& stem, std::optional<Kind> given) {
    SegmentFile seg;
    const int err = seg.open(stem);
    const bool segment_present = err != ENOENT;
    Probe p;
    if (err == 0) {
        p = probe(seg);
        seg.close();
        if (p.verdict != Verdict::kForeign) {
            if (given && *given != p.kind)
                fail(kNotQueue, "'" + shown(stem) + "' is an " + label(p.kind) + " queue, not " + label(*given) +
                                    "; nothing removed");
            given = p.kind;
        } else if (!given) {
            fail(kNotQueue, "'" + shown(stem) + "' is not a queue (" + p.problem +
                                "); nothing removed. Give --kind to remove it as a queue of that kind anyway");
        }
    } else if (err == ENOENT) {
        if (!given) {
            std::string message = "no queue segment '" + shown(stem) + "' in " + kShmDir;
            const auto left = leftover_semaphores(stem);
            if (!left.empty()) {
                message += "; semaphore names of it remain:";
                for (const std::string& name : left) message += " " + name;
                message += ". Give --kind to remove them";
            }
            fail(kNotFound, message);
        }
    } else if (!given) {
        fail(code_for_errno(err), "cannot read '" + shown(stem) + "': " + std::strerror(err) +
                                      ". Give --kind to remove it without reading it");
    }
    const Kind kind = *given;

    int worst = kOk;
    size_t removed = 0;
    std::vector<std::string> gone;
    auto account = [&](int rc, const std::string& name, const char* what) {
        if (rc == 0) {
            std::printf("removed %s %s\n", what, name.c_str());
            ++removed;
        } else if (errno == ENOENT) {
            gone.push_back(name);
        } else {
            const int e = errno;
            std::fprintf(stderr, "mox-ipcq: cannot remove %s %s: %s\n", what, name.c_str(), std::strerror(e));
            worst = std::max(worst, code_for_errno(e));
        }
    };
    if (segment_present) account(::shm_unlink(shown(stem).c_str()), shown(stem), "segment");
    for (const std::string& name : semaphore_names(stem, kind, channel_numbers(stem, p)))
        account(::sem_unlink(shown(name).c_str()), shown(name), "semaphore");

    if (removed == 0 && worst == kOk)
        fail(kNotFound, std::string("nothing of ") + label(kind) + " queue '" + shown(stem) + "' was left to remove");
    if (!gone.empty()) {
        std::string line = "already gone:";
        for (const std::string& name : gone) line += " " + name;
        std::printf("%s\n", line.c_str());
    }
    return worst;
}

// ------------------------------------------------------------------- main ---

[[noreturn]] void usage(const std::string& message) { fail(kUsage, message + "\n(see mox-ipcq --help)"); }

int run(const std::vector<std::string>& args) {
    if (args.empty()) usage("missing command");
    for (const std::string& a : args)
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return kOk;
        }
    const std::string& command = args[0];
    if (command == "--version") {
        std::printf("mox-ipcq %s\n", MOX_IPCQ_VERSION);
        return kOk;
    }
    std::vector<std::string> positional;
    bool all = false;
    std::optional<std::string> kind_text;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (command == "list" && a == "--all") {
            all = true;
        } else if (command == "remove" && a == "--kind") {
            if (i + 1 == args.size()) usage("--kind needs a value: spsc, mpmc or mpmcvar");
            kind_text = args[++i];
        } else if (command == "remove" && a.compare(0, 7, "--kind=") == 0) {
            kind_text = a.substr(7);
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            usage("unknown option '" + a + "' for " + command);
        } else {
            positional.push_back(a);
        }
    }
    if (command == "list") {
        if (!positional.empty()) usage("list takes no NAME");
        return cmd_list(all);
    }
    if (command == "inspect" || command == "remove") {
        if (positional.size() != 1) usage(command + " needs exactly one NAME");
        const std::string stem = parse_name(positional[0]);
        if (command == "inspect") return cmd_inspect(stem);
        std::optional<Kind> kind;
        if (kind_text) {
            kind = parse_kind(*kind_text);
            if (!kind) usage("unknown kind '" + *kind_text + "': expected spsc, mpmc or mpmcvar");
        }
        return cmd_remove(stem, kind);
    }
    usage("unknown command '" + command + "'");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const Failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "mox-ipcq: %s\n", f.message.c_str());
        return f.code;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "mox-ipcq: %s\n", e.what());
        return kSystemError;
    }
}
