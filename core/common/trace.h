#pragma once
// Diagnostic tracing. Lines and error reports go to one process-wide log sink,
// which the library never installs itself: by default everything is dropped.
// "KPX_TRACE_LEVEL" chooses the level: "debug" 1, "info" 2, anything else 0 (off).

#include <cstdint>
#include <memory>

#include "core/common/error.h"
#include "core/common/source_location.h"
#include "core/common/ustring.h"

namespace Common {

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void WriteLine(uint32_t module, uint32_t level, uint32_t category, uint32_t flags, const char16_t* text) = 0;
  virtual void WriteError(uint32_t module, uint32_t level, const Error& error) = 0;
};

// Installs the sink (null removes it). The caller keeps the sink alive while installed.
void SetLogSink(LogSink* sink);

uint32_t GetTraceLevel();

// printf-style diagnostic line "<file>:<line>: <message>", category 0x203.
void Trace(SourceLocation location, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Hands an error to the sink's error operation.
void TraceError(uint32_t level, const Error& error);

// Test seam: recompute the level from the environment.
void ResetTraceLevelForTesting();

}  // namespace Common
