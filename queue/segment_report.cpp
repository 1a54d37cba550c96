#include "segment_report.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "queue_names.h"

namespace mox::ipc_queue {

bool MappedSegment::read(uint64_t offset, void* out, size_t n) const {
    if (offset > size_ || n > size_ - offset) return false;
    std::memcpy(out, bytes_ + offset, n);
    return true;
}

SegmentFile::~SegmentFile() {
    if (fd_ >= 0) ::close(fd_);
}

int SegmentFile::open(const std::string& name) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd_ < 0) return errno;
    struct stat st{};
    if (::fstat(fd_, &st) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        return err;
    }
    regular_ = S_ISREG(st.st_mode);
    size_ = regular_ ? static_cast<uint64_t>(st.st_size) : 0;
    return 0;
}

bool SegmentFile::read(uint64_t offset, void* out, size_t n) const {
    if (fd_ < 0 || offset > size_ || n > size_ - offset) return false;
    return ::pread(fd_, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
}

std::string SemaphoreReading::text() const {
    switch (status) {
        case kValue:
            return std::to_string(value);
        case kMissing:
            return "missing";
        case kNoAccess:
            return "no-access";
        case kBroken:
            return "broken";
    }
    return "?";
}

SemaphoreReading read_named_semaphore(const std::string& sem_name) {
    auto for_errno = [](int err) {
        if (err == ENOENT) return SemaphoreReading{SemaphoreReading::kMissing, 0};
        if (err == EACCES || err == EPERM) return SemaphoreReading{SemaphoreReading::kNoAccess, 0};
        return SemaphoreReading{SemaphoreReading::kBroken, 0};
    };
    // sem_open maps sizeof(sem_t) of the file: a shorter one would fault.
    const std::string file = semaphore_file(sem_name);
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0) return for_errno(errno);
    if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(sizeof(sem_t))) return {SemaphoreReading::kBroken, 0};
    sem_t* sem = ::sem_open(sem_name.c_str(), 0);
    if (sem == SEM_FAILED) return for_errno(errno);
    int value = 0;
    const int rc = ::sem_getvalue(sem, &value);
    ::sem_close(sem);
    if (rc != 0) return {SemaphoreReading::kBroken, 0};
    return {SemaphoreReading::kValue, value};
}

namespace {

// Follows a list from `head` through `next_of` until the end mark; stops at
// an index out of range, an unreadable word or a cycle.
template <class NextOf>
ListWalk walk(uint32_t head, uint32_t count, NextOf next_of) {
    ListWalk w;
    for (uint32_t i = head; i != kListEnd;) {
        if (i >= count) {
            w.broken = "link " + std::to_string(i) + " out of range";
            break;
        }
        if (w.items.size() >= count) {
            w.broken = "cycle";
            break;
        }
        w.items.push_back(i);
        const std::optional<uint32_t> next = next_of(i);
        if (!next) {
            w.broken = "link unreadable";
            break;
        }
        i = *next;
    }
    return w;
}

void add(std::vector<std::string>& findings, const std::string& what, int64_t times) {
    for (int64_t i = 0; i < times; ++i) findings.push_back(what);
}

// A count against the list it counts: short (a count taken or never
// posted), or above it (a list item lost while counted).
void compare_count(std::vector<std::string>& findings, const std::string& list, size_t length,
                   const SemaphoreReading& count) {
    if (count.status != SemaphoreReading::kValue) return;
    const int64_t diff = static_cast<int64_t>(length) - count.value;
    add(findings, list + " count short", diff);
    add(findings, list + " count above its list", -diff);
}

// The queue semaphore with `suffix`, as the report read it.
SemaphoreReading count(const SegmentReport& r, const char* suffix) {
    for (const auto& [s, reading] : r.semaphores)
        if (s == suffix) return reading;
    return {};
}

bool taken(const SemaphoreReading& lock) { return lock.status == SemaphoreReading::kValue && lock.value == 0; }

struct Reader {
    const SegmentSource& seg;
    const Geometry& g;

