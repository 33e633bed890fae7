#pragma once
// The task commands: TASKS lists the Tasks folder, EXEC runs one of its programs,
// EXETASK runs one and leaves a task record, TASKQUERY reads a record back.

#include <array>
#include <string>

#include "agent/CommandTypes.h"

namespace agent {

// Words 1 to 5 of the EXEC lines of one request, upper case, cut at single
// blanks. Word 1 comes from the current line; words 2 to 5 that a line does not
// hold keep the value of an earlier EXEC line of the same request (empty
// otherwise).
struct ExecArguments {
  std::array<std::string, 5> Words;  // Words[0] is word 1, the program
};

// TASKS: the names in the Tasks folder.
HandlerResult TasksReply();

// EXEC (only called when remote execution is allowed): runs the program of the
// Tasks folder and replies with its output.
HandlerResult ExecReply(const RequestLine& line, const ExecArguments& arguments);

// EXETASK (only called when remote execution is allowed): the "#"-separated
// fields after the word in line.Upper.
HandlerResult ExeTaskReply(const RequestLine& line);

// TASKQUERY: the query text comes from line.Received (not upper-cased).
HandlerResult TaskQueryReply(const RequestLine& line);

}  // namespace agent
