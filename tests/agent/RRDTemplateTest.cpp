#include "agent/RRDTemplate.h"

#include <sys/stat.h>

#include <ctime>
#include <optional>

#include <gtest/gtest.h>

#include "agent/MetricSnapshot.h"
#include "common/TextUtil.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/TempFolder.h"

namespace agent {
namespace {

using testsupport::ReadAll;
using testsupport::WriteAll;

// A program folder with an RRDTOOL folder and a clean snapshot.
class RrdTemplateTest : public AgentHomeTest {
 protected:
  RrdTemplateTest() { mkdir(home_.Path("RRDTOOL").c_str(), 0755); }
  ~RrdTemplateTest() override { TheMetricSnapshot() = MetricSnapshot{}; }

  std::string TemplatePath() const { return home_.Path("RRDTOOL/rrdtool.tpl"); }
  std::string ScriptPath() const { return home_.Path("RRDTOOL/RrdMkGraph.sh"); }
};

// Runs the test body in a time zone given as a TZ value, then restores the zone.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& tz) : env_(std::in_place, "TZ", tz) { tzset(); }
  ~ScopedTimeZone() {
    env_.reset();
    tzset();
  }

 private:
  std::optional<testsupport::ScopedEnv> env_;
};

TEST(DefaultTemplateText, HoldsTheTenRecordsWithTheMemoryAndDiskSizes) {
  // The disk size is rounded ties to even; the memory size is written as it is.
  EXPECT_EQ(DefaultTemplateText(536330240, 21474836480.5),
            "CREATE##CPU##rrdtool  create CPU.rrd  --start $TIME --step 60 "
            "DS:CPU:GAUGE:1200:0:100 RRA:AVERAGE:0.5:1:600 RRA:AVERAGE:0.5:6:700  "
            "RRA:AVERAGE:0.5:24:775  RRA:AVERAGE:0.5:288:797 \r\n"
            "CREATE##MEM##rrdtool  create MEM.rrd  --start $TIME --step 60 "
            "DS:MEM:GAUGE:1200:0:536330240 RRA:AVERAGE:0.5:1:600 RRA:AVERAGE:0.5:6:700  "
            "RRA:AVERAGE:0.5:24:775  RRA:AVERAGE:0.5:288:797 \r\n"
            "CREATE##DSKC##rrdtool create DSKC.rrd --start $TIME --step 60 "
            "DS:DSKC:GAUGE:1200:0:21474836480 RRA:AVERAGE:0.5:1:600 RRA:AVERAGE:0.5:6:700  "
            "RRA:AVERAGE:0.5:24:775  RRA:AVERAGE:0.5:288:797 \r\n"
            "CREATE##NET##rrdtool  create NET.rrd  --start $TIME --step 60 "
            "DS:IN:COUNTER:1200:U:U DS:OUT:COUNTER:1200:U:U RRA:AVERAGE:0.5:1:600 "
            "RRA:AVERAGE:0.5:6:700  RRA:AVERAGE:0.5:24:775  RRA:AVERAGE:0.5:288:797 \r\n"
            "UPDATE##CPU##rrdtool  update CPU.rrd $TIME:$VAL\r\n"
            "UPDATE##MEM##rrdtool  update MEM.rrd $TIME:$VAL\r\n"
            "UPDATE##DSKC##rrdtool update DSKC.rrd $TIME:$VAL\r\n"
            "UPDATE##DSKD##rrdtool update DSKD.rrd $TIME:$VAL\r\n"
            "UPDATE##DSKE##rrdtool update DSKE.rrd $TIME:$VAL\r\n"
            "UPDATE##NET##rrdtool  update NET.rrd $TIME:$VAL1:$VAL2\r\n");
}

TEST(DefaultGraphScriptText, HoldsTheSevenLinesWithTheUpperLimits) {
  EXPECT_EQ(
      DefaultGraphScriptText(536330240, 1000.5, 2000.5, 0),
      "# ********** This file runs every 5 minutes **********\r\n"
      "rrdtool graph CPU-6Horas.gif  -l 0 -u 100  --start -21600  "
      "DEF:mycpu=CPU.rrd:CPU:AVERAGE  LINE2:mycpu#1100FF --title CPU -h 150 -v \"(% CPU)\"\r\n"
      "rrdtool graph MEM-6Horas.gif  -l 0 -u 536330240  --start -21600  "
      "DEF:mymem=MEM.rrd:MEM:AVERAGE  LINE2:mymem#1100FF --title Memory -h 150 "
      "-v \"( RAM Memory )\"\r\n"
      "rrdtool graph DSKC-6Horas.gif -l 0 -u 1000  --start -21600  "
      "DEF:mydskc=DSKC.rrd:DSKC:AVERAGE  LINE2:mydskc#1100FF --title Disk_C -h 150 "
      "-v \"(k Bytes)\"\r\n"
      "rrdtool graph DSKD-6Horas.gif -l 0 -u 2000  --start -21600  "
      "DEF:mydskd=DSKD.rrd:DSKD:AVERAGE  LINE2:mydskd#1100FF --title Disk_D -h 150 "
      "-v \"(k Bytes)\"\r\n"
      "rrdtool graph DSKE-6Horas.gif -l 0 -u 0  --start -21600  "
      "DEF:mydske=DSKE.rrd:DSKE:AVERAGE  LINE2:mydske#1100FF --title Disk_E -h 150 "
      "-v \"(k Bytes)\"\r\n"
      "rrdtool graph NET-6Horas.gif    --start -21600  DEF:mynetin=NET.rrd:IN:AVERAGE "
      "DEF:mynetout=NET.rrd:OUT:AVERAGE  LINE1:mynetin#1100FF LINE2:mynetout#FF0011 "
      "--title Link -h 150 -v \"(bits per second)\"\r\n");
}

TEST_F(RrdTemplateTest, VerifyRRDToolTemplateWritesMissingFilesAndKeepsExistingOnes) {
  MetricSnapshot& snapshot = TheMetricSnapshot();
  snapshot.RamTotal = 536330240;
  snapshot.DiskTotal = {1e10, 2e10, 3e10};
  VerifyRRDToolTemplate();
  EXPECT_EQ(ReadAll(TemplatePath()), DefaultTemplateText(536330240, 1e10));
  EXPECT_EQ(ReadAll(ScriptPath()), DefaultGraphScriptText(536330240, 1e10, 2e10, 3e10));

  // Edits survive; a deleted script alone is written again, with today's sizes.
  WriteAll(TemplatePath(), "UPDATE##CPU##rrdtool update CPU.rrd $TIME:$VAL\r\n");
  std::remove(ScriptPath().c_str());
  snapshot.RamTotal = 1073741824;
  VerifyRRDToolTemplate();
  EXPECT_EQ(ReadAll(TemplatePath()), "UPDATE##CPU##rrdtool update CPU.rrd $TIME:$VAL\r\n");
  EXPECT_EQ(ReadAll(ScriptPath()), DefaultGraphScriptText(1073741824, 1e10, 2e10, 3e10));
  EXPECT_EQ(Log(), "");
}

TEST_F(RrdTemplateTest, VerifyRRDToolTemplateLogsAFolderItCannotWriteInto) {
  rmdir(home_.Path("RRDTOOL").c_str());
  VerifyRRDToolTemplate();
  EXPECT_EQ(CountLines(Log(), " VerifyRRDToolTemplate Func "), 1) << Log();
}

struct LookupCase {
  const char* name;
  const char* template_text;
  const char* kind;
  const char* database;
  const char* expected;
  int failure_lines;
};

class GetTemplateCommandTest : public RrdTemplateTest,
                               public ::testing::WithParamInterface<LookupCase> {};

TEST_P(GetTemplateCommandTest, FindsTheCommandOfTheLastMatchingRecord) {
  const LookupCase& c = GetParam();
  WriteAll(TemplatePath(), c.template_text);
  EXPECT_EQ(GetTemplateCommand(c.kind, c.database), c.expected);
  EXPECT_EQ(CountLines(Log(), " GetTemplateCommand Func "), c.failure_lines) << Log();
}

INSTANTIATE_TEST_SUITE_P(
    Records, GetTemplateCommandTest,
    ::testing::Values(
        LookupCase{"LetterCaseIsIgnored", "update##cpu##rrdtool update CPU.rrd $TIME:$VAL\r\n",
                   "UPDATE", "CPU", "rrdtool update CPU.rrd $TIME:$VAL", 0},
        LookupCase{"TheLastMatchWins",
                   "CREATE##CPU##first\r\nCREATE##MEM##other\r\nCREATE##CPU##second\r\n", "CREATE",
                   "CPU", "second", 0},
        LookupCase{"ACommaEndsTheRecord",
                   "UPDATE##CPU##rrdtool update CPU.rrd $TIME:$VAL,RRA:MAX\r\n", "UPDATE", "CPU",
                   "rrdtool update CPU.rrd $TIME:$VAL", 0},
        LookupCase{"LeadingBlanksAreDroppedAndExtraPiecesIgnored", "   UPDATE##NET##cmd##extra\r\n",
                   "UPDATE", "NET", "cmd", 0},
        LookupCase{"NoMatchGivesNothing", "UPDATE##CPU##cmd\r\n", "CREATE", "CPU", "", 0},
        LookupCase{"AShortRecordOfAnotherKindIsSkipped", "UPDATE##CPU\r\nCREATE##CPU##cmd\r\n",
                   "CREATE", "CPU", "cmd", 0},
        LookupCase{"ARecordOfTheKindWithoutCommandEndsTheLookup",
                   "CREATE##CPU##cmd\r\nCREATE##MEM\r\nCREATE##CPU##later\r\n", "CREATE", "CPU", "",
                   1},
        LookupCase{"AnEmptyRecordEndsTheLookup", "CREATE##CPU##cmd\r\n\r\nCREATE##CPU##later\r\n",
                   "CREATE", "CPU", "", 1}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return info.param.name; });

TEST_F(RrdTemplateTest, GetTemplateCommandGivesNothingSilentlyWithoutTemplate) {
  EXPECT_EQ(GetTemplateCommand("CREATE", "CPU"), "");
  EXPECT_EQ(Log(), "");
}

TEST(GetTimeZone, GivesTheStandardBiasInHoursWestOfUtc) {
  {
    ScopedTimeZone zone("<-03>3");
    EXPECT_EQ(GetTimeZone(), 3.0);
  }
  {
    // Daylight saving is never applied, whatever the season.
    ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(GetTimeZone(), 5.0);
  }
  {
    ScopedTimeZone zone("<+0530>-5:30");
    EXPECT_EQ(GetTimeZone(), -5.5);
  }
}

TEST(UnixTimeOfLocal, AddsTheBiasInForceToTheLocalTime) {
  std::tm local{};
  local.tm_year = 70;
  local.tm_mday = 1;
  local.tm_sec = 10;
  local.tm_isdst = -1;
  {
    ScopedTimeZone zone("<-03>3");
    EXPECT_EQ(UnixTimeOfLocal(local), 10810);
  }
  ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
  local = std::tm{};
  local.tm_year = 124;
  local.tm_mon = 0;
  local.tm_mday = 15;
  local.tm_hour = 12;
  local.tm_isdst = -1;
  EXPECT_EQ(UnixTimeOfLocal(local), 1705338000);  // 17:00 UTC in winter
  local.tm_mon = 6;
  local.tm_mday = 1;
  EXPECT_EQ(UnixTimeOfLocal(local), 1719849600);  // 16:00 UTC in summer
}

TEST(GetUnixTime, IsTheTrueUnixTimeWhileDaylightSavingIsInForce) {
  // A zone whose daylight time lasts the whole year.
  ScopedTimeZone zone("EST5EDT,0/0,J365/25");
  const std::time_t before = std::time(nullptr);
  const int64_t now = GetUnixTime();
  const std::time_t after = std::time(nullptr);
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

}  // namespace
}  // namespace agent
