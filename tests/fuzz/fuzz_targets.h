#pragma once
// The fuzz targets: one entry point per input surface. Each takes any bytes,
// returns 0, and shows a fault by a crash, a sanitizer report or a failed
// FUZZ_CHECK (which aborts with the condition and its place). The same entry
// points run under libFuzzer (fuzz_entry.cc) and, replaying the committed
// corpus, in the ordinary test build (fuzz_replay_test.cc).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace zyk_fuzz {

// Volume files of a container archive: open, read everything, append.
int ArchiveRead(const uint8_t* data, size_t size);
// The allocation tree's node encoding and the bit cursors.
int TreeNode(const uint8_t* data, size_t size);
// The allocation tree under maps, unmaps and flushes, against a model.
int TreeOperations(const uint8_t* data, size_t size);
// Stream operations on a valid archive, against a model of its bytes.
int ArchiveOperations(const uint8_t* data, size_t size);
// The zip reader and the message catalog.
int ZipReader(const uint8_t* data, size_t size);
// Host paths: UTF-8 decoding and confinement below the root.
int HostPath(const uint8_t* data, size_t size);
// File names: widening and narrowing.
int FileName(const uint8_t* data, size_t size);

struct Target {
  const char* name;  // also the corpus folder's name
  int (*entry)(const uint8_t* data, size_t size);
};

inline constexpr Target kTargets[] = {
    {"archive_read", ArchiveRead}, {"tree_node", TreeNode},
    {"tree_ops", TreeOperations},  {"archive_ops", ArchiveOperations},
    {"zip_reader", ZipReader},     {"host_path", HostPath},
    {"file_name", FileName},
};

[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: FUZZ_CHECK failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace zyk_fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::zyk_fuzz::CheckFailed(#condition, __FILE__, __LINE__))