    template <class T>
    T at(uint64_t offset) const {
        return seg.get<T>(offset).value_or(T{});
    }
};

void report_spsc(SegmentReport& r, const Reader& rd) {
    const uint32_t n = rd.g.num_cells;
    const SemaphoreReading free = count(r, "_free_"), filled = count(r, "_filled_");
    if (free.status != SemaphoreReading::kValue || filled.status != SemaphoreReading::kValue) return;
    const uint32_t read_index = rd.at<uint32_t>(offsetof(SPSCHeader, read_index));
    const uint32_t write_index = rd.at<uint32_t>(offsetof(SPSCHeader, write_index));
    // Cells outside both counts: taken by one side and not yet passed on.
    add(r.findings, "cell outside the counts", int64_t{n} - free.value - filled.value);
    // Cells the writer's position passed that the filled count does not hold.
    const int64_t passed = (int64_t{write_index} - read_index - filled.value) % n;
    add(r.findings, "cell passed unpublished", (passed + n) % n);
}

void report_mpmc(SegmentReport& r, const Reader& rd) {
    const uint32_t n = rd.g.num_cells;
    const RecordArray cells = rd.g.cells();
    auto next_of = [&](uint32_t i) { return rd.seg.get<uint32_t>(cells.offset(i) + Cell::kNextOffset); };
    r.lists = {{"free", walk(rd.at<uint32_t>(offsetof(MPMCHeader, free_head)), n, next_of)},
               {"filled", walk(rd.at<uint32_t>(offsetof(MPMCHeader, filled_head)), n, next_of)}};
    bool locked = false;
    for (const auto& [suffix, what] :
         {std::pair{"_free_mutex_", "free list lock held"}, std::pair{"_filled_mutex_", "filled list lock held"}})
        if (taken(count(r, suffix))) r.findings.push_back(what), locked = true;
    std::vector<bool> listed(n, false);
    for (const auto& [name, list] : r.lists)
        for (uint32_t i : list.items) listed[i] = true;
    for (uint32_t i = 0; i < n; ++i)
        if (!listed[i]) r.held.push_back(i);
    if (locked) return;  // the lists may be mid-change
    for (const auto& [name, list] : r.lists)
        if (!list.broken.empty()) r.findings.push_back(name + " list broken: " + list.broken);
    add(r.findings, "cell held", static_cast<int64_t>(r.held.size()));
    const uint32_t tail = rd.at<uint32_t>(offsetof(MPMCHeader, filled_tail));
    const uint32_t last = r.lists[1].second.items.empty() ? kListEnd : r.lists[1].second.items.back();
    if (r.lists[1].second.broken.empty() && tail != last) r.findings.push_back("filled tail is not the list's last");
    compare_count(r.findings, "free", r.lists[0].second.items.size(), count(r, "_free_"));
    compare_count(r.findings, "filled", r.lists[1].second.items.size(), count(r, "_filled_"));
}

void report_mpmcvar(SegmentReport& r, const Reader& rd, const SemaphoreReader& semaphores) {
    const uint32_t n = rd.g.num_channels;
    const RecordArray areas = rd.g.channels();
    for (uint32_t c = 0; c < n; ++c) {
        ChannelReport ch;
        ch.index = c;
        const uint64_t area = areas.offset(c);
        const auto a = rd.seg.get<ChannelAreaLayout>(area).value_or(ChannelAreaLayout{});
        ch.message_length = a.message_length;
        ch.next = a.next;
        ch.read_index = a.read_index;
        ch.write_index = a.write_index;
        ch.message_state = a.message_state;
        ch.free = semaphores(channel_semaphores()[0].suffix + std::to_string(c));
        ch.filled = semaphores(channel_semaphores()[1].suffix + std::to_string(c));
        const RecordArray ring = rd.g.ring(area);
        for (uint32_t j = 0; j < rd.g.num_cells; ++j)
            ch.cell_lengths.push_back(rd.at<uint64_t>(ring.offset(j) + Cell::kLengthOffset));
        r.channels.push_back(std::move(ch));
    }
    auto next_of = [&](uint32_t c) -> std::optional<uint32_t> { return r.channels[c].next; };
    r.lists = {{"free", walk(free_top(rd.at<uint64_t>(offsetof(MPMCVarHeader, free_word))), n, next_of)},
               {"used", walk(rd.at<uint32_t>(offsetof(MPMCVarHeader, used_head)), n, next_of)}};
    const bool locked = taken(count(r, "_used_mutex_"));
    if (locked) r.findings.push_back("used list lock held");
    std::vector<bool> listed(n, false);
    for (const auto& [name, list] : r.lists)
        for (uint32_t c : list.items) listed[c] = true;
    for (uint32_t c = 0; c < n; ++c)
        if (!listed[c]) r.held.push_back(c);
    if (locked) return;  // the lists may be mid-change
    for (const auto& [name, list] : r.lists)
        if (!list.broken.empty()) r.findings.push_back(name + " list broken: " + list.broken);
    std::vector<bool> counted(n, true);  // both ring semaphores readable
    for (const ChannelReport& ch : r.channels)
        for (const auto& [sem, semaphore] :
             {std::pair{&ch.free, channel_semaphores()[0]}, std::pair{&ch.filled, channel_semaphores()[1]}})
            if (sem->status != SemaphoreReading::kValue) {
                r.findings.push_back("semaphore " + std::string(semaphore.suffix) + std::to_string(ch.index) + " " +
                                     sem->text());
                counted[ch.index] = false;
            }
    for (uint32_t c : r.lists[0].second.items) {  // a free channel's ring is empty and its message closed
        if (!counted[c]) continue;
        const ChannelReport& ch = r.channels[c];
        const bool empty_ring =
            ch.free.value == static_cast<int>(rd.g.num_cells) && ch.filled.value == 0 &&
            ch.read_index == ch.write_index &&
            std::all_of(ch.cell_lengths.begin(), ch.cell_lengths.end(), [](uint64_t l) { return l == 0; });
        if (!empty_ring || ch.message_state != kMessageOpen || ch.message_length != 0)
            r.findings.push_back("free channel " + std::to_string(c) + " not empty");
    }
    for (uint32_t c : r.lists[1].second.items) {  // listed: its end not handed over yet
        if (!counted[c]) continue;
        const ChannelReport& ch = r.channels[c];
        if (ch.message_state == kWriterAbandoned) {
            r.findings.push_back("abandoned message listed");
            continue;
        }
        bool ended = false;
        for (int k = 0; k < ch.filled.value && !ended; ++k)
            ended = ch.cell_lengths[(ch.read_index + static_cast<uint32_t>(k)) % rd.g.num_cells] < rd.g.cell_size;
        if (!ended) r.findings.push_back("unfinished message listed");
    }
    add(r.findings, "channel held", static_cast<int64_t>(r.held.size()));
    const uint32_t tail = rd.at<uint32_t>(offsetof(MPMCVarHeader, used_tail));
    const uint32_t last = r.lists[1].second.items.empty() ? kListEnd : r.lists[1].second.items.back();
    if (r.lists[1].second.broken.empty() && tail != last) r.findings.push_back("used tail is not the list's last");
    compare_count(r.findings, "free", r.lists[0].second.items.size(), count(r, "_free_"));
    compare_count(r.findings, "used", r.lists[1].second.items.size(), count(r, "_used_"));
}

}  // namespace

