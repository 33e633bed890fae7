#include "platform/PerfData.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/linux/ProcReaders.h"
#include "tests/support/TempFolder.h"

namespace platform {
namespace {

// A data block read back record by record through the published structures.
struct ParsedCounter {
  PERF_COUNTER_DEFINITION Definition;
};
struct ParsedInstance {
  std::u16string Name;
  std::vector<uint64_t> Values;  // one per counter, read with the counter's size
};
struct ParsedObject {
  PERF_OBJECT_TYPE Type;
  size_t Offset;
  std::vector<PERF_COUNTER_DEFINITION> Counters;
  std::vector<ParsedInstance> Instances;

  // Values of the counter with that name index, by instance name (UTF-8 of ASCII names).
  std::map<std::string, uint64_t> Column(DWORD name_index) const {
    std::map<std::string, uint64_t> column;
    for (size_t c = 0; c < Counters.size(); ++c) {
      if (Counters[c].CounterNameTitleIndex != name_index) continue;
      for (const ParsedInstance& instance : Instances) {
        column[std::string(instance.Name.begin(), instance.Name.end())] = instance.Values[c];
      }
      break;
    }
    return column;
  }
  std::vector<std::string> InstanceNames() const {
    std::vector<std::string> names;
    for (const ParsedInstance& instance : Instances) {
      names.emplace_back(instance.Name.begin(), instance.Name.end());
    }
    return names;
  }
};
struct ParsedBlock {
  PERF_DATA_BLOCK Header;
  std::u16string SystemName;
  std::vector<ParsedObject> Objects;

