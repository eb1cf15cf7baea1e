#include "core/file/zipfile.h"

#include <cstdlib>
#include <functional>
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

std::unique_ptr<zip_file_impl> OpenZip(const std::string& path) {
  std::unique_ptr<ri_file> file = OpenResourceFile(AsciiToUString(path.c_str()));
  return file ? std::make_unique<zip_file_impl>(std::move(file)) : nullptr;
}

std::unique_ptr<zip_file_impl> MemoryZip(const std::string& bytes) {
  return std::make_unique<zip_file_impl>(std::make_unique<zyk_test::MemoryFile>(bytes));
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
  for (size_t done = chunk; done == chunk && !file->HasError();) {
    file->Read(buffer.data(), chunk, done);
    content.append(buffer.data(), done);
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

TEST(ZipFileImpl, ReadsArchivesWrittenByInfoZip) {
  if (std::system("zip -v > /dev/null 2>&1") != 0) GTEST_SKIP() << "Info-ZIP zip is not installed";
  zyk_test::TempDir dir;
  const std::pair<std::string, std::string> files[] = {{"notes.txt", SampleText(200000, 1)},
                                                       {"random.bin", RandomBytes(70000, 2)},
                                                       {"empty", ""},
                                                       {"sub/inner.txt", "inner file\n"}};
  ASSERT_EQ(std::system(("mkdir -p " + dir.path() + "/src/sub").c_str()), 0);
  for (const auto& [name, content] : files) zyk_test::WriteFile(dir / ("src/" + name), content);
  const std::string add = "zip -q ../out.zip notes.txt random.bin empty sub/inner.txt";
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"stored", "zip -q -0 ../out.zip notes.txt random.bin empty sub/inner.txt", false},
      {"deflated", add, false},
      {"with comment", add + " && echo 'an archive comment' | zip -q -z ../out.zip", false},
      {"after an ELF file", add, true},
  };
  const std::string archive = dir / "out.zip";
  for (const auto& [label, command, prepend_elf] : cases) {
    SCOPED_TRACE(label);
    std::remove(archive.c_str());
    ASSERT_EQ(std::system(("cd " + dir.path() + "/src && " + command).c_str()), 0);
    if (prepend_elf) zyk_test::WriteFile(archive, zyk_test::ReadFile("/proc/self/exe") + zyk_test::ReadFile(archive));
    std::unique_ptr<zip_file_impl> zip = OpenZip(archive);
    ASSERT_NE(zip, nullptr);
    ASSERT_FALSE(zip->HasError()) << zip->LastError().ToString();
    for (const auto& [name, content] : files) {
      Common::Error error;
      EXPECT_EQ(ReadMember(*zip, AsciiToUString(name.c_str()).c_str(), error), content) << name;
      EXPECT_TRUE(error.Ok()) << name << ": " << error.ToString();
    }
  }
}

// An archive moved whole, as a section of a binary is by strip, reads from where it lies, with bytes before and
// after it; its recorded offsets may point before or after that place.
TEST(ZipFileImpl, ReadsAnArchiveMovedWholeInsideALargerFile) {
  const std::string text = SampleText(20000, 5);
  const std::pair<uint32_t, size_t> cases[] = {{0, 4000}, {100000, 100000}, {100000, 4000}, {100000, 0}};
  for (const auto& [recorded_at, placed_at] : cases) {
    const std::string archive = BuildZip({{"a.txt", text}, {"b.bin", "stored", 0}}, "", recorded_at).bytes;
    std::unique_ptr<zip_file_impl> zip = MemoryZip(std::string(placed_at, '\x7f') + archive + std::string(3000, 's'));
    for (const auto& [name, content] : {std::pair{u"a.txt", text}, std::pair{u"b.bin", std::string("stored")}}) {
      Common::Error error;
      EXPECT_TRUE(ReadMember(*zip, name, error) == content) << recorded_at << " at " << placed_at;
      EXPECT_TRUE(error.Ok()) << recorded_at << " at " << placed_at << ": " << error.ToString();
    }
  }
}

