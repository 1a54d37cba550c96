#include "layout.h"

#include <algorithm>
#include <cstdint>

namespace mox::ipc_queue {

namespace {

// x86-64 user space spans 2^47 bytes; no single mapping can be larger.
constexpr uint64_t kMaxMappable = uint64_t{1} << 47;

template <class T>
T word_at(const char* bytes, size_t offset) {
    T v;
    std::memcpy(&v, bytes + offset, sizeof v);
    return v;
}

bool link_ok(uint32_t link, uint32_t count) { return link == kListEnd || link < count; }

std::string out_of_range(const char* what, uint64_t value) {
    return std::string(what) + " " + std::to_string(value) + " out of range";
}

}  // namespace

const char* kind_name(QueueKind kind) {
    switch (kind) {
        case QueueKind::kSPSC:
            return "spsc";
        case QueueKind::kMPMC:
            return "mpmc";
        case QueueKind::kMPMCVar:
            return "mpmcvar";
    }
    return "?";
}

std::optional<QueueKind> kind_from_name(const std::string& name) {
    for (QueueKind k : {QueueKind::kSPSC, QueueKind::kMPMC, QueueKind::kMPMCVar})
        if (name == kind_name(k)) return k;
    return std::nullopt;
}

std::optional<QueueKind> kind_from_code(uint32_t queue_type) {
    if (queue_type > kMPMCVarQueueType) return std::nullopt;
    return static_cast<QueueKind>(queue_type);
}

uint64_t Geometry::header_size() const {
    switch (kind) {
        case QueueKind::kSPSC:
            return sizeof(SPSCHeader);
        case QueueKind::kMPMC:
            return sizeof(MPMCHeader);
        case QueueKind::kMPMCVar:
            return sizeof(MPMCVarHeader);
    }
    return 0;
}

std::string Geometry::problem() const {
    const bool var = kind == QueueKind::kMPMCVar;
    if (var && (num_channels < 1 || num_channels > kMaxCount)) return out_of_range("num_channels", num_channels);
    if (num_cells < 1 || num_cells > kMaxCount) return out_of_range("num_cells", num_cells);
    if (cell_size < 1 || cell_size > (var ? kMaxVarCellSize : UINT64_MAX - Cell::kHeaderSize))
        return out_of_range("cell_size", cell_size);
    // Products in 64 bits: cell_stride() fits, and a count is below 2^31.
    uint64_t records = 0, size = 0;
    const uint64_t stride = var ? channel_stride() : cell_stride();
    if (var && uint64_t{num_cells} * cell_stride() >= kRingLimit) return "channel ring of 2^32 bytes or more";
    if (__builtin_mul_overflow(var ? uint64_t{num_channels} : uint64_t{num_cells}, stride, &records) ||
        __builtin_add_overflow(records, header_size(), &size) || size > kMaxMappable)
        return "segment larger than a process can map";
    return "";
}

uint64_t Geometry::segment_size() const {
    return header_size() + (kind == QueueKind::kMPMCVar ? uint64_t{num_channels} * channel_stride()
                                                        : uint64_t{num_cells} * cell_stride());
}

Geometry read_geometry(QueueKind kind, const char* header) {
    Geometry g;
    g.kind = kind;
    switch (kind) {
        case QueueKind::kSPSC:
            g.num_cells = word_at<uint32_t>(header, offsetof(SPSCHeader, num_cells));
            g.cell_size = word_at<uint64_t>(header, offsetof(SPSCHeader, cell_size));
            break;
        case QueueKind::kMPMC:
            g.num_cells = word_at<uint32_t>(header, offsetof(MPMCHeader, num_cells));
            g.cell_size = word_at<uint64_t>(header, offsetof(MPMCHeader, cell_size));
            break;
        case QueueKind::kMPMCVar:
            g.num_channels = word_at<uint32_t>(header, offsetof(MPMCVarHeader, num_channels));
            g.num_cells = word_at<uint32_t>(header, offsetof(MPMCVarHeader, num_cells));
            g.cell_size = word_at<uint32_t>(header, offsetof(MPMCVarHeader, cell_size));
            break;
    }
    return g;
}

std::string header_problem(QueueKind kind, const char* header, uint64_t object_size) {
    const uint64_t size_word = word_at<uint64_t>(header, offsetof(SegmentPrefix, segment_size));
    if (size_word != object_size)
        return "segment_size " + std::to_string(size_word) + " differs from the object size " +
               std::to_string(object_size);
    const Geometry g = read_geometry(kind, header);
    if (std::string p = g.problem(); !p.empty()) return p;
    if (g.segment_size() != object_size)
        return std::string(kind == QueueKind::kMPMCVar ? "num_channels, num_cells" : "num_cells") +
               " and cell_size do not match the object size " + std::to_string(object_size);
    switch (kind) {
        case QueueKind::kSPSC:
            if (word_at<uint32_t>(header, offsetof(SPSCHeader, read_index)) >= g.num_cells ||
                word_at<uint32_t>(header, offsetof(SPSCHeader, write_index)) >= g.num_cells)
                return "ring index out of range";
            break;
        case QueueKind::kMPMC:
            for (size_t at : {offsetof(MPMCHeader, free_head), offsetof(MPMCHeader, filled_head),
                              offsetof(MPMCHeader, filled_tail)})
                if (!link_ok(word_at<uint32_t>(header, at), g.num_cells)) return "list head out of range";
            break;
        case QueueKind::kMPMCVar:
            for (size_t at : {offsetof(MPMCVarHeader, free_word), offsetof(MPMCVarHeader, used_head),
                              offsetof(MPMCVarHeader, used_tail)})
                if (!link_ok(word_at<uint32_t>(header, at), g.num_channels)) return "list head out of range";
            break;
    }
    return "";
}

unsigned initial_value(Initial initial, const Geometry& g) {
    switch (initial) {
        case Initial::kZero:
            return 0;
        case Initial::kOne:
            return 1;
        case Initial::kCells:
            return g.num_cells;
        case Initial::kChannels:
            return g.num_channels;
    }
    return 0;
}

const std::vector<SemaphoreSpec>& queue_semaphores(QueueKind kind) {
    static const std::vector<SemaphoreSpec> spsc{{"_filled_", Initial::kZero}, {"_free_", Initial::kCells}};
    static const std::vector<SemaphoreSpec> mpmc{{"_filled_", Initial::kZero},
                                                 {"_filled_mutex_", Initial::kOne},
                                                 {"_free_mutex_", Initial::kOne},
                                                 {"_free_", Initial::kCells}};
    static const std::vector<SemaphoreSpec> mpmcvar{
        {"_free_", Initial::kChannels}, {"_used_", Initial::kZero}, {"_used_mutex_", Initial::kOne}};
    return kind == QueueKind::kSPSC ? spsc : kind == QueueKind::kMPMC ? mpmc : mpmcvar;
}

const std::vector<SemaphoreSpec>& channel_semaphores() {
    static const std::vector<SemaphoreSpec> channel{{"_free_channel_", Initial::kCells},
                                                    {"_filled_channel_", Initial::kZero}};
    return channel;
}

std::vector<std::string> semaphore_suffixes(QueueKind kind, uint32_t num_channels) {
    std::vector<std::string> suffixes;
    for (const SemaphoreSpec& s : queue_semaphores(kind)) suffixes.emplace_back(s.suffix);
    if (kind == QueueKind::kMPMCVar)
        for (uint32_t c = 0; c < num_channels; ++c)
            for (const SemaphoreSpec& s : channel_semaphores()) suffixes.push_back(s.suffix + std::to_string(c));
    return suffixes;
}

size_t longest_semaphore_suffix(QueueKind kind, uint32_t num_channels) {
    size_t longest = 0;
    for (const SemaphoreSpec& s : queue_semaphores(kind)) longest = std::max(longest, std::strlen(s.suffix));
    if (kind == QueueKind::kMPMCVar && num_channels > 0)
        for (const SemaphoreSpec& s : channel_semaphores())
            longest = std::max(longest, std::strlen(s.suffix) + std::to_string(num_channels - 1).size());
    return longest;
}

const std::vector<Field>& header_fields(QueueKind kind) {
    using W = WordRole;
    static const std::vector<Field> spsc{{"segment_size", 0, 8, W::kSize},    {"queue_type", 8, 4, W::kType},
                                         {"num_cells", 12, 4, W::kGeometry},  {"cell_size", 16, 8, W::kGeometry},
                                         {"read_index", 24, 4, W::kIndex},    {"write_index", 28, 4, W::kIndex},
                                         {"first_thread", 32, 8, W::kThread}, {"second_thread", 40, 8, W::kThread}};
    static const std::vector<Field> mpmc{{"segment_size", 0, 8, W::kSize},   {"queue_type", 8, 4, W::kType},
                                         {"num_cells", 12, 4, W::kGeometry}, {"cell_size", 16, 8, W::kGeometry},
                                         {"free_head", 24, 4, W::kLink},     {"filled_head", 28, 4, W::kLink},
                                         {"filled_tail", 32, 4, W::kLink},   {"flags", 36, 4, W::kFlags}};
    static const std::vector<Field> mpmcvar{
        {"segment_size", 0, 8, W::kSize},   {"queue_type", 8, 4, W::kType},     {"num_channels", 12, 4, W::kGeometry},
        {"num_cells", 16, 4, W::kGeometry}, {"cell_size", 20, 4, W::kGeometry}, {"free_head", 24, 4, W::kLink},
        {"free_count", 28, 4, W::kCount},   {"used_head", 32, 4, W::kLink},     {"used_tail", 36, 4, W::kLink}};
    return kind == QueueKind::kSPSC ? spsc : kind == QueueKind::kMPMC ? mpmc : mpmcvar;
}

const std::vector<Field>& channel_area_fields() {
    using W = WordRole;
    static const std::vector<Field> area{{"message_length", 0, 8, W::kLength}, {"next", 8, 4, W::kLink},
                                         {"read_index", 12, 4, W::kIndex},     {"write_index", 16, 4, W::kIndex},
                                         {"message_state", 20, 1, W::kState},  {"queue_flags", 21, 1, W::kFlags},
                                         {"reserved", 22, 2, W::kReserved}};
    return area;
}

const std::vector<Field>& cell_fields(QueueKind kind) {
    using W = WordRole;
    static const std::vector<Field> linked{{"next", 4, 4, W::kLink}, {"length", 8, 8, W::kLength}};
    static const std::vector<Field> plain{{"length", 8, 8, W::kLength}};
    return kind == QueueKind::kMPMC ? linked : plain;
}

}  // namespace mox::ipc_queue
