#include "agent/RRDLauncher.h"

#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace agent {
namespace {

TEST(RrdLauncher, RunsJobsInOrderOnAThreadOfItsOwn) {
  RrdLauncher launcher;
  EXPECT_TRUE(launcher.WaitIdle(std::chrono::milliseconds(0)));
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  for (int i = 0; i < 3; ++i) {
    launcher.Post([&, i] {
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
    });
  }
  ASSERT_TRUE(launcher.WaitIdle(std::chrono::seconds(30)));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  for (const std::thread::id id : threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(RrdLauncher, RunsWhatIsQueuedBeforeItGoesAndSurvivesAThrowingJob) {
  int ran = 0;
  {
    RrdLauncher launcher;
    launcher.Post([] { throw std::runtime_error("boom"); });
    for (int i = 0; i < 5; ++i) launcher.Post([&] { ++ran; });
  }
  EXPECT_EQ(ran, 5);
}

}  // namespace
}  // namespace agent
