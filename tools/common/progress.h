#pragma once
// Progress of a long copy on standard error: bytes done, the total where it is
// known, and the rate. Drawn only when the user asked for it and the stream is a
// terminal, so pipes, logs and scripts never see it.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace zyk_tools {

// `bytes` in binary units with one decimal ("512 B", "1.5 KiB", "12.0 MiB").
std::string FormatBytes(uint64_t bytes);

// One status line without a line end: "LABEL: DONE / TOTAL (P%), RATE/s", or
// "LABEL: DONE, RATE/s" when the total is unknown. The rate is left out until
// some time has passed.
std::string FormatProgress(const std::string& label, uint64_t done, std::optional<uint64_t> total, double seconds);

// True when progress was asked for and `stream` is a terminal.
bool ShouldShowProgress(bool requested, std::FILE* stream);

// Reports one copy. Redraws its line in place at most ten times a second and
// ends it with a final line on Finish (or destruction). Does nothing at all when
// disabled. Not thread-safe: one copying thread calls it.
class Progress {
 public:
  // Enabled when ShouldShowProgress(requested, stream).
  Progress(bool requested, std::string label, std::optional<uint64_t> total, std::FILE* stream = stderr);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool enabled() const { return enabled_; }
  // Counts `bytes` more as done.
  void Add(uint64_t bytes);
  // Draws the final state and ends the line; later calls do nothing.
  void Finish();

 private:
  void Draw(const char* line_end);

  using Clock = std::chrono::steady_clock;
  const bool enabled_;
  const std::string label_;
  const std::optional<uint64_t> total_;
  std::FILE* const stream_;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point last_draw_{};
  uint64_t done_ = 0;
  bool finished_ = false;
};

}  // namespace zyk_tools
