#include "common/PerfModule.h"

#include <gtest/gtest.h>

#include "common/AgentConfig.h"
#include "common/ScaledSleep.h"
#include "common/TextUtil.h"
#include "tests/support/FakePerfRegistry.h"
#include "tests/support/TempFolder.h"

namespace common {
namespace {

using platform::PERF_100NSEC_TIMER_INV;
using platform::PERF_COUNTER_BULK_COUNT;
using platform::PERF_COUNTER_LARGE_RAWCOUNT;
using platform::PERF_COUNTER_RAWCOUNT;
using testsupport::MakeBlock;
using testsupport::MakeObject;

// The catalogue multi-string of the given elements, each NUL-terminated.
std::string MultiString(const std::vector<std::string>& elements) {
  std::string text;
  for (const std::string& element : elements) {
    text += element;
    text.push_back('\0');
  }
  return text;
}

TEST(AddCounterNames, SkipsTheHeaderPairEmptyKeysAndRepeatedKeys) {
  CounterCatalogue catalogue;
  AddCounterNames(catalogue, MultiString({"1", "1847", "2", "System", "4", "Memory", ""}));
  EXPECT_EQ(catalogue, (CounterCatalogue{{"2", "System"}, {"4", "Memory"}}));

  AddCounterNames(
      catalogue,
      MultiString({"1", "1847", "2", "Other", "6", "% Processor Time", "", "Nameless"}) + "8");
  EXPECT_EQ(catalogue.at("2"), "System");  // the first name stays
  EXPECT_EQ(catalogue.at("6"), "% Processor Time");
  EXPECT_EQ(catalogue.count(""), 0u);
  EXPECT_EQ(catalogue.count("8"), 0u);  // no name follows
}

TEST(InstanceKey, NumbersOnlyConsecutiveRepeats) {
  InstanceKey keys;
  EXPECT_EQ(keys.Next("svchost"), "svchost#0");
  EXPECT_EQ(keys.Next("svchost"), "svchost#1");
  EXPECT_EQ(keys.Next("svchost"), "svchost#2");
  EXPECT_EQ(keys.Next("lsass"), "lsass#0");
  EXPECT_EQ(keys.Next("svchost"), "svchost#0");
  InstanceKey fresh;
  EXPECT_EQ(fresh.Next(""), "#1");  // the name before the first is empty
}

// A reader over a fake registry, with the log in a temporary program folder.
class PerfReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = TheAgentConfig().LogLevel;
    TheAgentConfig().LogLevel = 5;
    registry_.Block = MakeBlock({}, 1);
  }
  void TearDown() override { TheAgentConfig().LogLevel = saved_level_; }

  std::string Log() const { return testsupport::ReadAll(home_.Path("TarvoAgent.log")); }
  void Load(const std::vector<platform::PerfObjectData>& objects, int64_t time = 0) {
    registry_.Block = MakeBlock(objects, time);
    reader_.LoadCounterNames();
    ASSERT_EQ(reader_.GrowPerfBuffer("2 4 238"), 0);
  }
  std::optional<double> Value(std::string_view object, std::string_view counter,
                              std::string_view instance) {
    const CounterValue result = reader_.GetCounterValue(object, counter, instance);
    EXPECT_FALSE(result.Failed()) << result.Error;
    return result.Value;
  }

  testsupport::TempFolder home_;
  testsupport::ScopedEnv env_{"TARVO_HOME", home_.path()};
  int32_t saved_level_ = 0;
  testsupport::FakePerfRegistry registry_;
  PerfReader reader_{&registry_};
};

TEST_F(PerfReaderTest, LoadCounterNamesReadsThePerflibCatalogue) {
  reader_.LoadCounterNames();
  EXPECT_EQ(reader_.Catalogue().at("238"), "Processor");
  EXPECT_EQ(reader_.Catalogue().at("26"), "Committed Bytes");  // not the later 1762
  EXPECT_EQ(reader_.Catalogue().count("1"), 0u);

  PerfReader without_key(&registry_);
  registry_.CatalogueKeyExists = false;
  without_key.LoadCounterNames();
  EXPECT_TRUE(without_key.Catalogue().empty());
}

