#include "core/file/resource_archive.h"

#include <elf.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/common/messages.h"
#include "core/file/unix/module_path.h"
#include "file/zip_builder.h"
#include "support/test_support.h"

namespace {

using zyk_test::BuildZip;

std::unique_ptr<zip_file_impl> MemoryZip(const std::string& bytes) {
  return std::make_unique<zip_file_impl>(std::make_unique<zyk_test::MemoryFile>(bytes));
}

// The bytes a reading call returned (and frees them), or "<none>".
std::string Take(void* data, const size_t& size) {  // size by reference: set by the call that yields data
  if (data == nullptr) return "<none>";
  std::string bytes(static_cast<const char*>(data), size);
  std::free(data);
  return bytes;
}

TEST(ResourceArchive, ModulePathsAreAbsoluteAndTheSidecarReplacesTheExtension) {
  const char* absolute[][3] = {
      {"lib/libx.so", "/home/u", "/home/u/lib/libx.so"},
      {"./a/../b.so", "/w", "/w/b.so"},
      {"/a/./b//../c.so", nullptr, "/a/c.so"},
      {"../../../x.so", "/a/b", "/x.so"},
      {"x/y.so", nullptr, ""},
  };
  for (const auto& c : absolute) EXPECT_EQ(Common::AbsoluteModulePath(c[0], c[1]), c[2]) << c[0];
  const char16_t* sidecars[][2] = {
      {u"/usr/lib/libzyk_backend_local.so", u"/usr/lib/libzyk_backend_local.dat"},
      {u"/usr/lib/libzyk_backend_local.so.1", u"/usr/lib/libzyk_backend_local.so.dat"},
      {u"/opt/a.d/file_test", u"/opt/a.d/file_test.dat"},
      {u"/tests", u"/tests.dat"},
  };
  for (const auto& c : sidecars) EXPECT_EQ(Common::SidecarPath(c[0]), c[1]);
  const UString module = Common::GetModulePath();
  ASSERT_FALSE(module.empty());
  EXPECT_TRUE(std::filesystem::equivalent(zyk_test::Narrow(module.c_str()), "/proc/self/exe"));
}

TEST(ResourceArchive, SidecarTakesPrecedenceOverTheModule) {
  zyk_test::TempDir dir;
  const UString module = AsciiToUString((dir / "libmod.so").c_str());
  EXPECT_EQ(Common::OpenResourceArchive(module), nullptr);  // neither exists
  size_t size = 0;
  zyk_test::WriteFile(dir / "libmod.so", std::string(5000, '\x7f') + BuildZip({{"which", "module"}}).bytes);
  std::unique_ptr<zip_file_impl> archive = Common::OpenResourceArchive(module);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(Take(Common::ReadLocalizedResource(*archive, "which", {}, &size), size), "module");
  zyk_test::WriteFile(dir / "libmod.dat", BuildZip({{"which", "sidecar"}}).bytes);
  archive = Common::OpenResourceArchive(module);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(Take(Common::ReadLocalizedResource(*archive, "which", {}, &size), size), "sidecar");
}

TEST(ResourceArchive, LocalizedLookupFallsBackToThePlainMember) {
  const std::string plain_only = BuildZip({{"zyk_backend_local.msg", "english"}}).bytes;
  const std::string with_german =
      BuildZip({{"zyk_backend_local.msg", "english"}, {"de/zyk_backend_local.msg", "deutsch"}}).bytes;
  const std::string german_only = BuildZip({{"de/zyk_backend_local.msg", "deutsch"}}).bytes;
  const std::tuple<const char*, const std::string&, std::vector<std::string>, const char*> cases[] = {
      {"regional German, plain only", plain_only, {"de_CH", "de", "en"}, "english"},
      {"regional German, German present", with_german, {"de_CH", "de", "en"}, "deutsch"},
      {"en first means the plain member", with_german, {"en", "de"}, "english"},
      {"empty names are skipped", with_german, {"", "de"}, "deutsch"},
      {"no preferences", with_german, {}, "english"},
      {"no match at all", german_only, {"fr"}, "<none>"},
  };
  for (const auto& [label, archive, locales, expected] : cases) {
    size_t size = 0;
    EXPECT_EQ(Take(Common::ReadLocalizedResource(*MemoryZip(archive), "zyk_backend_local.msg", locales, &size), size),
              expected)
        << label;
  }
}

TEST(ResourceArchive, ConversionDataRequestsMapToMembers) {
  const std::string package(40, 'P'), item(24, 'I');
  std::unique_ptr<zip_file_impl> zip = MemoryZip(
      BuildZip({{"icudt38l.dat", package}, {"coll_root.res", item}, {"short.cnv", std::string(23, 's')}}).bytes);
  const std::tuple<const char*, const char*, std::string> cases[] = {
      // request, member it maps to (null: none), what is served
      {"./icudt38l.dat", "icudt38l.dat", package},
      {"./icudt38l/coll/root.res", "coll_root.res", item},
      {"./icudt38l/short.cnv", "short.cnv", "<none>"},  // shorter than 24 bytes
      {"./icudt38l/missing.res", "missing.res", "<none>"},
      {"./icudt38l/", nullptr, "<none>"},
      {"./other/root.res", nullptr, "<none>"},
      {"icudt38l.dat", nullptr, "<none>"},
  };
  for (const auto& [path, member, served] : cases) {
    std::string mapped;
    EXPECT_EQ(Common::ConversionDataMember(path, mapped), member != nullptr) << path;
    if (member != nullptr) {
      EXPECT_EQ(mapped, member);
    }
    size_t size = 0;
    EXPECT_EQ(Take(Common::ReadConversionDataFrom(*zip, path, {"en"}, &size), size), served) << path;
  }
}

TEST(ResourceArchive, ThisExecutableCarriesTheCatalog) {
  const char16_t* text = Common::GetMessageText(Common::kMsgNotSupported);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text), u"The operation is not supported.");
  EXPECT_TRUE(Common::IsCatalogText(text));
  EXPECT_EQ(Common::Error::File(Common::kErrNotSupported, ZYK_HERE).Description(), u"The operation is not supported.");
}

