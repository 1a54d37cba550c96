// mox-ipcq list [--all]: one row per queue in /dev/shm, from each segment's
// report: kind, geometry, fill level (the counting semaphores) and whether
// every semaphore name of the queue is still there. --all adds a row for
// every object that is no queue.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "owner_table.h"
#include "queue_names.h"
#include "tool.h"

namespace mox::ipcq {

namespace {

using ipc_queue::Initial;
using ipc_queue::SemaphoreReading;
using ipc_queue::SemaphoreSpec;

SemaphoreReading reading_of(const SegmentReport& r, const std::string& suffix) {
    for (const auto& [s, reading] : r.semaphores)
        if (s == suffix) return reading;
    return {};
}

// "filled=2,free=2" or "used=1,free=2": the kind's counting semaphores (the
// locks start at 1 and are no fill), the count of waiting messages (it
// starts at 0) first, each labelled by its suffix without the underscores.
std::string fill_text(const SegmentReport& r) {
    std::string text;
    for (const bool waiting : {true, false})
        for (const SemaphoreSpec& s : ipc_queue::queue_semaphores(*r.kind)) {
            if (s.initial == Initial::kOne || (s.initial == Initial::kZero) != waiting) continue;
            std::string label = s.suffix;
            label.erase(std::remove(label.begin(), label.end(), '_'), label.end());
            text += (text.empty() ? "" : ",") + label + "=" + reading_of(r, s.suffix).text();
        }
    return text;
}

// "ok", or "missing:K/N" when K of the queue's N semaphore names are gone.
std::string state_text(const QueueName& name, const SegmentReport& r) {
    const auto suffixes = semaphore_suffixes(*r.kind, channel_numbers(name, r));
    const auto missing = std::count_if(suffixes.begin(), suffixes.end(), [&](const std::string& s) {
        return !ipc_queue::read_named_semaphore(name.semaphore(s)).present();
    });
    return missing == 0 ? "ok" : "missing:" + std::to_string(missing) + "/" + std::to_string(suffixes.size());
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

}  // namespace

int list_command(bool all) {
    DIR* dir = ::opendir(kShmDir);
    if (dir == nullptr) {
        const int err = errno;
        fail(code_for_errno(err), std::string("cannot read ") + kShmDir + ": " + std::strerror(err));
    }
    struct Entry {
        std::string stem;
        bool maybe_regular;
    };
    std::vector<Entry> entries;
    while (const dirent* e = ::readdir(dir)) {
        const std::string entry = e->d_name;
        if (entry == "." || entry == ".." || entry.compare(0, std::strlen(kSemFilePrefix), kSemFilePrefix) == 0)
            continue;
        // A queue's table of owners goes with its queue.
        if (entry.size() > std::strlen(ipc_queue::kOwnersSuffix) &&
            entry.compare(entry.size() - std::strlen(ipc_queue::kOwnersSuffix), std::string::npos,
                          ipc_queue::kOwnersSuffix) == 0 &&
            ipc_queue::segment_exists(entry.substr(0, entry.size() - std::strlen(ipc_queue::kOwnersSuffix))))
            continue;
        // Never opened unless it may be a file: opening a FIFO would block.
        entries.push_back({entry, e->d_type == DT_REG || e->d_type == DT_UNKNOWN});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.stem < b.stem; });

    std::vector<std::vector<std::string>> rows{{"NAME", "KIND", "CHANNELS", "CELLS", "CELL_SIZE", "FILL", "STATE"}};
    for (const Entry& entry : entries) {
        const QueueName name{entry.stem};
        if (!entry.maybe_regular) {
            if (all) rows.push_back({name.shown(), "unknown", "-", "-", "-", "-", "-"});
            continue;
        }
        ipc_queue::SegmentFile segment;
        if (const int err = segment.open(name.shown()); err != 0) {
            // Gone since the directory was read: not shown at all.
            if (all && err != ENOENT)
                rows.push_back({name.shown(), "unknown", "-", "-", "-", "-",
                                code_for_errno(err) == kPermission ? "no-access" : "unreadable"});
            continue;
        }
        const SegmentReport r = ipc_queue::report_segment(segment, named_semaphores(name));
        switch (r.verdict) {
            case SegmentReport::kNotAQueue:
                if (all) rows.push_back({name.shown(), "unknown", "-", "-", "-", "-", "-"});
                break;
            case SegmentReport::kDamaged:
                rows.push_back({name.shown(), ipc_queue::kind_name(*r.kind), "-", "-", "-", "-", "damaged"});
                break;
            case SegmentReport::kQueue: {
                const ipc_queue::Geometry& g = r.geometry;
                rows.push_back({name.shown(), ipc_queue::kind_name(*r.kind),
                                g.kind == QueueKind::kMPMCVar ? std::to_string(g.num_channels) : "-",
                                std::to_string(g.num_cells), std::to_string(g.cell_size), fill_text(r),
                                state_text(name, r)});
                break;
            }
        }
    }
    print_table(rows);
    return kOk;
}

}  // namespace mox::ipcq