TEST_F(PerfReaderTest, GrowPerfBufferGrowsInStepsOf8192AndLogsEachStep) {
  std::vector<platform::PerfInstanceData> many;
  for (int i = 0; i < 420; ++i) many.push_back({"p" + std::to_string(i), {1}});
  registry_.Block = MakeBlock({MakeObject(230, {{784, PERF_COUNTER_RAWCOUNT}}, many)}, 77);
  const size_t length = registry_.Block.size();
  ASSERT_GT(length, 16384u);
  ASSERT_LE(length, 24576u);

  EXPECT_EQ(reader_.GrowPerfBuffer("2 230"), 0);
  EXPECT_EQ(registry_.OfferedSizes, (std::vector<platform::DWORD>{8192, 16384, 24576}));
  EXPECT_EQ(registry_.KeyLists.back(), "2 230");
  EXPECT_EQ(reader_.LastDataLength(), length);
  EXPECT_EQ(reader_.PerfBuffer().size(), 24576u);
  EXPECT_EQ(reader_.PerfTimeBase(), 77);
  EXPECT_EQ(registry_.DataCloses, 1);
  const std::string n = std::to_string(length);
  EXPECT_EQ(Log(),
            "Inicio carga rotina performance :::2 230\r\n"
            " DEFAULT Loop carga rotina performance ,8192\r\n"
            " DEFAULT Fim loop carga rotina performance ,0\r\n"
            " DEFAULT Loop carga rotina performance ,16384\r\n"
            " DEFAULT Fim loop carga rotina performance ,0\r\n"
            " DEFAULT Loop carga rotina performance ,24576\r\n"
            " DEFAULT Fim loop carga rotina performance ," +
                n +
                "\r\n"
                " DEFAULT fora loop carga rotina performance\r\n"
                "Fim carga rotina performance\r\n");
}

TEST_F(PerfReaderTest, LoadPerfObjectsRefreshesInPlaceUntilTheBlockGrows) {
  registry_.Block =
      MakeBlock({MakeObject(2, {{248, PERF_COUNTER_RAWCOUNT}}, {{"", {5}}}, false)}, 10);
  const platform::DWORD length = static_cast<platform::DWORD>(registry_.Block.size());
  ASSERT_EQ(reader_.GrowPerfBuffer("2"), 0);

  // Same length: one query offering the previous length, no full load.
  registry_.Block =
      MakeBlock({MakeObject(2, {{248, PERF_COUNTER_RAWCOUNT}}, {{"", {6}}}, false)}, 20);
  registry_.OfferedSizes.clear();
  EXPECT_EQ(reader_.LoadPerfObjects("2"), 0);
  EXPECT_EQ(registry_.OfferedSizes, (std::vector<platform::DWORD>{length}));
  EXPECT_EQ(reader_.PerfTimeBase(), 20);
  EXPECT_EQ(registry_.DataCloses, 1);

  // A larger block no longer fits: a full load again from 8192.
  registry_.Block = MakeBlock(
      {MakeObject(2, {{248, PERF_COUNTER_RAWCOUNT}}, {{"a-much-longer-name-than-before", {7}}})},
      30);
  registry_.OfferedSizes.clear();
  EXPECT_EQ(reader_.LoadPerfObjects("2"), 0);
  EXPECT_EQ(registry_.OfferedSizes, (std::vector<platform::DWORD>{length, 8192}));
  EXPECT_EQ(reader_.LastDataLength(), registry_.Block.size());
  EXPECT_EQ(reader_.PerfTimeBase(), 30);
}

TEST_F(PerfReaderTest, LoadPerfObjectsWithoutAnyBufferHandsOverToAFullLoad) {
  registry_.Block = MakeBlock({}, 5);
  EXPECT_EQ(reader_.LoadPerfObjects("2"), 0);
  EXPECT_EQ(registry_.OfferedSizes, (std::vector<platform::DWORD>{0, 8192}));
  EXPECT_EQ(reader_.PerfTimeBase(), 5);
}

TEST_F(PerfReaderTest, GrowPerfBufferGivesUpOnAProviderThatNeverFits) {
  registry_.NeverFits = true;
  EXPECT_EQ(reader_.GrowPerfBuffer("2"), 1);
  EXPECT_NE(Log().find("Erro na carga rotina performance"), std::string::npos);
}

