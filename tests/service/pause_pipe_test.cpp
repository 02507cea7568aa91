#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "service/pause_pipe.h"
#include "service_fakes.h"

namespace {

// Records the counts the server reports and lets a test wait (up to 10 s) for the n-th one.
class CountLog {
public:
    CPipeServer::Callback callback() {
        return [this](int32_t count) {
            std::lock_guard<std::mutex> lock(m_);
            counts_.push_back(count);
            cv_.notify_all();
        };
    }
    std::vector<int32_t> waitFor(size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, std::chrono::seconds(10), [&] { return counts_.size() >= n; });
        return counts_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<int32_t> counts_;
};

}  // namespace

TEST(PausePipeTest, EveryClientHoldsUntilItWritesOrClosesAndLeavesNoThreadBehind) {
    std::string name = uniquePipeName("pause");
    CountLog log;
    CPipeServer server(name);
    server.setCallback(log.callback());
    CPausePipeClient a, b;
    ASSERT_TRUE(a.connect(name, CPausePipeClient::Access::HoldAndWrite));
    EXPECT_EQ(log.waitFor(1), (std::vector<int32_t>{1}));
    ASSERT_TRUE(b.connect(name));
    EXPECT_EQ(log.waitFor(2), (std::vector<int32_t>{1, 2}));
    a.write(500);  // one read of at most 200 bytes ends the hold; the rest goes with the connection
    EXPECT_EQ(log.waitFor(3), (std::vector<int32_t>{1, 2, 1}));
    EXPECT_TRUE(a.serverGone(10000));
    b.close();
    EXPECT_EQ(log.waitFor(4), (std::vector<int32_t>{1, 2, 1, 0}));
    EXPECT_EQ(server.clientCount(), 0);
    // Finished client threads are joined when the next client arrives.
    for (size_t i = 3; i <= 100; ++i) {
        CPausePipeClient c;
        ASSERT_TRUE(c.connect(name)) << i;
        c.close();
        log.waitFor(2 * i);
    }
    EXPECT_EQ(log.waitFor(200).back(), 0);
    EXPECT_LE(server.threadCount(), 2u);
}

TEST(PausePipeTest, StopWhileHeldEndsWithoutACallbackAndBreaksThePipe) {
    std::string name = uniquePipeName("pause");
    CountLog log;
    CPausePipeClient client, late;
    {
        CPipeServer server(name);
        server.setCallback(log.callback());
        ASSERT_TRUE(client.connect(name));
        EXPECT_EQ(log.waitFor(1), (std::vector<int32_t>{1}));
    }
    EXPECT_TRUE(client.serverGone(10000));
    EXPECT_EQ(log.waitFor(1).size(), 1u);
    EXPECT_FALSE(late.connect(name));
}
