// The zip reader and the message catalog from arbitrary bytes: the archive is
// listed, every member is read to its end (each read checked against the
// member's size), the catalog member is looked up as the library does, and
// the input itself is tried as a catalog.

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/common/messages.h"
#include "core/file/resource_archive.h"
#include "core/file/zipfile.h"
#include "file/zip_builder.h"
#include "fuzz/fuzz_targets.h"

namespace zyk_fuzz {
namespace {

constexpr int kMaxMembers = 64;
constexpr uint64_t kMaxMemberBytes = uint64_t{1} << 20;

void ReadMember(si_file* member) {
  std::unique_ptr<si_file> file(member);
  if (!file || file->HasError()) return;
  uint64_t size = file->GetSize();
  std::vector<uint8_t> buffer(4096);
  uint64_t total = 0;
  while (total < kMaxMemberBytes) {
    size_t done = 0;
    file->Read(buffer.data(), buffer.size(), done);
    FUZZ_CHECK(done <= buffer.size());
    total += done;
    if (file->HasError() || done < buffer.size()) break;
  }
  // A clean read ends exactly at the member's size.
  if (!file->HasError() && total < kMaxMemberBytes) FUZZ_CHECK(total == size);
}

// A name as lookups compare it: a-z without case, a backslash as "/".
std::u16string Folded(const char16_t* name) {
  std::u16string folded(name);
  for (char16_t& unit : folded) {
    if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
    if (unit == u'\\') unit = u'/';
  }
  return folded;
}

// Every text of a valid catalog ends inside it.
void CheckCatalog(const uint8_t* data, size_t size) {
  if (!Common::IsValidCatalog(data, size)) return;
  for (uint32_t id = 0; id < size && id < 4096; id += 4) {
    const char16_t* text = Common::CatalogText(data, size, id);
    if (text == nullptr) continue;
    auto offset = static_cast<size_t>(reinterpret_cast<const uint8_t*>(text) - data);
    FUZZ_CHECK(offset >= 8 && offset % 2 == 0 && offset + 2 <= size);
    size_t length = 0;
    while (offset + 2 * length + 2 <= size && text[length] != 0) ++length;
    FUZZ_CHECK(offset + 2 * length + 2 <= size);
  }
}

}  // namespace

int ZipReader(const uint8_t* data, size_t size) {
  if (size > (1 << 16)) return 0;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  // The catalog check reads 16-bit units: give it an aligned copy, as malloc does.
  std::vector<uint16_t> aligned((size + 1) / 2);
  if (size > 0) std::memcpy(aligned.data(), data, size);
  CheckCatalog(reinterpret_cast<const uint8_t*>(aligned.data()), size);

  zip_file_impl archive(std::make_unique<zyk_test::MemoryFile>(bytes));
  if (!archive.IsLoaded()) {
    FUZZ_CHECK(archive.HasError());
    return 0;
  }
  std::unique_ptr<i_dir::iterator> entry(archive.GetIterator());
  for (int i = 0; entry && !entry->HasError() && i < kMaxMembers; ++i) {
    const char16_t* name = entry->GetName();
    FUZZ_CHECK(name != nullptr);
    (void)entry->GetType();
    ReadMember(archive.OpenI(entry.get(), true));
    archive.ClearError();
    ReadMember(archive.OpenI(name, true));  // the same or an earlier member of that name
    archive.ClearError();
    std::unique_ptr<file_identifier> identifier(entry->GetIdentifier());
    ReadMember(archive.OpenI(identifier.get(), true));
    archive.ClearError();
    std::unique_ptr<i_dir::iterator> found(archive.GetIterator(name));
    if (found) FUZZ_CHECK(Folded(found->GetName()) == Folded(name));
    archive.ClearError();
    if (!entry->Next()) break;
  }
  size_t catalog_size = 0;
  void* catalog =
      Common::ReadLocalizedResource(archive, Common::kMessageCatalogName, {"de_DE", "de", "en"}, &catalog_size);
  if (catalog != nullptr) CheckCatalog(static_cast<const uint8_t*>(catalog), catalog_size);
  std::free(catalog);
  return 0;
}

}  // namespace zyk_fuzz