// Object 238 with instances 0 and _Total, as a one-processor machine has them.
platform::PerfObjectData OneProcessor() {
  return MakeObject(238, {{6, PERF_100NSEC_TIMER_INV}, {142, PERF_100NSEC_TIMER_INV}},
                    {{"0", {1111, 1}}, {"_Total", {2222, 2}}});
}

TEST_F(PerfReaderTest, GetCounterValueTakesTheNamedInstanceNotTheTotal) {
  Load({OneProcessor()});
  EXPECT_EQ(Value("238", "% Processor Time", "0"), 1111);
  EXPECT_EQ(Value("238", "% Processor Time", "_total"), 2222);
  EXPECT_EQ(Value("238", "% Processor Time", ""), 1111);
  EXPECT_EQ(Value(" 238 ", "% User", " 0 "), 1);
  EXPECT_EQ(Value("238", "% Processor Time", "1"), std::nullopt);  // one processor only
  EXPECT_EQ(Value("238", "% processor time", "0"), std::nullopt);  // names are case-sensitive
  EXPECT_EQ(Value("4", "% Processor Time", "0"), std::nullopt);    // object not in the block
}

TEST_F(PerfReaderTest, GetCounterValueFindsObjectsWithoutInstancesByTheirOwnName) {
  Load({MakeObject(2, {{248, PERF_COUNTER_RAWCOUNT}, {250, PERF_COUNTER_RAWCOUNT}},
                   {{"", {61, 612}}}, false)});
  EXPECT_EQ(Value("2", "Processes", ""), 61);
  EXPECT_EQ(Value("2", "Threads", ""), 612);
  EXPECT_EQ(Value("2", "Threads", "system#0"), 612);
  EXPECT_EQ(Value("2", "Threads", "x"), std::nullopt);
}

TEST_F(PerfReaderTest, GetCounterValueNumbersRepeatedInstanceNames) {
  Load(
      {MakeObject(230, {{784, PERF_COUNTER_RAWCOUNT}},
                  {{"svchost", {100}}, {"svchost", {200}}, {"svchost", {300}}, {"lsass", {400}}})});
  EXPECT_EQ(Value("230", "ID Process", "SVCHOST#1"), 200);
  EXPECT_EQ(Value("230", "ID Process", "svchost#2"), 300);
  EXPECT_EQ(Value("230", "ID Process", "lsass"), 400);
  // A substring test: "1" is found in svchost#1 before anything else.
  EXPECT_EQ(Value("230", "ID Process", "1"), 200);
}

TEST_F(PerfReaderTest, GetCounterValueReturnsLargeValuesExactly) {
  const uint64_t large = (uint64_t{1} << 40) + 5;
  Load({MakeObject(510, {{520, PERF_COUNTER_RAWCOUNT}, {264, PERF_COUNTER_BULK_COUNT}},
                   {{"eth0", {7, large}}, {"lo", {8, 9}}})});
  EXPECT_EQ(Value("510", "Bytes Received", "eth0"), static_cast<double>(large));
  EXPECT_EQ(Value("510", "Bytes Received", ""), static_cast<double>(large));
  EXPECT_EQ(Value("510", "Bytes Received", "lo"), 9);
}

TEST_F(PerfReaderTest, GetCounterValuePassesOverObjectsWithoutInstancesOrName) {
  Load({MakeObject(238, {{6, PERF_100NSEC_TIMER_INV}}, {}),
        MakeObject(9998, {{6, PERF_100NSEC_TIMER_INV}}, {{"0", {1}}}),
        MakeObject(4, {{24, PERF_COUNTER_LARGE_RAWCOUNT}}, {{"", {5}}}, false)});
  EXPECT_EQ(Value("238", "% Processor Time", ""), std::nullopt);
  EXPECT_EQ(Value("9998", "% Processor Time", ""), std::nullopt);
  EXPECT_EQ(Value("4", "Available Bytes", ""), 5);
}

