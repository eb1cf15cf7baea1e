#include "core/file/unix/safe_close.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace {

// A descriptor number that is certainly not open.
int ClosedDescriptor() {
  int fd = ::open("/dev/null", O_RDONLY);
  ::close(fd);
  return fd;
}

TEST(SafeClose, ModeFollowsTheEnvironmentValue) {
  const std::pair<const char*, SafeCloseMode> cases[] = {
      {nullptr, SafeCloseMode::kAbort},        {"abort", SafeCloseMode::kAbort},
      {"please-abort", SafeCloseMode::kAbort}, {"break", SafeCloseMode::kBreak},
      {"abort,break", SafeCloseMode::kBreak},  {"", SafeCloseMode::kReturn},
      {"return", SafeCloseMode::kReturn},      {"ABORT", SafeCloseMode::kReturn},
  };
  for (const auto& [value, expected] : cases)
    EXPECT_EQ(SafeCloseModeFromValue(value), expected) << (value ? value : "(unset)");
}

TEST(SafeClose, ClosesAnOpenDescriptorAndReportsOneNotOpenInReturnMode) {
  int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(SafeClose(fd), 0);
  errno = 0;
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);

  SafeCloseMode previous = SetSafeCloseModeForTesting(SafeCloseMode::kReturn);
  errno = 0;
  EXPECT_EQ(SafeClose(ClosedDescriptor()), -1);
  EXPECT_EQ(errno, EBADF);
  SetSafeCloseModeForTesting(previous);
}

TEST(SafeCloseDeathTest, AbortModeStopsOnClosingADescriptorNotOpen) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int fd = ClosedDescriptor();
  EXPECT_DEATH(
      {
        SetSafeCloseModeForTesting(SafeCloseMode::kAbort);
        SafeClose(fd);
      },
      "");
}

}  // namespace
