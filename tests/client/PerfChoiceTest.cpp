#include "client/PerfChoice.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "common/AgentConfig.h"
#include "tests/support/FakePerfRegistry.h"

namespace client {
namespace {

// Answers each data query with the objects given for its value name.
class PerIndexRegistry : public testsupport::FakePerfRegistry {
 public:
  std::map<std::string, std::vector<platform::PerfObjectData>> Objects;

  platform::LSTATUS QueryValue(platform::HKEY key, const char* value_name, platform::DWORD* type,
                               platform::BYTE* data, platform::DWORD* size) override {
    if (key == platform::HKEY_PERFORMANCE_DATA) {
      Block = platform::WritePerfDataBlock({}, Objects[value_name]);
    }
    return FakePerfRegistry::QueryValue(key, value_name, type, data, size);
  }
};

platform::PerfObjectData Object(platform::DWORD index, platform::DWORD level = 100) {
  platform::PerfObjectData object;
  object.NameIndex = index;
  object.Counters.push_back({250, platform::PERF_COUNTER_RAWCOUNT, 0, level});
  object.Instances.push_back({"", {1}});
  return object;
}

// The instance keys of this machine's network interfaces that are up, as
// /proc/net/dev and /sys/class/net list them.
std::set<std::string> MachineInterfaceKeys() {
  std::set<std::string> keys;
  std::ifstream dev("/proc/net/dev");
  std::string line;
  while (std::getline(dev, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t start = line.find_first_not_of(' ');
    const std::string name = line.substr(start, colon - start);
    std::ifstream flags("/sys/class/net/" + name + "/flags");
    unsigned long value = 0;
    if (flags >> std::hex >> value && (value & 1) == 0) continue;  // IFF_UP
    keys.insert(name + "#0");
  }
  return keys;
}

TEST(PerfObjectScan, ListsEachObjectOnceAndLeavesOutWizardObjects) {
  PerIndexRegistry registry;
  using namespace std::string_literals;
  registry.Catalogue =
      "1\0" "9\0" "2\0System\0" "4\0Memory\0" "230\0Process\0" "232\0Thread\0"
      "238\0Processor\0" "999\0Wizard\0" "1846\0End Marker\0\0"s;
  registry.Objects["2"] = {Object(2)};
  registry.Objects["4"] = {Object(4)};
  registry.Objects["230"] = {Object(230)};
  registry.Objects["232"] = {Object(230), Object(232)};  // starts with the object just listed
  registry.Objects["238"] = {Object(238)};
  registry.Objects["999"] = {Object(999, platform::PERF_DETAIL_WIZARD)};
  PerfObjectScan scan(&registry);
  while (!scan.Step(std::chrono::milliseconds(0))) {
  }
  EXPECT_EQ(scan.Result(),
            "System      | 2||Memory      | 4||Process      | 230||Processor      | 238||");
}

TEST(PerfChoiceOnThisMachine, ListsObjectsCountersInstancesAndInterfaces) {
  LoadEditorPerfData();
  EnumeratePerfObjects();
  EXPECT_NE(PerfObjectList().find("Processor      | 238||"), std::string::npos)
      << PerfObjectList();
  EXPECT_EQ(ObjectIndexOf("Processor      | 238"), "238");
  EXPECT_EQ(ObjectIndexOf(kWaitText), "");

  const std::vector<std::string> counters = ListPieces(ListCounters("238"));
  ASSERT_FALSE(counters.empty());
  EXPECT_EQ(counters.front(), "% Processor Time");
  EXPECT_EQ(std::set<std::string>(counters.begin(), counters.end()).size(), counters.size());

  // One instance per processor and _Total, each with its repeat number.
  const std::vector<std::string> instances = PickCounter("238", "% Processor Time");
  ASSERT_EQ(instances.size(), std::thread::hardware_concurrency() + 1);
  EXPECT_EQ(instances.front(), "0#0");
  EXPECT_EQ(instances.back(), "_Total#0");

  const std::vector<std::string> interfaces = ListPieces(ListNetworkInterfaces());
  EXPECT_EQ(std::set<std::string>(interfaces.begin(), interfaces.end()), MachineInterfaceKeys());
  EXPECT_EQ(interfaces.back(), "lo#0");
}

TEST(PickCounter, LoadsAnObjectNotYetInTheKeyList) {
  LoadEditorPerfData();
  PickCounter("2", "Processes");
  EXPECT_EQ(ClientPerfKeyList(), "2 4 236 238 260 510");
  const std::vector<std::string> processes = PickCounter("230", "ID Process");
  EXPECT_EQ(ClientPerfKeyList(), "2 4 236 238 260 510 230 ");
  EXPECT_GT(processes.size(), 1u);
}

}  // namespace
}  // namespace client
