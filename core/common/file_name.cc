#include "core/common/file_name.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace Common {
namespace {

constexpr char16_t kEscapeFirst = 0xF880;
constexpr char16_t kEscapeLast = 0xF8FF;

bool IsEscape(char16_t unit) { return unit >= kEscapeFirst && unit <= kEscapeLast; }

// Guards creation of the converter and every conversion through it: an ICU
// converter is not safe for concurrent use.
std::mutex g_converter_lock;
std::atomic<UConverter*> g_converter{nullptr};  // written under g_converter_lock, held by every conversion
// Set with g_converter when the converter maps every ASCII character to its own
// byte and back, as the character sets of Unix locales do: pure ASCII names then
// skip the converter and its lock.
std::atomic<bool> g_ascii_identity{false};  // written under g_converter_lock

// Output positions of the escapes written by the callback during the current
// widening (guarded by g_converter_lock), relative to g_widen_start.
std::vector<size_t> g_escape_positions;  // guarded by g_converter_lock
const UChar* g_widen_start = nullptr;    // guarded by g_converter_lock

// Bytes the character set rejects become U+F800 + byte (bytes below 0x80 as themselves).
void ToUnicodeEscape(const void*, UConverterToUnicodeArgs* args, const char* bytes, int32_t length,
                     UConverterCallbackReason reason, UErrorCode* status) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
  *status = U_ZERO_ERROR;
  for (int32_t i = 0; i < length; ++i) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    UChar unit = byte >= 0x80 ? static_cast<UChar>(0xF800 + byte) : static_cast<UChar>(byte);
    if (g_widen_start != nullptr && byte >= 0x80)
      g_escape_positions.push_back(static_cast<size_t>(args->target - g_widen_start));
    ucnv_cbToUWriteUChars(args, &unit, 1, 0, status);
  }
}

// Escape code points the character set cannot encode become their raw byte.
void FromUnicodeEscape(const void*, UConverterFromUnicodeArgs* args, const UChar*, int32_t, UChar32 code_point,
                       UConverterCallbackReason reason, UErrorCode* status) {
  if (reason != UCNV_UNASSIGNED || code_point < kEscapeFirst || code_point > kEscapeLast) return;
  *status = U_ZERO_ERROR;
  char byte = static_cast<char>(code_point & 0xFF);
  ucnv_cbFromUWriteBytes(args, &byte, 1, 0, status);
}

// True when `converter` turns bytes 1..127 into the same code units and back.
bool MapsAsciiToItself(UConverter* converter) {
  char ascii[128];
  for (int i = 1; i < 128; ++i) ascii[i - 1] = static_cast<char>(i);
  UChar wide[256];
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = ucnv_toUChars(converter, wide, 256, ascii, 127, &status);
  if (U_FAILURE(status) || length != 127) return false;
  for (int i = 0; i < 127; ++i)
    if (wide[i] != static_cast<UChar>(i + 1)) return false;
  char back[256];
  length = ucnv_fromUChars(converter, back, 256, wide, 127, &status);
  return U_SUCCESS(status) && length == 127 && std::memcmp(back, ascii, 127) == 0;
}

bool IsAscii(char16_t unit) { return unit < 0x80; }

// Creates the converter if needed; the caller holds g_converter_lock.
UConverter* Converter() {
  UConverter* converter = g_converter.load(std::memory_order_acquire);
  if (converter) return converter;
  UErrorCode status = U_ZERO_ERROR;
  converter = ucnv_open(nullptr, &status);
  if (U_SUCCESS(status)) ucnv_setToUCallBack(converter, ToUnicodeEscape, nullptr, nullptr, nullptr, &status);
  if (U_SUCCESS(status)) ucnv_setFromUCallBack(converter, FromUnicodeEscape, nullptr, nullptr, nullptr, &status);
  // File names have no fallback: without a converter the process cannot go on.
  if (U_FAILURE(status)) std::abort();
  g_ascii_identity.store(MapsAsciiToItself(converter), std::memory_order_relaxed);
  g_converter.store(converter, std::memory_order_release);
  return converter;
}

