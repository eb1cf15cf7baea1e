#include "core/common/error.h"

#include <errno.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/common/messages.h"

namespace {

using Common::Error;

TEST(Error, TextFormOfEmptyAndRaisedErrors) {
  EXPECT_TRUE(Error(0, ZYK_HERE).Ok());  // code 0 is success whatever the form
  EXPECT_TRUE(Error(0, u"text", ZYK_HERE).Ok());
  EXPECT_TRUE(Error::WithFileName(0, "a", ZYK_HERE).Ok());
  EXPECT_EQ(Error().ToString(), "Error: 0x00000000, tag: 0x0");

  Error first(0x40011, ZYK_HERE);
  Error second(1, ZYK_HERE);
  std::string text = first.ToString();
  EXPECT_EQ(text.rfind("Error: 0x00040011, tag: 0x", 0), 0u) << text;
  EXPECT_NE(text.find(", tests/common/error_test:"), std::string::npos) << text;
  EXPECT_NE(text.find(", TestBody"), std::string::npos) << text;
  EXPECT_EQ(second.Location()->id - first.Location()->id, 1u);  // sites differ by line distance
  EXPECT_STREQ(first.Location()->file, "tests/common/error_test");
}

TEST(Error, AttachingToASharedHeadClonesIt) {
  Error original(0x40007, u"open failed", ZYK_HERE);
  Error copy = original;
  Common::AddPosixError(copy, ENOENT);
  EXPECT_TRUE(original.Inner().Ok());
  EXPECT_EQ(copy.Inner().Code(), Common::kErrPosix);
  EXPECT_NE(copy.Head(), original.Head());
  EXPECT_EQ(copy.Description(), u"open failed");
}

TEST(Error, AttachingTwiceKeepsTheSecondAndEmptyTakesTheCause) {
  Error error(0x40003, ZYK_HERE);
  Common::AddPosixError(error, EIO);
  Common::AddPosixError(error, ENOSPC);
  EXPECT_EQ(error.Inner().GetNumberTag("code"), static_cast<uint64_t>(ENOSPC));
  EXPECT_TRUE(error.Inner().Inner().Ok());
  Error empty;
  Common::AddCause(empty, Error(0x40001, ZYK_HERE));
  EXPECT_EQ(empty.Code(), 0x40001u);
}

TEST(Error, TagLookups) {
  Error posix(5, ZYK_HERE);
  Common::AddPosixError(posix, EACCES);
  Error record = posix.Inner();
  EXPECT_EQ(record.GetNumberTag("code"), static_cast<uint64_t>(EACCES));
  EXPECT_STREQ(record.GetTagNames(), "code,$module");
  EXPECT_FALSE(record.Description().empty());
  Error named = Error::WithFileName(0x2850008, "a/b", ZYK_HERE);
  EXPECT_STREQ(named.GetAnsiTag("FileName"), "a/b");
  EXPECT_STREQ(named.GetTagNames(), "FileName,$module");
  EXPECT_EQ(named.GetAnsiTag("filename"), nullptr);  // case-sensitive
  Error limited = Error::WithTaskLimit(0x2850006, 7, ZYK_HERE);
  EXPECT_EQ(limited.GetNumberTag("TaskLimit"), 7u);
  EXPECT_EQ(limited.GetNumberTag("other"), 0u);
  Error paths = Error::WithPaths(0x40009, u"rename", "/x", "/y", ZYK_HERE);
  EXPECT_STREQ(paths.GetAnsiTag("path1"), "/x");
  EXPECT_STREQ(paths.GetAnsiTag("path2"), "/y");
  EXPECT_STREQ(paths.GetTagNames(), "path1,path2,$module");
  for (const Error* e : {&posix, &record, &named, &limited, &paths})
    EXPECT_STREQ(e->GetAnsiTag("$module"), "zyk_backend_local_lxa64_1");
}

TEST(Error, InlineTextsOutliveTheCallersCopyAndSurviveCloning) {
  std::u16string text = u"temporary description";
  std::string path = "/some/path";
  Error error = Error::WithPath(0x40007, text.c_str(), path.c_str(), ZYK_HERE);
  text.assign(text.size(), u'x');
  path.assign(path.size(), 'x');
  Error copy = error;
  Common::AddPosixError(copy, EIO);  // clones byte for byte: inline offsets stay valid
  for (const Error* e : {&error, &copy}) {
    EXPECT_EQ(e->Description(), u"temporary description");
    EXPECT_STREQ(e->GetAnsiTag("path"), "/some/path");
  }
}

TEST(Error, CatalogTextsAreReferencedNotCopied) {
  const char16_t* text = Common::GetMessageText(Common::kMsgNotSupported);
  ASSERT_NE(text, nullptr);
  Error error = Error::File(Common::kErrNotSupported, ZYK_HERE);
  EXPECT_EQ(error.Description(), u"The operation is not supported.");
  if (Common::IsCatalogText(text)) {
    uintptr_t ref;
    std::memcpy(&ref, reinterpret_cast<const char*>(error.Head()) + sizeof(Common::ErrorRecord), sizeof ref);
    EXPECT_EQ(ref, reinterpret_cast<uintptr_t>(text));
  }
}

void* FailingAllocator(size_t) { return nullptr; }

TEST(Error, OutOfMemoryFallsBackToTheStaticRecordOrKeepsTheOuterError) {
  Error outer(0x40007, ZYK_HERE);
  Error shared = outer;
  Error inner(0x40001, ZYK_HERE);
  Common::SetErrorAllocatorForTesting(&FailingAllocator);
  Error plain(0x40001, ZYK_HERE);
  Error described(0x40001, u"text", ZYK_HERE);
  Common::AddCause(shared, Error());
  Common::AddCause(shared, inner);  // the clone of the shared head fails
  Common::SetErrorAllocatorForTesting(nullptr);
  EXPECT_EQ(plain.Code(), Common::kErrOutOfMemory);
  EXPECT_EQ(described.Code(), Common::kErrOutOfMemory);
  EXPECT_TRUE(described.Description().empty());
  EXPECT_STREQ(plain.GetAnsiTag("$module"), "zyk_backend_local_lxa64_1");
  EXPECT_EQ(shared.Code(), 0x40007u);
  EXPECT_TRUE(shared.Inner().Ok());
}

}  // namespace