TEST_F(PerfReaderTest, GetCounterValueFailsOnWhatItCannotRead) {
  EXPECT_EQ(reader_.GetCounterValue("2", "Processes", "").Error, "no performance data loaded");

  Load({});
  EXPECT_TRUE(reader_.GetCounterValue("2", "Processes", "").Failed());

  Load({MakeObject(2, {{248, PERF_COUNTER_RAWCOUNT}, {9996, PERF_COUNTER_RAWCOUNT}}, {{"", {1, 2}}},
                   false)});
  EXPECT_TRUE(reader_.GetCounterValue("abc", "Processes", "").Failed());
  EXPECT_EQ(Value("2", "Processes", ""), 1);
  // The counter with no catalogue name is reached before a match is found.
  EXPECT_TRUE(reader_.GetCounterValue("2", "Missing", "").Failed());
}

TEST_F(PerfReaderTest, GetCounterValueFailsOnOffsetsOutsideTheBuffer) {
  Load({MakeObject(2, {{248, PERF_COUNTER_RAWCOUNT}}, {{"", {1}}}, false)});
  // Point the counter's offset far outside the buffer.
  std::vector<uint8_t> block = registry_.Block;
  const size_t header_length = block[24] | (block[25] << 8);
  const size_t counter_offset_field = header_length + 64 + 36;
  block[counter_offset_field + 3] = 0x7F;
  registry_.Block = block;
  ASSERT_EQ(reader_.LoadPerfObjects("2"), 0);
  const CounterValue result = reader_.GetCounterValue("2", "Processes", "");
  EXPECT_TRUE(result.Failed());
  EXPECT_NE(result.Error.find("out of range"), std::string::npos);
}

TEST_F(PerfReaderTest, GetCounterValueTakesDecimalObjectIndicesOnly) {
  Load({OneProcessor()});
  EXPECT_EQ(Value("238", "% Processor Time", "0"), 1111);
  for (const char* index : {"0xEE", "0XEE", "inf", "nan", "238x"}) {
    EXPECT_TRUE(reader_.GetCounterValue(index, "% Processor Time", "0").Failed()) << index;
  }
}

// Writes a 32-bit field into a block.
void PutDword(std::vector<uint8_t>& block, size_t at, uint32_t value) {
  for (int k = 0; k < 4; ++k) block[at + k] = static_cast<uint8_t>(value >> (8 * k));
}

TEST_F(PerfReaderTest, GetCounterValueEndsPromptlyOnDamagedCountsAndLengths) {
  const std::vector<uint8_t> good =
      MakeBlock({MakeObject(238, {{6, PERF_100NSEC_TIMER_INV}, {142, PERF_100NSEC_TIMER_INV}},
                            {{"0", {1111, 1}}, {"_Total", {2222, 2}}})});
  const size_t object = good[24] | (good[25] << 8);
  const size_t first_instance = object + 64 + 2 * 40;
  struct Damage {
    const char* what;
    size_t at;
    uint32_t value;
  };
  const Damage damages[] = {
      {"2^32 - 1 objects of length 0", 28, 0xFFFFFFFF},
      {"object length 0", object, 0},
      {"object longer than the block", object, 0x7FFFFFFF},
      {"2^32 - 1 counters", object + 32, 0xFFFFFFFF},
      {"counter definition of length 0", object + 64, 0},
      {"instance definition of length 0", first_instance, 0},
      {"instance name outside its definition", first_instance + 16, 0x1000},
      {"counter block of length 0", first_instance + 24 + 8, 0},
      {"counter value outside its counter block", object + 64 + 36, 0x1000},
  };
  reader_.LoadCounterNames();
  for (const Damage& damage : damages) {
    registry_.Block = good;
    PutDword(registry_.Block, damage.at, damage.value);
    ASSERT_EQ(reader_.GrowPerfBuffer("238"), 0);
    EXPECT_TRUE(reader_.GetCounterValue("238", "% User Time", "_Total").Failed()) << damage.what;
  }
  // Objects of length 0 never advanced the walk over a count of 2^32 - 1.
  registry_.Block = good;
  PutDword(registry_.Block, 28, 0xFFFFFFFF);
  PutDword(registry_.Block, object, 0);
  ASSERT_EQ(reader_.GrowPerfBuffer("238"), 0);
  EXPECT_TRUE(reader_.GetCounterValue("4", "Available Bytes", "").Failed());
  // A count of instances the object cannot hold passes the object over.
  registry_.Block = good;
  PutDword(registry_.Block, object + 40, 0x7FFFFFFF);
  ASSERT_EQ(reader_.GrowPerfBuffer("238"), 0);
  EXPECT_EQ(Value("238", "% User Time", "_Total"), std::nullopt);
}

