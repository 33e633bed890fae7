#pragma once
// The record that the example task request
// "EXETASK #123_T1.BUF#MY TASK#HELLO.SH RUN#O#USER#SECRET#1#FUNCIONANDO" leaves,
// shared by the unit and the end-to-end task tests.

#include <optional>
#include <regex>
#include <string>

namespace testsupport {

// The program output part of the record (what follows "#FUNCTAG:OUTPUT" CR LF),
// or nothing when the twelve lines before it are not those of the example request
// (time stamps of 14 digits, empty password, STATUS OK).
inline std::optional<std::string> ExampleTaskRecordOutput(const std::string& record) {
  static const std::regex layout(
      "#FUNCTAG:OBJ:SCRIPTTASK\r\n"
      "#FUNCTAG:TASK_NAME:MY TASK\r\n"
      "#FUNCTAG:TASK_CMD:HELLO.SH RUN\r\n"
      "#FUNCTAG:EXEC_MODE:O\r\n"
      "#FUNCTAG:QUEUE_AT:\\d{14}\r\n"
      "#FUNCTAG:END_AT:\\d{14}\r\n"
      "#FUNCTAG:RUN_AS_USER:USER\r\n"
      "#FUNCTAG:RUN_AS_PASS:\r\n"
      "#FUNCTAG:RESPONSE_CONTENT:1\r\n"
      "#FUNCTAG:RESPONSE_STRING:FUNCIONANDO\r\n"
      "#FUNCTAG:STATUS:OK\r\n"
      "#FUNCTAG:OUTPUT\r\n");
  std::smatch match;
  if (!std::regex_search(record, match, layout, std::regex_constants::match_continuous)) {
    return std::nullopt;
  }
  return record.substr(static_cast<size_t>(match.length(0)));
}

}  // namespace testsupport
