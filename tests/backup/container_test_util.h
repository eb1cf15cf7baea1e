#pragma once
// Helpers shared by the container archive tests.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/backup/container_api.h"
#include "core/file/unix/posix_dir.h"

namespace container_test {

using backupmedia::ArchiveParameters;
using backupmedia::ContainerArchive;

inline ArchiveParameters Parameters(uint32_t block_size, int64_t max_volume_size = INT64_MAX,
                                    int64_t auto_commit_bytes = 0) {
  ArchiveParameters parameters;
  parameters.block_size = block_size;
  parameters.max_volume_size = max_volume_size;
  parameters.auto_commit_bytes = auto_commit_bytes;
  return parameters;
}

inline std::unique_ptr<ContainerArchive> Create(rio_dir* dir, const char16_t* name, const ArchiveParameters& p) {
  Common::Error error;
  auto archive = backupmedia::CreateContainerArchive(dir, name, nullptr, &p, error, false);
  EXPECT_TRUE(error.Ok()) << error.ToString();
  return archive;
}

inline std::unique_ptr<ContainerArchive> Append(rio_dir* dir, const char16_t* name) {
  Common::Error error;
  ArchiveParameters p;
  auto archive = backupmedia::AppendContainerArchive(dir, name, nullptr, &p, error, false);
  EXPECT_TRUE(error.Ok()) << error.ToString();
  return archive;
}

inline std::unique_ptr<ContainerArchive> OpenRead(rio_dir* dir, const char16_t* name, Common::Error* out = nullptr) {
  Common::Error error;
  auto archive = backupmedia::OpenContainerArchive(dir, name, nullptr, error, false);
  if (out != nullptr)
    *out = error;
  else
    EXPECT_TRUE(error.Ok()) << error.ToString();
  return archive;
}

inline void WriteAt(ContainerArchive& archive, int64_t offset, const std::string& bytes) {
  archive.Seek(offset);
  size_t done = 0;
  archive.Write(bytes.data(), bytes.size(), done);
  ASSERT_FALSE(archive.HasError()) << archive.LastError().ToString();
  ASSERT_EQ(done, bytes.size());
}

inline std::string ReadAt(ContainerArchive& archive, int64_t offset, size_t length) {
  std::string bytes(length, '\0');
  archive.Seek(offset);
  size_t done = 0;
  archive.Read(bytes.data(), length, done);
  bytes.resize(done);
  return bytes;
}

inline std::string ReadAll(ContainerArchive& archive) { return ReadAt(archive, 0, archive.GetSize()); }

inline std::string Pattern(size_t length, uint32_t seed) {
  std::string bytes(length, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<char>(x);
  }
  return bytes;
}

inline std::vector<uint8_t> FileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  uint8_t buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  std::fclose(file);
  return bytes;
}

inline void PutFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  if (!bytes.empty()) {
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  }
  std::fclose(file);
}

}  // namespace container_test
