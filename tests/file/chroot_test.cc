// Confinement below a root: lexical resolution of names, the inner paths handed down, refused operations, and a
// property run over random names.

#include "core/file/chroot.h"

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/file/dir_delegate.h"
#include "core/file/unix/posix_dir.h"
#include "support/test_support.h"

namespace {

using Common::Error;
using zyk_test::Narrow;

// The property run uses ASCII names only: plain unit-by-unit conversions keep it cheap.
UString Wide(const std::string& text) { return UString(text.begin(), text.end()); }
std::string Ascii(const char16_t* text) {
  std::string out;
  for (; text && *text; ++text) out += static_cast<char>(*text);
  return out;
}

// Records the names that reach the inner directory; can pose as a directory with a foreign separator.
class RecordingDir : public rio_dir_delegate {
 public:
  RecordingDir(std::unique_ptr<rio_dir> inner, std::vector<UString>& names, char16_t separator = u'/')
      : rio_dir_delegate(std::move(inner)), names_(names), separator_(separator) {}
  rio_dir* OpenDir(const char16_t* name) override {
    names_.push_back(name);
    return rio_dir_delegate::OpenDir(name);
  }
  iterator* GetIterator(const char16_t* name) override {
    names_.push_back(name);
    return nullptr;
  }
  using rio_dir_delegate::GetIterator;
  char16_t GetPathSeparator() override { return separator_; }

