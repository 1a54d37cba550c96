#include "shared_objects.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "ipc_queue_exception.h"

namespace mox::ipc_queue {

namespace {

SegmentIdentity identity_of(int fd) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return {};
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

char* map_segment(int fd, uint64_t size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
}

}  // namespace

bool semaphore_names_fit(const std::string& name, size_t longest_suffix) {
    // A semaphore lives in /dev/shm as "sem." + the name without its leading
    // slashes, and a file name has at most NAME_MAX characters.
    const size_t start = name.find_first_not_of('/');
    const size_t length = start == std::string::npos ? 0 : name.size() - start;
    return length + longest_suffix + 4 <= NAME_MAX;
}

char* create_segment(const std::string& name, uint64_t size, int& fd, SegmentIdentity& id,
                     const SegmentCreateTexts& texts) {
    fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, kObjectMode);
    if (fd < 0) {
        const int err = errno;
        throw IPCQueueException(err == EEXIST ? texts.exists : texts.open_failed, name, err);
    }
    // Made here: on any failure below, the name goes too.
    auto fail = [&](const std::string& text, int err) {
        ::shm_unlink(name.c_str());
        close_descriptor(fd);
        throw IPCQueueException(text.c_str(), name, err);
    };
    id = identity_of(fd);
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) fail(texts.size_failed, errno);
    // tmpfs allocates a page only when it is first touched, and a page it
    // cannot allocate then is a SIGBUS in whoever touches it: reserve them now.
    int err = 0;
    while ((err = ::posix_fallocate(fd, 0, static_cast<off_t>(size))) == EINTR) {
    }
    if (err != 0) fail(std::string(texts.reserve_failed) + " of " + std::to_string(size) + " bytes", err);
    char* segment = map_segment(fd, size);
    if (segment == nullptr) fail(texts.map_failed, errno);
    return segment;
}

void publish_segment(char* segment, uint64_t size) {
    __atomic_store_n(reinterpret_cast<uint64_t*>(segment + offsetof(SegmentPrefix, segment_size)), size,
                     __ATOMIC_RELEASE);
}

ConnectedSegment connect_segment(const std::string& name, QueueKind kind, int& fd, SegmentIdentity& id,
                                 const SegmentConnectTexts& texts) {
    fd = ::shm_open(name.c_str(), O_RDWR, kObjectMode);
    if (fd < 0) throw IPCQueueException(texts.open_failed, name, errno);

    auto refuse = [&](const std::string& text, int err) {
        close_descriptor(fd);
        if (err != 0) throw IPCQueueException(text.c_str(), name, err);
        throw IPCQueueException(text.c_str(), name);
    };

    // The object's real size bounds everything the header may claim, so a
    // damaged or half-created segment is refused before it is mapped. The
    // size word is the creator's last store: 0 until everything exists.
    struct stat st{};
    if (::fstat(fd, &st) != 0) refuse(texts.open_failed, errno);
    id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    const uint64_t object_size = static_cast<uint64_t>(st.st_size);
    ConnectedSegment s;
    if (object_size < kPrefixSize || ::pread(fd, &s.size, sizeof s.size, 0) != sizeof s.size || s.size == 0) {
        close_descriptor(fd);
        throw QueueNotReady(texts.not_ready, name);
    }
    if (s.size != object_size)
        refuse(std::string(texts.damaged) + " (segment_size " + std::to_string(s.size) +
                   " differs from the object size " + std::to_string(object_size) + ")",
               0);

    s.bytes = map_segment(fd, s.size);
    if (s.bytes == nullptr) refuse(texts.map_failed, errno);

    // One copy of the header, checked: what is used from now on is exactly
    // what was found to fit, whatever another process writes there later.
    std::vector<char> header(Geometry{kind}.header_size());
    std::string failure;
    uint32_t queue_type = 0;
    std::memcpy(&queue_type, s.bytes + offsetof(SegmentPrefix, queue_type), sizeof queue_type);
    if (queue_type != static_cast<uint32_t>(kind)) {
        failure = texts.wrong_type;
    } else if (s.size < header.size()) {
        failure = std::string(texts.damaged) + " (shorter than its header)";
    } else {
        std::memcpy(header.data(), s.bytes, header.size());
        if (const std::string why = header_problem(kind, header.data(), s.size); !why.empty())
            failure = std::string(texts.damaged) + " (" + why + ")";
    }
    if (!failure.empty()) {
        ::munmap(s.bytes, s.size);
        refuse(failure, 0);
    }
    s.geometry = read_geometry(kind, header.data());
    return s;
}

