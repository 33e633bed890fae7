// The watchdog's turn against a fake clock and a fake agent service: what it
// starts, when it stops, and its pauses.

#include "watchdog/WatchdogHost.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TempFolder.h"

namespace watchdog {
namespace {

// A clock that only the pauses move, and a record of every call in order.
struct FakeWorld {
  std::time_t now = 1'000'000;
  std::string status = "Service Is Running";
  std::string status_after_start = "Service Start Pending";
  std::vector<std::string> calls;

  WatchdogHooks Hooks() {
    WatchdogHooks hooks;
    hooks.Now = [this] { return now; };
    hooks.Sleep = [this](int ms) {
      calls.push_back("sleep " + std::to_string(ms));
      now += ms / 1000;
    };
    hooks.QueryWatched = [this] {
      calls.push_back("query");
      return status;
    };
    hooks.StartWatched = [this] {
      calls.push_back("start");
      status = status_after_start;
    };
    hooks.StopWatched = [this] { calls.push_back("stop"); };
    return hooks;
  }
};

class WatchdogTurnTest : public ::testing::Test {
 protected:
  // The watchdog's log stays empty: its threshold is 0 and every entry is above.
  void TearDown() override { EXPECT_EQ(testsupport::ReadAll(home_.Path("TarvoAgent.log")), ""); }

  testsupport::TempFolder home_;
  testsupport::ScopedEnv env_{"TARVO_HOME", home_.path()};
};

TEST_F(WatchdogTurnTest, StartsTheAgentOnlyWhenItsStatusSaysStop) {
  const struct {
    const char* status;
    bool starts;
  } cases[] = {
      {"Service Is Stopped", true},      {"Service Stop Pending", true},
      {"Service Not Found", false},      {"Service Is Running", false},
      {"Service Paused", false},         {"Service Start Pending", false},
      {"Service Pause Pending", false},  {"", false},
  };
  for (const auto& c : cases) {
    FakeWorld world;
    world.status = c.status;
    WatchdogState state{world.now};
    WatchdogTurn(state, world.Hooks());
    const std::vector<std::string> expected =
        c.starts ? std::vector<std::string>{"sleep 2000", "query", "start", "sleep 500", "query",
                                            "sleep 8000"}
                 : std::vector<std::string>{"sleep 2000", "query", "sleep 8000"};
    EXPECT_EQ(world.calls, expected) << c.status;
  }
}

TEST_F(WatchdogTurnTest, StopsTheAgentOnTheFirstTurnMoreThan900SecondsAfterTheLastRestart) {
  FakeWorld world;
  const std::time_t started = world.now;
  WatchdogState state{started};
  const WatchdogHooks hooks = world.Hooks();
  std::vector<std::time_t> stops;  // turn start times, relative to start-up
  // Turns of exactly ten seconds begin at 0, 10, ... 900 (not more than 900), 910.
  while (world.now - started < 1900) {
    const std::time_t turn_start = world.now;
    world.calls.clear();
    WatchdogTurn(state, hooks);
    if (!world.calls.empty() && world.calls.front() == "stop") stops.push_back(turn_start - started);
  }
  EXPECT_EQ(stops, (std::vector<std::time_t>{910, 1820}));
  EXPECT_EQ(state.LastPreventiveRestart, started + 1820);
}

}  // namespace
}  // namespace watchdog