// Names match without regard to ASCII letter case, with a backslash in the request standing for a slash.
TEST(ZipFileImpl, FindsMembersByNameIgnoringAsciiCaseWithBackslashAsSlash) {
  const std::string streamed = SampleText(50000, 3);
  std::unique_ptr<zip_file_impl> zip = MemoryZip(BuildZip({{"zyk_backend_local.msg", "catalog"},
                                                           {"de/Sub/File.txt", "german"},
                                                           {"back\\slash", "b"},
                                                           {"streamed.txt", streamed, 8, true},
                                                           {"plain", "xyz", 0, true}})
                                                     .bytes);
  const std::pair<const char16_t*, std::string> cases[] = {
      {u"zyk_backend_local.msg", "catalog"},
      {u"ZYK_BACKEND_LOCAL.MSG", "catalog"},
      {u"de/sub/file.TXT", "german"},
      {u"DE\\SUB\\FILE.TXT", "german"},
      {u"streamed.txt", streamed},  // members with data descriptors
      {u"plain", "xyz"},
      {u"de/sub/file.tx", ""},
      {u"de/sub/file.txt2", ""},
      {u"", ""},
      {u"back\\slash", ""},  // a backslash in an entry name never matches
      {u"back/slash", ""},
      {u"zyk_backend_local.ms\u0147", ""},  // no folding beyond a-z
  };
  for (const auto& [name, content] : cases) {
    Common::Error error;
    EXPECT_EQ(ReadMember(*zip, name, error), content) << zyk_test::Narrow(name);
    EXPECT_EQ(error.Code(), content.empty() ? Common::kErrNotFound : 0u) << zyk_test::Narrow(name);
  }
}

TEST(ZipFileImpl, RejectsDamagedMembersWithTheirCodes) {
  const std::string text = SampleText(30000, 4);
  using Damage = std::function<void(zyk_test::BuiltZip&)>;
  auto local32 = [](size_t field, uint32_t value) -> Damage {
    return [=](zyk_test::BuiltZip& zip) { zyk_test::Set32(zip.bytes, zip.local_headers[0] + field, value); };
  };
  const std::tuple<const char*, ZipMember, Damage, uint32_t> cases[] = {
      {"method 12", {"m", text, 12}, nullptr, Common::kErrNotSupported},
      {"local compressed size differs", {"m", text}, local32(18, 123), Common::kErrCorrupted},
      {"local size differs", {"m", text}, local32(22, 123), Common::kErrCorrupted},
      {"local crc differs", {"m", text}, local32(14, 123), Common::kErrCorrupted},
      {"local signature wrong", {"m", text}, local32(0, 0x12345678), Common::kErrCorrupted},
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
      {"member recorded before the file start",
       {"m", text},
       [](zyk_test::BuiltZip& zip) { zyk_test::Set32(zip.bytes, zip.bytes.size() - 6, 0x10000); },
       Common::kErrCorrupted},
  };
  for (const auto& [label, member, damage, code] : cases) {
    zyk_test::BuiltZip zip = BuildZip({member});
    if (damage) damage(zip);
    std::unique_ptr<zip_file_impl> archive = MemoryZip(zip.bytes);
    ASSERT_FALSE(archive->HasError()) << label << ": " << archive->LastError().ToString();
    Common::Error error;
    ReadMember(*archive, u"m", error);
    EXPECT_EQ(error.Code(), code) << label << ": " << error.ToString();
  }
}

// A size no deflate stream of the member's compressed size can reach is refused
// when the member opens, before anything is sized by it.
TEST(ZipFileImpl, RefusesAtOpenASizeBeyondWhatDeflateExpandsTo) {
  zyk_test::BuiltZip zip = BuildZip({{"m", SampleText(3000, 4), 8, true}});  // no sizes in the local header
  zyk_test::Set32(zip.bytes, zip.central_directory + 24, 0x90000000);
  std::unique_ptr<zip_file_impl> archive = MemoryZip(zip.bytes);
  std::unique_ptr<si_file> member(archive->OpenI(u"m", true));
  EXPECT_EQ(member, nullptr);
  EXPECT_EQ(archive->LastError().Code(), Common::kErrCorrupted);
}

