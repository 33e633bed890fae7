#include "platform/linux/SystemdUnitFile.h"

#include <gtest/gtest.h>

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
