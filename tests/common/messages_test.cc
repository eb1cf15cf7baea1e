#include "core/common/messages.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/common/error.h"
#include "support/test_support.h"

namespace {

void Put32(std::string& block, size_t at, uint32_t value) { std::memcpy(&block[at], &value, 4); }

// A catalog block laid out as the library expects, from texts for slots 8, 12, ...
std::string MakeCatalog(const std::vector<std::u16string>& texts) {
  std::string block(8 + 4 * texts.size(), '\0');
  for (size_t i = 0; i < texts.size(); ++i) {
    size_t slot = 8 + 4 * i;
    Put32(block, slot, static_cast<uint32_t>(block.size() - slot));
    block.append(reinterpret_cast<const char*>(texts[i].c_str()), (texts[i].size() + 1) * 2);
  }
  Put32(block, 0, static_cast<uint32_t>(block.size()));
  Put32(block, 4, Common::kCatalogCheckValue);
  return block;
}

TEST(MessageCatalog, ValidityChecksEveryField) {
  const std::string good = MakeCatalog({u"zero", u"one", u"two"});
  struct Case {
    const char* label;
    std::string block;
    bool valid;
  } cases[] = {
      {"well formed", good, true},
      {"size word differs from the size",
       [&] {
         auto b = good;
         Put32(b, 0, 1000);
         return b;
       }(),
       false},
      {"check value wrong",
       [&] {
         auto b = good;
         Put32(b, 4, 205);
         return b;
       }(),
       false},
      {"shorter than the header", good.substr(0, 6), false},
      {"slot beyond the block",
       [&] {
         auto b = good;
         Put32(b, 12, 5000);
         return b;
       }(),
       false},
      {"slot at an odd distance",
       [&] {
         auto b = good;
         Put32(b, 12, 13);
         return b;
       }(),
       false},
      {"last text unterminated",
       [&] {
         auto b = good.substr(0, good.size() - 2) + "x\x01";
         Put32(b, 0, static_cast<uint32_t>(b.size()));
         return b;
       }(),
       false},
  };
  for (const Case& c : cases) EXPECT_EQ(Common::IsValidCatalog(c.block.data(), c.block.size()), c.valid) << c.label;
}

TEST(MessageCatalog, TextLookupByIdentifier) {
  const std::string block = MakeCatalog({u"zero", u"one", u"two"});
  struct Case {
    uint32_t id;
    const char16_t* text;  // null: no such slot
  } cases[] = {{8, u"zero"}, {12, u"one"}, {16, u"two"}, {20, nullptr}, {4, nullptr}, {0, nullptr}, {10, nullptr}};
  for (const Case& c : cases) {
    const char16_t* text = Common::CatalogText(block.data(), block.size(), c.id);
    EXPECT_EQ(text ? std::u16string(text) : u"(none)", c.text ? c.text : u"(none)") << c.id;
  }
}

// The shipped catalog holds the exact texts the library's errors show (a
// sample across the table) and a text for every slot.
TEST(MessageCatalog, ShippedCatalogHoldsTheErrorTexts) {
  using namespace Common;
  const std::pair<uint32_t, const char16_t*> cases[] = {
      {kErrReadFailed, u"Error occurred while reading the file."},
      {kErrDiskFull, u"The disk is full."},
      {kErrCorrupted, u"The file is corrupted."},
      {kErrNotSupported, u"The operation is not supported."},
      {kErrLockFailed, u"Failed to lock the file."},
      {kErrUnresolvedName, u"Cannot resolve the file name."},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(Error::File(code, ZYK_HERE).Description(), text) << std::hex << code;
  ASSERT_NE(GetMessageText(kMsgNotSupported), nullptr);
  EXPECT_EQ(std::u16string(GetMessageText(kMsgNotSupported)), u"The operation is not supported.");
  for (uint32_t id = 8; id <= kMsgWriteFailed; id += 4) EXPECT_NE(GetMessageText(id), nullptr) << id;
}

// The catalog loads once per process, so these run in a fresh child each.

std::string g_block;
bool g_nested_call_got_null = false;

void* CopyBlock(size_t* size) {
  void* data = std::malloc(g_block.size());
  std::memcpy(data, g_block.data(), g_block.size());
  *size = g_block.size();
  return data;
}

TEST(MessageCatalogLoading, WrongSizeWordOrMissingCatalogStopsTheProcess) {
  g_block = MakeCatalog({u"zero", u"one"});
  Put32(g_block, 0, static_cast<uint32_t>(g_block.size() + 4));
  EXPECT_DEATH(
      {
        Common::SetCatalogReaderForTesting(&CopyBlock);
        Common::GetMessageText(8);
      },
      "");
  EXPECT_DEATH(
      {
        Common::SetCatalogReaderForTesting([](size_t*) -> void* { return nullptr; });
        Common::GetMessageText(8);
      },
      "");
}

TEST(MessageCatalogLoading, FirstLoadKeepsErrnoAndAnswersNestedCallsWithNull) {
  g_block = MakeCatalog({u"zero", u"one"});
  EXPECT_EXIT(
      {
        Common::SetCatalogReaderForTesting([](size_t* size) {
          g_nested_call_got_null = Common::GetMessageText(8) == nullptr;  // an error raised while loading
          errno = EIO;
          return CopyBlock(size);
        });
        errno = 1234;
        const char16_t* text = Common::GetMessageText(12);
        bool ok = errno == 1234 && g_nested_call_got_null && text != nullptr && std::u16string(text) == u"one" &&
                  Common::IsCatalogText(text);
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
