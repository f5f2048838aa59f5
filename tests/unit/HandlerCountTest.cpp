#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/AgentState.h"
#include "agent/HandlerFence.h"
#include "tests/TestSupport.h"

namespace {

class HandlerCountTest : public AgentTest {};

// A thread inside a handler until told to leave it.
class HeldHandler {
public:
    HeldHandler()
        : thread_([this] {
              EventHandlerScope scope;
              std::unique_lock<std::mutex> lock(mutex_);
              entered_ = scope.entered() ? 1 : -1;
              changed_.notify_all();
              changed_.wait(lock, [this] { return released_; });
          }) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return entered_ != 0; });
    }
    ~HeldHandler() {
        release();
        thread_.join();
    }
    bool entered() const { return entered_ == 1; }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool released_ = false;
    std::thread thread_;
};

TEST_F(HandlerCountTest, AWaitEndsOnlyOnceTheHandlersBeganBeforeItHaveEnded) {
    EXPECT_EQ(agentCallbacksInFlight(), 0);
    {
        HeldHandler held;
        ASSERT_TRUE(held.entered());
        EXPECT_EQ(agentCallbacksInFlight(), 1);
        EXPECT_FALSE(waitForEventHandlersStartedBefore(50));
        held.release();
    }
    EXPECT_TRUE(waitForEventHandlersStartedBefore(1000));
    EXPECT_EQ(agentCallbacksInFlight(), 0);
    // Not live: the handler does not enter, and counts nothing.
    setAgentLive(false);
    {
        HeldHandler refused;
        EXPECT_FALSE(refused.entered());
        EXPECT_EQ(agentCallbacksInFlight(), 0);
    }
    setAgentLive(true);
}

TEST_F(HandlerCountTest, ThreadsComingAndGoingLeaveNoCountBehind) {
    // Each generation of threads takes over the slots the last one gave
    // back; handlers run on all of them while waits come and go.
    std::atomic<bool> waiting{true};
    std::atomic<int> failedWaits{0};
    std::thread waiter([&] {
        while (waiting.load()) {
            if (!waitForEventHandlersStartedBefore(5000)) failedWaits.fetch_add(1);
        }
    });
    std::atomic<int> handled{0};
    for (int generation = 0; generation < 20; ++generation) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                for (int n = 0; n < 2000; ++n) {
                    EventHandlerScope scope;
                    if (scope.entered()) handled.fetch_add(1, std::memory_order_relaxed);
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
    waiting.store(false);
    waiter.join();
    EXPECT_EQ(handled.load(), 20 * 8 * 2000);
    EXPECT_EQ(failedWaits.load(), 0);
    EXPECT_EQ(agentCallbacksInFlight(), 0);
    EXPECT_TRUE(waitForEventHandlersStartedBefore(0));
}

TEST_F(HandlerCountTest, LightFencesOnceInForceStaySo) {
    bool light = enableLightHandlerFences();
    EXPECT_EQ(lightHandlerFences(), light);
    // Asked again (a second load in the same process): the same answer.
    EXPECT_EQ(enableLightHandlerFences(), light);
    waiterFence();
    EXPECT_EQ(lightHandlerFences(), light);
}

}  // namespace
