// zyk_mkzip: writes the library's resource archive and embeds it in a built
// ELF file.
//
//   zyk_mkzip create <output.zip> <member-name>=<file> ...
//     Writes a zip archive holding each file deflated under its member name.
//     Times are fixed so the output depends on the inputs only.
//
//   zyk_mkzip embed <elf-file> <archive.zip>
//     Appends the archive to the ELF file as a non-loaded section ".zip" that
//     is followed only by the section-name table and the section headers, so a
//     reader that looks for the archive from the end of the file finds it. The
//     archive's offsets are shifted to the position it lands at, so readers see
//     a zip archive starting at the file's first byte with no stray bytes.

#include <elf.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "core/file/zip_format.h"

namespace {

using Bytes = std::vector<unsigned char>;

using namespace zip_format;
// 2020-01-01 00:00:00 in MS-DOS form.
constexpr uint16_t kDosTime = 0;
constexpr uint16_t kDosDate = ((2020 - 1980) << 9) | (1 << 5) | 1;

[[noreturn]] void Fail(const std::string& what) {
  std::cerr << "zyk_mkzip: " << what << "\n";
  std::exit(1);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(path + ": cannot open");
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) Fail(path + ": cannot write");
}

void Put16(Bytes& out, uint16_t v) {
  out.push_back(v & 0xFF);
  out.push_back(v >> 8);
}
void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back((v >> (8 * i)) & 0xFF);
}
uint16_t Get16(const Bytes& in, size_t at) { return static_cast<uint16_t>(in[at] | in[at + 1] << 8); }
uint32_t Get32(const Bytes& in, size_t at) {
  return static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8 |
         static_cast<uint32_t>(in[at + 2]) << 16 | static_cast<uint32_t>(in[at + 3]) << 24;
}
void Set32(Bytes& in, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) in[at + i] = (v >> (8 * i)) & 0xFF;
}

Bytes RawDeflate(const Bytes& input) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    Fail("deflateInit2 failed");
  Bytes out(deflateBound(&stream, input.size()));
  stream.next_in = const_cast<Bytes::value_type*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) Fail("deflate failed");
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

int Create(int argc, char** argv) {
  Bytes archive;
  Bytes central;
  uint16_t count = 0;
  for (int i = 3; i < argc; ++i) {
    std::string argument = argv[i];
    size_t eq = argument.find('=');
    if (eq == std::string::npos || eq == 0) Fail("member argument must be <name>=<file>: " + argument);
    std::string name = argument.substr(0, eq);
    Bytes data = ReadFile(argument.substr(eq + 1));
    Bytes packed = RawDeflate(data);
    uint32_t crc = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
    if (archive.size() > 0xFFFFFFFFu - packed.size() || data.size() > 0xFFFFFFFFu) Fail("archive too large");
    uint32_t local_offset = static_cast<uint32_t>(archive.size());

    Put32(archive, kLocalHeaderSignature);
    Put16(archive, 20);  // version needed: deflate
    Put16(archive, 0);   // flags
    Put16(archive, 8);   // method: deflated
    Put16(archive, kDosTime);
    Put16(archive, kDosDate);
    Put32(archive, crc);
    Put32(archive, static_cast<uint32_t>(packed.size()));
    Put32(archive, static_cast<uint32_t>(data.size()));
    Put16(archive, static_cast<uint16_t>(name.size()));
    Put16(archive, 0);  // extra field length
    archive.insert(archive.end(), name.begin(), name.end());
    archive.insert(archive.end(), packed.begin(), packed.end());

    Put32(central, kCentralHeaderSignature);
    Put16(central, 0x0314);  // made by: Unix, 2.0
    Put16(central, 20);
    Put16(central, 0);
    Put16(central, 8);
    Put16(central, kDosTime);
    Put16(central, kDosDate);
    Put32(central, crc);
    Put32(central, static_cast<uint32_t>(packed.size()));
    Put32(central, static_cast<uint32_t>(data.size()));
    Put16(central, static_cast<uint16_t>(name.size()));
    Put16(central, 0);               // extra field length
    Put16(central, 0);               // comment length
    Put16(central, 0);               // disk number start
    Put16(central, 0);               // internal attributes
    Put32(central, 0100644u << 16);  // external attributes: regular file, rw-r--r--
    Put32(central, local_offset);
    central.insert(central.end(), name.begin(), name.end());
    ++count;
  }
  if (count == 0) Fail("no members given");
  uint32_t central_offset = static_cast<uint32_t>(archive.size());
  archive.insert(archive.end(), central.begin(), central.end());
  Put32(archive, kEndRecordSignature);
  Put16(archive, 0);
  Put16(archive, 0);
  Put16(archive, count);
  Put16(archive, count);
  Put32(archive, static_cast<uint32_t>(central.size()));
  Put32(archive, central_offset);
  Put16(archive, 0);  // comment length
  WriteFile(argv[2], archive);
  return 0;
}

