// What a C++ user would pick instead of the queue, driven the same way the
// queue is: a pipe and boost::interprocess::message_queue. Each channel has
// a writer's end made before the fork and a reader's end made in the child
// (pair_once in pair_runs.h), and QueueOps for the many-process runs (fan_run.h).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fan_run.h"
#include "program.h"

#if MOX_BENCH_HAVE_BOOST
#include <boost/interprocess/ipc/message_queue.hpp>
#endif

namespace mox::bench {

// A pipe carrying records of a fixed size: an 8-byte length, then the
// payload padded to `payload` bytes, one write() per record (atomic up to
// PIPE_BUF, so several writers never interleave small records) and one
// read of a whole record (the reader always knows the record size).
class PipeChannel {
public:
    explicit PipeChannel(uint64_t payload) : record_(8 + payload), scratch_(record_, 0) {
        if (::pipe(fd_) != 0) fail_errno("pipe");
    }
    // The reader's end in a child: the inherited descriptors.
    PipeChannel(const PipeChannel& inherited, bool) : record_(inherited.record_), scratch_(record_, 0) {
        fd_[0] = ::dup(inherited.fd_[0]);
        fd_[1] = -1;
        if (fd_[0] < 0) fail_errno("dup");
    }
    ~PipeChannel() {
        for (int fd : fd_)
            if (fd >= 0) ::close(fd);
    }
    PipeChannel(const PipeChannel&) = delete;
    PipeChannel& operator=(const PipeChannel&) = delete;

    void write(const char* data, uint64_t length) {
        if (length + 8 > record_) fail("pipe: message longer than the record");
        if (record_ <= 4096) {
            // One buffer, one write: what keeps a small record atomic.
            std::memcpy(scratch_.data(), &length, 8);
            std::memcpy(scratch_.data() + 8, data, length);
            write_all(scratch_.data(), record_);
            return;
        }
        write_all(reinterpret_cast<const char*>(&length), 8);
        write_all(data, length);
        if (record_ - 8 > length) write_all(scratch_.data(), record_ - 8 - length);
    }

    uint64_t read(char* buffer, uint64_t) {
        uint64_t length = 0;
        if (record_ <= 4096) {
            read_all(scratch_.data(), record_);
            std::memcpy(&length, scratch_.data(), 8);
            std::memcpy(buffer, scratch_.data() + 8, length);
            return length;
        }
        read_all(reinterpret_cast<char*>(&length), 8);
        read_all(buffer, record_ - 8);
        return length;
    }

private:
    void write_all(const char* p, uint64_t n) {
        while (n > 0) {
            const ssize_t w = ::write(fd_[1], p, n);
            if (w < 0) fail_errno("pipe write");
            p += w;
            n -= static_cast<uint64_t>(w);
        }
    }
    void read_all(char* p, uint64_t n) {
        while (n > 0) {
            const ssize_t r = ::read(fd_[0], p, n);
            if (r <= 0) r == 0 ? fail("pipe closed") : fail_errno("pipe read");
            p += r;
            n -= static_cast<uint64_t>(r);
        }
    }

    uint64_t record_;
    std::vector<char> scratch_;
    int fd_[2] = {-1, -1};
};

// QueueOps for run_fan: every process uses the pipe made before the fork.
inline QueueOps<PipeChannel> pipe_ops(uint64_t payload) {
    static std::unique_ptr<PipeChannel> shared;
    QueueOps<PipeChannel> ops;
    ops.create = [payload](const std::string&) {
        shared = std::make_unique<PipeChannel>(payload);
        // run_fan owns what create returns; it must outlive the children's copies.
        return new PipeChannel(*shared, true);
    };
    ops.connect = [](const std::string&) {
        auto* end = new PipeChannel(*shared, true);
        return end;
    };
    ops.write = [](PipeChannel&, const char* data, uint64_t len) { shared->write(data, len); };
    ops.read = [](PipeChannel& q, char* buffer, uint64_t capacity) { return q.read(buffer, capacity); };
    return ops;
}

#if MOX_BENCH_HAVE_BOOST

// boost::interprocess::message_queue: a bounded queue of messages of up to a
// fixed size in shared memory, guarded by a process-shared mutex and
// condition variables. Boost names carry no leading slash.
class BoostChannel {
public:
    BoostChannel(const std::string& name, uint32_t max_messages, uint64_t max_size) : name_(strip(name)), owner_(true) {
        boost::interprocess::message_queue::remove(name_.c_str());
        queue_ = std::make_unique<boost::interprocess::message_queue>(boost::interprocess::create_only, name_.c_str(),
                                                                      max_messages, max_size);
    }
    explicit BoostChannel(const std::string& name) : name_(strip(name)) {
        queue_ = std::make_unique<boost::interprocess::message_queue>(boost::interprocess::open_only, name_.c_str());
    }
    ~BoostChannel() {
        queue_.reset();
        if (owner_) boost::interprocess::message_queue::remove(name_.c_str());
    }
    BoostChannel(const BoostChannel&) = delete;
    BoostChannel& operator=(const BoostChannel&) = delete;

    void write(const char* data, uint64_t length) { queue_->send(data, length, 0); }
    uint64_t read(char* buffer, uint64_t capacity) {
        boost::interprocess::message_queue::size_type received = 0;
        unsigned int priority = 0;
        queue_->receive(buffer, capacity, received, priority);
        return received;
    }

private:
    static std::string strip(const std::string& name) { return name.empty() || name[0] != '/' ? name : name.substr(1); }

    std::string name_;
    bool owner_ = false;
    std::unique_ptr<boost::interprocess::message_queue> queue_;
};

inline QueueOps<BoostChannel> boost_ops(uint32_t max_messages, uint64_t payload) {
    QueueOps<BoostChannel> ops;
    ops.create = [=](const std::string& name) { return new BoostChannel(name, max_messages, payload); };
    ops.connect = [](const std::string& name) { return new BoostChannel(name); };
    ops.write = [](BoostChannel& q, const char* data, uint64_t len) { q.write(data, len); };
    ops.read = [](BoostChannel& q, char* buffer, uint64_t capacity) { return q.read(buffer, capacity); };
    return ops;
}

#endif

}  // namespace mox::bench
