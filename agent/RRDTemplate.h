#pragma once
// The rrdtool command template (RRDTOOL/rrdtool.tpl), the graph script
// (RRDTOOL/RrdMkGraph.sh), the lookup of a command in the template and the time
// stamp that replaces "$TIME".
//
// A template record is one field of the delimited-text reader (it ends at a
// comma or at the end of its line, leading blanks dropped) and holds three
// pieces separated by "##": the kind (CREATE or UPDATE), the database name and
// the command line.

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace agent {

// Paths below the program folder.
inline constexpr const char* kRrdFolderName = "RRDTOOL";
inline constexpr const char* kRrdTemplatePath = "RRDTOOL/rrdtool.tpl";
inline constexpr const char* kRrdGraphScriptPath = "RRDTOOL/RrdMkGraph.sh";
// The images the default graph script draws in the RRDTOOL folder.
inline constexpr std::array<std::string_view, 6> kRrdGraphFiles = {
    "CPU-6Horas.gif",  "MEM-6Horas.gif",  "DSKC-6Horas.gif",
    "DSKD-6Horas.gif", "DSKE-6Horas.gif", "NET-6Horas.gif"};

// The default template: ten CR LF-ended lines, with the memory size (bytes, in
// its default text form) in the MEM create line and drive C's size (bytes,
// rounded ties to even) in the DSKC create line.
std::string DefaultTemplateText(double ram_total, double disk_total_c);

// The default graph script: seven CR LF-ended lines for /bin/sh, with the memory
// size and the sizes of drives C, D and E (rounded) as upper limits.
std::string DefaultGraphScriptText(double ram_total, double disk_total_c, double disk_total_d,
                                   double disk_total_e);

// Writes the default template when rrdtool.tpl is missing, then the default
// graph script when RrdMkGraph.sh is missing, with the sizes of the current
// MetricSnapshot. Existing files are never touched. The RRDTOOL folder must
// exist. A write failure is logged at level 1 and ends the routine.
void VerifyRRDToolTemplate();

// The text of the program folder's rrdtool.tpl (a regular file of at most
// 1 MiB); nothing when it cannot be read.
std::optional<std::string> ReadTemplateFile();

// The records of a template text, each split at "##". An empty record gives an
// empty list of pieces.
std::vector<std::vector<std::string>> TemplateRecords(std::string_view text);

// The command piece of the last template record whose kind and name equal the
// given ones, ignoring letter case; empty when there is none or the template is
// missing. An empty record, or a record of that kind lacking its name or command
// piece, ends the lookup with a level-1 log line and an empty result.
std::string GetTemplateCommand(std::string_view kind, std::string_view name);

// Hours west of UTC of the local standard time (UTC-3 gives 3); daylight saving
// is not applied.
double GetTimeZone();

// Seconds since 1970-01-01 00:00 UTC of a local date and time (fields as in
// std::tm; tm_isdst negative lets the zone rules decide whether daylight saving
// is in force). The bias of the moment is used, daylight saving included.
int64_t UnixTimeOfLocal(const std::tm& local);

// The current time as seconds since 1970-01-01 00:00 UTC.
int64_t GetUnixTime();

// A number as it is written into rrdtool commands: the default text form, with
// a point as decimal separator whatever the locale.
std::string RrdNumberText(double value);

}  // namespace agent
