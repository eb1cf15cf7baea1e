#include "core/file/zipfile.h"

#include <cstdlib>
#include <functional>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/file/unix/resource_file.h"
#include "file/zip_builder.h"
#include "support/test_support.h"

namespace {

using zyk_test::BuildZip;
using zyk_test::ZipMember;

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::unique_ptr<zip_file_impl> OpenZip(const std::string& path) {
  std::unique_ptr<ri_file> file = OpenResourceFile(AsciiToUString(path.c_str()));
  if (file == nullptr) return nullptr;
  return std::make_unique<zip_file_impl>(std::move(file));
}

// Reads a member whole in chunks of `chunk` bytes; the error is left in `error`.
std::string ReadMember(zip_file_impl& zip, const char16_t* name, Common::Error& error, size_t chunk = 4096) {
  std::unique_ptr<si_file> file(zip.OpenI(name, true));
  if (file == nullptr) {
    error = zip.TakeError();
    return std::string();
  }
  std::string content;
  std::vector<char> buffer(chunk);
  for (;;) {
    size_t done = 0;
    file->Read(buffer.data(), buffer.size(), done);
    content.append(buffer.data(), done);
    if (file->HasError() || done < buffer.size()) break;
  }
  error = file->TakeError();
  return content;
}

// Text that compresses well but is not trivial: words drawn from a small vocabulary.
std::string SampleText(size_t bytes, uint64_t seed) {
  static const char* kWords[] = {"alpha ", "block ", "copy-on-write ", "volume ", "header\n", "tree ", "zyk "};
  std::mt19937_64 random(seed);
  std::string text;
  while (text.size() < bytes) text += kWords[random() % 7];
  text.resize(bytes);
  return text;
}

std::string RandomBytes(size_t bytes, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string data(bytes, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

bool HaveInfoZip() { return std::system("zip -v > /dev/null 2>&1") == 0; }

// Members written by Info-ZIP's zip in each test archive.
struct SourceFile {
  std::string name;
  std::string content;
};

std::vector<SourceFile> WriteSourceTree(const zyk_test::TempDir& dir) {
  std::vector<SourceFile> files = {
      {"notes.txt", SampleText(200000, 1)},
      {"random.bin", RandomBytes(70000, 2)},
      {"empty", ""},
      {"sub/inner.txt", "inner file\n"},
  };
  std::system(("mkdir -p " + dir.path() + "/src/sub").c_str());
  for (const SourceFile& file : files) WriteBytes(dir.path() + "/src/" + file.name, file.content);
  return files;
}

TEST(ZipFileImpl, ReadsArchivesWrittenByInfoZip) {
  if (!HaveInfoZip()) GTEST_SKIP() << "Info-ZIP zip is not installed";
  zyk_test::TempDir dir;
  std::vector<SourceFile> files = WriteSourceTree(dir);
  const std::string list = "notes.txt random.bin empty sub/inner.txt";
  struct Case {
    const char* label;
    std::string command;  // run inside src/, writing ../out.zip
    bool prepend_elf;
  } cases[] = {
      {"stored", "zip -q -0 ../out.zip " + list, false},
      {"deflated", "zip -q -9 ../out.zip " + list, false},
      {"with comment", "zip -q ../out.zip " + list + " && echo 'an archive comment' | zip -q -z ../out.zip", false},
      {"after an ELF file", "zip -q ../out.zip " + list, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string archive = dir.path() + "/out.zip";
    std::remove(archive.c_str());
    ASSERT_EQ(std::system(("cd " + dir.path() + "/src && " + c.command).c_str()), 0);
    if (c.prepend_elf) WriteBytes(archive, ReadBytes("/proc/self/exe") + ReadBytes(archive));

    std::unique_ptr<zip_file_impl> zip = OpenZip(archive);
    ASSERT_NE(zip, nullptr);
    ASSERT_FALSE(zip->HasError()) << zip->LastError().ToString();
    for (const SourceFile& file : files) {
      Common::Error error;
      std::string content = ReadMember(*zip, AsciiToUString(file.name.c_str()).c_str(), error);
      EXPECT_TRUE(error.Ok()) << file.name << ": " << error.ToString();
      EXPECT_EQ(content, file.content) << file.name;
    }
  }
}

TEST(ZipFileImpl, ReadsMembersWithDataDescriptors) {
  zyk_test::TempDir dir;
  std::string text = SampleText(50000, 3);
  WriteBytes(dir / "a.zip", BuildZip({{"streamed.txt", text, 8, true}, {"plain", "xyz", 0, true}}).bytes);
  std::unique_ptr<zip_file_impl> zip = OpenZip(dir / "a.zip");
  Common::Error error;
  EXPECT_EQ(ReadMember(*zip, u"streamed.txt", error), text);
  EXPECT_TRUE(error.Ok()) << error.ToString();
  EXPECT_EQ(ReadMember(*zip, u"plain", error), "xyz");
  EXPECT_TRUE(error.Ok()) << error.ToString();
}

TEST(ZipFileImpl, LooksUpNamesIgnoringAsciiCaseWithBackslashAsSlash) {
  zyk_test::TempDir dir;
  WriteBytes(dir / "a.zip",
             BuildZip({{"zyk_backend_local.msg", "catalog"}, {"de/Sub/File.txt", "german"}, {"back\\slash", "b"}})
                 .bytes);
  std::unique_ptr<zip_file_impl> zip = OpenZip(dir / "a.zip");
  struct Case {
    const char16_t* name;
    const char* content;  // null: not found
  } cases[] = {
      {u"zyk_backend_local.msg", "catalog"},
      {u"ZYK_BACKEND_LOCAL.MSG", "catalog"},
      {u"de/sub/file.TXT", "german"},
      {u"DE\\SUB\\FILE.TXT", "german"},
      {u"de/sub/file.tx", nullptr},
      {u"de/sub/file.txt2", nullptr},
      {u"", nullptr},
      {u"back\\slash", nullptr},  // a backslash in an entry name never matches
      {u"back/slash", nullptr},
      {u"zyk_backend_local.ms\u0147", nullptr},  // no folding beyond a-z
  };
  for (const Case& c : cases) {
    Common::Error error;
    std::string content = ReadMember(*zip, c.name, error);
    if (c.content == nullptr) {
      EXPECT_EQ(error.Code(), Common::kErrNotFound);
    } else {
      EXPECT_TRUE(error.Ok()) << error.ToString();
      EXPECT_EQ(content, c.content);
    }
  }
}

TEST(ZipFileImpl, RejectsDamagedMembersWithTheirCodes) {
  std::string text = SampleText(30000, 4);
  auto patch32 = [](uint32_t value, size_t field) {
    return [value, field](zyk_test::BuiltZip& zip) { zyk_test::Set32(zip.bytes, zip.local_headers[0] + field, value); };
  };
  struct Case {
    const char* label;
    ZipMember member;
    std::function<void(zyk_test::BuiltZip&)> damage;
    uint32_t code;
  } cases[] = {
      {"method 12", {"m", text, 12}, nullptr, Common::kErrNotSupported},
      {"local compressed size differs", {"m", text}, patch32(123, 18), Common::kErrCorrupted},
      {"local size differs", {"m", text}, patch32(123, 22), Common::kErrCorrupted},
      {"local crc differs", {"m", text}, patch32(123, 14), Common::kErrCorrupted},
      {"local signature wrong", {"m", text}, patch32(0x12345678, 0), Common::kErrCorrupted},
      {"deflate stream damaged",
       {"m", text},
       [](zyk_test::BuiltZip& zip) {
         for (size_t i = 0; i < 16; ++i) zip.bytes[zip.data_offsets[0] + 40 + i] ^= 0x5A;
       },
       Common::kErrCorrupted},
      {"stored data changed",
       {"m", text, 0},
       [](zyk_test::BuiltZip& zip) { zip.bytes[zip.data_offsets[0] + 100] ^= 1; },
       Common::kErrCorrupted},
      {"central crc wrong",
       {"m", text},
       [](zyk_test::BuiltZip& zip) { zyk_test::Set32(zip.bytes, zip.central_directory + 16, 1); },
       Common::kErrCorrupted},
  };
  zyk_test::TempDir dir;
  for (Case& c : cases) {
    SCOPED_TRACE(c.label);
    zyk_test::BuiltZip zip = BuildZip({c.member});
    if (c.damage) c.damage(zip);
    // Keep the central CRC consistent with the local one where only the local one was patched.
    WriteBytes(dir / "a.zip", zip.bytes);
    std::unique_ptr<zip_file_impl> archive = OpenZip(dir / "a.zip");
    ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
    Common::Error error;
    ReadMember(*archive, u"m", error);
    EXPECT_EQ(error.Code(), c.code) << error.ToString();
  }
}

TEST(ZipFileImpl, NonArchivesFailToOpenAndRefuseMembers) {
  zyk_test::TempDir dir;
  std::string good = BuildZip({{"m", "content"}}).bytes;
  std::string bad_count = good;
  bad_count[bad_count.size() - 12] = 5;  // entries on this disk differ from the total
  struct Case {
    const char* label;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"18 bytes", std::string(18, 'x')},
      {"text", std::string(5000, 'x')},
      {"inconsistent end record", bad_count},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    WriteBytes(dir / "a.zip", c.bytes);
    std::unique_ptr<zip_file_impl> zip = OpenZip(dir / "a.zip");
    EXPECT_EQ(zip->LastError().Code(), Common::kErrCorrupted);
    std::unique_ptr<si_file> file(zip->OpenI(u"m", true));
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(zip->LastError().Code(), Common::kErrOpenFailed);
    EXPECT_EQ(zip->LastError().Inner().Code(), Common::kErrCorrupted);
    std::unique_ptr<i_dir::iterator> listing(zip->GetIterator());
    EXPECT_EQ(listing, nullptr);
    EXPECT_EQ(zip->LastError().Code(), Common::kErrNotFound);
  }
}

// Every prefix and every single-byte change of an archive either fails with an
// error or reads back exactly the original content; nothing crashes.
TEST(ZipFileImpl, TruncatedAndMutatedArchivesNeverYieldWrongContent) {
  uint64_t seed = zyk_test::TestSeed();
  std::mt19937_64 random(seed);
  std::string text = SampleText(3000, seed);
  zyk_test::BuiltZip zip = BuildZip({{"a.txt", text}, {"b.bin", "stored bytes", 0}}, "comment");
  auto open = [](const std::string& bytes) {
    return std::make_unique<zip_file_impl>(std::make_unique<zyk_test::MemoryFile>(bytes));
  };
  auto check = [&](const std::string& bytes) {
    std::unique_ptr<zip_file_impl> archive = open(bytes);
    if (archive->HasError()) return;
    Common::Error error;
    std::string a = ReadMember(*archive, u"a.txt", error, 1 + random() % 5000);
    if (error.Ok()) {
      EXPECT_EQ(a, text);
    }
    std::string b = ReadMember(*archive, u"b.bin", error);
    if (error.Ok()) {
      EXPECT_EQ(b, "stored bytes");
    }
  };
  const size_t record_end = zip.bytes.size() - std::string("comment").size();
  for (size_t length = 0; length < zip.bytes.size(); ++length) {
    std::string truncated = zip.bytes.substr(0, length);
    if (length < record_end) EXPECT_TRUE(open(truncated)->HasError()) << "prefix of " << length << " bytes opened";
    check(truncated);
  }
  uint64_t rounds = zyk_test::Scaled(20000, 200);
  for (uint64_t round = 0; round < rounds; ++round) {
    std::string mutated = zip.bytes;
    mutated[random() % mutated.size()] ^= static_cast<char>(1 + random() % 255);
    check(mutated);
  }
}

// Deflated members read back whole whatever the read sizes, including reads
// that end in the middle of a block header or a match.
TEST(ZipFileImpl, DeflatedReadsInAnyChunkSizesMatchContent) {
  uint64_t seed = zyk_test::TestSeed();
  std::mt19937_64 random(seed);
  // Words and random runs alternate, so the compressed stream crosses many
  // 32 KiB input refills in the middle of literals, matches and block headers.
  std::string text;
  while (text.size() < zyk_test::Scaled(4000000, 400000))
    text += SampleText(random() % 3000, random()) + RandomBytes(random() % 300, random());
  zyk_test::TempDir dir;
  WriteBytes(dir / "a.zip", BuildZip({{"t", text}}).bytes);
  std::unique_ptr<zip_file_impl> zip = OpenZip(dir / "a.zip");
  for (size_t max_chunk : {size_t{1}, size_t{7}, size_t{1000}, size_t{70000}}) {
    std::unique_ptr<si_file> file(zip->OpenI(u"t", true));
    ASSERT_NE(file, nullptr);
    std::string content;
    std::vector<char> buffer(max_chunk);
    while (content.size() < text.size() && !file->HasError()) {
      size_t want = 1 + random() % max_chunk;
      size_t done = 0;
      file->Read(buffer.data(), want, done);
      content.append(buffer.data(), done);
      if (done < want) break;
    }
    EXPECT_FALSE(file->HasError()) << "chunks up to " << max_chunk << ": " << file->LastError().ToString();
    EXPECT_TRUE(content == text) << "chunks up to " << max_chunk;
  }
}

TEST(ZipFileImpl, ListsEntriesInCentralDirectoryOrder) {
  zyk_test::TempDir dir;
  WriteBytes(dir / "a.zip", BuildZip({{"b.txt", "bb"}, {"dir/", "", 0}, {"a.txt", "a"}}).bytes);
  std::unique_ptr<zip_file_impl> zip = OpenZip(dir / "a.zip");
  std::unique_ptr<i_dir::iterator> it(zip->GetIterator());
  ASSERT_NE(it, nullptr);
  std::vector<std::u16string> names;
  std::vector<uint64_t> sizes;
  std::vector<uint32_t> types;
  do {
    names.push_back(it->GetName());
    sizes.push_back(it->GetSize());
    types.push_back(it->GetType());
  } while (it->Next());
  EXPECT_EQ(it->LastError().Code(), Common::kErrEndOfFile);
  EXPECT_STREQ(it->LastError().Location()->function, "Next");
  EXPECT_EQ(names, (std::vector<std::u16string>{u"b.txt", u"dir/", u"a.txt"}));
  EXPECT_EQ(sizes, (std::vector<uint64_t>{2, 0, 1}));
  EXPECT_EQ(types, (std::vector<uint32_t>{kEntryRegular, kEntryDirectory, kEntryRegular}));
}

TEST(ZipFileImpl, OpensMembersByIteratorAndIdentifier) {
  zyk_test::TempDir dir;
  WriteBytes(dir / "a.zip", BuildZip({{"one", "1"}, {"two", "22"}}).bytes);
  std::unique_ptr<zip_file_impl> zip = OpenZip(dir / "a.zip");
  std::unique_ptr<i_dir::iterator> it(zip->GetIterator(u"TWO"));
  ASSERT_NE(it, nullptr);
  std::unique_ptr<file_identifier> id(it->GetIdentifier());
  std::unique_ptr<file_identifier> copy(id->Clone());
  std::unique_ptr<si_file> by_iterator(zip->OpenI(it.get(), true));
  std::unique_ptr<si_file> by_identifier(zip->OpenI(copy.get(), true));
  ASSERT_NE(by_iterator, nullptr);
  ASSERT_NE(by_identifier, nullptr);
  EXPECT_EQ(by_identifier->GetSize(), 2u);
  EXPECT_EQ(zip->CompareIdentifiers(id.get(), copy.get()), 0);
  std::unique_ptr<i_dir::iterator> first(zip->GetIterator());
  std::unique_ptr<file_identifier> first_id(first->GetIdentifier());
  EXPECT_LT(zip->CompareIdentifiers(first_id.get(), id.get()), 0);
  // An identifier of another archive opens nothing here.
  std::unique_ptr<zip_file_impl> other = OpenZip(dir / "a.zip");
  std::unique_ptr<si_file> foreign(other->OpenI(id.get(), true));
  EXPECT_EQ(foreign, nullptr);
  EXPECT_EQ(other->LastError().Code(), Common::kErrOpenFailed);
  EXPECT_EQ(zip->CompareDir(zip->NewView().get()), 0);
  EXPECT_EQ(zip->CompareDir(other.get()), 2);
}

TEST(ZipFileImpl, DirectoryAndRewindOperationsAreNotSupported) {
  zyk_test::TempDir dir;
  WriteBytes(dir / "a.zip", BuildZip({{"sub/one", "1"}}).bytes);
  std::unique_ptr<zip_file_impl> zip = OpenZip(dir / "a.zip");
  std::unique_ptr<i_dir> sub(zip->OpenDir(u"sub"));
  EXPECT_EQ(sub, nullptr);
  EXPECT_EQ(zip->TakeError().Code(), Common::kErrNotSupported);
  std::unique_ptr<i_dir::iterator> self(zip->GetSelfIterator());
  EXPECT_EQ(self, nullptr);
  EXPECT_EQ(zip->TakeError().Code(), Common::kErrNotSupported);
  std::unique_ptr<si_file> file(zip->OpenI(u"sub/one", true));
  file->Rewind();
  EXPECT_EQ(file->LastError().Code(), Common::kErrNotSupported);
  size_t done = 5;
  char byte;
  file->Read(&byte, 1, done);  // the failure is sticky
  EXPECT_EQ(done, 0u);
}

TEST(ZipFileImpl, MembersOfOneArchiveReadConcurrently) {
  zyk_test::TempDir dir;
  std::vector<ZipMember> members;
  for (int i = 0; i < 4; ++i) members.push_back({"m" + std::to_string(i), SampleText(200000, 10 + i)});
  WriteBytes(dir / "a.zip", BuildZip(members).bytes);
  std::unique_ptr<zip_file_impl> zip = OpenZip(dir / "a.zip");
  std::vector<std::unique_ptr<si_file>> files;
  for (const ZipMember& member : members)
    files.emplace_back(zip->OpenI(AsciiToUString(member.name.c_str()).c_str(), true));
  zip.reset();  // the files keep the archive alive
  std::vector<std::string> results(files.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < files.size(); ++i)
    threads.emplace_back([&, i] {
      char buffer[977];
      size_t done = 0;
      do {
        files[i]->Read(buffer, sizeof buffer, done);
        results[i].append(buffer, done);
      } while (done == sizeof buffer);
    });
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_FALSE(files[i]->HasError());
    EXPECT_TRUE(results[i] == members[i].data) << members[i].name;
  }
}

}  // namespace
