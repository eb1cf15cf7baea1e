#include "core/file/unix/safe_close.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace {

// Restores the mode a test changed.
class ModeScope {
 public:
  explicit ModeScope(SafeCloseMode mode) : previous_(SetSafeCloseModeForTesting(mode)) {}
  ~ModeScope() { SetSafeCloseModeForTesting(previous_); }

 private:
  SafeCloseMode previous_;
};

// A descriptor number that is certainly not open.
int ClosedDescriptor() {
  int fd = ::open("/dev/null", O_RDONLY);
  EXPECT_GE(fd, 0);
  ::close(fd);
  return fd;
}

TEST(SafeClose, ModeFollowsTheEnvironmentValue) {
  struct Case {
    const char* value;
    SafeCloseMode expected;
  };
  const Case cases[] = {
      {nullptr, SafeCloseMode::kAbort},        {"abort", SafeCloseMode::kAbort},
      {"please-abort", SafeCloseMode::kAbort}, {"break", SafeCloseMode::kBreak},
      {"abort,break", SafeCloseMode::kBreak},  {"", SafeCloseMode::kReturn},
      {"return", SafeCloseMode::kReturn},      {"ABORT", SafeCloseMode::kReturn},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SafeCloseModeFromValue(c.value), c.expected) << (c.value ? c.value : "(unset)");
}

TEST(SafeClose, ClosesAnOpenDescriptor) {
  int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(SafeClose(fd), 0);
  errno = 0;
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(SafeClose, ReturnModeReportsClosingADescriptorNotOpen) {
  ModeScope scope(SafeCloseMode::kReturn);
  errno = 0;
  EXPECT_EQ(SafeClose(ClosedDescriptor()), -1);
  EXPECT_EQ(errno, EBADF);
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
