#pragma once
// Builds zip archive bytes in memory for tests that need archives Info-ZIP
// would never write (unknown methods, disagreeing headers, damaged streams).

#include <zlib.h>

#include "core/include/file/file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zyk_test {

struct ZipMember {
  std::string name;
  std::string data;
  uint16_t method = 8;         // 0 stored, 8 deflated; anything else is written as stored bytes
  bool data_descriptor = false;  // flag bit 3: local header sizes and CRC are zero
};

struct BuiltZip {
  std::string bytes;
  std::vector<size_t> local_headers;  // offset of each member's local header
  std::vector<size_t> data_offsets;   // offset of each member's data
  size_t central_directory = 0;
};

inline void Put16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
inline void Put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void Set32(std::string& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
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

inline BuiltZip BuildZip(const std::vector<ZipMember>& members, const std::string& comment = "") {
  BuiltZip zip;
  std::string central;
  for (const ZipMember& member : members) {
    std::string packed = member.method == 8 ? RawDeflate(member.data) : member.data;
    uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(member.data.data()),
                                               static_cast<uInt>(member.data.size())));
    uint16_t flags = member.data_descriptor ? 8 : 0;
    zip.local_headers.push_back(zip.bytes.size());
    Put32(zip.bytes, 0x04034B50);
    Put16(zip.bytes, 20);
    Put16(zip.bytes, flags);
    Put16(zip.bytes, member.method);
    Put16(zip.bytes, 0);
    Put16(zip.bytes, 0x21);
    Put32(zip.bytes, member.data_descriptor ? 0 : crc);
    Put32(zip.bytes, member.data_descriptor ? 0 : static_cast<uint32_t>(packed.size()));
    Put32(zip.bytes, member.data_descriptor ? 0 : static_cast<uint32_t>(member.data.size()));
    Put16(zip.bytes, static_cast<uint16_t>(member.name.size()));
    Put16(zip.bytes, 0);
    zip.bytes += member.name;
    zip.data_offsets.push_back(zip.bytes.size());
    zip.bytes += packed;
    if (member.data_descriptor) {
      Put32(zip.bytes, 0x08074B50);
      Put32(zip.bytes, crc);
      Put32(zip.bytes, static_cast<uint32_t>(packed.size()));
      Put32(zip.bytes, static_cast<uint32_t>(member.data.size()));
    }
    Put32(central, 0x02014B50);
    Put16(central, 0x031E);
    Put16(central, 20);
    Put16(central, flags);
    Put16(central, member.method);
    Put16(central, 0);
    Put16(central, 0x21);
    Put32(central, crc);
    Put32(central, static_cast<uint32_t>(packed.size()));
    Put32(central, static_cast<uint32_t>(member.data.size()));
    Put16(central, static_cast<uint16_t>(member.name.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, 0);
    Put32(central, static_cast<uint32_t>(zip.local_headers.back()));
    central += member.name;
  }
  zip.central_directory = zip.bytes.size();
  zip.bytes += central;
  Put32(zip.bytes, 0x06054B50);
  Put16(zip.bytes, 0);
  Put16(zip.bytes, 0);
  Put16(zip.bytes, static_cast<uint16_t>(members.size()));
  Put16(zip.bytes, static_cast<uint16_t>(members.size()));
  Put32(zip.bytes, static_cast<uint32_t>(central.size()));
  Put32(zip.bytes, static_cast<uint32_t>(zip.central_directory));
  Put16(zip.bytes, static_cast<uint16_t>(comment.size()));
  zip.bytes += comment;
  return zip;
}

// An in-memory ri_file, for sweeps over many archive variants where writing a
// file per variant would only measure the disk.
class MemoryFile : public ri_file {
 public:
  explicit MemoryFile(std::string bytes) : bytes_(std::move(bytes)) {}
  void Read(void* buffer, size_t length, size_t& done) override {
    done = 0;
    if (HasError() || position_ >= bytes_.size()) return;
    done = std::min(length, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, done);
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