 private:
  std::vector<UString>& names_;
  char16_t separator_;
};

// The model: resolve lexically from `place` ("/"-separated components); with `clamp` ".." stops at the root,
// without it climbing above the root fails.
bool ResolveModel(std::vector<std::string>& place, const std::string& name, bool clamp) {
  if (!name.empty() && name[0] == '/') place.clear();
  for (size_t start = 0, end; start <= name.size(); start = end + 1) {
    end = std::min(name.find('/', start), name.size());
    const std::string component = name.substr(start, end - start);
    if (component == "..") {
      if (place.empty() && !clamp) return false;
      if (!place.empty()) place.pop_back();
    } else if (!component.empty() && component != ".") {
      place.push_back(component);
    }
  }
  return true;
}

std::string Join(const std::vector<std::string>& components) {
  std::string path;
  for (const std::string& component : components) path += "/" + component;
  return path.empty() ? "/" : path;
}

TEST(ChrootedDir, RandomNamesNeverLeaveTheRoot) {
  zyk_test::TempDir temp;
  const std::string root = temp.path();
  const uint64_t rounds = zyk_test::Scaled(1000000, 100000);
  std::mt19937_64 random(zyk_test::TestSeed());
  // "ab" beside "a": a place is not a prefix of a longer name.
  const char* pieces[] = {"..", ".", "a", "b", "ab", ""};
  for (const std::vector<std::string>& own : {std::vector<std::string>{}, {"a"}, {"a", "b"}, {"ab"}}) {
    std::vector<UString> names;
    auto dir = MakeChrootedDir(std::make_unique<RecordingDir>(MakePosixDir(root + Join(own)), names), Wide(Join(own)));
    ASSERT_EQ(Narrow(dir->GetFullPath()), Join(own));
    for (uint64_t round = 0; round < rounds; ++round) {
      std::string name = random() % 4 == 0 ? "/" : "";
      for (int count = random() % 9; count > 0; --count) {
        name += pieces[random() % std::size(pieces)];
        if (count > 1 || random() % 3 == 0) name += "/";
      }
      names.clear();
      std::unique_ptr<rio_dir> opened(dir->OpenDir(Wide(name).c_str()));
      auto where = [&] { return "own " + Join(own) + ", name " + name; };
      ASSERT_NE(opened, nullptr) << where();
      ASSERT_EQ(names.size(), 1u);
      std::vector<std::string> expected = own;
      ResolveModel(expected, name, true);
      const std::string confined = Ascii(opened->GetFullPath());
      ASSERT_EQ(confined, Join(expected)) << where();
      // The inner path, resolved from the directory's place without clamping, never climbs above the root and
      // lands on the confined path.
      const std::string inner_path = Ascii(names[0].c_str());
      ASSERT_TRUE(!inner_path.empty() && inner_path[0] != '/') << inner_path;
      std::vector<std::string> place = own;
      ASSERT_TRUE(ResolveModel(place, inner_path, false)) << where() << " climbs: " << inner_path;
      ASSERT_EQ(Join(place), confined);
      // And the directory the system sees stays below the real root.
      auto* on_disk = dynamic_cast<posix_dir*>(dynamic_cast<rio_dir_delegate&>(*opened).Inner());
      ASSERT_NE(on_disk, nullptr);
      ASSERT_EQ(on_disk->Path(), confined == "/" ? root : root + confined);
    }
  }
}

TEST(ChrootedDir, FullPathIsTheConfinedPath) {
  zyk_test::TempDir temp;
  auto root = MakeChrootedDir(MakePosixDir(temp.path()), u"/");
  std::unique_ptr<rio_dir> ab(root->OpenDir(u"a/./b"));
  ASSERT_NE(ab, nullptr);
  EXPECT_EQ(Narrow(ab->GetFullPath()), "/a/b");
  std::unique_ptr<rio_dir> self(ab->OpenSelf());
  EXPECT_EQ(Narrow(self->GetFullPath()), "/a/b");
  const char16_t* path = u"../c/d";
  std::unique_ptr<rio_dir> parent(ab->OpenParentDir(&path));
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(Narrow(parent->GetFullPath()), "/a/c");
  EXPECT_EQ(UString(path), u"d");

  EXPECT_EQ(root->CompareDir(ab.get()), 1);
  EXPECT_EQ(ab->CompareDir(self.get()), 0);
  EXPECT_EQ(ab->CompareDir(parent.get()), 2);
  EXPECT_EQ(ab->CompareDir(root.get()), 2);
  EXPECT_EQ(root->CompareDir(MakePosixDir(temp.path()).get()), 2);
  EXPECT_TRUE(root->IsPathSeparator(u'/'));
  EXPECT_FALSE(root->IsPathSeparator(u'\\'));
}

TEST(ChrootedDir, EscapingNamesLandInsideTheRoot) {
  zyk_test::TempDir temp;
  std::filesystem::create_directories(temp / "root/sub");
  auto root = MakeChrootedDir(MakePosixDir(temp / "root"), u"/");
  std::unique_ptr<rio_dir> sub(root->OpenDir(u"sub"));
  std::unique_ptr<rio_file> file(sub->CreateIO(u"../../../escaped", false, nullptr));
  ASSERT_NE(file, nullptr) << sub->LastError().ToString();
  EXPECT_TRUE(std::filesystem::exists(temp / "root/escaped"));
  EXPECT_FALSE(std::filesystem::exists(temp / "escaped"));
  sub->CreateDir(u"/../../made", nullptr);
  sub->Rename(u"../made", u"../../renamed");
  EXPECT_TRUE(sub->LastError().Ok()) << sub->LastError().ToString();
  EXPECT_TRUE(std::filesystem::is_directory(temp / "root/renamed"));

  // Failures of the inner directory pass through unchanged.
  EXPECT_EQ(sub->OpenI(u"/missing", false), nullptr);
  Error error = sub->TakeError();
  EXPECT_EQ(error.Code(), Common::kErrNotFound);
  EXPECT_STREQ(error.GetAnsiTag("path"), (temp / "root/missing").c_str());
}

// Operations that could lead out of the tree are refused and touch nothing.
TEST(ChrootedDir, RefusedOperationsCreateNothing) {
  zyk_test::TempDir temp;
  zyk_test::WriteFile(temp / "file", "x");
  auto root = MakeChrootedDir(MakePosixDir(temp.path()), u"/");
  std::unique_ptr<i_dir::iterator> entry(root->GetIterator());
  ASSERT_NE(entry, nullptr);
  std::unique_ptr<file_identifier> identifier(entry->GetIdentifier());
  ASSERT_NE(identifier, nullptr);
  auto count_entries = [&] {
    using Walk = std::filesystem::recursive_directory_iterator;
    return std::distance(Walk(temp.path()), Walk());
  };
  const auto before = count_entries();
  const std::pair<const char*, std::function<bool()>> cases[] = {
      // true when the result is the failure value
      {"CreateSymLink", [&] { return root->CreateSymLink(u"link", u"/etc"), true; }},
      {"CreateHardLink", [&] { return root->CreateHardLink(u"file", u"hard"), true; }},
      {"OpenSpecialDir", [&] { return root->OpenSpecialDir(149) == nullptr; }},
      {"ResolveSymLinks", [&] { return root->ResolveSymLinks(nullptr).first == nullptr; }},
      {"GetShellIDLIST", [&] { return root->GetShellIDLIST(u"file") == nullptr; }},
      {"ResolveShellIDLIST", [&] { return root->ResolveShellIDLIST(nullptr).first == nullptr; }},
      {"GetShellObject", [&] { return root->GetShellObject(u"file") == nullptr; }},
      {"OpenDir by iterator", [&] { return root->OpenDir(entry.get()) == nullptr; }},
      {"OpenDir by identifier", [&] { return root->OpenDir(identifier.get()) == nullptr; }},
  };
  for (const auto& [what, run] : cases) {
    EXPECT_TRUE(run()) << what;
    Error error = root->TakeError();
    EXPECT_EQ(error.Code(), Common::kErrNotSupported) << what;
    ASSERT_NE(error.Location(), nullptr);
    EXPECT_STREQ(error.Location()->file, "core/file/chroot") << what;
  }
  EXPECT_EQ(count_entries(), before);
}

TEST(ChrootedDir, TheRootItselfCannotBeRemovedOrRenamed) {
  zyk_test::TempDir temp;
  ::mkdir((temp / "root").c_str(), 0755);
  auto root = MakeChrootedDir(MakePosixDir(temp / "root"), u"/");
  root->RemoveDir(u"..");
  EXPECT_EQ(root->TakeError().Code(), Common::kErrAccessDenied);
  root->Rename(u"/", u"moved");
  EXPECT_EQ(root->TakeError().Code(), Common::kErrAccessDenied);
  EXPECT_TRUE(std::filesystem::is_directory(temp / "root"));
  EXPECT_FALSE(std::filesystem::exists(temp / "root/moved"));
  // A null name is no name, not the directory itself.
  ::mkdir((temp / "root/sub").c_str(), 0755);
  std::unique_ptr<rio_dir> sub(root->OpenDir(u"sub"));
  ASSERT_NE(sub, nullptr);
  sub->RemoveDir(nullptr);
  EXPECT_EQ(sub->TakeError().Code(), Common::kErrOpenFailed);
  EXPECT_EQ(sub->OpenI(static_cast<const char16_t*>(nullptr), true), nullptr);
  EXPECT_EQ(sub->TakeError().Code(), Common::kErrOpenFailed);
  EXPECT_TRUE(std::filesystem::is_directory(temp / "root/sub"));
}

TEST(ChrootedDir, ForeignSeparatorsNeverPassThrough) {
  zyk_test::TempDir temp;
  std::vector<UString> names;
  auto root = MakeChrootedDir(std::make_unique<RecordingDir>(MakePosixDir(temp.path()), names, u'\\'), u"/x");
  EXPECT_EQ(root->GetIterator(u"a\\..\\..\\b"), nullptr);
  EXPECT_EQ(root->TakeError().Code(), Common::kErrNotSupported);
  EXPECT_TRUE(names.empty());
  root->GetIterator(u"a/b");
  root->GetIterator(u"../y/z");
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(Narrow(names[0].c_str()), "a\\b");
  EXPECT_EQ(Narrow(names[1].c_str()), "..\\y\\z");
}

}  // namespace