  const ParsedObject* Find(DWORD index) const {
    for (const ParsedObject& object : Objects) {
      if (object.Type.ObjectNameTitleIndex == index) return &object;
    }
    return nullptr;
  }
};

template <typename Record>
Record At(const std::vector<uint8_t>& bytes, size_t offset) {
  Record record;
  EXPECT_LE(offset + sizeof(Record), bytes.size());
  std::memcpy(&record, bytes.data() + offset, sizeof(Record));
  return record;
}

std::u16string NameAt(const std::vector<uint8_t>& bytes, size_t offset, DWORD length) {
  std::u16string name(length / 2, u'\0');
  std::memcpy(name.data(), bytes.data() + offset, length);
  EXPECT_EQ(name.back(), u'\0');
  name.pop_back();
  return name;
}

std::vector<uint64_t> ValuesAt(const std::vector<uint8_t>& bytes, size_t block,
                               const std::vector<PERF_COUNTER_DEFINITION>& counters) {
  std::vector<uint64_t> values;
  for (const PERF_COUNTER_DEFINITION& counter : counters) {
    uint64_t value = 0;
    std::memcpy(&value, bytes.data() + block + counter.CounterOffset, counter.CounterSize);
    values.push_back(value);
  }
  return values;
}

ParsedBlock Parse(const std::vector<uint8_t>& bytes) {
  ParsedBlock parsed;
  parsed.Header = At<PERF_DATA_BLOCK>(bytes, 0);
  parsed.SystemName = NameAt(bytes, parsed.Header.SystemNameOffset, parsed.Header.SystemNameLength);
  size_t offset = parsed.Header.HeaderLength;
  for (DWORD k = 0; k < parsed.Header.NumObjectTypes; ++k) {
    EXPECT_EQ(offset % 8, 0u);
    ParsedObject object{At<PERF_OBJECT_TYPE>(bytes, offset), offset, {}, {}};
    size_t at = offset + object.Type.HeaderLength;
    for (DWORD c = 0; c < object.Type.NumCounters; ++c) {
      object.Counters.push_back(At<PERF_COUNTER_DEFINITION>(bytes, at));
      at += object.Counters.back().ByteLength;
    }
    at = offset + object.Type.DefinitionLength;
    if (object.Type.NumInstances == PERF_NO_INSTANCES) {
      object.Instances.push_back({u"", ValuesAt(bytes, at, object.Counters)});
    } else {
      for (LONG i = 0; i < object.Type.NumInstances; ++i) {
        EXPECT_EQ(at % 8, 0u);
        const auto instance = At<PERF_INSTANCE_DEFINITION>(bytes, at);
        ParsedInstance parsed_instance{NameAt(bytes, at + instance.NameOffset, instance.NameLength),
                                       {}};
        at += instance.ByteLength;
        const auto block = At<PERF_COUNTER_BLOCK>(bytes, at);
        EXPECT_EQ(block.ByteLength % 8, 0u);
        parsed_instance.Values = ValuesAt(bytes, at, object.Counters);
        at += block.ByteLength;
        object.Instances.push_back(std::move(parsed_instance));
      }
    }
    offset += object.Type.TotalByteLength;
    parsed.Objects.push_back(std::move(object));
  }
  EXPECT_EQ(offset, parsed.Header.TotalByteLength);
  return parsed;
}

TEST(WritePerfDataBlock, LaysOutTheHeaderAndAnObjectWithoutInstances) {
  PerfBlockHeader header;
  header.SystemName = "HOST1";
  header.PerfTime100nSec = 133000000000000000;
  header.PerfFreq = 10000000;
  header.DefaultObject = 238;
  PerfObjectData object;
  object.NameIndex = 2;
  object.Counters = {
      {248, PERF_COUNTER_RAWCOUNT}, {674, PERF_ELAPSED_TIME}, {146, PERF_COUNTER_COUNTER}};
  object.Instances = {{"", {7, (uint64_t{1} << 40) + 5, (uint64_t{1} << 32) + 9}}};
  const std::vector<uint8_t> bytes = WritePerfDataBlock(header, {object});

  const ParsedBlock block = Parse(bytes);
  EXPECT_EQ(std::memcmp(bytes.data(), "P\0E\0R\0F\0", 8), 0);
  EXPECT_EQ(block.Header.LittleEndian, 1u);
  EXPECT_EQ(block.Header.TotalByteLength, bytes.size());
  EXPECT_EQ(block.Header.HeaderLength, 88u + 16);  // "HOST1" + NUL = 12 bytes, padded
  EXPECT_EQ(block.Header.SystemNameLength, 12u);
  EXPECT_EQ(block.SystemName, u"HOST1");
  EXPECT_EQ(block.Header.PerfTime100nSec, 133000000000000000);
  ASSERT_EQ(block.Objects.size(), 1u);
  const ParsedObject& parsed = block.Objects[0];
  EXPECT_EQ(parsed.Type.NumInstances, PERF_NO_INSTANCES);
  EXPECT_EQ(parsed.Type.DefinitionLength, 64u + 3 * 40);
  EXPECT_EQ(parsed.Type.ObjectHelpTitleIndex, 3u);
  EXPECT_EQ(parsed.Counters[0].CounterSize, 4u);
  EXPECT_EQ(parsed.Counters[1].CounterSize, 8u);
  EXPECT_EQ(parsed.Counters[1].CounterOffset % 8, 0u);
  EXPECT_EQ(parsed.Instances[0].Values[0], 7u);
  EXPECT_EQ(parsed.Instances[0].Values[1], (uint64_t{1} << 40) + 5);
  // A 4-byte counter keeps the value modulo 2^32, as on Windows.
  EXPECT_EQ(parsed.Instances[0].Values[2], 9u);
}

TEST(WritePerfDataBlock, WritesInstanceNamesAsUtf16OnEightByteBoundaries) {
  PerfObjectData object;
  object.NameIndex = 230;
  object.HasInstances = true;
  object.Counters = {{784, PERF_COUNTER_RAWCOUNT}};
  object.Instances = {{"caf\xC3\xA9", {1}}, {"x\xF0\x9F\x98\x80", {2}}, {"", {3}}, {"\xFF", {4}}};
  const ParsedBlock block = Parse(WritePerfDataBlock({}, {object}));
  const ParsedObject& parsed = block.Objects.at(0);
  ASSERT_EQ(parsed.Instances.size(), 4u);
  EXPECT_EQ(parsed.Instances[0].Name, u"caf\u00E9");
  EXPECT_EQ(parsed.Instances[1].Name, u"x\U0001F600");
  EXPECT_EQ(parsed.Instances[2].Name, u"");
  EXPECT_EQ(parsed.Instances[3].Name, u"\u00FF");  // a stray byte reads as Latin-1
  EXPECT_EQ(parsed.Instances[3].Values[0], 4u);
}

TEST(PerfCounterCatalogue, IsTheEnglishMultiStringInIndexOrder) {
  const std::string& catalogue = PerfCounterCatalogue();
  ASSERT_GE(catalogue.size(), 20u);
  EXPECT_EQ(catalogue.substr(0, 18), std::string("1\0"
                                                 "1847\0"
                                                 "2\0System\0"
                                                 "4\0",
                                                 18));
  EXPECT_EQ(catalogue.substr(catalogue.size() - 17), std::string("1846\0End Marker\0\0", 17));
  std::vector<std::string> elements;
  for (size_t at = 0; at < catalogue.size() - 1;) {
    elements.emplace_back(catalogue.c_str() + at);
    at += elements.back().size() + 1;
  }
  ASSERT_EQ(elements.size() % 2, 0u);
  long previous = 1;
  for (size_t i = 2; i < elements.size(); i += 2) {
    const long index = std::stol(elements[i]);
    EXPECT_GT(index, previous) << elements[i];
    EXPECT_EQ(index % 2, 0) << elements[i];
    EXPECT_EQ(PerfCounterName(static_cast<DWORD>(index)), elements[i + 1]);
    previous = index;
  }
  EXPECT_EQ(PerfCounterName(238), "Processor");
  EXPECT_EQ(PerfCounterName(239), "");
}

TEST(RequestedPerfObjects, ReadsIndicesAndGlobalAndKeepsProcessLast) {
  EXPECT_EQ(RequestedPerfObjects("2 4 236 238 260 510"),
            (std::vector<DWORD>{2, 4, 236, 238, 260, 510}));
  EXPECT_EQ(RequestedPerfObjects("global"), (std::vector<DWORD>{2, 4, 236, 238, 260, 510}));
  EXPECT_EQ(RequestedPerfObjects("230 238  238 999 abc"), (std::vector<DWORD>{238, 230}));
  EXPECT_TRUE(RequestedPerfObjects("invalid counter name").empty());
  EXPECT_TRUE(RequestedPerfObjects("").empty());
}

// A captured machine below a temporary root.
class CapturedMachine : public ::testing::Test {
 protected:
  void Put(const std::string& relative, const std::string& text) {
    const std::string path = root_.Path(relative);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    testsupport::WriteAll(path, text);
  }
  void PutProcess(int pid, const std::string& command, uint64_t user_ticks, int threads) {
    const std::string folder = "proc/" + std::to_string(pid) + "/";
    Put(folder + "stat", std::to_string(pid) + " (" + command + ") S 1 1 1 0 -1 0 10 0 2 0 " +
                             std::to_string(user_ticks) + " 5 0 0 20 0 " + std::to_string(threads) +
                             " 0 100 4096000 250 0 0 0\n");
    // A resident set other than stat's approximate rss of 250 pages.
    Put(folder + "statm", "1000 260 100 10 0 300 0\n");
  }
  void SetUp() override {
    Put("proc/stat",
        "cpu  10 0 10 10 0 0 0 0 0 0\n"
        "cpu0 100 5 30 1000 20 1 2 0 0 0\n"
        "cpu1 200 0 40 3000 0 3 4 0 0 0\n"
        "ctxt 5000000000\nbtime 1700000000\nprocs_running 5\n");
    Put("proc/meminfo",
        "MemTotal: 33554432 kB\nMemAvailable: 25165824 kB\nSwapTotal: 1048576 kB\n"
        "CommitLimit: 17825792 kB\nCommitted_AS: 4194304 kB\n");
    Put("proc/vmstat", "pgfault 77\n");
    Put("proc/uptime", "100.00 50.00\n");
    Put("proc/interrupts", "  CPU0 CPU1\n 0: 10 20 timer\n");
    Put("proc/net/dev",
        "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n"
        "    lo: 50 1 0 0 0 0 0 0 50 1 0 0 0 0 0 0\n"
        "  ifb0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
        "  eth0: 6000000000 10 0 0 0 0 0 0 700 20 0 0 0 0 0 0\n");
    Put("sys/class/net/eth0/speed", "1000\n");
    Put("sys/class/net/eth0/flags", "0x1003\n");
    Put("sys/class/net/ifb0/flags", "0x82\n");
    Put("proc/self/mounts", "/dev/vda / ext4 rw 0 0\nproc /proc proc rw 0 0\n");
    PutProcess(30, "worker", 300, 2);
    PutProcess(10, "worker", 100, 3);
    PutProcess(20, "bash", 200, 1);
    PutProcess(40, "worker", 400, 4);
  }
  ParsedBlock Build(std::string_view value_name) {
    return Parse(BuildPerformanceData(value_name, root_.path()));
  }
  static uint64_t TicksIn100ns(uint64_t ticks) {
    return ticks * 10000000 / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  }

