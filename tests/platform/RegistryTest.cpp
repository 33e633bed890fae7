#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/PerfData.h"

namespace platform {
namespace {

// A small tree: SOFTWARE\Vendor\Product with two subkeys, mounted beside a
// second source under SYSTEM.
std::shared_ptr<RegistryView> FixtureView() {
  auto software = std::make_shared<StaticRegistrySource>();
  software->SetValue("Product", "DisplayName", RegSzValue("Tarvo"));
  software->SetValue("Product", "Build", RegDwordValue(0x01020304));
  software->AddKey("Product\\alpha");
  software->AddKey("Product\\A-much-longer-subkey-name");
  auto system = std::make_shared<StaticRegistrySource>();
  system->AddKey("0000");
  auto view = std::make_shared<RegistryView>();
  view->Mount("SOFTWARE\\Vendor", software);
  view->Mount("SYSTEM\\CurrentControlSet\\Control\\Class", system);
  return view;
}

class FixtureRegistry : public ::testing::Test {
 protected:
  void SetUp() override { SetLocalMachineView(FixtureView()); }
  void TearDown() override { SetLocalMachineView(nullptr); }

  // All subkey names of an open key, by RegEnumKeyExA until it says 259.
  static std::vector<std::string> Enumerate(HKEY key) {
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
      char name[256];
      DWORD size = sizeof(name);
      const LSTATUS status =
          RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS) break;
      EXPECT_EQ(status, ERROR_SUCCESS);
      EXPECT_EQ(size, std::strlen(name));
      names.emplace_back(name);
      if (index > 100) break;
    }
    return names;
  }
};

TEST_F(FixtureRegistry, OpensKeysIgnoringCaseAndReportsMissingOnes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\VENDOR\\product", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  ASSERT_NE(key, nullptr);
  HKEY child = nullptr;
  EXPECT_EQ(RegOpenKeyExA(key, "ALPHA", 0, KEY_READ, &child), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(child), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(key, "beta", 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(key, "alpha", 0, KEY_WRITE, &child), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  // Keys above a mount point exist.
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(FixtureRegistry, EnumeratesSubkeysThenSaysNoMoreItems) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Product", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(Enumerate(key), (std::vector<std::string>{"alpha", "A-much-longer-subkey-name"}));
  RegCloseKey(key);
  EXPECT_EQ(Enumerate(HKEY_LOCAL_MACHINE), (std::vector<std::string>{"SOFTWARE", "SYSTEM"}));
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Class", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(Enumerate(key), (std::vector<std::string>{"0000"}));
  RegCloseKey(key);
}

TEST_F(FixtureRegistry, EnumerationIntoAShortBufferSaysMoreData) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Product", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  char name[8];
  DWORD size = sizeof(name);
  EXPECT_EQ(RegEnumKeyExA(key, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  size = 5;  // "alpha" needs 6 with its NUL
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  size = 6;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "alpha");
  EXPECT_EQ(size, 5u);
  RegCloseKey(key);
}

TEST_F(FixtureRegistry, QueriesValuesWithTheUsualSizeHandling) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Product", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "displayname", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 6u);
  char text[6];
  size = 3;
  EXPECT_EQ(
      RegQueryValueExA(key, "DisplayName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
      ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(
      RegQueryValueExA(key, "DisplayName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
      ERROR_SUCCESS);
  EXPECT_STREQ(text, "Tarvo");
  DWORD build = 0;
  size = sizeof(build);
  EXPECT_EQ(RegQueryValueExA(key, "Build", nullptr, &type, reinterpret_cast<BYTE*>(&build), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(build, 0x01020304u);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST(PredefinedKeys, CarryTheSignExtendedWindowsValues) {
  EXPECT_EQ(static_cast<int32_t>(reinterpret_cast<intptr_t>(HKEY_PERFORMANCE_DATA)),
            static_cast<int32_t>(0x80000004));
  EXPECT_EQ(reinterpret_cast<intptr_t>(HKEY_LOCAL_MACHINE),
            static_cast<intptr_t>(static_cast<int32_t>(0x80000002)));
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_PERFORMANCE_DATA, "", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_SUCCESS);
}

TEST(PerflibKey, HoldsTheEnglishCounterCatalogue) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Counter", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  std::string text(size, '\0');
  ASSERT_EQ(
      RegQueryValueExA(key, "Counter", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(text, PerfCounterCatalogue());
  RegCloseKey(key);
  // The same catalogue through the performance key.
  size = 0;
  EXPECT_EQ(RegQueryValueExA(HKEY_PERFORMANCE_DATA, "Counter", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, PerfCounterCatalogue().size());
}

TEST(PerformanceDataKey, AnswersMoreDataWithSizeZeroUntilTheBlockFits) {
  DWORD type = 0;
  DWORD size = 12345;
  EXPECT_EQ(RegQueryValueExA(HKEY_PERFORMANCE_DATA, "238", nullptr, &type, nullptr, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 0u);
  std::vector<BYTE> buffer(64);
  size = static_cast<DWORD>(buffer.size());
  EXPECT_EQ(RegQueryValueExA(HKEY_PERFORMANCE_DATA, "238", nullptr, &type, buffer.data(), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, REG_BINARY);
  buffer.resize(65536);
  size = static_cast<DWORD>(buffer.size());
  ASSERT_EQ(RegQueryValueExA(HKEY_PERFORMANCE_DATA, "238", nullptr, &type, buffer.data(), &size),
            ERROR_SUCCESS);
  PERF_DATA_BLOCK header;
  std::memcpy(&header, buffer.data(), sizeof(header));
  EXPECT_EQ(size, header.TotalByteLength);
  EXPECT_EQ(header.NumObjectTypes, 1u);
}

}  // namespace
}  // namespace platform