SegmentReport report_segment(const SegmentSource& seg, const SemaphoreReader& semaphores) {
    SegmentReport r;
    r.object_size = seg.size();
    const auto size_word = seg.get<uint64_t>(offsetof(SegmentPrefix, segment_size));
    const auto type = seg.get<uint32_t>(offsetof(SegmentPrefix, queue_type));
    if (!size_word || !type) {
        r.problem = "object of " + std::to_string(r.object_size) + " bytes is shorter than the segment prefix";
        return r;
    }
    r.kind = kind_from_code(*type);
    if (!r.kind) {
        r.problem = "queue_type " + std::to_string(*type) + " is no queue kind";
        return r;
    }
    // A sized but never written segment reads as zeros: size 0, type 0.
    if (*size_word != r.object_size) {
        r.kind.reset();
        r.problem = *size_word == 0 ? "segment not initialised (size word 0)"
                                    : "segment_size " + std::to_string(*size_word) + " differs from the object size " +
                                          std::to_string(r.object_size);
        return r;
    }
    r.verdict = SegmentReport::kDamaged;
    const QueueKind kind = *r.kind;
    std::vector<char> header(Geometry{kind}.header_size());
    if (!seg.read(0, header.data(), header.size())) {
        r.problem = std::string("object is shorter than the ") + kind_name(kind) + " header";
        return r;
    }
    r.geometry = read_geometry(kind, header.data());
    for (const Field& f : header_fields(kind)) {
        uint64_t v = 0;
        std::memcpy(&v, header.data() + f.offset, f.width);
        r.header.emplace_back(f.name, v);
    }
    for (const SemaphoreSpec& s : queue_semaphores(kind)) r.semaphores.emplace_back(s.suffix, semaphores(s.suffix));
    r.problem = header_problem(kind, header.data(), r.object_size);
    if (!r.problem.empty()) return r;
    r.verdict = SegmentReport::kQueue;

    for (const auto& [suffix, reading] : r.semaphores)
        if (reading.status != SemaphoreReading::kValue)
            r.findings.push_back("semaphore " + suffix + " " + reading.text());
    const Reader rd{seg, r.geometry};
    switch (kind) {
        case QueueKind::kSPSC:
            report_spsc(r, rd);
            break;
        case QueueKind::kMPMC:
            report_mpmc(r, rd);
            break;
        case QueueKind::kMPMCVar:
            report_mpmcvar(r, rd, semaphores);
            break;
    }
    return r;
}