// Shifts every offset of an archive written by Create (central directory at the
// end, no comment) by `delta`.
void ShiftArchive(Bytes& zip, uint64_t delta) {
  if (zip.size() < kEndRecordSize) Fail("archive too short");
  size_t end = zip.size() - kEndRecordSize;
  if (Get32(zip, end) != kEndRecordSignature) Fail("archive does not end with its end record");
  uint32_t central_size = Get32(zip, end + 12);
  uint32_t central_offset = Get32(zip, end + 16);
  uint16_t count = Get16(zip, end + 10);
  if (uint64_t{central_offset} + central_size != end) Fail("archive central directory misplaced");
  if (uint64_t{central_offset} + delta > 0xFFFFFFFFu) Fail("file too large for a zip archive");
  size_t at = central_offset;
  for (uint16_t i = 0; i < count; ++i) {
    if (at + kCentralHeaderSize > end || Get32(zip, at) != kCentralHeaderSignature)
      Fail("archive central directory damaged");
    Set32(zip, at + 42, static_cast<uint32_t>(Get32(zip, at + 42) + delta));
    at += kCentralHeaderSize + Get16(zip, at + 28) + Get16(zip, at + 30) + Get16(zip, at + 32);
  }
  Set32(zip, end + 16, static_cast<uint32_t>(central_offset + delta));
}

int Embed(const std::string& elf_path, const std::string& zip_path) {
  Bytes elf = ReadFile(elf_path);
  Bytes zip = ReadFile(zip_path);
  if (elf.size() < sizeof(Elf64_Ehdr) || std::memcmp(elf.data(), ELFMAG, SELFMAG) != 0 || elf[EI_CLASS] != ELFCLASS64 ||
      elf[EI_DATA] != ELFDATA2LSB)
    Fail(elf_path + ": not a 64-bit little-endian ELF file");
  Elf64_Ehdr header;
  std::memcpy(&header, elf.data(), sizeof header);
  if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 || header.e_shnum >= SHN_LORESERVE - 1 ||
      header.e_shstrndx == SHN_UNDEF || header.e_shstrndx >= header.e_shnum ||
      header.e_shoff + uint64_t{header.e_shnum} * sizeof(Elf64_Shdr) > elf.size())
    Fail(elf_path + ": unexpected section header layout");
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  std::memcpy(sections.data(), elf.data() + header.e_shoff, sections.size() * sizeof(Elf64_Shdr));
  Elf64_Shdr& names = sections[header.e_shstrndx];
  if (names.sh_offset + names.sh_size > elf.size()) Fail(elf_path + ": section-name table out of range");
  Bytes name_table(elf.begin() + names.sh_offset, elf.begin() + names.sh_offset + names.sh_size);
  for (const Elf64_Shdr& section : sections)
    if (section.sh_name < name_table.size() &&
        std::strncmp(reinterpret_cast<const char*>(name_table.data()) + section.sh_name, ".zip",
                     name_table.size() - section.sh_name) == 0)
      Fail(elf_path + ": already holds a .zip section");

  // New tail: the archive, the section-name table with ".zip" added, the headers.
  // The old table and headers stay behind as unreferenced bytes.
  elf.resize((elf.size() + 15) & ~size_t{15}, 0);
  uint64_t zip_offset = elf.size();
  ShiftArchive(zip, zip_offset);
  elf.insert(elf.end(), zip.begin(), zip.end());

  uint32_t zip_name = static_cast<uint32_t>(name_table.size());
  static const char kName[] = ".zip";
  name_table.insert(name_table.end(), kName, kName + sizeof kName);
  names.sh_offset = elf.size();
  names.sh_size = name_table.size();
  elf.insert(elf.end(), name_table.begin(), name_table.end());

  Elf64_Shdr section{};
  section.sh_name = zip_name;
  section.sh_type = SHT_PROGBITS;
  section.sh_flags = 0;  // not allocated: never loaded, read-only
  section.sh_offset = zip_offset;
  section.sh_size = zip.size();
  section.sh_addralign = 1;
  sections.push_back(section);

  elf.resize((elf.size() + 7) & ~size_t{7}, 0);
  header.e_shoff = elf.size();
  header.e_shnum = static_cast<Elf64_Half>(sections.size());
  const auto* raw = reinterpret_cast<const unsigned char*>(sections.data());
  elf.insert(elf.end(), raw, raw + sections.size() * sizeof(Elf64_Shdr));
  std::memcpy(elf.data(), &header, sizeof header);

  // Write beside, then rename over, so an interrupted build leaves no half file.
  std::string temporary = elf_path + ".zip-embed";
  WriteFile(temporary, elf);
  std::error_code ignored;
  std::filesystem::permissions(temporary, std::filesystem::status(elf_path).permissions(), ignored);
  if (std::rename(temporary.c_str(), elf_path.c_str()) != 0) Fail(elf_path + ": cannot replace");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "create" && argc >= 4) return Create(argc, argv);
  if (mode == "embed" && argc == 4) return Embed(argv[2], argv[3]);
  std::cerr << "usage: zyk_mkzip create <output.zip> <name>=<file> ...\n"
               "       zyk_mkzip embed <elf-file> <archive.zip>\n";
  return 2;
}