  testsupport::TempFolder root_;
};

TEST_F(CapturedMachine, ProcessorListsNumberedInstancesThenTotalWithIdleTimeAsRaw) {
  const ParsedBlock block = Build("238");
  ASSERT_EQ(block.Objects.size(), 1u);
  const ParsedObject& cpu = block.Objects[0];
  EXPECT_EQ(cpu.InstanceNames(), (std::vector<std::string>{"0", "1", "_Total"}));
  EXPECT_EQ(cpu.Counters[0].CounterNameTitleIndex, 6u);
  EXPECT_EQ(cpu.Counters[0].CounterType, PERF_100NSEC_TIMER_INV);
  const auto idle = cpu.Column(6);
  EXPECT_EQ(idle.at("0"), TicksIn100ns(1000 + 20));
  EXPECT_EQ(idle.at("1"), TicksIn100ns(3000));
  EXPECT_EQ(idle.at("_Total"), (TicksIn100ns(1020) + TicksIn100ns(3000)) / 2);
  EXPECT_EQ(cpu.Column(142).at("0"), TicksIn100ns(105));
  EXPECT_EQ(cpu.Column(144).at("1"), TicksIn100ns(40 + 3 + 4));
  EXPECT_EQ(cpu.Column(148).at("1"), 20u);
  EXPECT_EQ(cpu.Column(148).at("_Total"), 30u);
}

TEST_F(CapturedMachine, SystemAndObjectsCountProcessesAndTheirThreads) {
  const ParsedBlock block = Build("2 260");
  const ParsedObject* system = block.Find(2);
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(system->Type.NumInstances, PERF_NO_INSTANCES);
  EXPECT_EQ(system->Column(248).at(""), 4u);
  EXPECT_EQ(system->Column(250).at(""), 10u);
  EXPECT_EQ(system->Column(44).at(""), 3u);  // 5 runnable on 2 processors
  EXPECT_EQ(system->Column(146).at(""), 5000000000u % (uint64_t{1} << 32));
  // Up time counts from the kernel's boot time, the same in every block.
  const uint64_t boot = 1700000000ull * 10000000 + kUnixEpochAsFileTime;
  EXPECT_EQ(system->Column(674).at(""), boot);
  EXPECT_EQ(Build("2").Find(2)->Column(674).at(""), boot);
  EXPECT_EQ(system->Type.PerfFreq, 10000000);
  ASSERT_NE(block.Find(260), nullptr);
  EXPECT_EQ(block.Find(260)->Column(250).at(""), 10u);
}

TEST_F(CapturedMachine, MemoryKeepsLargeAmountsInSixtyFourBits) {
  const ParsedBlock block = Build("4");
  const ParsedObject* memory = block.Find(4);
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(memory->Column(24).at(""), 25165824ull * 1024);
  EXPECT_EQ(memory->Column(26).at(""), 4194304ull * 1024);
  EXPECT_EQ(memory->Column(30).at(""), (33554432ull + 1048576) * 1024);
  EXPECT_EQ(memory->Column(28).at(""), 77u);
  EXPECT_EQ(memory->Column(1382).at(""), 24576u);
}

TEST_F(CapturedMachine, NetworkInterfaceListsEnabledInterfacesLoopbackLast) {
  const ParsedBlock block = Build("510");
  const ParsedObject* network = block.Find(510);
  ASSERT_NE(network, nullptr);
  EXPECT_EQ(network->InstanceNames(), (std::vector<std::string>{"eth0", "lo"}));
  EXPECT_EQ(network->Column(264).at("eth0"), 6000000000u);
  EXPECT_EQ(network->Column(506).at("eth0"), 700u);
  EXPECT_EQ(network->Column(388).at("eth0"), 6000000700u);
  EXPECT_EQ(network->Column(266).at("eth0"), 10u);
  EXPECT_EQ(network->Column(452).at("eth0"), 20u);
  EXPECT_EQ(network->Column(520).at("eth0"), 1000000000u);
  EXPECT_EQ(network->Column(520).at("lo"), 0u);
  // The reader matches names by substring: Bytes Total comes first, as on Windows.
  EXPECT_EQ(network->Counters[0].CounterNameTitleIndex, 388u);
}

TEST_F(CapturedMachine, ProcessIsBuiltOnlyWhenAskedForAndKeepsRepeatedNamesTogether) {
  EXPECT_EQ(Build("Global").Find(230), nullptr);
  const ParsedBlock block = Build("238 230");
  ASSERT_EQ(block.Objects.size(), 2u);
  EXPECT_EQ(block.Objects.back().Type.ObjectNameTitleIndex, 230u);
  const ParsedObject& process = block.Objects.back();
  EXPECT_EQ(process.InstanceNames(),
            (std::vector<std::string>{"bash", "worker", "worker", "worker", "_Total"}));
  std::vector<uint64_t> ids;
  for (const ParsedInstance& instance : process.Instances) {
    ids.push_back(instance.Values[9]);  // ID Process
  }
  EXPECT_EQ(process.Counters[9].CounterNameTitleIndex, 784u);
  EXPECT_EQ(ids, (std::vector<uint64_t>{20, 10, 30, 40, 0}));
  EXPECT_EQ(process.Counters[0].CounterType, PERF_100NSEC_TIMER);
  EXPECT_EQ(process.Instances[1].Values[0], TicksIn100ns(100 + 5));
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  EXPECT_EQ(process.Column(180).at("bash"), 260 * page);
  EXPECT_EQ(process.Column(186).at("bash"), 300 * page);
  EXPECT_EQ(process.Column(680).at("_Total"), 10u);
  // Elapsed Time: started 100 ticks after the boot of btime.
  EXPECT_EQ(process.Column(684).at("bash"),
            1700000000ull * 10000000 + kUnixEpochAsFileTime + TicksIn100ns(100));
}

TEST_F(CapturedMachine, LogicalDiskReportsEachReadyDriveAndTotal) {
  const ParsedBlock block = Build("236");
  const ParsedObject* disk = block.Find(236);
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->InstanceNames(), (std::vector<std::string>{"C:", "_Total"}));
  EXPECT_EQ(disk->Counters[0].CounterType, PERF_RAW_FRACTION);
  EXPECT_EQ(disk->Counters[1].CounterType, PERF_RAW_BASE);
  EXPECT_EQ(disk->Counters[1].CounterNameTitleIndex, 408u);
  EXPECT_GT(disk->Column(410).at("C:"), 0u);
}

TEST_F(CapturedMachine, UnknownNamesGiveTheHeaderAlone) {
  const std::vector<uint8_t> bytes = BuildPerformanceData("invalid counter name", root_.path());
  const ParsedBlock block = Parse(bytes);
  EXPECT_EQ(block.Header.NumObjectTypes, 0u);
  EXPECT_EQ(block.Header.TotalByteLength, block.Header.HeaderLength);
}

TEST(BuildPerformanceData, DescribesThisMachineNow) {
  const auto before = std::chrono::system_clock::now();
  const ParsedBlock block = Parse(BuildPerformanceData("Global"));
  const int64_t now_filetime =
      std::chrono::duration_cast<std::chrono::microseconds>(before.time_since_epoch()).count() *
          10 +
      kUnixEpochAsFileTime;
  EXPECT_GE(block.Header.PerfTime100nSec, now_filetime);
  EXPECT_LT(block.Header.PerfTime100nSec, now_filetime + 600LL * 10000000);
  EXPECT_EQ(block.Header.PerfFreq, 10000000);
  for (const DWORD index : {2u, 4u, 236u, 238u, 260u, 510u}) {
    ASSERT_NE(block.Find(index), nullptr) << index;
    for (const PERF_COUNTER_DEFINITION& counter : block.Find(index)->Counters) {
      EXPECT_NE(PerfCounterName(counter.CounterNameTitleIndex), "")
          << counter.CounterNameTitleIndex;
    }
  }
  const ParsedObject* cpu = block.Find(238);
  EXPECT_EQ(cpu->Instances.size(), static_cast<size_t>(sysconf(_SC_NPROCESSORS_ONLN)) + 1);
  EXPECT_EQ(cpu->InstanceNames().front(), "0");
  EXPECT_EQ(cpu->InstanceNames().back(), "_Total");
  EXPECT_EQ(block.Find(510)->InstanceNames().back(), "lo");
  const uint64_t processes = block.Find(2)->Column(248).at("");
  const size_t listed = ListProcessIds("/").size();
  EXPECT_NEAR(static_cast<double>(processes), static_cast<double>(listed), 20);
}

}  // namespace
}  // namespace platform
