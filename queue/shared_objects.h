// Named shared-memory segments and named semaphores: the creating, opening
// and removing steps that every queue kind performs, written once. Each kind
// passes its own message texts; failures throw IPCQueueException in the form
// the kind's tables give (queue name or semaphore name, plus errno).
#pragma once

#include <semaphore.h>

#include <cstdint>
#include <string>

namespace mox::ipc_queue {

inline constexpr unsigned kObjectMode = 0600;

struct SegmentCreateTexts {
    const char* too_large;    // the size overflows or cannot be mapped
    const char* exists;       // shm_open failed with EEXIST
    const char* open_failed;  // shm_open failed otherwise
    const char* size_failed;  // ftruncate failed
    const char* map_failed;   // mmap failed
};

struct SegmentConnectTexts {
    const char* open_failed;  // shm_open failed
    const char* map_failed;   // mmap failed
    const char* wrong_type;   // queue_type belongs to another kind
    const char* damaged;      // too short, or the header disagrees with the object
};

// header + count * stride, or false when it overflows 64 bits or exceeds what
// a process can map.
bool segment_size_fits(uint64_t header, uint64_t count, uint64_t stride, uint64_t& size);

// Whether `name` plus a semaphore suffix of `longest_suffix` characters
// still makes a valid semaphore name, so a create can refuse a long name
// before it has made anything.
bool semaphore_names_fit(const std::string& name, size_t longest_suffix);

// Creates the object `name` exclusively (0600), sizes it to `size` bytes (it
// reads as zeros) and maps all of it. On success `fd` holds the descriptor.
// On failure nothing stays open in this process; a name already made stays.
char* create_segment(const std::string& name, uint64_t size, int& fd, const SegmentCreateTexts& texts);

// Kind-specific check of a mapped header against the object's real size.
using HeaderCheck = bool (*)(const char* segment, uint64_t size);

// Opens the object `name`, reads its 8 size bytes, maps it and checks that
// the prefix agrees with the object's size, that queue_type is `type` and that
// `header_ok` accepts the header. On failure nothing stays open.
char* connect_segment(const std::string& name, uint32_t type, HeaderCheck header_ok, int& fd, uint64_t& size,
                      const SegmentConnectTexts& texts);

// Closes `fd` (setting it to -1) and removes the name; results are ignored.
void remove_segment_name(int& fd, const std::string& name);

// Undoes create_segment/connect_segment in this process only: the mapping
// and descriptor go, the name stays. For constructors that fail later.
void release_segment(char*& segment, uint64_t size, int& fd);

sem_t* create_semaphore(const std::string& sem_name, unsigned value, const char* exists_text,
                        const char* failed_text);
sem_t* open_semaphore(const std::string& sem_name, const char* failed_text);

// sem_close when open, then null. Results are ignored.
void close_semaphore(sem_t*& sem);

}  // namespace mox::ipc_queue
