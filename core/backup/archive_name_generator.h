#pragma once
// ArchiveNameGenerator: the file names of an archive's volumes. Volume number 0
// is the archive's own name; number n inserts the decimal digits of n between
// the base name and its extension (data.qmv -> data12.qmv, store -> store2).
// MatchVolume recognises a volume number at the end of the base name, so that a
// volume opened by its own name leads back to the other volumes.

#include <cstdint>
#include <vector>

#include "core/common/ustring.h"

class i_dir;

namespace backupmedia {

class ArchiveNameGenerator {
 public:
  // `name` may be null: then GetName returns null and MatchVolume false.
  explicit ArchiveNameGenerator(const char16_t* name);
  explicit ArchiveNameGenerator(const UString& name) : ArchiveNameGenerator(name.c_str()) {}
  virtual ~ArchiveNameGenerator() = default;

  // The name of volume `number` (NUL-terminated), valid until the next call.
  // 0xFFFFFFFF and 0xFFFFFFFE insert "$1" and "$2"; 0xFFFFFFFD gives the base
  // name without extension.
  const char16_t* GetName(uint32_t number);

  // True when the base name ends in the digits of `number` (not directly after
  // a path separator of `dir`, when given); those digits then become the
  // replaceable volume suffix, so GetName(n) names the sibling volumes.
  bool MatchVolume(uint32_t number, i_dir* dir);

 private:
  void SetSuffixLength(uint32_t length);

  std::vector<char16_t> name_;  // name, NUL, room for 10 more characters
  uint32_t base_end_ = 0;
  uint32_t suffix_length_ = 0;
  uint32_t extension_length_ = 0;  // including the terminating NUL
};

}  // namespace backupmedia
