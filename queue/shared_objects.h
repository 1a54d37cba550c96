// Named shared-memory segments and named semaphores: the creating, opening
// and removing steps that every queue kind performs, written once. Each kind
// passes its own message texts; failures throw IPCQueueException in the form
// the kind's tables give (queue name or semaphore name, plus errno).
//
// Lifetime rules every kind follows:
// - A create reserves the segment's memory up front, so a full /dev/shm is
//   an error at create, never a SIGBUS at the first write.
// - A created segment reads as not initialised (size word 0) until the
//   creator has made everything and publishes the size word, last.
// - A create that fails removes exactly the names it made; a connect that
//   fails closes what it opened and removes nothing.
// - A name is removed only while it still names this object's own segment
//   (same inode), so a queue created anew under the name is never touched.
#pragma once

#include <semaphore.h>
#include <sys/mman.h>

#include <cstdint>
#include <string>
#include <vector>

#include "layout.h"
#include "segment_report.h"

namespace mox::ipc_queue {

inline constexpr unsigned kObjectMode = 0600;

// Which object a segment is: it stays the same for as long as anyone maps
// it, whatever happens to its name.
struct SegmentIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
};

struct SegmentCreateTexts {
    const char* too_large;       // the size overflows or cannot be mapped
    const char* exists;          // shm_open failed with EEXIST
    const char* open_failed;     // shm_open failed otherwise
    const char* size_failed;     // ftruncate failed
    const char* reserve_failed;  // the memory cannot be reserved; " of <n> bytes" follows
    const char* map_failed;      // mmap failed
};

struct SegmentConnectTexts {
    const char* open_failed;  // shm_open failed
    const char* map_failed;   // mmap failed
    const char* wrong_type;   // queue_type belongs to another kind
    const char* not_ready;    // the creator has not finished (size word still 0)
    const char* damaged;      // the header disagrees with the object; " (<why>)" follows
};

// Whether `name` plus a semaphore suffix of `longest_suffix` characters
// still makes a valid semaphore name, so a create can refuse a long name
// before it has made anything.
bool semaphore_names_fit(const std::string& name, size_t longest_suffix);

// Creates the object `name` exclusively (0600), sizes it to `size` bytes of
// reserved memory (it reads as zeros) and maps all of it. On success `fd`
// and `id` describe it. On failure nothing stays: not even the name.
char* create_segment(const std::string& name, uint64_t size, int& fd, SegmentIdentity& id,
                     const SegmentCreateTexts& texts);

// The last step of a create: the size word, written with release ordering
// after everything else, tells a connecting process the queue is ready.
void publish_segment(char* segment, uint64_t size);

struct ConnectedSegment {
    char* bytes = nullptr;
    uint64_t size = 0;
    Geometry geometry;  // from the same copy of the header that was checked
};

// Opens the object `name`, reads its size word (0: not ready), maps it and
// checks one copy of its header for a queue of `kind`. On failure nothing
// stays open and no name is touched.
ConnectedSegment connect_segment(const std::string& name, QueueKind kind, int& fd, SegmentIdentity& id,
                                 const SegmentConnectTexts& texts);

// close() unless -1, then -1.
void close_descriptor(int& fd);

// Whether `name` names the segment `id` right now.
bool names_segment(const std::string& name, const SegmentIdentity& id);

// Unmaps and closes what create_segment/connect_segment opened in this
// process; names are not touched. Null and -1 mean nothing to release.
void release_segment(char*& segment, uint64_t size, int& fd);

// A create that failed after create_segment: the name goes too.
void undo_create_segment(const std::string& name, char*& segment, uint64_t size, int& fd);

// A named semaphore a queue object holds; null until created or opened.
struct NamedSemaphore {
    std::string name;
    sem_t* handle = nullptr;
};

struct SemaphoreTexts {
    const char* exists;          // create: the name is taken
    const char* create_failed;   // create: any other failure
    const char* connect_failed;  // connect: the name cannot be opened
};

// Names `sem` and creates it exclusively (0600) with `value`, or opens the
// existing one. Throws IPCQueueException with the semaphore's name and errno.
void create_semaphore(NamedSemaphore& sem, std::string name, unsigned value, const SemaphoreTexts& texts);
void open_semaphore(NamedSemaphore& sem, std::string name, const SemaphoreTexts& texts);

// sem_close when open, then null; with `created`, the name goes too (the
// cleanup of a create that failed). Results are ignored.
void close_semaphore(NamedSemaphore& sem, bool created = false);

// The semaphore's value through the handle this object holds.
SemaphoreReading read_semaphore(const NamedSemaphore& sem);

// The reading of the handle named queue + suffix among `sems` (count of
// them): what an object reports on its own semaphores.
SemaphoreReading read_held_semaphore(const std::string& queue, const std::string& suffix, const NamedSemaphore* sems,
                                     size_t count);

// Removes the semaphore's name (once this object has named it). No throw.
void unlink_semaphore(const NamedSemaphore& sem);

// A kind's own semaphores, held in the order of queue_semaphores(kind)
// with their texts beside them: created in that order, opened in `order`
// (indices into it), each named queue + suffix.
void create_semaphores(NamedSemaphore* sems, const SemaphoreTexts* texts, const std::string& queue, const Geometry& g);
void open_semaphores(NamedSemaphore* sems, const SemaphoreTexts* texts, const std::string& queue, QueueKind kind,
                     const std::vector<size_t>& order);
void close_semaphores(NamedSemaphore* sems, size_t count, bool created = false);
void unlink_semaphores(const NamedSemaphore* sems, size_t count);

// What every kind's unlink() does: while `name` still names segment `id`,
// `remove_semaphores` runs, then the segment name goes (semaphores first:
// until the segment name is gone nobody can make a new queue under the
// name whose semaphores they could be); then `fd` is closed.
template <class RemoveSemaphores>
void remove_names_if_ours(const std::string& name, const SegmentIdentity& id, int& fd,
                          RemoveSemaphores&& remove_semaphores) {
    if (names_segment(name, id)) {
        remove_semaphores();
        if (names_segment(name, id)) ::shm_unlink(name.c_str());
    }
    close_descriptor(fd);
}

}  // namespace mox::ipc_queue
