#pragma once
// The fixed parts of the zip records a resource archive is made of: their
// signatures and sizes, shared by the reader and the build tool that writes
// and embeds archives.

#include <cstddef>
#include <cstdint>

namespace zip_format {

inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndRecordSize = 22;

}  // namespace zip_format
