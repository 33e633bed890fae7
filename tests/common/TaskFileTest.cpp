#include "common/TaskFile.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(ReadTaskFileText, SplitsCommasAndDropsQuotesAsTheDelimitedReaderDoes) {
  const std::string record =
      "#FUNCTAG:TASK_NAME:A, B\r\n"
      "#FUNCTAG:STATUS:OK\r\n"
      "#FUNCTAG:OUTPUT\r\n"
      "\"quoted, with comma\" tail\nplain\n\r\n";
  EXPECT_EQ(ReadTaskFileText(record),
            "#FUNCTAG:TASK_NAME:A\r\n"
            "B\r\n"
            "#FUNCTAG:STATUS:OK\r\n"
            "#FUNCTAG:OUTPUT\r\n"
            "quoted, with comma\r\n"
            "plain\r\n"
            "\r\n");
  const std::vector<std::string> fields = ReadTaskFileFields(record);
  EXPECT_EQ(TaskFileValue(fields, kTagStatus), "OK");
  EXPECT_EQ(TaskFileValue(fields, kTagTaskName), "A");
  EXPECT_EQ(TaskFileValue(fields, kTagEndAt), std::nullopt);
}

TEST(ReadTaskFileFields, StopsAtTheLimitWithoutReadingTheRest) {
  const std::string record = "a,b\r\nc,\"never closed";
  EXPECT_EQ(ReadTaskFileFields(record, 3), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(ReadTaskFileFields(record).size(), 3u);
}

}  // namespace
}  // namespace common
