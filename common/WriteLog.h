#pragma once
// The one log routine of every program: appends the caller's text and CR LF to
// TarvoAgent.log in the program folder when the level passes the threshold.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// Appends text + CR LF when level <= the threshold (LogLevel of the loaded
// configuration; 0 when none was loaded). Adds nothing else; the file is opened
// and closed for every entry. Failures are ignored.
void WriteLog(std::string_view text, int16_t level);

// While an object lives, every entry written has the given secrets replaced by
// "***" (see HideSecrets): a request's passwords never reach the log, whatever
// text a handler derives from the request.
class ScopedLogSecrets {
 public:
  explicit ScopedLogSecrets(std::vector<std::string> secrets);
  ~ScopedLogSecrets();
  ScopedLogSecrets(const ScopedLogSecrets&) = delete;
  ScopedLogSecrets& operator=(const ScopedLogSecrets&) = delete;

 private:
  std::vector<std::string> previous_;
};

// Writes the usual failure line of a routine that traps its own errors: the
// error's description, the routine label and the current date and time, joined
// with nothing between them, at level 1.
void LogFailure(std::string_view description, std::string_view label);

}  // namespace common