namespace {

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string reading_json(const SemaphoreReading& s) {
    return s.status == SemaphoreReading::kValue ? std::to_string(s.value) : quoted(s.text());
}

template <class T, class Each>
std::string array(const std::vector<T>& items, Each each) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + each(items[i]);
    return out + "]";
}

}  // namespace

std::string to_json(const SegmentReport& r, const std::string& name) {
    static const char* const kVerdicts[] = {"queue", "damaged", "not a queue"};
    std::string out = "{\"name\": " + quoted(name) + ", \"verdict\": " + quoted(kVerdicts[r.verdict]);
    out += ", \"kind\": " + (r.kind ? quoted(kind_name(*r.kind)) : std::string("null"));
    out += ", \"problem\": " + (r.problem.empty() ? std::string("null") : quoted(r.problem));
    out += ", \"object_size\": " + std::to_string(r.object_size);
    out += ", \"header\": {";
    for (size_t i = 0; i < r.header.size(); ++i)
        out += (i ? ", " : "") + quoted(r.header[i].first) + ": " + std::to_string(r.header[i].second);
    out += "}, \"semaphores\": {";
    for (size_t i = 0; i < r.semaphores.size(); ++i)
        out += (i ? ", " : "") + quoted(r.semaphores[i].first) + ": " + reading_json(r.semaphores[i].second);
    out += "}, \"lists\": {";
    for (size_t i = 0; i < r.lists.size(); ++i) {
        const ListWalk& w = r.lists[i].second;
        out += (i ? ", " : "") + quoted(r.lists[i].first) +
               ": {\"items\": " + array(w.items, [](uint32_t v) { return std::to_string(v); }) +
               ", \"broken\": " + (w.broken.empty() ? std::string("null") : quoted(w.broken)) + "}";
    }
    out += "}, \"held\": " + array(r.held, [](uint32_t v) { return std::to_string(v); });
    out += ", \"channels\": " + array(r.channels, [](const ChannelReport& c) {
               return "{\"index\": " + std::to_string(c.index) +
                      ", \"message_length\": " + std::to_string(c.message_length) +
                      ", \"next\": " + std::to_string(c.next) + ", \"read_index\": " + std::to_string(c.read_index) +
                      ", \"write_index\": " + std::to_string(c.write_index) +
                      ", \"message_state\": " + std::to_string(c.message_state) +
                      ", \"free\": " + reading_json(c.free) + ", \"filled\": " + reading_json(c.filled) +
                      ", \"cell_lengths\": " + array(c.cell_lengths, [](uint64_t v) { return std::to_string(v); }) +
                      "}";
           });
    out += ", \"findings\": " + array(r.findings, quoted) + "}";
    return out;
}

}  // namespace mox::ipc_queue
