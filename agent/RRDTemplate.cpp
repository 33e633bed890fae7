#include "agent/RRDTemplate.h"

#include <sys/stat.h>

#include <chrono>
#include <clocale>
#include <exception>

#include "agent/MetricSnapshot.h"
#include "common/DelimitedReader.h"
#include "common/ProgramFolder.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"
#include "platform/FileAccess.h"
#include "platform/SystemInfo.h"

namespace agent {
namespace {

constexpr const char* kVerifyLabel = " VerifyRRDToolTemplate Func ";
constexpr const char* kLookupLabel = " GetTemplateCommand Func ";
// The failure text of a record that lacks the piece asked for.
constexpr const char* kMissingPiece = "Subscript out of range";

// The archives every default database keeps: averages over 1, 6, 24 and 288
// steps. The blanks are part of the template users know.
constexpr const char* kArchives =
    " RRA:AVERAGE:0.5:1:600 RRA:AVERAGE:0.5:6:700  RRA:AVERAGE:0.5:24:775  "
    "RRA:AVERAGE:0.5:288:797 ";

std::string WholeText(double value) {
  return RrdNumberText(common::RoundHalfEven(value));
}

std::string DiskGraphLine(char drive, double disk_total) {
  const std::string upper(1, drive);
  const std::string lower(1, static_cast<char>(drive - 'A' + 'a'));
  return "rrdtool graph DSK" + upper + "-6Horas.gif -l 0 -u " + WholeText(disk_total) +
         "  --start -21600  DEF:mydsk" + lower + "=DSK" + upper + ".rrd:DSK" + upper +
         ":AVERAGE  LINE2:mydsk" + lower + "#1100FF --title Disk_" + upper +
         " -h 150 -v \"(k Bytes)\"";
}

// Writes a default file; false (after the log line) when it cannot be written.
bool WriteDefault(const std::string& path, const std::string& text) {
  if (platform::WriteRegularFile(path, text, platform::WriteMode::kTruncate) == 0) return true;
  common::LogFailure("Cannot write " + path, kVerifyLabel);
  return false;
}

}  // namespace

std::string DefaultTemplateText(double ram_total, double disk_total_c) {
  const std::string head = " --start $TIME --step 60 ";
  return common::JoinCrLf(
      {
          "CREATE##CPU##rrdtool  create CPU.rrd " + head + "DS:CPU:GAUGE:1200:0:100" + kArchives,
          "CREATE##MEM##rrdtool  create MEM.rrd " + head +
              "DS:MEM:GAUGE:1200:0:" + RrdNumberText(ram_total) + kArchives,
          "CREATE##DSKC##rrdtool create DSKC.rrd" + head +
              "DS:DSKC:GAUGE:1200:0:" + WholeText(disk_total_c) + kArchives,
          "CREATE##NET##rrdtool  create NET.rrd " + head +
              "DS:IN:COUNTER:1200:U:U DS:OUT:COUNTER:1200:U:U" + kArchives,
          "UPDATE##CPU##rrdtool  update CPU.rrd $TIME:$VAL",
          "UPDATE##MEM##rrdtool  update MEM.rrd $TIME:$VAL",
          "UPDATE##DSKC##rrdtool update DSKC.rrd $TIME:$VAL",
          "UPDATE##DSKD##rrdtool update DSKD.rrd $TIME:$VAL",
          "UPDATE##DSKE##rrdtool update DSKE.rrd $TIME:$VAL",
          "UPDATE##NET##rrdtool  update NET.rrd $TIME:$VAL1:$VAL2",
      },
      true);
}

std::string DefaultGraphScriptText(double ram_total, double disk_total_c, double disk_total_d,
                                   double disk_total_e) {
  // Line ends stay CR LF as in the template: /bin/sh takes the CR as part of
  // the quoted label that ends every line, which rrdtool draws as nothing.
  return common::JoinCrLf(
      {
          "# ********** This file runs every 5 minutes **********",
          "rrdtool graph CPU-6Horas.gif  -l 0 -u 100  --start -21600  "
          "DEF:mycpu=CPU.rrd:CPU:AVERAGE  LINE2:mycpu#1100FF --title CPU -h 150 -v \"(% CPU)\"",
          "rrdtool graph MEM-6Horas.gif  -l 0 -u " + RrdNumberText(ram_total) +
              "  --start -21600  DEF:mymem=MEM.rrd:MEM:AVERAGE  LINE2:mymem#1100FF "
              "--title Memory -h 150 -v \"( RAM Memory )\"",
          DiskGraphLine('C', disk_total_c),
          DiskGraphLine('D', disk_total_d),
          DiskGraphLine('E', disk_total_e),
          "rrdtool graph NET-6Horas.gif    --start -21600  DEF:mynetin=NET.rrd:IN:AVERAGE "
          "DEF:mynetout=NET.rrd:OUT:AVERAGE  LINE1:mynetin#1100FF LINE2:mynetout#FF0011 "
          "--title Link -h 150 -v \"(bits per second)\"",
      },
      true);
}

void VerifyRRDToolTemplate() {
  try {
    const MetricSnapshot& snapshot = TheMetricSnapshot();
    const std::string template_path = common::ProgramPath(kRrdTemplatePath);
    if (!platform::IsRegularFile(template_path) &&
        !WriteDefault(template_path,
                      DefaultTemplateText(snapshot.RamTotal, snapshot.DiskTotal[0]))) {
      return;
    }
    const std::string script_path = common::ProgramPath(kRrdGraphScriptPath);
    if (!platform::IsRegularFile(script_path)) {
      if (!WriteDefault(script_path,
                        DefaultGraphScriptText(snapshot.RamTotal, snapshot.DiskTotal[0],
                                               snapshot.DiskTotal[1], snapshot.DiskTotal[2]))) {
        return;
      }
      // Runnable by hand as well; the agent itself hands it to /bin/sh.
      chmod(script_path.c_str(), 0755);
    }
  } catch (const std::exception& error) {
    common::LogFailure(error.what(), kVerifyLabel);
  }
}

std::optional<std::string> ReadTemplateFile() {
  constexpr size_t kMaxTemplateBytes = 1 << 20;
  return platform::ReadFileText(common::ProgramPath(kRrdTemplatePath), kMaxTemplateBytes);
}

std::vector<std::vector<std::string>> TemplateRecords(std::string_view text) {
  std::vector<std::vector<std::string>> records;
  common::DelimitedReader reader(text);
  while (std::optional<std::string> record = reader.Next()) {
    if (record->empty()) {
      records.emplace_back();
    } else {
      records.push_back(common::SplitText(*record, "##"));
    }
  }
  return records;
}

std::string GetTemplateCommand(std::string_view kind, std::string_view name) {
  try {
    const std::optional<std::string> text = ReadTemplateFile();
    if (!text) return {};
    const std::string wanted_kind = common::ToUpper(kind);
    const std::string wanted_name = common::ToUpper(name);
    std::string result;
    for (const std::vector<std::string>& pieces : TemplateRecords(*text)) {
      if (pieces.empty()) {
        common::LogFailure(kMissingPiece, kLookupLabel);
        return {};
      }
      if (common::ToUpper(pieces[0]) != wanted_kind) continue;
      if (pieces.size() < 3) {
        common::LogFailure(kMissingPiece, kLookupLabel);
        return {};
      }
      if (common::ToUpper(pieces[1]) == wanted_name) result = pieces[2];
    }
    return result;
  } catch (const std::exception& error) {
    common::LogFailure(error.what(), kLookupLabel);
    return {};
  }
}

double GetTimeZone() {
  return platform::StandardTimeBiasMinutes() / 60.0;
}

int64_t UnixTimeOfLocal(const std::tm& local) {
  using namespace std::chrono;
  // The local date and time counted as if they were UTC ...
  const year_month_day date{year{local.tm_year + 1900},
                            month{static_cast<unsigned>(local.tm_mon + 1)},
                            day{static_cast<unsigned>(local.tm_mday)}};
  const int64_t local_seconds =
      static_cast<int64_t>(sys_days{date}.time_since_epoch().count()) * 86400 +
      local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  // ... plus the bias in force at that moment. The standard-time bias alone
  // would put every time stamp an hour off while daylight saving is in force.
  std::tm resolved = local;
  if (std::mktime(&resolved) == static_cast<std::time_t>(-1)) {
    return local_seconds + int64_t{platform::StandardTimeBiasMinutes()} * 60;
  }
  return local_seconds - resolved.tm_gmtoff;
}

int64_t GetUnixTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return now;
  return UnixTimeOfLocal(local);
}

std::string RrdNumberText(double value) {
  std::string text = common::NumberText(value);
  const char* point = std::localeconv()->decimal_point;
  if (point != nullptr && *point != '\0' && std::string_view(point) != ".") {
    text = common::ReplaceAll(std::move(text), point, ".");
  }
  return text;
}

}  // namespace agent
