#include "core/common/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/common/utf8.h"

namespace Common {
namespace {

std::atomic<LogSink*> g_sink{nullptr};
std::atomic<int> g_level{-1};

uint32_t LevelFromEnvironment() {
  const char* value = std::getenv("KPX_TRACE_LEVEL");
  if (value == nullptr) return 0;
  if (std::strcmp(value, "debug") == 0) return 1;
  if (std::strcmp(value, "info") == 0) return 2;
  return 0;
}

}  // namespace

void SetLogSink(LogSink* sink) { g_sink.store(sink); }

uint32_t GetTraceLevel() {
  int level = g_level.load(std::memory_order_acquire);
  if (level < 0) {
    level = static_cast<int>(LevelFromEnvironment());
    g_level.store(level, std::memory_order_release);
  }
  return static_cast<uint32_t>(level);
}

void ResetTraceLevelForTesting() { g_level.store(-1); }

void Trace(SourceLocation location, const char* format, ...) {
  uint32_t level = GetTraceLevel();
  if (level == 0) return;
  char line[4096];
  int prefix = std::snprintf(line, sizeof line, "%s:%u: ", location.file ? location.file : "", location.line);
  if (prefix < 0) return;
  if (prefix < static_cast<int>(sizeof line)) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + prefix, sizeof line - prefix, format, args);
    va_end(args);
  }
  UString text;
  DecodeUtf8(line, text);  // a malformed byte shows as U+FFFD
  if (LogSink* sink = g_sink.load()) sink->WriteLine(0, level, 0x203, 0, text.c_str());
}

void TraceError(uint32_t level, const Error& error) {
  if (LogSink* sink = g_sink.load()) sink->WriteError(0, level, error);
}

}  // namespace Common
