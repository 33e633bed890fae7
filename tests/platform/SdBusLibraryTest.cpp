#include "platform/linux/SdBusLibrary.h"

#include <gtest/gtest.h>

namespace platform::systemd {
namespace {

TEST(SdBusLibrary, LoadsEveryFunctionOrNothing) {
  const SdBusLibrary* lib = SdBus();
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(lib->open_system, nullptr);
  EXPECT_NE(lib->error_has_name, nullptr);
  EXPECT_EQ(LoadSdBusLibrary("libtarvo-no-such-library.so.0"), std::nullopt);
  // A library that loads but is not libsystemd.
  EXPECT_EQ(LoadSdBusLibrary("libm.so.6"), std::nullopt);
}

}  // namespace
}  // namespace platform::systemd
