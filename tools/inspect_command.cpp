// mox-ipcq inspect [--json] NAME: one queue's report, as "key: value" lines
// or as the report's own JSON object. Reads only: the segment with pread,
// the semaphores with sem_getvalue; a damaged segment gives a report and
// exit code 3, never a crash.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "owner_table.h"
#include "tool.h"

namespace mox::ipcq {

namespace {

using ipc_queue::ChannelReport;
using ipc_queue::Field;
using ipc_queue::WordRole;

void line(const std::string& key, const std::string& value) {
    std::printf("%-18s %s\n", (key + ":").c_str(), value.c_str());
}

std::string link_text(uint64_t link, uint64_t count) {
    if (link == ipc_queue::kListEnd) return "end";
    if (link == ipc_queue::kInUseMark) return "in-use";
    if (link < count) return std::to_string(link);
    return std::to_string(link) + " (out of range)";
}

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// A header word as the operator reads it: links by what they link to,
// thread words in hex with 0 as a free slot.
std::string field_text(WordRole role, uint64_t value, const ipc_queue::Geometry& g) {
    switch (role) {
        case WordRole::kLink:
            return link_text(value, g.kind == QueueKind::kMPMCVar ? g.num_channels : g.num_cells);
        case WordRole::kThread:
            return value == 0 ? "0 (open)" : hex(value);
        default:
            return std::to_string(value);
    }
}

std::string numbers(const std::vector<uint32_t>& items) {
    std::string text;
    for (uint32_t i : items) text += (text.empty() ? "" : " ") + std::to_string(i);
    return text.empty() ? "none" : text;
}

// "cell held x2; free count short": repeated findings once, with their count.
std::string findings_text(const std::vector<std::string>& findings) {
    std::vector<std::pair<std::string, int>> counted;
    for (const std::string& f : findings) {
        if (!counted.empty() && counted.back().first == f)
            ++counted.back().second;
        else
            counted.emplace_back(f, 1);
    }
    std::string text;
    for (const auto& [f, n] : counted) text += (text.empty() ? "" : "; ") + f + (n > 1 ? " x" + std::to_string(n) : "");
    return text.empty() ? "none" : text;
}

void print_channels(const QueueName& name, const SegmentReport& r) {
    std::printf("channels:\n");
    const uint64_t count = r.geometry.num_channels;
    for (uint32_t c : channel_numbers(name, r)) {
        std::string text = "  channel " + std::to_string(c) + ":";
        std::string free_sem, filled_sem;
        if (c < r.channels.size()) {
            const ChannelReport& ch = r.channels[c];
            text += " next=" + link_text(ch.next, count) + " read_index=" + std::to_string(ch.read_index) +
                    " write_index=" + std::to_string(ch.write_index) +
                    " message_length=" + std::to_string(ch.message_length) +
                    " message_state=" + std::to_string(ch.message_state);
            free_sem = ch.free.text();
            filled_sem = ch.filled.text();
        } else {
            // Found by its semaphores only.
            text += r.verdict == SegmentReport::kQueue ? " (no such channel in the header)"
                                                       : " (area not read: header damaged)";
            const auto suffixes = channel_suffixes(c);
            free_sem = ipc_queue::read_named_semaphore(name.semaphore(suffixes[0])).text();
            filled_sem = ipc_queue::read_named_semaphore(name.semaphore(suffixes[1])).text();
        }
        std::printf("%s free_sem=%s filled_sem=%s\n", text.c_str(), free_sem.c_str(), filled_sem.c_str());
    }
}

// The threads recorded in the table of owners that hold something, or are
// gone (a survivor repairs what they held when it next waits).
void print_owners(const QueueName& name) {
    static const char* const kState[] = {"gone", "running", "sleeping", "stopped"};
    static const char* const kLock[] = {"", "free list lock", "filled list lock", "used list lock"};
    bool any = false;
    for (const ipc_queue::OwnerRecord& o : ipc_queue::OwnerTable::read_records(name.shown())) {
        const bool gone = o.state == ipc_queue::ThreadState::kGone;
        if (o.holding.step == ipc_queue::Step::kIdle && !gone) continue;
        if (!any) std::printf("owners:\n");
        any = true;
        std::printf("  pid %u tid %u %s: %s", o.pid, o.tid, kState[static_cast<int>(o.state)],
                    ipc_queue::step_name(o.holding.step));
        if (o.holding.step != ipc_queue::Step::kIdle) std::printf(" #%u", o.holding.index);
        if (o.holding.hold != ipc_queue::LockHold::kNo)
            std::printf(", %s %s", o.holding.hold == ipc_queue::LockHold::kHolds ? "holds" : "may hold",
                        kLock[static_cast<int>(o.holding.lock)]);
        std::printf("\n");
    }
}

void print_text(const QueueName& name, const SegmentReport& r) {
    line("name", name.shown());
    line("kind", ipc_queue::kind_name(*r.kind));
    // The report lists the header words in header_fields() order.
    const std::vector<Field>& fields = ipc_queue::header_fields(*r.kind);
    for (size_t i = 0; i < r.header.size() && i < fields.size(); ++i)
        line(r.header[i].first, field_text(fields[i].role, r.header[i].second, r.geometry));
    for (const auto& [list, walk] : r.lists) {
        const std::string length = std::to_string(walk.items.size());
        line(list + " list", walk.broken.empty() ? length : "broken after " + length + " (" + walk.broken + ")");
    }
    if (!r.lists.empty()) line("held", numbers(r.held));
    if (!r.semaphores.empty()) {
        std::printf("semaphores:\n");
        for (const auto& [suffix, reading] : r.semaphores)
            std::printf("  %s: %s\n", name.semaphore(suffix).c_str(), reading.text().c_str());
    }
    if (*r.kind == QueueKind::kMPMCVar) print_channels(name, r);
    print_owners(name);
    if (r.verdict == SegmentReport::kQueue) line("findings", findings_text(r.findings));
    if (r.verdict == SegmentReport::kDamaged) line("damaged", r.problem);
}

}  // namespace

int inspect_command(const QueueName& name, bool json) {
    ipc_queue::SegmentFile segment;
    if (const int err = segment.open(name.shown()); err != 0)
        fail(code_for_errno(err), "cannot open queue '" + name.shown() + "': " + std::strerror(err));
    SegmentReport r = ipc_queue::report_segment(segment, named_semaphores(name));
    ipc_queue::OwnerTable::discount_unsure_posts(name.shown(), r.findings);
    if (json) std::printf("%s\n", ipc_queue::to_json(r, name.shown()).c_str());
    if (r.verdict == SegmentReport::kNotAQueue) fail(kNotQueue, "'" + name.shown() + "' is not a queue: " + r.problem);
    if (!json) print_text(name, r);
    if (r.verdict == SegmentReport::kDamaged) fail(kNotQueue, "queue '" + name.shown() + "' is damaged: " + r.problem);
    return kOk;
}

}  // namespace mox::ipcq
