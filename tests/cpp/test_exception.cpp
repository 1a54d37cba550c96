// IPCQueueException: the three message forms and how the error travels.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "ipc_queue_exception.h"

namespace mox::ipc_queue {
namespace {

TEST(IPCQueueException, TextAloneIsTheMessage) {
    const IPCQueueException e("SPSCQueueCPP:write: length < 0");
    EXPECT_STREQ(e.what(), "SPSCQueueCPP:write: length < 0");
    EXPECT_EQ(e.message, "SPSCQueueCPP:write: length < 0");
}

TEST(IPCQueueException, NameIsQuotedAfterTheText) {
    EXPECT_STREQ(IPCQueueException("some text", "/q_1").what(), "some text on queue '/q_1'");
    // An empty name still gets its quotes; nothing is trimmed or added.
    EXPECT_STREQ(IPCQueueException("t", "").what(), "t on queue ''");
    EXPECT_STREQ(IPCQueueException("", "/n").what(), " on queue '/n'");
}

TEST(IPCQueueException, ErrorNumberAddsThePlatformText) {
    EXPECT_STREQ(IPCQueueException("open failed.", "/q_2", ENOENT).what(),
                 "open failed. on queue '/q_2': No such file or directory");
    EXPECT_STREQ(IPCQueueException("exists.", "/q_2_free_", EEXIST).what(), "exists. on queue '/q_2_free_': File exists");
    // Whatever the platform says for the number is taken over unchanged.
    for (int err : {EINTR, ETIMEDOUT, 0, 9999}) {
        const std::string expected = std::string("x on queue 'n': ") + std::strerror(err);
        EXPECT_EQ(IPCQueueException("x", "n", err).what(), expected) << "errno " << err;
    }
}

TEST(IPCQueueException, ThrownByValueAndCaughtAsStdException) {
    try {
        throw IPCQueueException("boom", "/q_3", EACCES);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "boom on queue '/q_3': Permission denied");
        return;
    }
    ADD_FAILURE() << "not caught as std::exception";
}

TEST(IPCQueueException, CopyKeepsTheComposedMessage) {
    std::string name = "/q_4";
    IPCQueueException original("text", name, EEXIST);
    // The name was taken by value: changing the caller's string changes nothing.
    name = "/other";
    const IPCQueueException copy = original;
    EXPECT_STREQ(copy.what(), "text on queue '/q_4': File exists");
    EXPECT_STREQ(original.what(), copy.what());
}

}  // namespace
}  // namespace mox::ipc_queue
