#pragma once
// Splitting of command lines by the Windows rules, so that command lines written
// for the Windows programs (service binary paths, probe commands, task commands)
// start the same program with the same arguments here, without a shell.

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Splits a command line into arguments as CommandLineToArgvW does: blanks and
// tabs separate arguments, double quotes group (a quote inside a quoted run
// written twice gives one quote), 2n backslashes before a quote give n
// backslashes and a grouping quote, 2n+1 give n backslashes and a literal quote;
// other backslashes are literal. The program name (first argument) is taken up
// to the next blank, or between quotes, with no backslash processing.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

// Joins arguments into a command line that SplitCommandLine splits back into the
// same arguments.
std::string JoinCommandLine(const std::vector<std::string>& args);

}  // namespace platform
