// Helpers of the mount handler: GUID text.

#include "core/network/storage/backend/rio_dir/mount_handler.h"

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

// True for upper-case 8-4-4-4-12 hexadecimal with version 4 and variant 10.
bool IsVersion4Guid(const std::string& guid) {
  const char shape[] = "HHHHHHHH-HHHH-4HHH-VHHH-HHHHHHHHHHHH";
  if (guid.size() != sizeof(shape) - 1) return false;
  for (size_t i = 0; i < guid.size(); ++i) {
    const char c = guid[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    const bool variant = c != 0 && std::strchr("89AB", c) != nullptr;
    const bool fits = shape[i] == 'H' ? hex : shape[i] == 'V' ? variant : c == shape[i];
    if (!fits) return false;
  }
  return true;
}

TEST(MakeRandomGuid, IsAVersion4GuidInUpperCase) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string guid = Network::Storage::Backend::MakeRandomGuid();
    EXPECT_TRUE(IsVersion4Guid(guid)) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
