// The names a queue has in the system, looked at and removed by name alone:
// for an operator or a test cleaning up after a queue whose objects are
// gone (a crash), whatever its kind.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace mox::ipc_queue {

// Where glibc keeps the named semaphore `sem_name` ("/x" or "x"): the file
// /dev/shm/sem.x.
std::string semaphore_file(const std::string& sem_name);

// The channel numbers that have a channel semaphore of queue `name` in
// /dev/shm: how channels are found when no header says how many there are.
std::set<uint32_t> channel_numbers_in_shm(const std::string& name);

// Every semaphore name a queue called `name` may have, of any kind: the
// suffix tables of all kinds, and a channel's two for every channel number
// found in /dev/shm.
std::vector<std::string> possible_semaphore_names(const std::string& name);

// Removes the segment `name`, its table of owners and every semaphore name
// above that exists;
// true when anything was removed. Never throws. A name of another kind of
// object that happens to match is removed too: use it for queue names.
bool remove_queue_names(const std::string& name);

// Whether a segment is named `name`.
bool segment_exists(const std::string& name);

}  // namespace mox::ipc_queue
