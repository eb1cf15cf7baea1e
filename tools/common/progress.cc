#include "tools/common/progress.h"

#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <utility>

namespace zyk_tools {

namespace {

// `bytes` may exceed what uint64_t holds (a rate over a very short time).
std::string FormatAmount(double bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%.0f B", bytes);
    return text;
  }
  double value = bytes / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace

std::string FormatBytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  return FormatAmount(static_cast<double>(bytes));
}

std::string FormatProgress(const std::string& label, uint64_t done, std::optional<uint64_t> total, double seconds) {
  std::string line = label + ": " + FormatBytes(done);
  if (total) {
    line += " / " + FormatBytes(*total);
    uint64_t percent = done >= *total ? 100 : static_cast<uint64_t>(100.0 * static_cast<double>(done) / *total);
    line += " (" + std::to_string(percent) + "%)";
  }
  // Below a tenth of a second the rate is noise.
  if (seconds >= 0.1) line += ", " + FormatAmount(static_cast<double>(done) / seconds) + "/s";
  return line;
}

bool ShouldShowProgress(bool requested, std::FILE* stream) {
  return requested && stream != nullptr && ::isatty(::fileno(stream)) == 1;
}

Progress::Progress(bool requested, std::string label, std::optional<uint64_t> total, std::FILE* stream)
    : enabled_(ShouldShowProgress(requested, stream)), label_(std::move(label)), total_(total), stream_(stream) {}

Progress::~Progress() { Finish(); }

void Progress::Add(uint64_t bytes) {
  done_ += bytes;
  if (!enabled_ || finished_) return;
  Clock::time_point now = Clock::now();
  if (now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  Draw("");
}

void Progress::Finish() {
  if (!enabled_ || finished_) return;
  finished_ = true;
  Draw("\n");
}

void Progress::Draw(const char* line_end) {
  double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  // "\r" returns to the line's start; "\033[K" clears what a longer line left behind.
  std::fprintf(stream_, "\r%s\033[K%s", FormatProgress(label_, done_, total_, seconds).c_str(), line_end);
  std::fflush(stream_);
}

}  // namespace zyk_tools
