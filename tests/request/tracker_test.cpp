#include "korvani/host/tracker.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvani/host/stand_ins.hpp"  // RecordingTrackListener

namespace korvani {
namespace {

// Trackers made anywhere, before or after, reach the one listener of the process.
TEST(KVQTracker, EveryTrackerUsesTheProcessListener) {
  EXPECT_EQ(host::KVQTracker().getTrackListener(), nullptr);
  auto listener = std::make_shared<host::RecordingTrackListener>();
  host::KVQTracker::setTrackListener(listener);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([] {
      if (auto l = host::KVQTracker().getTrackListener()) l->trackEvent("/s", "a", {}, {});
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(listener->events().size(), 4u);
  host::KVQTracker::setTrackListener(nullptr);
  EXPECT_EQ(host::KVQTracker().getTrackListener(), nullptr);
}

}  // namespace
}  // namespace korvani
