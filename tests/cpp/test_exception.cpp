// IPCQueueException: the three message forms and how the error travels.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "ipc_queue_exception.h"

namespace mox::ipc_queue {
namespace {

TEST(IPCQueueException, TextThenQuotedNameThenThePlatformsWordsForTheError) {
    const IPCQueueException alone("SPSCQueueCPP:write: length < 0");
    EXPECT_STREQ(alone.what(), "SPSCQueueCPP:write: length < 0");
    EXPECT_EQ(alone.message, alone.what());
    EXPECT_STREQ(IPCQueueException("some text", "/q_1").what(), "some text on queue '/q_1'");
    // Empty parts keep their place and quotes; nothing is trimmed or added.
    EXPECT_STREQ(IPCQueueException("", "").what(), " on queue ''");
    EXPECT_STREQ(IPCQueueException("open failed.", "/q_2", ENOENT).what(),
                 "open failed. on queue '/q_2': No such file or directory");
    // Whatever the platform says for the number, unknown ones included, is taken over.
    for (int err : {EINTR, 0, 9999})
        EXPECT_EQ(IPCQueueException("x", "n", err).what(), std::string("x on queue 'n': ") + std::strerror(err)) << err;
}

TEST(IPCQueueException, ThrownCopyIsCaughtAsStdExceptionWithTheComposedMessage) {
    std::string name = "/q_3";
    try {
        const IPCQueueException original("boom", name, EACCES);
        name = "/other";  // the name was taken by value
        throw original;
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "boom on queue '/q_3': Permission denied");
        return;
    }
    ADD_FAILURE() << "not caught as std::exception";
}

}  // namespace
}  // namespace mox::ipc_queue