// Narrows a run without escapes; false on failure.
bool AppendRun(UConverter* converter, const char16_t* run, int32_t length, std::string& out) {
  icu::UnicodeString text(false, run, length);
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = text.extract(nullptr, 0, converter, status);
  if (status != U_BUFFER_OVERFLOW_ERROR && status != U_STRING_NOT_TERMINATED_WARNING) return false;
  std::vector<char> bytes(static_cast<size_t>(needed) + 1);
  status = U_ZERO_ERROR;
  text.extract(bytes.data(), needed + 1, converter, status);
  if (U_FAILURE(status)) return false;
  out.append(bytes.data());
  return true;
}

// True when ASCII text converts to itself; makes the converter on first use.
bool AsciiIsIdentity() {
  if (g_converter.load(std::memory_order_acquire) == nullptr) {
    std::lock_guard<std::mutex> lock(g_converter_lock);
    Converter();
  }
  return g_ascii_identity.load(std::memory_order_relaxed);
}

}  // namespace

bool NameConverterCreated() { return g_converter.load(std::memory_order_acquire) != nullptr; }

// A name that really contains an escape code point (not made by the callback)
// would narrow to a single raw byte. Such a character is replaced by the escapes
// of its own encoded bytes, so every byte string survives the round trip.
UString EscapeGenuineEscapes(UConverter* converter, const UString& wide, const std::vector<size_t>& made) {
  UString out;
  size_t next_made = 0;
  for (size_t i = 0; i < wide.size(); ++i) {
    bool from_callback = next_made < made.size() && made[next_made] == i;
    if (from_callback) ++next_made;
    if (!IsEscape(wide[i]) || from_callback) {
      out.push_back(wide[i]);
      continue;
    }
    std::string encoded;
    if (!AppendRun(converter, &wide[i], 1, encoded)) return UString();
    for (unsigned char byte : encoded) out.push_back(byte >= 0x80 ? static_cast<char16_t>(0xF800 + byte) : byte);
  }
  return out;
}

UString WidenFileName(const char* bytes) {
  const char* source = bytes ? bytes : "";
  size_t length = std::strlen(source);
  if (AsciiIsIdentity() &&
      std::all_of(source, source + length, [](char byte) { return static_cast<unsigned char>(byte) < 0x80; })) {
    return UString(source, source + length);
  }
  std::lock_guard<std::mutex> lock(g_converter_lock);
  UConverter* converter = Converter();
  // A byte never yields more than two code units.
  std::vector<UChar> buffer(2 * length + 2);
  UChar* target = buffer.data();
  g_escape_positions.clear();
  g_widen_start = buffer.data();
  UErrorCode status = U_ZERO_ERROR;
  ucnv_resetToUnicode(converter);
  ucnv_toUnicode(converter, &target, buffer.data() + buffer.size(), &source, source + length, nullptr, true, &status);
  g_widen_start = nullptr;
  if (U_FAILURE(status)) return UString();
  UString wide(reinterpret_cast<const char16_t*>(buffer.data()), static_cast<size_t>(target - buffer.data()));
  for (char16_t unit : wide)
    if (IsEscape(unit)) return EscapeGenuineEscapes(converter, wide, g_escape_positions);
  return wide;
}

std::string NarrowFileName(const UString& name) {
  if (!NameConverterCreated()) {
    bool simple = true;
    for (char16_t unit : name) simple = simple && (unit < 0x80 || IsEscape(unit));
    if (simple) {
      std::string out;
      out.reserve(name.size());
      for (char16_t unit : name) out.push_back(static_cast<char>(unit & 0xFF));
      return out;
    }
  }
  // Escapes stand for their own byte in every character set.
  if (g_ascii_identity.load(std::memory_order_relaxed) &&
      std::all_of(name.begin(), name.end(), [](char16_t unit) { return IsAscii(unit) || IsEscape(unit); })) {
    std::string out(name.size(), '\0');
    for (size_t i = 0; i < name.size(); ++i) out[i] = static_cast<char>(name[i] & 0xFF);
    return out;
  }
  std::lock_guard<std::mutex> lock(g_converter_lock);
  UConverter* converter = Converter();
  std::string out;
  size_t run_start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    bool at_end = i == name.size();
    if (!at_end && !IsEscape(name[i])) continue;
    if (i > run_start && !AppendRun(converter, name.data() + run_start, static_cast<int32_t>(i - run_start), out))
      return std::string();
    if (!at_end) out.push_back(static_cast<char>(name[i] & 0xFF));
    run_start = i + 1;
  }
  return out;
}

}  // namespace Common
