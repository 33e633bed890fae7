#pragma once
// A private D-Bus system bus with a mock of systemd's manager on it
// (support/systemd_mock.py over python-dbusmock), for tests of the
// service-manager calls on systemd. While the object lives, this process's
// service-manager calls go to the mock (DBUS_SYSTEM_BUS_ADDRESS,
// TARVO_SCM_BACKEND=systemd, TARVO_SYSTEMD_UNIT_DIR); the bus daemon and the
// mock are stopped by their process ids when it goes.

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TempFolder.h"

namespace testsupport {

struct MockUnit {
  MockUnit(std::string id, std::string description, std::string active, std::string file_state,
           bool loaded = true, std::vector<std::string> aliases = {})
      : id(std::move(id)),
        description(std::move(description)),
        active(std::move(active)),
        file_state(std::move(file_state)),
        loaded(loaded),
        aliases(std::move(aliases)) {}

  std::string id;           // "tarvo-agent.service"
  std::string description;  // "Tarvo Agent Service"
  std::string active;       // "active", "inactive", ...
  std::string file_state;   // "enabled", "disabled", ...
  bool loaded;              // false: only its unit file exists until it is loaded
  std::vector<std::string> aliases;  // other names of the unit ("sshd.service")
};

class SystemdMock {
 public:
  explicit SystemdMock(const std::vector<MockUnit>& units);
  ~SystemdMock();
  SystemdMock(const SystemdMock&) = delete;
  SystemdMock& operator=(const SystemdMock&) = delete;

  // Whether the bus and the mock came up and answer.
  bool ready() const { return ready_; }
  // The folder created units are written to.
  std::string unit_dir() const { return folder_.Path("units"); }
  // The variables that point a child process at the mock.
  std::map<std::string, std::string> Environment() const;

 private:
  TempFolder folder_;
  pid_t bus_pid_ = 0;
  pid_t mock_pid_ = 0;
  bool ready_ = false;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

}  // namespace testsupport
