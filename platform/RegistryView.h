#pragma once
// A read-only registry tree. Each part of the tree comes from a source
// mounted at a key path (the Perflib catalogue now; installed packages and
// device classes later), and the keys above the mount points exist so that
// the tree can be walked from its root as on Windows.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"

namespace platform {

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

// A value as the registry stores it: its type and its bytes (ANSI strings with
// their terminating NULs, DWORDs little endian).
struct RegistryValue {
  DWORD Type = REG_NONE;
  std::string Data;
};

RegistryValue RegSzValue(std::string_view text);
// bytes: the strings, each with its NUL, and the final NUL.
RegistryValue RegMultiSzValue(std::string_view bytes);
RegistryValue RegDwordValue(DWORD value);

// One subtree. Paths are relative to the mount point, components separated by
// backslashes, "" for the mount point itself; names match ignoring letter case.
class RegistrySource {
 public:
  virtual ~RegistrySource() = default;
  // Names of the subkeys of the key at path, in enumeration order; nothing
  // when that key does not exist.
  virtual std::optional<std::vector<std::string>> SubKeys(std::string_view path) const = 0;
  // A value of the key at path ("" names the default value); nothing when the
  // key or the value does not exist.
  virtual std::optional<RegistryValue> Value(std::string_view path,
                                             std::string_view name) const = 0;
};

// A small tree held in memory: fixed keys and test fixtures.
class StaticRegistrySource : public RegistrySource {
 public:
  StaticRegistrySource();
  ~StaticRegistrySource() override;

  // Creates the key and the keys above it; subkeys enumerate in creation order.
  void AddKey(std::string_view path);
  // Creates the key when missing and sets (or replaces) the value.
  void SetValue(std::string_view path, std::string_view name, RegistryValue value);

  std::optional<std::vector<std::string>> SubKeys(std::string_view path) const override;
  std::optional<RegistryValue> Value(std::string_view path, std::string_view name) const override;

 private:
  struct Node;
  Node* Find(std::string_view path) const;
  Node* FindOrAdd(std::string_view path);
  std::unique_ptr<Node> root_;
};

// The tree of one hive: sources mounted at key paths.
class RegistryView {
 public:
  // Mounts a source at a key path; the keys above it come into being. A later
  // mount at the same path replaces the earlier one.
  void Mount(std::string_view path, std::shared_ptr<const RegistrySource> source);

  bool KeyExists(std::string_view path) const;
  // Subkeys of a key: the source's own, and the next components of the mount
  // points below it (sorted ignoring case). Nothing when the key does not exist.
  std::optional<std::vector<std::string>> SubKeys(std::string_view path) const;
  std::optional<RegistryValue> Value(std::string_view path, std::string_view name) const;

 private:
  struct Mounted {
    std::vector<std::string> Components;
    std::shared_ptr<const RegistrySource> Source;
  };
  // The mount that holds the path (the deepest mount point at or above it) and
  // the rest of the path below that point.
  const Mounted* Owner(const std::vector<std::string>& components, std::string* rest) const;
  std::vector<Mounted> mounts_;
};

// The components of a key path; empty components (doubled or outer
// backslashes) are dropped.
std::vector<std::string> SplitKeyPath(std::string_view path);

// Whether two key names are equal ignoring ASCII letter case.
bool KeyNamesEqual(std::string_view a, std::string_view b);

// The view behind HKEY_LOCAL_MACHINE. This machine's holds the key
// SOFTWARE\Microsoft\Windows NT\CurrentVersion\Perflib with its "009" key
// and the English "Counter" catalogue.
std::shared_ptr<const RegistryView> LocalMachineView();

// Puts another view behind HKEY_LOCAL_MACHINE (a fixture); nullptr restores
// this machine's.
void SetLocalMachineView(std::shared_ptr<const RegistryView> view);

}  // namespace platform