void close_descriptor(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool names_segment(const std::string& name, const SegmentIdentity& id) {
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    const SegmentIdentity now = identity_of(fd);
    ::close(fd);
    return now.device == id.device && now.inode == id.inode;
}

void release_segment(char*& segment, uint64_t size, int& fd) {
    if (segment != nullptr) ::munmap(segment, size);
    segment = nullptr;
    close_descriptor(fd);
}

void undo_create_segment(const std::string& name, char*& segment, uint64_t size, int& fd) {
    if (segment != nullptr) ::shm_unlink(name.c_str());
    release_segment(segment, size, fd);
}

void create_semaphore(NamedSemaphore& sem, std::string name, unsigned value, const SemaphoreTexts& texts) {
    sem.name = std::move(name);
    sem.handle = ::sem_open(sem.name.c_str(), O_CREAT | O_EXCL, kObjectMode, value);
    if (sem.handle == SEM_FAILED) {
        sem.handle = nullptr;
        const int err = errno;
        throw IPCQueueException(err == EEXIST ? texts.exists : texts.create_failed, sem.name, err);
    }
}

void open_semaphore(NamedSemaphore& sem, std::string name, const SemaphoreTexts& texts) {
    sem.name = std::move(name);
    sem.handle = ::sem_open(sem.name.c_str(), 0);
    if (sem.handle == SEM_FAILED) {
        sem.handle = nullptr;
        throw IPCQueueException(texts.connect_failed, sem.name, errno);
    }
}

void close_semaphore(NamedSemaphore& sem, bool created) {
    if (sem.handle == nullptr) return;
    if (created) ::sem_unlink(sem.name.c_str());
    ::sem_close(sem.handle);
    sem.handle = nullptr;
}

SemaphoreReading read_semaphore(const NamedSemaphore& sem) {
    int value = 0;
    if (sem.handle == nullptr) return {SemaphoreReading::kMissing, 0};
    if (::sem_getvalue(sem.handle, &value) != 0) return {SemaphoreReading::kBroken, 0};
    return {SemaphoreReading::kValue, value};
}

SemaphoreReading read_held_semaphore(const std::string& queue, const std::string& suffix, const NamedSemaphore* sems,
                                     size_t count) {
    const std::string name = queue + suffix;
    for (size_t i = 0; i < count; ++i)
        if (sems[i].name == name) return read_semaphore(sems[i]);
    return {SemaphoreReading::kMissing, 0};
}

void unlink_semaphore(const NamedSemaphore& sem) {
    if (!sem.name.empty()) ::sem_unlink(sem.name.c_str());
}

void create_semaphores(NamedSemaphore* sems, const SemaphoreTexts* texts, const std::string& queue, const Geometry& g) {
    const std::vector<SemaphoreSpec>& specs = queue_semaphores(g.kind);
    for (size_t i = 0; i < specs.size(); ++i)
        create_semaphore(sems[i], queue + specs[i].suffix, initial_value(specs[i].initial, g), texts[i]);
}

void open_semaphores(NamedSemaphore* sems, const SemaphoreTexts* texts, const std::string& queue, QueueKind kind,
                     const std::vector<size_t>& order) {
    const std::vector<SemaphoreSpec>& specs = queue_semaphores(kind);
    for (size_t i : order) open_semaphore(sems[i], queue + specs[i].suffix, texts[i]);
}

void close_semaphores(NamedSemaphore* sems, size_t count, bool created) {
    for (size_t i = 0; i < count; ++i) close_semaphore(sems[i], created);
}

void unlink_semaphores(const NamedSemaphore* sems, size_t count) {
    for (size_t i = 0; i < count; ++i) unlink_semaphore(sems[i]);
}

}  // namespace mox::ipc_queue
