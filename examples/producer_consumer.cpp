// A producer and a consumer process joined by one SPSCQueueCPP, in C++.
//
// The producer creates the queue, then forks; the child connects to the
// queue by name and reads until an empty message marks the end.
//
//   producer_consumer [queue-name] [count]
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ipc_queue_exception.h"
#include "spsc_queue.h"

using mox::ipc_queue::IPCQueueException;
using mox::ipc_queue::SPSCQueueCPP;

namespace {

// How long the consumer waits for a message before it gives up on a
// producer that has gone away, in milliseconds (0 would mean for ever).
constexpr uint32_t kReadTimeoutMs = 10000;

std::string message_text(long i) { return "message " + std::to_string(i); }

// Runs in the child: returns its exit code.
int consume(const std::string& name, long count) {
    // Connecting completes the pair: the queue's names are removed now.
    SPSCQueueCPP queue(name);
    std::string message;
    long received = 0;
    for (;;) {
        if (queue.read(message, kReadTimeoutMs) != 0) {
            std::fprintf(stderr, "consumer: no message within %u ms\n", kReadTimeoutMs);
            return 1;
        }
        if (message.empty()) break;  // the end marker
        if (message != message_text(received)) {
            std::fprintf(stderr, "consumer: got '%s', expected '%s'\n", message.c_str(),
                         message_text(received).c_str());
            return 1;
        }
        ++received;
    }
    std::printf("consumer: received %ld messages in order\n", received);
    return received == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : "/mox_example_cpp_" + std::to_string(getpid());
    const long count = argc > 2 ? std::atol(argv[2]) : 1000;

    try {
        // 16 cells of 64 bytes; the producer blocks while 16 messages wait.
        SPSCQueueCPP queue(name, 16, 64, true);

        std::fflush(stdout);  // so the child does not print the parent's buffer too
        const pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            return 1;
        }
        if (child == 0) {
            int code = 1;
            try {
                code = consume(name, count);
            } catch (const IPCQueueException& e) {
                std::fprintf(stderr, "consumer: %s\n", e.what());
            }
            std::fflush(stdout);
            // _exit: the parent's queue object copied by fork must not be
            // destroyed here as well.
            _exit(code);
        }

        for (long i = 0; i < count; ++i) {
            const std::string text = message_text(i);
            queue.write(text.data(), static_cast<int64_t>(text.size()));
        }
        queue.write("", 0);  // the end marker
        std::printf("producer: sent %ld messages\n", count);
        std::fflush(stdout);

        int status = 0;
        if (waitpid(child, &status, 0) != child) {
            std::perror("waitpid");
            return 1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    } catch (const IPCQueueException& e) {
        // The queue object is already destroyed here, its names removed.
        std::fprintf(stderr, "producer: %s\n", e.what());
        return 1;
    }
}
