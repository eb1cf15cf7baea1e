#include "core/backup/archive_name_generator.h"

#include <cstdio>
#include <cstring>

#include "core/include/file/dir.h"

namespace backupmedia {
namespace {

constexpr uint32_t kRoomForSuffix = 10;

// The suffix text of a volume number, one byte per character.
uint32_t FormatNumber(uint32_t number, char (&text)[16]) {
  switch (number) {
    case 0xFFFFFFFFu: std::memcpy(text, "$1", 3); return 2;
    case 0xFFFFFFFEu: std::memcpy(text, "$2", 3); return 2;
    case 0xFFFFFFFDu:
      text[0] = '\0';  // one NUL character: the name ends at the base
      return 1;
    default: return static_cast<uint32_t>(std::snprintf(text, sizeof(text), "%u", number));
  }
}

}  // namespace

ArchiveNameGenerator::ArchiveNameGenerator(const char16_t* name) {
  if (name == nullptr) return;
  uint32_t length = 0;
  while (name[length] != u'\0') ++length;
  name_.assign(length + 1 + kRoomForSuffix, u'\0');
  std::memcpy(name_.data(), name, (length + 1) * sizeof(char16_t));
  base_end_ = length;
  extension_length_ = 1;
  for (uint32_t i = length; i > 0; --i) {
    char16_t unit = name[i - 1];
    if (unit == u'/' || unit == u'\\') break;
    if (unit == u'.') {
      base_end_ = i - 1;
      extension_length_ = length + 1 - base_end_;
      break;
    }
  }
}

void ArchiveNameGenerator::SetSuffixLength(uint32_t length) {
  std::memmove(&name_[base_end_ + length], &name_[base_end_ + suffix_length_], extension_length_ * sizeof(char16_t));
  suffix_length_ = length;
}

const char16_t* ArchiveNameGenerator::GetName(uint32_t number) {
  if (name_.empty()) return nullptr;
  if (number == 0) {
    SetSuffixLength(0);
    return name_.data();
  }
  char text[16];
  uint32_t length = FormatNumber(number, text);
  SetSuffixLength(length);
  for (uint32_t i = 0; i < length; ++i)
    name_[base_end_ + i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  return name_.data();
}

bool ArchiveNameGenerator::MatchVolume(uint32_t number, i_dir* dir) {
  if (name_.empty() || number == 0) return false;
  char text[16];
  uint32_t length = FormatNumber(number, text);
  if (length >= base_end_) return false;
  uint32_t start = base_end_ - length;
  if (dir != nullptr && dir->IsPathSeparator(name_[start - 1])) return false;
  for (uint32_t i = 0; i < length; ++i)
    if (name_[start + i] != static_cast<char16_t>(static_cast<unsigned char>(text[i]))) return false;
  base_end_ = start;
  suffix_length_ += length;
  return true;
}

}  // namespace backupmedia
