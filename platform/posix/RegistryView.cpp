#include "platform/RegistryView.h"

#include <algorithm>
#include <cstring>

namespace platform {
namespace {

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return LowerAscii(x) < LowerAscii(y); });
}

std::string JoinKeyPath(const std::vector<std::string>& components, size_t from) {
  std::string path;
  for (size_t i = from; i < components.size(); ++i) {
    if (!path.empty()) path.push_back('\\');
    path.append(components[i]);
  }
  return path;
}

// Whether prefix is a leading part of components (ignoring case).
bool StartsWith(const std::vector<std::string>& components,
                const std::vector<std::string>& prefix) {
  if (prefix.size() > components.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (!KeyNamesEqual(components[i], prefix[i])) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> SplitKeyPath(std::string_view path) {
  std::vector<std::string> components;
  size_t at = 0;
  while (at <= path.size()) {
    const size_t end = std::min(path.find('\\', at), path.size());
    if (end > at) components.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  return components;
}

bool KeyNamesEqual(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

RegistryValue RegSzValue(std::string_view text) {
  RegistryValue value{REG_SZ, std::string(text)};
  value.Data.push_back('\0');
  return value;
}

RegistryValue RegMultiSzValue(std::string_view bytes) {
  return {REG_MULTI_SZ, std::string(bytes)};
}

RegistryValue RegDwordValue(DWORD number) {
  RegistryValue value{REG_DWORD, std::string(sizeof(DWORD), '\0')};
  for (size_t i = 0; i < sizeof(DWORD); ++i) {
    value.Data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
  }
  return value;
}

// ---------------------------------------------------------------------------

struct StaticRegistrySource::Node {
  std::string Name;
  std::vector<std::unique_ptr<Node>> Children;
  std::vector<std::pair<std::string, RegistryValue>> Values;

  Node* Child(std::string_view name) const {
    for (const auto& child : Children) {
      if (KeyNamesEqual(child->Name, name)) return child.get();
    }
    return nullptr;
  }
};

StaticRegistrySource::StaticRegistrySource() : root_(std::make_unique<Node>()) {}
StaticRegistrySource::~StaticRegistrySource() = default;

StaticRegistrySource::Node* StaticRegistrySource::Find(std::string_view path) const {
  Node* node = root_.get();
  for (const std::string& component : SplitKeyPath(path)) {
    node = node->Child(component);
    if (node == nullptr) return nullptr;
  }
  return node;
}

StaticRegistrySource::Node* StaticRegistrySource::FindOrAdd(std::string_view path) {
  Node* node = root_.get();
  for (const std::string& component : SplitKeyPath(path)) {
    Node* child = node->Child(component);
    if (child == nullptr) {
      node->Children.push_back(std::make_unique<Node>());
      child = node->Children.back().get();
      child->Name = component;
    }
    node = child;
  }
  return node;
}

void StaticRegistrySource::AddKey(std::string_view path) {
  FindOrAdd(path);
}

void StaticRegistrySource::SetValue(std::string_view path, std::string_view name,
                                    RegistryValue value) {
  Node* node = FindOrAdd(path);
  for (auto& [existing, stored] : node->Values) {
    if (KeyNamesEqual(existing, name)) {
      stored = std::move(value);
      return;
    }
  }
  node->Values.emplace_back(std::string(name), std::move(value));
}

std::optional<std::vector<std::string>> StaticRegistrySource::SubKeys(std::string_view path) const {
  const Node* node = Find(path);
  if (node == nullptr) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& child : node->Children) names.push_back(child->Name);
  return names;
}

std::optional<RegistryValue> StaticRegistrySource::Value(std::string_view path,
                                                         std::string_view name) const {
  const Node* node = Find(path);
  if (node == nullptr) return std::nullopt;
  for (const auto& [existing, stored] : node->Values) {
    if (KeyNamesEqual(existing, name)) return stored;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------

void RegistryView::Mount(std::string_view path, std::shared_ptr<const RegistrySource> source) {
  std::vector<std::string> components = SplitKeyPath(path);
  for (Mounted& mounted : mounts_) {
    if (mounted.Components.size() == components.size() &&
        StartsWith(components, mounted.Components)) {
      mounted.Source = std::move(source);
      return;
    }
  }
  mounts_.push_back({std::move(components), std::move(source)});
}

const RegistryView::Mounted* RegistryView::Owner(const std::vector<std::string>& components,
                                                 std::string* rest) const {
  const Mounted* owner = nullptr;
  for (const Mounted& mounted : mounts_) {
    if (!StartsWith(components, mounted.Components)) continue;
    if (owner == nullptr || mounted.Components.size() > owner->Components.size()) owner = &mounted;
  }
  if (owner != nullptr) *rest = JoinKeyPath(components, owner->Components.size());
  return owner;
}

bool RegistryView::KeyExists(std::string_view path) const {
  return SubKeys(path).has_value();
}

std::optional<std::vector<std::string>> RegistryView::SubKeys(std::string_view path) const {
  const std::vector<std::string> components = SplitKeyPath(path);
  std::vector<std::string> names;
  bool exists = components.empty();  // the hive's root always exists
  std::string rest;
  if (const Mounted* owner = Owner(components, &rest)) {
    if (auto own = owner->Source->SubKeys(rest)) {
      names = std::move(*own);
      exists = true;
    }
  }
  // Keys above and between mount points.
  std::vector<std::string> passages;
  for (const Mounted& mounted : mounts_) {
    if (mounted.Components.size() <= components.size() ||
        !StartsWith(mounted.Components, components)) {
      continue;
    }
    exists = true;
    const std::string& next = mounted.Components[components.size()];
    const auto same = [&](const std::string& name) { return KeyNamesEqual(name, next); };
    if (std::none_of(names.begin(), names.end(), same) &&
        std::none_of(passages.begin(), passages.end(), same)) {
      passages.push_back(next);
    }
  }
  if (!exists) return std::nullopt;
  std::sort(passages.begin(), passages.end(), LessIgnoringCase);
  names.insert(names.end(), passages.begin(), passages.end());
  return names;
}

std::optional<RegistryValue> RegistryView::Value(std::string_view path,
                                                 std::string_view name) const {
  std::string rest;
  const Mounted* owner = Owner(SplitKeyPath(path), &rest);
  if (owner == nullptr) return std::nullopt;
  return owner->Source->Value(rest, name);
}

}  // namespace platform
