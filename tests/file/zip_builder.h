#pragma once
// Builds zip archive bytes in memory for tests that need archives Info-ZIP would never write (unknown methods,
// disagreeing headers, damaged streams), and an in-memory file to read them from.

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "core/include/file/file.h"

namespace zyk_test {

struct ZipMember {
  std::string name;
  std::string data;
  uint16_t method = 8;           // 0 stored, 8 deflated; anything else is written as stored bytes
  bool data_descriptor = false;  // flag bit 3: local header sizes and CRC are zero
};

struct BuiltZip {
  std::string bytes;
  std::vector<size_t> local_headers;  // offset of each member's local header
  std::vector<size_t> data_offsets;   // offset of each member's data
  size_t central_directory = 0;
};

// Appends little-endian fields given as (value, byte count).
inline void Put(std::string& out, std::initializer_list<std::pair<uint32_t, int>> fields) {
  for (const auto& [value, bytes] : fields)
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
inline void Set32(std::string& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline std::string RawDeflate(const std::string& data) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// Offsets in the archive are recorded as if it began `recorded_at` bytes into its file.
inline BuiltZip BuildZip(const std::vector<ZipMember>& members, const std::string& comment = "",
                         uint32_t recorded_at = 0) {
  BuiltZip zip;
  std::string central;
  for (const ZipMember& m : members) {
    const std::string packed = m.method == 8 ? RawDeflate(m.data) : m.data;
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size())));
    const uint32_t packed_size = static_cast<uint32_t>(packed.size()), size = static_cast<uint32_t>(m.data.size());
    const uint32_t name_size = static_cast<uint32_t>(m.name.size()), flags = m.data_descriptor ? 8 : 0;
    const uint32_t in_local = m.data_descriptor ? 0 : 0xFFFFFFFF;  // mask for the local CRC and sizes
    zip.local_headers.push_back(zip.bytes.size());
    Put(zip.bytes, {{0x04034B50, 4},
                    {20, 2},
                    {flags, 2},
                    {m.method, 2},
                    {0, 2},
                    {0x21, 2},
                    {crc & in_local, 4},
                    {packed_size & in_local, 4},
                    {size & in_local, 4},
                    {name_size, 2},
                    {0, 2}});
    zip.bytes += m.name;
    zip.data_offsets.push_back(zip.bytes.size());
    zip.bytes += packed;
    if (m.data_descriptor) Put(zip.bytes, {{0x08074B50, 4}, {crc, 4}, {packed_size, 4}, {size, 4}});
    Put(central, {{0x02014B50, 4},
                  {0x031E, 2},
                  {20, 2},
                  {flags, 2},
                  {m.method, 2},
                  {0, 2},
                  {0x21, 2},
                  {crc, 4},
                  {packed_size, 4},
                  {size, 4},
                  {name_size, 2},
                  {0, 4},
                  {0, 4},
                  {0, 4},
                  {recorded_at + static_cast<uint32_t>(zip.local_headers.back()), 4}});
    central += m.name;
  }
  zip.central_directory = zip.bytes.size();
  zip.bytes += central;
  const uint32_t count = static_cast<uint32_t>(members.size());
  Put(zip.bytes, {{0x06054B50, 4},
                  {0, 4},
                  {count, 2},
                  {count, 2},
                  {static_cast<uint32_t>(central.size()), 4},
                  {recorded_at + static_cast<uint32_t>(zip.central_directory), 4},
                  {static_cast<uint32_t>(comment.size()), 2}});
  zip.bytes += comment;
  return zip;
}

// An in-memory ri_file, for sweeps over many archive variants.
class MemoryFile : public ri_file {
 public:
  explicit MemoryFile(std::string bytes) : bytes_(std::move(bytes)) {}
  void Read(void* buffer, size_t length, size_t& done) override {
    done = HasError() || position_ >= bytes_.size() ? 0 : std::min(length, bytes_.size() - position_);
    if (done > 0) std::memcpy(buffer, bytes_.data() + position_, done);
    position_ += done;
  }
  int64_t Seek(int64_t offset) override { return static_cast<int64_t>(position_ = static_cast<size_t>(offset)); }
  int64_t SeekCurrent(int64_t offset) override { return Seek(static_cast<int64_t>(position_) + offset); }
  int64_t SeekEnd(int64_t offset) override { return Seek(static_cast<int64_t>(bytes_.size()) + offset); }

 private:
  std::string bytes_;
  size_t position_ = 0;
};

}  // namespace zyk_test