// Every prefix cut before the end record and other non-archives fail to open and refuse members; every prefix
// and single-byte change either fails or reads back exactly the original content; nothing crashes.
TEST(ZipFileImpl, TruncatedAndMutatedArchivesNeverYieldWrongContent) {
  const uint64_t seed = zyk_test::TestSeed();
  std::mt19937_64 random(seed);
  const std::string text = SampleText(3000, seed);
  const std::string bytes = BuildZip({{"a.txt", text}, {"b.bin", "stored bytes", 0}}, "comment").bytes;
  auto expect_refused = [](const std::string& input, const std::string& what) {
    std::unique_ptr<zip_file_impl> zip = MemoryZip(input);
    EXPECT_EQ(zip->LastError().Code(), Common::kErrCorrupted) << what;
    EXPECT_EQ(std::unique_ptr<si_file>(zip->OpenI(u"a.txt", true)), nullptr) << what;
    EXPECT_EQ(zip->LastError().Code(), Common::kErrOpenFailed) << what;
    EXPECT_EQ(zip->LastError().Inner().Code(), Common::kErrCorrupted) << what;
    EXPECT_EQ(std::unique_ptr<i_dir::iterator>(zip->GetIterator()), nullptr) << what;
    EXPECT_EQ(zip->LastError().Code(), Common::kErrNotFound) << what;
  };
  auto expect_right_or_error = [&](const std::string& input) {
    std::unique_ptr<zip_file_impl> archive = MemoryZip(input);
    if (archive->HasError()) return;
    Common::Error error;
    std::string a = ReadMember(*archive, u"a.txt", error, 1 + random() % 5000);
    EXPECT_TRUE(!error.Ok() || a == text);
    std::string b = ReadMember(*archive, u"b.bin", error);
    EXPECT_TRUE(!error.Ok() || b == "stored bytes") << b;
  };
  std::string bad_count = bytes;
  bad_count[bad_count.size() - 7 - 12] = 5;  // entries on this disk differ from the total
  expect_refused(std::string(5000, 'x'), "text");
  expect_refused(bad_count, "inconsistent end record");
  for (size_t length = 0; length < bytes.size(); ++length) {
    if (length < bytes.size() - 7) expect_refused(bytes.substr(0, length), "prefix of " + std::to_string(length));
    expect_right_or_error(bytes.substr(0, length));
  }
  for (uint64_t round = 0, rounds = zyk_test::Scaled(20000, 200); round < rounds; ++round) {
    std::string mutated = bytes;
    mutated[random() % mutated.size()] ^= static_cast<char>(1 + random() % 255);
    expect_right_or_error(mutated);
  }
}

// Deflated members read back whole whatever the read sizes, including reads that end in the middle of a block
// header or a match: words and random runs alternate, so the stream crosses many input refills.
TEST(ZipFileImpl, DeflatedReadsInAnyChunkSizesMatchContent) {
  std::mt19937_64 random(zyk_test::TestSeed());
  std::string text;
  while (text.size() < zyk_test::Scaled(4000000, 400000))
    text += SampleText(random() % 3000, random()) + RandomBytes(random() % 300, random());
  zyk_test::TempDir dir;
  zyk_test::WriteFile(dir / "a.zip", BuildZip({{"t", text}}).bytes);
  std::unique_ptr<zip_file_impl> zip = OpenZip(dir / "a.zip");
  for (size_t max_chunk : {1, 7, 1000, 70000}) {
    std::unique_ptr<si_file> file(zip->OpenI(u"t", true));
    ASSERT_NE(file, nullptr);
    std::string content;
    std::vector<char> buffer(max_chunk);
    for (size_t want = 0, done = 0; done == want && content.size() < text.size() && !file->HasError();) {
      want = 1 + random() % max_chunk;
      file->Read(buffer.data(), want, done);
      content.append(buffer.data(), done);
    }
    EXPECT_FALSE(file->HasError()) << "chunks up to " << max_chunk << ": " << file->LastError().ToString();
    EXPECT_TRUE(content == text) << "chunks up to " << max_chunk;
  }
}