TEST_F(PerfReaderTest, GetCounterValueBoundsItsPause) {
  Load({OneProcessor()});
  Value("238", "% User Time", "_Total");
  EXPECT_EQ(reader_.LastLookupPause(), 10 + 10 + 10 + 5 + 4 * 2 + 15 + 2 * 2 + 4 * 8);

  // 11 counters of 400 instances, none of them the one asked for.
  std::vector<platform::PerfCounterDef> counters(11, {784, PERF_COUNTER_RAWCOUNT});
  std::vector<platform::PerfInstanceData> instances(400, {"p", std::vector<uint64_t>(11, 1)});
  Load({MakeObject(230, counters, instances)});
  EXPECT_EQ(Value("230", "Working Set", ""), std::nullopt);
  EXPECT_EQ(reader_.LastLookupPause(), kMaxLookupPause);
}

// The bytes of a small block, spelled out: header with system name "A", one
// System object without instances, counter Processes = 42.
constexpr const char* kGoldenBlock =
    "5000450052004600010000000100000001000000d00000006000000001000000"
    "ee000000e8070500010006000700080009000a00000000000807060504030201"
    "80969800000000000080209bcb82d80104000000580000004100000000000000"
    "7000000068000000400000000200000000000000030000000000000064000000"
    "01000000ffffffffffffffff000000000080209bcb82d8018096980000000000"
    "28000000f800000000000000f900000000000000000000006400000000000100"
    "0400000004000000080000002a000000";

std::vector<uint8_t> FromHex(std::string_view hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

TEST_F(PerfReaderTest, GoldenBlockRoundTripsFromWriterToReader) {
  platform::PerfBlockHeader header;
  header.SystemName = "A";
  header.SystemTime = {2024, 5, 1, 6, 7, 8, 9, 10};
  header.PerfTime = 0x0102030405060708;
  header.PerfFreq = 10000000;
  header.PerfTime100nSec = 133000000000000000;
  header.DefaultObject = 238;
  platform::PerfObjectData object =
      MakeObject(2, {{248, PERF_COUNTER_RAWCOUNT}}, {{"", {42}}}, false);
  object.PerfTime = 133000000000000000;
  object.PerfFreq = 10000000;
  const std::vector<uint8_t> written = platform::WritePerfDataBlock(header, {object});
  EXPECT_EQ(written, FromHex(kGoldenBlock));

  registry_.Block = FromHex(kGoldenBlock);
  reader_.LoadCounterNames();
  ASSERT_EQ(reader_.GrowPerfBuffer("2"), 0);
  EXPECT_EQ(reader_.LastDataLength(), 208u);
  EXPECT_EQ(reader_.PerfTimeBase(), 133000000000000000.0);
  EXPECT_EQ(Value("2", "Processes", ""), 42);
}

TEST(PerfReaderOnThisMachine, ReadsTheProcessorIdleTimeThroughTheRegistry) {
  PerfReader reader;
  reader.LoadCounterNames();
  ASSERT_EQ(reader.GrowPerfBuffer("2 4 236 238 260 510"), 0);
  ASSERT_GT(reader.LastDataLength(), 0u);
  const CounterValue idle = reader.GetCounterValue("238", "% Processor Time", "0");
  ASSERT_FALSE(idle.Failed()) << idle.Error;
  EXPECT_GT(idle.Value.value_or(0), 0);
  const CounterValue processes = reader.GetCounterValue("2", "Processes", "");
  EXPECT_GT(processes.Value.value_or(0), 1);
  EXPECT_EQ(reader.LoadPerfObjects("2 4 236 238 260 510"), 0);
  EXPECT_GT(reader.PerfTimeBase(), 1.3e17);
}

}  // namespace
}  // namespace common
