#include "tools/common/progress.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace {

using zyk_tools::FormatProgress;

TEST(Progress, LineShowsDoneTotalShareAndRate) {
  struct Case {
    uint64_t done;
    std::optional<uint64_t> total;
    double seconds;
    const char* line;
  } cases[] = {
      {0, std::nullopt, 0, "copy: 0 B"},
      {1023, std::nullopt, 0.05, "copy: 1023 B"},
      {1536, 4096, 0, "copy: 1.5 KiB / 4.0 KiB (37%)"},
      {3 << 20, 200 << 20, 2, "copy: 3.0 MiB / 200.0 MiB (1%), 1.5 MiB/s"},
      {5ull << 30, std::nullopt, 10, "copy: 5.0 GiB, 512.0 MiB/s"},
      {10, 0, 1, "copy: 10 B / 0 B (100%), 10 B/s"},
      {UINT64_MAX, UINT64_MAX, 1, "copy: 16.0 EiB / 16.0 EiB (100%), 16.0 EiB/s"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatProgress("copy", c.done, c.total, c.seconds), c.line);
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[256];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
  return text;
}

TEST(Progress, DrawsOnlyWhenAskedAndOnATerminal) {
  // A file is never a terminal: nothing is written even when asked.
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    zyk_tools::Progress progress(true, "copy", 100, file);
    EXPECT_FALSE(progress.enabled());
    progress.Add(100);
  }
  EXPECT_EQ(std::ftell(file), 0);
  std::fclose(file);

  // A pseudo-terminal is: asked for, the final line arrives; not asked, nothing.
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  std::FILE* terminal = std::fopen(::ptsname(master), "w");
  ASSERT_NE(terminal, nullptr);
  for (bool requested : {false, true}) {
    zyk_tools::Progress progress(requested, requested ? "asked" : "silent", 2048, terminal);
    EXPECT_EQ(progress.enabled(), requested);
    progress.Add(2048);
  }
  std::fclose(terminal);  // the master now reads what was written, then end of input
  std::string shown = ReadAll(master);
  ::close(master);
  EXPECT_EQ(shown.find("silent"), std::string::npos) << shown;
  EXPECT_NE(shown.find("asked: 2.0 KiB / 2.0 KiB (100%)"), std::string::npos) << shown;
}

}  // namespace
