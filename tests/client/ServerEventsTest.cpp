#include "client/ServerEvents.h"

#include <gtest/gtest.h>

namespace client {
namespace {

constexpr const char* kHeader = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";

TEST(EventFileBytesTest, WritesEveryLineEndedByALineFeedWithCrLf) {
  EXPECT_EQ(EventFileBytes(std::string(kHeader) + "1|MONITOR|a\n2|LOGIN|b\n"),
            "1|MONITOR|a\r\n2|LOGIN|b\r\n");
  // A server line ended by CR LF keeps its CR, so an empty line follows it.
  EXPECT_EQ(EventFileBytes(std::string(kHeader) + "1|X|a\r\n"), "1|X|a\r\r\n");
  // The text after the last line feed is not written.
  EXPECT_EQ(EventFileBytes(std::string(kHeader) + "1|X|a"), "");
  // The body ends where a second header ending starts.
  EXPECT_EQ(EventFileBytes(std::string(kHeader) + "1|X|a\ntext/html\r\n\r\n2|Y|b\n"),
            "1|X|a\r\n");
}

TEST(EventFileBytesTest, LeavesTheFileAloneWithoutABodyToTake) {
  EXPECT_EQ(EventFileBytes("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n"), std::nullopt);
  EXPECT_EQ(EventFileBytes("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n1|X|a\n"),
            std::nullopt);
}

TEST(ReadEventLinesTest, SkipsShortLinesAndCarriesMissingFieldsOver) {
  const std::vector<EventLine> events = ReadEventLines(
      "   1234567890   \r\n"                          // 10 characters: no event
      "7|MONITOR|12/07/2026|srv1|ACME|disk full\r\n"
      "\r\n"
      "8|LOGIN|12/08/2026\r"                          // a lone CR ends a line too
      "12345678901");                                 // 11 characters: an event
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].Fields,
            (std::array<std::string, 6>{"7", "MONITOR", "12/07/2026", "srv1", "ACME", "disk full"}));
  EXPECT_EQ(events[1].Fields,
            (std::array<std::string, 6>{"8", "LOGIN", "12/08/2026", "srv1", "ACME", "disk full"}));
  EXPECT_EQ(events[2].Id(), "12345678901");
  EXPECT_TRUE(IsMonitorEvent(events[0]));
  EXPECT_FALSE(IsMonitorEvent(ReadEventLines("7|monitor|12/07/2026|s|c|d")[0]));
}

TEST(CountNewEventsTest, CountsMissingRowsAndChangedShownFields) {
  const std::vector<EventLine> events = ReadEventLines(
      "1|MONITOR|d1|m1|c1|first\r\n2|LOGIN|d2|m2|c2|second\r\n3|LOGIN|d3|m3|c3|third\r\n");
  std::vector<ShownRow> rows;
  for (const EventLine& event : events) {
    rows.push_back({event.Type(), event.Date(), event.Client(), event.Machine(),
                    EventLink("central:8080", event)});
  }
  EXPECT_EQ(EventLink("central:8080", events[0]),
            "http://central:8080/console/redir-ev.php?id=1&tipo=MONITOR");
  EXPECT_EQ(CountNewEvents(events, rows, "central:8080"), 0);
  // The description is not compared.
  EXPECT_EQ(CountNewEvents(ReadEventLines("1|MONITOR|d1|m1|c1|changed text"), rows, "central:8080"),
            0);
  rows[1].Machine = "other";
  EXPECT_EQ(CountNewEvents(events, rows, "central:8080"), 1);
  rows.pop_back();
  EXPECT_EQ(CountNewEvents(events, rows, "central:8080"), 2);
  // Another server changes every link.
  EXPECT_EQ(CountNewEvents(events, rows, "elsewhere"), 3);
}

TEST(CountNewEventsTest, ComparesOnlyTheFirstTenRowsFieldByField) {
  std::string text;
  for (int k = 0; k < 12; ++k) text += std::to_string(k) + "|LOGIN|date|machine|client|d\r\n";
  const std::vector<EventLine> events = ReadEventLines(text);
  std::vector<ShownRow> rows(12, ShownRow{"other", "", "", "", ""});
  EXPECT_EQ(CountNewEvents(events, rows, "s"), 10);
}

TEST(EventDetailTextTest, LinesUpTheLabels) {
  EXPECT_EQ(EventDetailText("disk full", "ACME", "srv1", "MONITOR"),
            "Descri\xE7\xE3o:disk full\nCliente  :ACME\nMaquina  :srv1\nTipo     :MONITOR");
}

}  // namespace
}  // namespace client