TEST(ZipFileImpl, IteratorListsInCentralOrderAndIdentifiersReopen) {
  const std::string bytes = BuildZip({{"b.txt", "bb"}, {"dir/", "", 0}, {"a.txt", "a"}}).bytes;
  std::unique_ptr<zip_file_impl> zip = MemoryZip(bytes), other = MemoryZip(bytes);
  std::unique_ptr<i_dir::iterator> it(zip->GetIterator());
  ASSERT_NE(it, nullptr);
  std::vector<std::tuple<std::u16string, uint64_t, uint32_t>> listed;
  do listed.emplace_back(it->GetName(), it->GetSize(), it->GetType());
  while (it->Next());
  EXPECT_EQ(it->LastError().Code(), Common::kErrEndOfFile);
  EXPECT_STREQ(it->LastError().Location()->function, "Next");
  EXPECT_EQ(listed, (decltype(listed){
                        {u"b.txt", 2, kEntryRegular}, {u"dir/", 0, kEntryDirectory}, {u"a.txt", 1, kEntryRegular}}));

  std::unique_ptr<i_dir::iterator> found(zip->GetIterator(u"A.TXT"));
  ASSERT_NE(found, nullptr);
  std::unique_ptr<file_identifier> id(found->GetIdentifier()), copy(id->Clone());
  std::unique_ptr<i_dir::iterator> first(zip->GetIterator());
  std::unique_ptr<file_identifier> first_id(first->GetIdentifier());
  EXPECT_EQ(zip->CompareIdentifiers(id.get(), copy.get()), 0);
  EXPECT_LT(zip->CompareIdentifiers(first_id.get(), id.get()), 0);
  std::unique_ptr<si_file> by_iterator(zip->OpenI(found.get(), true)), by_identifier(zip->OpenI(copy.get(), true));
  ASSERT_NE(by_iterator, nullptr);
  ASSERT_NE(by_identifier, nullptr);
  EXPECT_EQ(by_identifier->GetSize(), 1u);
  // An identifier of another archive opens nothing there.
  EXPECT_EQ(std::unique_ptr<si_file>(other->OpenI(id.get(), true)), nullptr);
  EXPECT_EQ(other->LastError().Code(), Common::kErrOpenFailed);
  // An iterator found afterwards leaves no stale error behind.
  std::unique_ptr<i_dir::iterator> other_first(other->GetIterator());
  EXPECT_FALSE(other->HasError()) << other->LastError().ToString();
  std::unique_ptr<file_identifier> other_id(other_first->GetIdentifier());
  EXPECT_EQ(std::unique_ptr<si_file>(other->OpenI(id.get(), true)), nullptr);
  EXPECT_NE(std::unique_ptr<i_dir::iterator>(other->GetIterator(other_id.get())), nullptr);
  EXPECT_FALSE(other->HasError()) << other->LastError().ToString();
  EXPECT_EQ(zip->CompareDir(zip->NewView().get()), 0);
  EXPECT_EQ(zip->CompareDir(other.get()), 2);
}

TEST(ZipFileImpl, MembersOfOneArchiveReadConcurrentlyAndOutliveIt) {
  std::vector<ZipMember> members;
  for (int i = 0; i < 4; ++i) members.push_back({"m" + std::to_string(i), SampleText(200000, 10 + i)});
  std::unique_ptr<zip_file_impl> zip = MemoryZip(BuildZip(members).bytes);
  std::vector<std::unique_ptr<si_file>> files;
  for (const ZipMember& member : members)
    files.emplace_back(zip->OpenI(AsciiToUString(member.name.c_str()).c_str(), true));
  zip.reset();  // the files keep the archive alive
  std::vector<std::string> results(files.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < files.size(); ++i)
    threads.emplace_back([&, i] {
      char buffer[977];
      for (size_t done = sizeof buffer; done == sizeof buffer; results[i].append(buffer, done))
        files[i]->Read(buffer, sizeof buffer, done);
    });
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_FALSE(files[i]->HasError());
    EXPECT_TRUE(results[i] == members[i].data) << members[i].name;
  }
}

}  // namespace
