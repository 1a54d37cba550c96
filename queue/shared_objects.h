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

#include <cstdint>
#include <string>

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
    const char* damaged;      // the header disagrees with the object
};

// header + count * stride, or false when it overflows 64 bits or exceeds what
// a process can map.
bool segment_size_fits(uint64_t header, uint64_t count, uint64_t stride, uint64_t& size);

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

// Kind-specific check of a mapped header against the object's real size.
using HeaderCheck = bool (*)(const char* segment, uint64_t size);

// Opens the object `name`, reads its size word (0: not ready), maps it and
// checks that the prefix agrees with the object's size, that queue_type is
// `type` and that `header_ok` accepts the header. On failure nothing stays
// open and no name is touched.
char* connect_segment(const std::string& name, uint32_t type, HeaderCheck header_ok, int& fd, uint64_t& size,
                      SegmentIdentity& id, const SegmentConnectTexts& texts);

// close() unless -1, then -1.
void close_descriptor(int& fd);

// Whether `name` names the segment `id` right now.
bool names_segment(const std::string& name, const SegmentIdentity& id);

// Removes the segment name if it still names `id`; results are ignored.
void remove_segment_name(const std::string& name, const SegmentIdentity& id);

// What every kind's unlink() does: while `name` still names segment `id`,
// `remove_semaphores` runs, then the segment name goes (semaphores first:
// until the segment name is gone nobody can make a new queue under the
// name whose semaphores they could be); then `fd` is closed.
template <class RemoveSemaphores>
void remove_queue_names(const std::string& name, const SegmentIdentity& id, int& fd,
                        RemoveSemaphores&& remove_semaphores) {
    if (names_segment(name, id)) {
        remove_semaphores();
        remove_segment_name(name, id);
    }
    close_descriptor(fd);
}

// Unmaps and closes what create_segment/connect_segment opened in this
// process; names are not touched. Null and -1 mean nothing to release.
void release_segment(char*& segment, uint64_t size, int& fd);

// A create that failed after create_segment: the name goes too.
void undo_create_segment(const std::string& name, char*& segment, uint64_t size, int& fd);



sem_t* create_semaphore(const std::string& sem_name, unsigned value, const char* exists_text,
                        const char* failed_text);
sem_t* open_semaphore(const std::string& sem_name, const char* failed_text);

// sem_close when open, then null. Results are ignored.
void close_semaphore(sem_t*& sem);

// Closes `sem` and, when this process created it, removes its name: the
// cleanup of a create that failed. Results are ignored.
void close_semaphore(sem_t*& sem, const std::string& sem_name, bool created);

}  // namespace mox::ipc_queue
