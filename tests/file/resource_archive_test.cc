#include "core/file/resource_archive.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>

#include "core/common/messages.h"
#include "core/file/unix/resource_file.h"
#include "file/zip_builder.h"
#include "support/test_support.h"

namespace {

using zyk_test::BuildZip;

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::unique_ptr<zip_file_impl> MemoryZip(const std::string& bytes) {
  return std::make_unique<zip_file_impl>(std::make_unique<zyk_test::MemoryFile>(bytes));
}

std::string Take(void* data, const size_t& size) {  // size by reference: set by the call that yields data
  if (data == nullptr) return "<none>";
  std::string bytes(static_cast<const char*>(data), size);
  std::free(data);
  return bytes;
}

// Runs a shell command and returns its output and exit status.
std::string RunCommand(const std::string& command, int& status) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  status = ::pclose(pipe);
  return output;
}

TEST(ResourceArchive, SidecarReplacesTheExtension) {
  struct Case {
    const char16_t* module;
    const char16_t* sidecar;
  } cases[] = {
      {u"/usr/lib/libzyk_backend_local.so", u"/usr/lib/libzyk_backend_local.dat"},
      {u"/usr/lib/libzyk_backend_local.so.1", u"/usr/lib/libzyk_backend_local.so.dat"},
      {u"/opt/a.d/file_test", u"/opt/a.d/file_test.dat"},
      {u"/tests", u"/tests.dat"},
  };
  for (const Case& c : cases) EXPECT_EQ(Common::SidecarPath(c.module), c.sidecar);
}

TEST(ResourceArchive, ModulePathsAreMadeAbsoluteAndNormalised) {
  struct Case {
    const char* name;
    const char* cwd;
    const char* expected;
  } cases[] = {
      {"lib/libx.so", "/home/u", "/home/u/lib/libx.so"},
      {"./a/../b.so", "/w", "/w/b.so"},
      {"/a/./b//../c.so", nullptr, "/a/c.so"},
      {"../../../x.so", "/a/b", "/x.so"},
      {"x/y.so", nullptr, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Common::AbsoluteModulePath(c.name, c.cwd), c.expected) << c.name;
}

TEST(ResourceArchive, ModulePathIsThisExecutable) {
  UString path = Common::GetModulePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], u'/');
  std::string narrow(path.begin(), path.end());
  EXPECT_TRUE(std::filesystem::equivalent(narrow, "/proc/self/exe")) << narrow;
}

TEST(ResourceArchive, SidecarTakesPrecedenceOverTheModule) {
  zyk_test::TempDir dir;
  std::string module = dir / "libmod.so";
  UString module_path = AsciiToUString(module.c_str());
  EXPECT_EQ(Common::OpenResourceArchive(module_path), nullptr);  // neither exists

  WriteBytes(module, std::string(5000, '\x7f') + BuildZip({{"which", "module"}}).bytes);
  size_t size = 0;
  std::unique_ptr<zip_file_impl> archive = Common::OpenResourceArchive(module_path);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(Take(Common::ReadLocalizedResource(*archive, "which", {}, &size), size), "module");

  WriteBytes(dir / "libmod.dat", BuildZip({{"which", "sidecar"}}).bytes);
  archive = Common::OpenResourceArchive(module_path);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(Take(Common::ReadLocalizedResource(*archive, "which", {}, &size), size), "sidecar");
}

TEST(ResourceArchive, LocalizedLookupFallsBackToThePlainMember) {
  const std::string plain_only = BuildZip({{"zyk_backend_local.msg", "english"}}).bytes;
  const std::string with_german =
      BuildZip({{"zyk_backend_local.msg", "english"}, {"de/zyk_backend_local.msg", "deutsch"}}).bytes;
  const std::string german_only = BuildZip({{"de/zyk_backend_local.msg", "deutsch"}}).bytes;
  struct Case {
    const char* label;
    const std::string& archive;
    std::vector<std::string> locales;
    const char* expected;
  } cases[] = {
      {"regional German, plain only", plain_only, {"de_CH", "de", "en"}, "english"},
      {"regional German, German present", with_german, {"de_CH", "de", "en"}, "deutsch"},
      {"en first means the plain member", with_german, {"en", "de"}, "english"},
      {"empty names are skipped", with_german, {"", "de"}, "deutsch"},
      {"no preferences", with_german, {}, "english"},
      {"no match at all", german_only, {"fr"}, "<none>"},
  };
  for (const Case& c : cases) {
    std::unique_ptr<zip_file_impl> zip = MemoryZip(c.archive);
    size_t size = 0;
    EXPECT_EQ(Take(Common::ReadLocalizedResource(*zip, "zyk_backend_local.msg", c.locales, &size), size), c.expected)
        << c.label;
  }
}

