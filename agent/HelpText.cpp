#include "agent/HelpText.h"

#include <array>
#include <cmath>
#include <cstdint>

#include "agent/PipedShell.h"
#include "common/TarvoVersion.h"

namespace agent {
namespace {

constexpr std::string_view kRuleLine = "--------------------------------------------------";
constexpr std::string_view kBannerName = "Tarvo Agent Service";
constexpr size_t kBannerInnerWidth = 48;

// Each entry ends in one blank except the QUERYTASK and SWINV lines.
constexpr std::array<std::string_view, 31> kCommandList = {
    "  CPU 0          - First Processor ",
    "  CPU 1          - Second Processor ",
    "  Memory RAM     - RAM Memory ",
    "  Memory SWAP    - Swap Memory ",
    "  Memory Virtual - Virtual Memory ",
    "  DISK 1         - Drive C: ",
    "  DISK 2         - Drive D: ",
    "  DISK 3         - Drive E: ",
    "  NETIN 1        - Bytes in ethernet ",
    "  NETOUT 1       - Bytes out ethernet ",
    "  NETIN 2        - Bytes in ethernet  (adapter 2) ",
    "  NETOUT 2       - Bytes out ethernet (adapter 2) ",
    "  CMD 1          - First prompt command: ",
    "  CMD 2          - Second prompt command: ",
    "  CMD 3          - Third prompt command: ",
    "  PROCS          - Number of processes: ",
    "  THREADS        - Number of threads: ",
    "  PERFMON1       - Coleta dados do performance monitor: ",
    "  PERFMON2       - Coleta dados do performance monitor: ",
    "  PERFMON3       - Coleta dados do performance monitor: ",
    "  QUIT           - Exit: ",
    "  EXEC           - Executa um programa localizado no diretorio \\Tasks ",
    "  EXETASK        - Executa um script do diretorio  \\Tasks ",
    "  QUERYTASK      - Consulta o status ou lista dados de uma task",
    "  SERVICE_LIST   - Lista o status de todos os serviços ",
    "  SERVICE_START  - Inicia um serviço ",
    "  SERVICE_STOP   - Para um serviço ",
    "  SERVICE_STATUS - Exibe o status de um serviço ",
    "  SWINV          - Retorna o inventario de software da maquina",
    "  TASKS          - Listas os comandos disponiveis no diretorio \\Tasks ",
    "  INFO           - This Help :-)z ",
};

void AddLine(std::string& text, std::string_view line) {
  text.append(line);
  text += "\r\n";
}

std::string BannerLine() {
  const size_t left = (kBannerInnerWidth - kBannerName.size()) / 2;
  const size_t right = kBannerInnerWidth - kBannerName.size() - left;
  std::string line = "|";
  line.append(left, ' ');
  line.append(kBannerName);
  line.append(right, ' ');
  line += "|";
  return line;
}

// Memory amounts as 64-bit whole numbers; a reading below zero shows as 0.
std::string MemoryText(double bytes) {
  if (!(bytes > 0)) return "0";
  if (bytes >= 9.2e18) return std::to_string(INT64_MAX);
  return std::to_string(static_cast<int64_t>(std::llround(bytes)));
}

void AddDrive(std::string& text, const platform::DriveInfo& drive) {
  AddLine(text, kRuleLine);
  AddLine(text, "Drive: " + drive.Path);
  // Sizes cannot be read from a drive that is not ready; those lines are left out.
  if (drive.IsReady) {
    AddLine(text, "   Size: " + std::to_string(drive.TotalSize));
    AddLine(text, "   Free: " + std::to_string(drive.FreeSpace));
  }
  AddLine(text, "   FileSystem: " + drive.FileSystem);
  AddLine(text, "   VolumeName: " + drive.VolumeName);
}

std::string CommandFields(const common::CommandEntry& command) {
  return command.Program + " " + command.Arguments + " " + command.MatchText1 + " " +
         command.MatchText2;
}

}  // namespace

std::string FormatHelpText(const std::vector<platform::DriveInfo>& drives,
                           const MetricSnapshot& snapshot, const common::AgentConfig& config,
                           std::string_view network_text) {
  std::string text;
  AddLine(text, kRuleLine);
  AddLine(text, BannerLine());
  AddLine(text, std::string("|    Version ") + common::kVersionText + "|");
  AddLine(text, kRuleLine);
  AddLine(text, "  Command Interfaces");
  for (std::string_view line : kCommandList) AddLine(text, line);

  for (const platform::DriveInfo& drive : drives) AddDrive(text, drive);

  AddLine(text, kRuleLine);
  AddLine(text, "Page File Free:" + MemoryText(snapshot.SwapFree));
  AddLine(text, "Page File Size:" + MemoryText(snapshot.SwapTotal));
  AddLine(text, "Physical Mem Free:" + MemoryText(snapshot.RamAvailable));
  AddLine(text, "Physical Mem Size:" + MemoryText(snapshot.RamTotal));
  AddLine(text, "Virtual Mem Free:" + MemoryText(snapshot.VirtualFree));
  AddLine(text, "Virtual Mem Size:" + MemoryText(snapshot.VirtualTotal));

  AddLine(text, kRuleLine);
  AddLine(text, "Comandos:");
  AddLine(text, "     CMD1:" + CommandFields(config.Command[0]));
  AddLine(text, "     CMD2:" + CommandFields(config.Command[1]));
  AddLine(text, "     CMD3:" + CommandFields(config.Command[2]));

  AddLine(text, kRuleLine);
  AddLine(text, "Configuracao de Rede");
  text.append(network_text);
  return text;
}

std::string HelpText() {
  return FormatHelpText(platform::ListDrives(), TheMetricSnapshot(), common::TheAgentConfig(),
                        RunPiped(kNetworkCommand));
}

HandlerResult InfoReply() {
  return HandlerResult::Reply(HelpText());
}

}  // namespace agent
