#pragma once
// A program folder of the fuzz target's own: a temporary folder made the
// program folder (TARVO_HOME) and the service manager's root (TARVO_SCM_ROOT)
// on first use, and removed when the target exits.

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace fuzzsupport {

class FuzzFolder {
 public:
  FuzzFolder() {
    path_ = std::filesystem::temp_directory_path().string() + "/tarvo-fuzz-XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    setenv("TARVO_HOME", path_.c_str(), 1);
    setenv("TARVO_SCM_ROOT", (path_ + "/scm").c_str(), 1);
  }
  ~FuzzFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  FuzzFolder(const FuzzFolder&) = delete;
  FuzzFolder& operator=(const FuzzFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline const std::string& FuzzHome() {
  static const FuzzFolder folder;
  return folder.path();
}

}  // namespace fuzzsupport