TEST(ResourceArchive, ConversionDataRequestsMapToMembers) {
  const std::string package(40, 'P');
  const std::string item(24, 'I');
  std::unique_ptr<zip_file_impl> zip = MemoryZip(
      BuildZip({{"icudt38l.dat", package}, {"coll_root.res", item}, {"short.cnv", std::string(23, 's')}}).bytes);
  struct Case {
    const char* path;
    const char* member;  // null: not served
    std::string served;  // "<none>" when nothing is served
  } cases[] = {
      {"./icudt38l.dat", "icudt38l.dat", package},
      {"./icudt38l/coll/root.res", "coll_root.res", item},
      {"./icudt38l/short.cnv", "short.cnv", "<none>"},  // shorter than 24 bytes
      {"./icudt38l/missing.res", "missing.res", "<none>"},
      {"./icudt38l/", nullptr, "<none>"},
      {"./other/root.res", nullptr, "<none>"},
      {"icudt38l.dat", nullptr, "<none>"},
  };
  for (const Case& c : cases) {
    std::string member;
    EXPECT_EQ(Common::ConversionDataMember(c.path, member), c.member != nullptr) << c.path;
    if (c.member != nullptr) EXPECT_EQ(member, c.member);
    size_t size = 0;
    EXPECT_EQ(Take(Common::ReadConversionDataFrom(*zip, c.path, {"en"}, &size), size), c.served) << c.path;
  }
}

TEST(ResourceArchive, ThisExecutableCarriesTheCatalog) {
  const char16_t* text = Common::GetMessageText(Common::kMsgNotSupported);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text), u"The operation is not supported.");
  EXPECT_TRUE(Common::IsCatalogText(text));
  Common::Error error = Common::Error::File(Common::kErrNotSupported, ZYK_HERE);
  EXPECT_EQ(error.Description(), u"The operation is not supported.");
}

#ifdef ZYK_SHARED_LIBRARY
class BuiltLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(ZYK_SHARED_LIBRARY)) GTEST_SKIP() << "not built: " << ZYK_SHARED_LIBRARY;
  }
  const std::string library_ = ZYK_SHARED_LIBRARY;
};

TEST_F(BuiltLibrary, InfoZipListsAndTestsTheCatalogMember) {
  int status = 0;
  std::string listing = RunCommand("unzip -l " + library_, status);
  if (WEXITSTATUS(status) == 127) GTEST_SKIP() << "unzip is not installed";
  EXPECT_EQ(status, 0) << listing;
  EXPECT_NE(listing.find("zyk_backend_local.msg"), std::string::npos) << listing;
  EXPECT_NE(listing.find("1 file"), std::string::npos) << listing;
  std::string test = RunCommand("unzip -t " + library_, status);
  EXPECT_EQ(status, 0) << test;
  EXPECT_NE(test.find("No errors detected"), std::string::npos) << test;
}

TEST_F(BuiltLibrary, ZipSectionIsNotLoadedAndEndsTheContent) {
  int status = 0;
  std::string sections = RunCommand("readelf -S -W " + library_, status);
  if (WEXITSTATUS(status) == 127) GTEST_SKIP() << "readelf is not installed";
  // Section lines: "[Nr] Name Type Address Off Size ES Flg ...".
  struct Section {
    std::string name;
    unsigned long offset = 0, size = 0;
    std::string flags;
    std::string type;
  };
  std::vector<Section> list;
  std::istringstream lines(sections);
  for (std::string line; std::getline(lines, line);) {
    size_t close = line.find(']');
    if (line.find('[') == std::string::npos || close == std::string::npos || line.find("Nr]") != std::string::npos)
      continue;
    std::istringstream fields(line.substr(close + 1));
    Section s;
    std::string address, entry_size;
    fields >> s.name >> s.type >> address >> std::hex >> s.offset >> s.size >> entry_size;
    std::string rest;
    std::getline(fields, rest);
    std::istringstream flag_field(rest);
    flag_field >> s.flags;
    if (!s.name.empty() && s.type != "NULL") list.push_back(s);
  }
  const Section* zip = nullptr;
  for (const Section& s : list)
    if (s.name == ".zip") zip = &s;
  ASSERT_NE(zip, nullptr) << sections;
  EXPECT_EQ(zip->flags.find('A'), std::string::npos) << "the .zip section is allocated";
  for (const Section& s : list) {
    if (&s == zip || s.type == "NOBITS") continue;
    if (s.offset + s.size > zip->offset)
      EXPECT_EQ(s.name, ".shstrtab") << "only the section-name table may follow the archive";
  }
  std::string segments = RunCommand("readelf -l -W " + library_, status);
  size_t mapping = segments.find("Section to Segment mapping");
  ASSERT_NE(mapping, std::string::npos);
  EXPECT_EQ(segments.find(".zip", mapping), std::string::npos) << "the .zip section is in a segment";
}

TEST_F(BuiltLibrary, OurReaderFindsTheCatalogInTheLibrary) {
  std::unique_ptr<zip_file_impl> archive = Common::OpenResourceArchive(AsciiToUString(library_.c_str()));
  ASSERT_NE(archive, nullptr);
  ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
  size_t size = 0;
  void* catalog = Common::ReadLocalizedResource(*archive, Common::kMessageCatalogName, {"de_DE", "de", "en"}, &size);
  ASSERT_NE(catalog, nullptr);
  EXPECT_TRUE(Common::IsValidCatalog(catalog, size));
  EXPECT_EQ(std::u16string(Common::CatalogText(catalog, size, 384)), u"The operation is not supported.");
  std::free(catalog);
}
#endif

}  // namespace
