#include "shared_objects.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "ipc_queue.h"
#include "ipc_queue_exception.h"

namespace mox::ipc_queue {

namespace {

// x86-64 user space spans 2^47 bytes; no single mapping can be larger.
constexpr uint64_t kMaxMappable = uint64_t{1} << 47;

SegmentIdentity identity_of(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

char* map_segment(int fd, uint64_t size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
}

}  // namespace

bool segment_size_fits(uint64_t header, uint64_t count, uint64_t stride, uint64_t& size) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(count, stride, &product)) return false;
    if (__builtin_add_overflow(product, header, &size)) return false;
    return size <= kMaxMappable;
}

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

char* connect_segment(const std::string& name, uint32_t type, HeaderCheck header_ok, int& fd, uint64_t& size,
                      SegmentIdentity& id, const SegmentConnectTexts& texts) {
    fd = ::shm_open(name.c_str(), O_RDWR, kObjectMode);
    if (fd < 0) throw IPCQueueException(texts.open_failed, name, errno);

    auto refuse = [&](const char* text, int err) {
        ::close(fd);
        fd = -1;
        if (err != 0) throw IPCQueueException(text, name, err);
        throw IPCQueueException(text, name);
    };

    // The object's real size bounds everything the header may claim, so a
    // damaged or half-created segment is refused before it is mapped. The
    // size word is the creator's last store: 0 until everything exists.
    struct stat st {};
    if (::fstat(fd, &st) != 0) refuse(texts.open_failed, errno);
    id = SegmentIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    const uint64_t object_size = static_cast<uint64_t>(st.st_size);
    size = 0;
    if (object_size < sizeof(SegmentPrefix) || ::pread(fd, &size, sizeof size, 0) != sizeof size || size == 0)
        refuse(texts.not_ready, 0);
    if (size != object_size) refuse(texts.damaged, 0);

    char* segment = map_segment(fd, size);
    if (segment == nullptr) refuse(texts.map_failed, errno);

    uint32_t queue_type = 0;
    std::memcpy(&queue_type, segment + offsetof(SegmentPrefix, queue_type), sizeof queue_type);
    const char* failure = queue_type != type       ? texts.wrong_type
                          : !header_ok(segment, size) ? texts.damaged
                                                    : nullptr;
    if (failure != nullptr) {
        ::munmap(segment, size);
        refuse(failure, 0);
    }
    return segment;
}

bool names_segment(const std::string& name, const SegmentIdentity& id) {
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    const SegmentIdentity now = identity_of(fd);
    ::close(fd);
    return now.device == id.device && now.inode == id.inode;
}

void remove_segment_name(const std::string& name, const SegmentIdentity& id) {
    if (names_segment(name, id)) ::shm_unlink(name.c_str());
}

void close_descriptor(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
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

sem_t* create_semaphore(const std::string& sem_name, unsigned value, const char* exists_text,
                        const char* failed_text) {
    sem_t* sem = ::sem_open(sem_name.c_str(), O_CREAT | O_EXCL, kObjectMode, value);
    if (sem == SEM_FAILED) {
        const int err = errno;
        throw IPCQueueException(err == EEXIST ? exists_text : failed_text, sem_name, err);
    }
    return sem;
}

sem_t* open_semaphore(const std::string& sem_name, const char* failed_text) {
    sem_t* sem = ::sem_open(sem_name.c_str(), 0);
    if (sem == SEM_FAILED) throw IPCQueueException(failed_text, sem_name, errno);
    return sem;
}

void close_semaphore(sem_t*& sem) {
    if (sem != nullptr) ::sem_close(sem);
    sem = nullptr;
}

void close_semaphore(sem_t*& sem, const std::string& sem_name, bool created) {
    if (sem != nullptr && created) ::sem_unlink(sem_name.c_str());
    close_semaphore(sem);
}

}  // namespace mox::ipc_queue
