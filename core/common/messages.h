#pragma once
// Message texts by catalog identifier. The catalog "zyk_backend_local.msg" is
// read from the library's resource archive on first use and kept for the life
// of the process; the library has no built-in texts.
//
// Catalog layout (little-endian): u32 total size, u32 check value 204, then one
// u32 per message (its identifier is the slot's byte offset, 8, 12, ...) holding
// the distance from the slot to the text, then the UTF-16 texts, each ending in
// a zero unit.

#include <cstddef>
#include <cstdint>

namespace Common {

inline constexpr const char* kMessageCatalogName = "zyk_backend_local.msg";
inline constexpr uint32_t kCatalogCheckValue = 204;

// The UTF-16 text of message `id`, loading the catalog on first use; the text
// lives for the whole process. Null for an identifier the catalog has no slot
// for, and for a call made by the loading itself (an error raised while the
// catalog is being read). Other threads wait for the loading to finish. A
// catalog that is missing or damaged stops the process (abort). The caller's
// errno is preserved.
const char16_t* GetMessageText(uint32_t id);

// True when `text` points into the loaded catalog (such texts are never copied).
bool IsCatalogText(const void* text);

// True when `size` bytes at `data` form a sound catalog: at least 8 bytes, the
// size word equal to `size`, the check value 204, and every slot leading to a
// zero-terminated text inside the block.
bool IsValidCatalog(const void* data, size_t size);

// The text of `id` in a valid catalog, or null when `id` names no slot.
const char16_t* CatalogText(const void* catalog, size_t size, uint32_t id);

// Where the catalog comes from. The file layer, which reads the library's
// resource archive, installs its reader while the binary loads; without one the
// catalog counts as missing. The reader returns a malloc'ed block and its size,
// or null. Only effective before the first GetMessageText.
using CatalogReader = void* (*)(size_t* size);
void InstallCatalogReader(CatalogReader reader);

// Test seam: replaces the installed reader; null puts it back.
void SetCatalogReaderForTesting(CatalogReader reader);

}  // namespace Common
