#include "platform/linux/SystemdUnitFile.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

namespace platform::systemd {
namespace {

TEST(UnitNameFor, GivesLowerCaseIdsWithDashesAndOneSuffix) {
  EXPECT_EQ(UnitNameFor("Tarvo Agent Service"), "tarvo-agent-service.service");
  EXPECT_EQ(UnitNameFor("cron.SERVICE"), "cron.service");
  EXPECT_EQ(UnitNameFor("Odd/Name$ (x)"), "oddname-x.service");
  EXPECT_EQ(UnitNameFor("$$$"), "service.service");
}

TEST(UnitFileText, QuotesTheCommandAndEscapesSpecifiers) {
  UnitDefinition unit;
  unit.description = "Tarvo 100% Agent\nsecond line";
  unit.command = {"/opt/My Programs/agent", "a\"b", "$HOME", ""};
  unit.user = "svcuser";
  unit.home = "/var/lib/tarvo";
  const std::string text = UnitFileText(unit);
  EXPECT_NE(text.find("Description=Tarvo 100%% Agent second line\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(text.find("ExecStart=\"/opt/My Programs/agent\" \"a\\\"b\" $$HOME \"\"\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("User=svcuser\n"), std::string::npos);
  EXPECT_NE(text.find("Environment=TARVO_HOME=/var/lib/tarvo\n"), std::string::npos);
  EXPECT_NE(text.find("[Install]\nWantedBy=multi-user.target\n"), std::string::npos);
}

// systemd itself reads the unit: the program it would run must be the one
// named, whatever blanks, "$" and "%" its path holds.
TEST(UnitFileText, NamesAProgramSystemdFindsWhateverItsPathHolds) {
  testsupport::TempFolder folder;
  const std::string program = folder.Path("run $HOME at 100%");
  testsupport::WriteAll(program, "#!/bin/sh\n");
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  UnitDefinition unit;
  unit.description = "Probe";
  unit.command = {program, "$1", "50%"};
  unit.home = folder.Path("home $x");
  const std::string file = folder.Path("probe.service");
  testsupport::WriteAll(file, UnitFileText(unit));
  const auto verify = testsupport::RunProgram({"/usr/bin/systemd-analyze", "verify", file});
  EXPECT_EQ(verify.exit_code, 0) << verify.output;
  EXPECT_EQ(verify.output.find("probe.service"), std::string::npos) << verify.output;
  EXPECT_NE(testsupport::ReadAll(file).find(" $$1 50%%\n"), std::string::npos);

  EXPECT_FALSE(ValidProgramPath("/opt/it's"));
  EXPECT_FALSE(ValidProgramPath("/opt/a\\b"));
  EXPECT_TRUE(ValidProgramPath(program));
}

TEST(UnitFileDescription, TakesTheLastDescriptionOfTheUnitSection) {
  EXPECT_EQ(UnitFileDescription("# Description=no\n[Unit]\nDescription = First\r\n"
                                "After=x\nDescription=OpenBSD Secure Shell server \n"
                                "[Service]\nDescription=not this one\n"),
            "OpenBSD Secure Shell server");
  EXPECT_EQ(UnitFileDescription("[Unit]\nDescription=x\nDescription=\n"), std::nullopt);
  EXPECT_EQ(UnitFileDescription("[Service]\nExecStart=/bin/true\n"), std::nullopt);
}

TEST(DescriptionLine, IsSetOnceInTheUnitSectionAndReadBack) {
  const std::string original = "[Unit]\nDescription=Tarvo Agent Service\n\n[Service]\n";
  const std::string once = WithDescriptionLine(original, "Tarvo... 50%");
  const std::string twice = WithDescriptionLine(once, "Tarvo...");
  EXPECT_EQ(twice, "[Unit]\nX-Tarvo-Description=Tarvo...\nDescription=Tarvo Agent Service\n\n"
                   "[Service]\n");
  EXPECT_EQ(DescriptionLine(once), "Tarvo... 50%");
  EXPECT_EQ(DescriptionLine(original), std::nullopt);
}

}  // namespace
}  // namespace platform::systemd
