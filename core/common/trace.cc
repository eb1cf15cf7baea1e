#include "core/common/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

// UTF-8 to UTF-16; invalid bytes pass through as single units.
UString Utf8ToUtf16(const char* text) {
  UString out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p) {
    uint32_t c = *p;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    bool valid = true;
    for (int i = 1; i <= extra; ++i) valid = valid && (p[i] & 0xC0) == 0x80;
    if (!valid || c >= 0xF8 || (c >= 0x80 && c < 0xC0)) extra = 0;
    if (extra > 0) {
      c &= 0x3F >> extra;
      for (int i = 1; i <= extra; ++i) c = (c << 6) | (p[i] & 0x3F);
    }
    p += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
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
  UString text = Utf8ToUtf16(line);
  if (LogSink* sink = g_sink.load()) sink->WriteLine(0, level, 0x203, 0, text.c_str());
}

void TraceError(uint32_t level, const Error& error) {
  if (LogSink* sink = g_sink.load()) sink->WriteError(0, level, error);
}

}  // namespace Common