#ifdef ZYK_SHARED_LIBRARY
class BuiltLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(library_)) GTEST_SKIP() << "not built: " << library_;
  }
  // Runs a shell command on the library; its output and exit status.
  std::string Run(const std::string& command, int& status) {
    std::string output;
    FILE* pipe = ::popen((command + " " + library_ + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    status = ::pclose(pipe);
    return output;
  }
  const std::string library_ = ZYK_SHARED_LIBRARY;
};

TEST_F(BuiltLibrary, InfoZipListsAndTestsTheCatalogMember) {
  int status = 0;
  std::string listing = Run("unzip -l", status);
  if (WEXITSTATUS(status) == 127) GTEST_SKIP() << "unzip is not installed";
  EXPECT_EQ(status, 0) << listing;
  EXPECT_NE(listing.find("zyk_backend_local.msg"), std::string::npos) << listing;
  EXPECT_NE(listing.find("1 file"), std::string::npos) << listing;
  std::string test = Run("unzip -t", status);
  EXPECT_EQ(status, 0) << test;
  EXPECT_NE(test.find("No errors detected"), std::string::npos) << test;
}

TEST_F(BuiltLibrary, ZipSectionIsNotLoadedAndFollowsAllLoadedData) {
  const std::string image = zyk_test::ReadFile(library_);
  ASSERT_GE(image.size(), sizeof(Elf64_Ehdr));
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(image.data());
  ASSERT_LE(header->e_shoff + header->e_shnum * sizeof(Elf64_Shdr), image.size());
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + header->e_shoff);
  const auto* segments = reinterpret_cast<const Elf64_Phdr*>(image.data() + header->e_phoff);
  const char* names = image.data() + sections[header->e_shstrndx].sh_offset;
  const Elf64_Shdr* zip = nullptr;
  for (int i = 0; i < header->e_shnum; ++i)
    if (std::string(names + sections[i].sh_name) == ".zip") zip = &sections[i];
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(zip->sh_flags & SHF_ALLOC, 0u) << "the .zip section is allocated";
  for (int i = 0; i < header->e_shnum; ++i) {
    const Elf64_Shdr& s = sections[i];
    bool follows = s.sh_type != SHT_NOBITS && s.sh_type != SHT_NULL && s.sh_offset + s.sh_size > zip->sh_offset;
    if (&s != zip && follows) {
      EXPECT_STREQ(names + s.sh_name, ".shstrtab") << "only the section-name table may follow the archive";
    }
  }
  for (int i = 0; i < header->e_phnum; ++i)
    EXPECT_LE(segments[i].p_offset + segments[i].p_filesz, zip->sh_offset) << "segment " << i << " reaches the archive";
}

// Stripping moves the archive's section toward the start of the file, and may put the symbol table after it;
// the catalog still reads.
TEST_F(BuiltLibrary, OurReaderFindsTheCatalogInTheLibraryAndInStrippedCopies) {
  zyk_test::TempDir dir;
  for (const char* strip : {"", "--strip-debug", "--strip-unneeded", "--strip-all"}) {
    SCOPED_TRACE(*strip ? strip : "as built");
    std::string path = library_;
    if (*strip) {
      path = dir / "stripped.so";
      int status = 0;
      std::string output = Run(std::string("strip ") + strip + " -o " + path, status);
      if (WEXITSTATUS(status) == 127) GTEST_SKIP() << "strip is not installed";
      ASSERT_EQ(status, 0) << output;
    }
    std::unique_ptr<zip_file_impl> archive = Common::OpenResourceArchive(AsciiToUString(path.c_str()));
    ASSERT_NE(archive, nullptr);
    ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
    size_t size = 0;
    void* catalog = Common::ReadLocalizedResource(*archive, Common::kMessageCatalogName, {"de_DE", "de", "en"}, &size);
    ASSERT_NE(catalog, nullptr);
    EXPECT_TRUE(Common::IsValidCatalog(catalog, size));
    EXPECT_EQ(std::u16string(Common::CatalogText(catalog, size, 384)), u"The operation is not supported.");
    std::free(catalog);
  }
}
#endif

}  // namespace
