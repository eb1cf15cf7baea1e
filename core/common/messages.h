#pragma once
// Message texts by catalog identifier.

#include <cstdint>

namespace Common {

// The UTF-16 text of message `id`, loading the catalog on first use. The text
// lives for the whole process. Null while the catalog is still being loaded.
const char16_t* GetMessageText(uint32_t id);

// True when `text` points into the loaded catalog (such texts are never copied).
bool IsCatalogText(const void* text);

}  // namespace Common
