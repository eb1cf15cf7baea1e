// zyk_mkmsg: turns the readable message catalog source into the binary catalog
// the library loads at run time.
//
//   zyk_mkmsg <source.txt> <output.msg>
//
// Source: one message per line, "<identifier><TAB><text>", the text in UTF-8
// with the escapes \\ \n \t. Blank lines and lines starting with '#' are
// skipped. Identifiers are the byte offsets of the messages' offset-table
// entries: multiples of 4 from 8 up, every slot up to the highest one filled.
//
// Output (little-endian): u32 total size, u32 check value 204, one u32 per slot
// holding the distance from the slot to its text, then the texts in UTF-16
// with a zero unit after each.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/messages.h"
#include "core/common/utf8.h"

namespace {

constexpr uint32_t kCheckValue = Common::kCatalogCheckValue;
constexpr uint32_t kFirstIdentifier = 8;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  std::cerr << "zyk_mkmsg: " << where << ": " << what << "\n";
  std::exit(1);
}

// UTF-8 to UTF-16; false on malformed input.
bool Utf8ToUtf16(const std::string& in, std::u16string& out) {
  out.clear();
  for (size_t i = 0; i < in.size();) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    uint32_t cp;
    size_t extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (i + extra >= in.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char d = static_cast<unsigned char>(in[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    i += extra + 1;
    if (cp >= 0x110000 || (cp >= 0xD800 && cp < 0xE000)) return false;
    Common::AppendUtf16(cp, out);
  }
  return true;
}

std::string Unescape(const std::string& text, const std::string& where) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (++i == text.size()) Fail(where, "dangling backslash");
    switch (text[i]) {
      case '\\': out.push_back('\\'); break;
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      default: Fail(where, std::string("unknown escape \\") + text[i]);
    }
  }
  return out;
}

void PutU32(std::string& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: zyk_mkmsg <source.txt> <output.msg>\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) Fail(argv[1], "cannot open");

  std::map<uint32_t, std::u16string> messages;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string where = std::string(argv[1]) + ":" + std::to_string(number);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0) Fail(where, "expected <identifier><TAB><text>");
    char* end = nullptr;
    unsigned long id = std::strtoul(line.c_str(), &end, 10);
    if (end != line.c_str() + tab || id < kFirstIdentifier || id % 4 != 0 || id > 0xFFFF)
      Fail(where, "identifier must be a multiple of 4, at least 8");
    std::u16string text;
    if (!Utf8ToUtf16(Unescape(line.substr(tab + 1), where), text)) Fail(where, "text is not valid UTF-8");
    for (char16_t unit : text)
      if (unit == 0) Fail(where, "text holds a zero unit");
    if (!messages.emplace(static_cast<uint32_t>(id), text).second) Fail(where, "identifier repeated");
  }
  if (messages.empty()) Fail(argv[1], "no messages");

  uint32_t highest = messages.rbegin()->first;
  for (uint32_t id = kFirstIdentifier; id <= highest; id += 4)
    if (messages.count(id) == 0) Fail(argv[1], "no text for identifier " + std::to_string(id));

  size_t table_end = highest + 4;
  std::string out(table_end, '\0');
  PutU32(out, 4, kCheckValue);
  for (const auto& [id, text] : messages) {
    PutU32(out, id, static_cast<uint32_t>(out.size() - id));
    for (char16_t unit : text) {
      out.push_back(static_cast<char>(unit & 0xFF));
      out.push_back(static_cast<char>(unit >> 8));
    }
    out.append(2, '\0');
  }
  PutU32(out, 0, static_cast<uint32_t>(out.size()));

  std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
  if (!file.flush()) Fail(argv[2], "cannot write");
  return 0;
}
