#include "agent/HelpText.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/TarvoVersion.h"
#include "common/TextUtil.h"
#include "tests/agent/AgentTestSupport.h"

namespace agent {
namespace {

const std::string kRule(50, '-');

std::vector<std::string> Lines(const std::string& text) {
  return common::SplitText(text, "\r\n");
}

platform::DriveInfo Drive(std::string letter, bool ready, uint64_t total, uint64_t free,
                          std::string fs, std::string volume) {
  platform::DriveInfo drive;
  drive.Path = letter + ":";
  drive.DriveLetter = letter;
  drive.IsReady = ready;
  drive.TotalSize = total;
  drive.FreeSpace = free;
  drive.FileSystem = std::move(fs);
  drive.VolumeName = std::move(volume);
  return drive;
}

TEST(FormatHelpText, BuildsEverySectionInOrder) {
  MetricSnapshot snapshot;
  snapshot.SwapFree = 5'000'000'000.0;  // above 32 bits: shown whole
  snapshot.SwapTotal = 8'589'934'592.0;
  snapshot.RamAvailable = 1024;
  snapshot.RamTotal = 68'719'476'736.0;
  snapshot.VirtualFree = -5;  // never shown negative
  snapshot.VirtualTotal = 0;
  common::AgentConfig config;
  config.Command[0] = {"ss ", " -t -n ", ":80", "ESTAB"};
  config.Command[1] = {"ss", "-t", "x", "y"};
  const std::vector<platform::DriveInfo> drives = {Drive("C", true, 1000, 250, "ext4", "/"),
                                                   Drive("D", false, 0, 0, "vfat", "/media/usb")};

  const std::string text = FormatHelpText(drives, snapshot, config, "1: lo: <LOOPBACK>\n");
  const std::vector<std::string> lines = Lines(text);
  ASSERT_GE(lines.size(), 60u);
  EXPECT_EQ(lines[0], kRule);
  EXPECT_EQ(lines[1].size(), 50u);
  EXPECT_EQ(lines[1].front(), '|');
  EXPECT_EQ(lines[1].back(), '|');
  EXPECT_NE(lines[1].find("Tarvo Agent Service"), std::string::npos);
  EXPECT_EQ(lines[2], std::string("|    Version ") + common::kVersionText + "|");
  EXPECT_EQ(lines[3], kRule);
  EXPECT_EQ(lines[4], "  Command Interfaces");
  EXPECT_EQ(lines[5], "  CPU 0          - First Processor ");
  EXPECT_EQ(lines[28], "  QUERYTASK      - Consulta o status ou lista dados de uma task");
  EXPECT_EQ(lines[35], "  INFO           - This Help :-)z ");

  const std::vector<std::string> rest(lines.begin() + 36, lines.end());
  EXPECT_EQ(rest, (std::vector<std::string>{kRule,
                                            "Drive: C:",
                                            "   Size: 1000",
                                            "   Free: 250",
                                            "   FileSystem: ext4",
                                            "   VolumeName: /",
                                            kRule,
                                            "Drive: D:",
                                            "   FileSystem: vfat",
                                            "   VolumeName: /media/usb",
                                            kRule,
                                            "Page File Free:5000000000",
                                            "Page File Size:8589934592",
                                            "Physical Mem Free:1024",
                                            "Physical Mem Size:68719476736",
                                            "Virtual Mem Free:0",
                                            "Virtual Mem Size:0",
                                            kRule,
                                            "Comandos:",
                                            "     CMD1:ss   -t -n  :80 ESTAB",
                                            "     CMD2:ss -t x y",
                                            "     CMD3:   ",
                                            kRule,
                                            "Configuracao de Rede",
                                            "1: lo: <LOOPBACK>\n"}));
}

class InfoReplyTest : public AgentHomeTest {};

TEST_F(InfoReplyTest, EndsWithTheNetworkCommandsOutput) {
  // A stand-in for `ip` that shows how it was called.
  const std::string ip = home_.Path("ip");
  testsupport::WriteAll(ip, "#!/bin/sh\necho \"ip $*\"\n");
  chmod(ip.c_str(), 0755);
  testsupport::ScopedEnv path("PATH", home_.path() + ":/usr/bin:/bin");

  const HandlerResult reply = InfoReply();
  ASSERT_EQ(reply.kind(), HandlerResult::Kind::kReply);
  EXPECT_TRUE(reply.text().starts_with(kRule + "\r\n"));
  EXPECT_TRUE(reply.text().ends_with("\r\nConfiguracao de Rede\r\nip address show\n"));
  EXPECT_NE(reply.text().find("\r\nDrive: C:\r\n"), std::string::npos);
}

}  // namespace
}  // namespace agent
