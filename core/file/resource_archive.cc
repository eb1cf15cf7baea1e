#include "core/file/resource_archive.h"

#include <elf.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/common/locale.h"
#include "core/common/messages.h"
#include "core/file/unix/module_path.h"
#include "core/file/unix/resource_file.h"

namespace Common {
namespace {

constexpr size_t kMinConversionDataSize = 24;

// The process's resource archive, created on first use and kept until exit.
// Racing creators publish with compare-and-swap; a loser drops its own copy.
std::atomic<zip_file_impl*> g_archive{nullptr};
std::atomic<bool> g_archive_missing{false};

zip_file_impl* ProcessArchive() {
  zip_file_impl* archive = g_archive.load(std::memory_order_acquire);
  if (archive != nullptr || g_archive_missing.load(std::memory_order_acquire)) return archive;
  std::unique_ptr<zip_file_impl> made = OpenResourceArchive(GetModulePath());
  if (made == nullptr) {
    g_archive_missing.store(true, std::memory_order_release);
    return nullptr;
  }
  zip_file_impl* expected = nullptr;
  if (g_archive.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
  return expected;
}

void* ReadWhole(si_file& file, size_t* size) {
  uint64_t length = file.GetSize();
  if (file.HasError() || length > SIZE_MAX - 1) return nullptr;
  void* data = std::malloc(length == 0 ? 1 : static_cast<size_t>(length));
  if (data == nullptr) return nullptr;
  size_t done = 0;
  file.Read(data, static_cast<size_t>(length), done);
  if (file.HasError() || done != length) {
    std::free(data);
    return nullptr;
  }
  *size = static_cast<size_t>(length);
  return data;
}

// Reads exactly `length` bytes at `offset` of `file`.
bool ReadExactly(ri_file& file, uint64_t offset, void* buffer, size_t length) {
  size_t done = 0;
  file.Seek(static_cast<int64_t>(offset));
  if (!file.HasError()) file.Read(buffer, length, done);
  bool whole = !file.HasError() && done == length;
  file.ClearError();
  return whole;
}

// Where the ".zip" section of a 64-bit ELF file ends; UINT64_MAX when the file
// is no such file or has no such section. The archive is appended last, but
// stripping may move other sections (the symbol table) behind it, out of reach
// of a search for the end record from the end of the file.
uint64_t ZipSectionEnd(ri_file& file) {
  Elf64_Ehdr header;
  if (!ReadExactly(file, 0, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
      header.e_shstrndx >= header.e_shnum)
    return UINT64_MAX;
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  if (!ReadExactly(file, header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) return UINT64_MAX;
  const Elf64_Shdr& names = sections[header.e_shstrndx];
  static constexpr char kName[] = ".zip";
  for (const Elf64_Shdr& section : sections) {
    char name[sizeof kName];
    if (section.sh_name < names.sh_size && names.sh_size - section.sh_name >= sizeof name &&
        ReadExactly(file, names.sh_offset + section.sh_name, name, sizeof name) &&
        std::memcmp(name, kName, sizeof name) == 0 && section.sh_offset + section.sh_size >= section.sh_offset)
      return section.sh_offset + section.sh_size;
  }
  return UINT64_MAX;
}

}  // namespace

UString SidecarPath(const UString& module_path) {
  size_t slash = module_path.rfind(u'/');
  size_t dot = module_path.rfind(u'.');
  bool has_extension = dot != UString::npos && (slash == UString::npos || dot > slash);
  return (has_extension ? module_path.substr(0, dot) : module_path) + u".dat";
}

std::unique_ptr<zip_file_impl> OpenResourceArchive(const UString& module_path) {
  if (module_path.empty()) return nullptr;
  std::unique_ptr<ri_file> file = OpenResourceFile(SidecarPath(module_path));
  if (file != nullptr) return std::make_unique<zip_file_impl>(std::move(file));
  file = OpenResourceFile(module_path);
  if (file == nullptr) return nullptr;
  uint64_t end = ZipSectionEnd(*file);
  return std::make_unique<zip_file_impl>(std::move(file), end);
}

void* ReadLocalizedResource(zip_file_impl& archive, const char* name, const std::vector<std::string>& locales,
                            size_t* size) {
  UString plain = AsciiToUString(name);
  std::unique_ptr<si_file> member;
  for (const std::string& locale : locales) {
    if (locale.empty()) continue;
    UString wanted = locale == "en" ? plain : AsciiToUString(locale.c_str()) + u"/" + plain;
    member.reset(archive.OpenI(wanted.c_str(), true));
    archive.ClearError();
    if (member != nullptr) break;
  }
  if (member == nullptr) {
    member.reset(archive.OpenI(plain.c_str(), true));
    archive.ClearError();
  }
  if (member == nullptr) return nullptr;
  return ReadWhole(*member, size);
}

void* ReadResource(const char* name, size_t* size) {
  zip_file_impl* archive = ProcessArchive();
  if (archive == nullptr) return nullptr;
  // A view of our own, so concurrent callers do not share a last error.
  std::unique_ptr<zip_file_impl> view = archive->NewView();
  return ReadLocalizedResource(*view, name, GetLocalePreferences(), size);
}

bool ConversionDataMember(const char* path, std::string& member) {
  static constexpr char kFolder[] = "./icudt38l/";
  static constexpr char kPackage[] = "./icudt38l.dat";
  if (path == nullptr) return false;
  if (std::strcmp(path, kPackage) == 0) {
    member = "icudt38l.dat";
  } else if (std::strncmp(path, kFolder, sizeof kFolder - 1) == 0 && path[sizeof kFolder - 1] != 0) {
    member = path + sizeof kFolder - 1;
  } else {
    return false;
  }
  for (char& c : member)
    if (c == '/') c = '_';
  return true;
}

void* ReadConversionDataFrom(zip_file_impl& archive, const char* path, const std::vector<std::string>& locales,
                             size_t* size) {
  std::string member;
  if (!ConversionDataMember(path, member)) return nullptr;
  size_t length = 0;
  void* data = ReadLocalizedResource(archive, member.c_str(), locales, &length);
  if (data != nullptr && length < kMinConversionDataSize) {
    std::free(data);
    return nullptr;
  }
  if (data != nullptr) *size = length;
  return data;
}

void* ReadConversionData(const char* path, size_t* size) {
  zip_file_impl* archive = ProcessArchive();
  if (archive == nullptr) return nullptr;
  std::unique_ptr<zip_file_impl> view = archive->NewView();
  return ReadConversionDataFrom(*view, path, GetLocalePreferences(), size);
}

}  // namespace Common

namespace {

void* ReadMessageCatalog(size_t* size) { return Common::ReadResource(Common::kMessageCatalogName, size); }

}  // namespace

// Errors take their texts from the catalog in this archive. The build names this
// symbol as undefined on every link against the file layer, so the object is
// always linked and the reader is in place once the binary has loaded.
extern "C" const bool zyk_message_catalog_installed = (Common::InstallCatalogReader(&ReadMessageCatalog), true);
