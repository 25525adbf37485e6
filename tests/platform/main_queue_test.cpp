#include "korvani/platform/main_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "korvani/platform/clock.hpp"
#include "support/platform_state.hpp"

namespace korvani::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class MainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    MainQueue::setDispatcher(nullptr);
    MainQueue::runUntilIdle();
  }
};

TEST_F(MainQueueTest, RunsWorkFromManyThreadsInSubmissionOrderOnTheDrainingThread) {
  constexpr int kThreads = 4;
  constexpr int kItems = 200;
  std::vector<std::vector<int>> seen(kThreads);  // touched only on the draining thread
  std::atomic<int> ran{0};
  int elsewhere = 0;
  const auto drainer = std::this_thread::get_id();
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kItems; ++i) {
        MainQueue::async([&, t, i] {
          seen[t].push_back(i);
          if (std::this_thread::get_id() != drainer) ++elsewhere;
          ran.fetch_add(1);
        });
      }
    });
  }
  // Drains while the producers are still submitting.
  const bool all = MainQueue::runFor([&] { return ran.load() == kThreads * kItems; }, 10s);
  for (auto& producer : producers)
    producer.join();
  ASSERT_TRUE(all);
  std::vector<int> inOrder(kItems);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  EXPECT_EQ(seen, std::vector(kThreads, inOrder));
  EXPECT_EQ(elsewhere, 0) << "work ran off the draining thread";
  EXPECT_EQ(MainQueue::pendingCount(), 0u);
}

TEST_F(MainQueueTest, AsyncNeverRunsInlineAndRunCallsDrainAsDocumented) {
  std::vector<int> order;
  MainQueue::async([&] {
    order.push_back(1);
    // Submitted while draining: runs after what was already queued, in the same drain.
    MainQueue::async([&] { order.push_back(3); });
  });
  MainQueue::async([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(MainQueue::pendingCount(), 2u);
  EXPECT_TRUE(MainQueue::runOnce());
  EXPECT_EQ(order, (std::vector<int>{1}));
  EXPECT_EQ(MainQueue::runUntilIdle(), 2u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(MainQueue::runOnce());
  MainQueue::async(nullptr);  // an empty function is not work
  EXPECT_EQ(MainQueue::pendingCount(), 0u);
}

TEST_F(MainQueueTest, RunForWakesForWorkAndOtherwiseSleepsUntilItsDeadline) {
  std::atomic<bool> queued{false};
  std::atomic<bool> flag{false};
  std::thread late([&] {
    std::this_thread::sleep_for(50ms);
    MainQueue::async([&] { queued = true; });
    std::this_thread::sleep_for(30ms);
    flag = true;  // made true without any queue work
  });
  auto start = Clock::now();
  EXPECT_TRUE(MainQueue::runFor([&] { return queued.load(); }, 20s));
  EXPECT_LT(Clock::now() - start, 5s) << "woken by the work, not by the deadline";
  late.join();

  // Nothing wakes the sleeping thread before its deadline, not even a condition turned true
  // elsewhere: it is looked at again only then.
  flag = false;
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    flag = true;
  });
  start = Clock::now();
  EXPECT_TRUE(MainQueue::runFor([&] { return flag.load(); }, 300ms));
  EXPECT_GE(Clock::now() - start, 300ms);
  setter.join();
  start = Clock::now();
  EXPECT_FALSE(MainQueue::runFor([] { return false; }, 100ms));
  EXPECT_GE(Clock::now() - start, 100ms);
  EXPECT_LT(Clock::now() - start, 3s);
}

TEST_F(MainQueueTest, InstalledDispatcherReceivesSubmissionsAndCanBeRemoved) {
  std::mutex mutex;
  std::vector<MainQueue::Work> handedOver;
  MainQueue::async([] {});  // queued before the dispatcher: stays in the FIFO
  MainQueue::setDispatcher([&](MainQueue::Work work) {
    std::lock_guard lock(mutex);
    handedOver.push_back(std::move(work));
  });
  int ran = 0;
  std::thread([&] { MainQueue::async([&] { ran += 10; }); }).join();
  MainQueue::async([&] { ran += 1; });
  EXPECT_EQ(MainQueue::pendingCount(), 1u);
  ASSERT_EQ(handedOver.size(), 2u);
  EXPECT_EQ(ran, 0) << "the dispatcher decides when work runs";
  for (auto& work : handedOver)
    work();
  EXPECT_EQ(ran, 11);
  MainQueue::setDispatcher(nullptr);
  MainQueue::async([&] { ran += 100; });
  EXPECT_EQ(MainQueue::runUntilIdle(), 2u);
  EXPECT_EQ(ran, 111);
}

TEST(WallClock, FollowsTheSystemClockUnlessASourceIsInstalled) {
  const double before = static_cast<double>(std::time(nullptr));
  const double now = WallClock::now();
  EXPECT_GE(now, before - 1);
  EXPECT_LE(now, before + 2);
  EXPECT_NE(now, std::floor(now)) << "carries a fraction";
  {
    const test_support::PlatformState state;  // removes the source
    WallClock::setSource([] { return 1700000000.25; });
    EXPECT_EQ(WallClock::now(), 1700000000.25);
  }
  EXPECT_GE(WallClock::now(), before - 1);
}

}  // namespace
}  // namespace korvani::platform
