#include "core/common/messages.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace Common {
namespace {

constexpr size_t kHeaderSize = 8;

uint32_t Load32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);  // the catalog is little-endian, like the host
  return value;
}

// The end of the offset table: the lowest text position any slot leads to.
size_t TableEnd(const uint8_t* catalog, size_t size) {
  size_t end = size;
  for (size_t slot = kHeaderSize; slot + 4 <= end; slot += 4) {
    uint64_t text = slot + uint64_t{Load32(catalog + slot)};
    if (text < end) end = static_cast<size_t>(text);
  }
  return end;
}

const char16_t* TextAt(const uint8_t* catalog, size_t table_end, uint32_t id) {
  if (id < kHeaderSize || id % 4 != 0 || id >= table_end) return nullptr;
  return reinterpret_cast<const char16_t*>(catalog + id + Load32(catalog + id));
}

std::atomic<CatalogReader> g_installed_reader{nullptr};
std::atomic<CatalogReader> g_reader{nullptr};

// The loaded catalog; published once (release) after its size fields are stored,
// and kept until the process ends: error values anywhere may point into it.
std::atomic<const uint8_t*> g_catalog{nullptr};  // written under g_load_mutex
std::atomic<size_t> g_catalog_size{0};           // written under g_load_mutex
std::atomic<size_t> g_table_end{0};              // written under g_load_mutex
std::mutex g_load_mutex;                         // held while the catalog is being loaded
thread_local bool t_loading = false;             // this thread is loading the catalog

void LoadCatalog() {
  size_t size = 0;
  CatalogReader reader = g_reader.load();
  void* data = reader != nullptr ? reader(&size) : nullptr;
  if (data == nullptr || !IsValidCatalog(data, size)) {
    std::free(data);
    std::abort();  // no built-in texts: without its catalog the library cannot describe errors
  }
  g_catalog_size.store(size, std::memory_order_relaxed);
  g_table_end.store(TableEnd(static_cast<const uint8_t*>(data), size), std::memory_order_relaxed);
  g_catalog.store(static_cast<const uint8_t*>(data), std::memory_order_release);
}

}  // namespace

bool IsValidCatalog(const void* data, size_t size) {
  if (data == nullptr || size < kHeaderSize || size > UINT32_MAX) return false;
  const auto* catalog = static_cast<const uint8_t*>(data);
  if (Load32(catalog) != size || Load32(catalog + 4) != kCatalogCheckValue) return false;
  // Every text must start after the table, at an even distance, and end with a
  // zero unit inside the block; a block ending in a zero unit ends them all.
  if (size % 2 != 0 || size < kHeaderSize + 2 || catalog[size - 1] != 0 || catalog[size - 2] != 0) return false;
  size_t table_end = TableEnd(catalog, size);
  if (table_end <= kHeaderSize || table_end % 4 != 0) return false;
  for (size_t slot = kHeaderSize; slot < table_end; slot += 4) {
    uint64_t text = slot + uint64_t{Load32(catalog + slot)};
    if (text < table_end || text >= size || text % 2 != 0) return false;
  }
  return true;
}

const char16_t* CatalogText(const void* catalog, size_t size, uint32_t id) {
  const auto* bytes = static_cast<const uint8_t*>(catalog);
  return TextAt(bytes, TableEnd(bytes, size), id);
}

const char16_t* GetMessageText(uint32_t id) {
  const uint8_t* catalog = g_catalog.load(std::memory_order_acquire);
  if (catalog == nullptr) {
    if (t_loading) return nullptr;  // an error raised while the catalog itself is read
    int saved_errno = errno;
    {
      std::lock_guard<std::mutex> lock(g_load_mutex);
      if (g_catalog.load(std::memory_order_acquire) == nullptr) {
        t_loading = true;
        LoadCatalog();
        t_loading = false;
      }
    }
    errno = saved_errno;
    catalog = g_catalog.load(std::memory_order_acquire);
  }
  return TextAt(catalog, g_table_end.load(std::memory_order_relaxed), id);
}

bool IsCatalogText(const void* text) {
  const uint8_t* catalog = g_catalog.load(std::memory_order_acquire);
  if (catalog == nullptr) return false;
  auto address = reinterpret_cast<uintptr_t>(text);
  auto start = reinterpret_cast<uintptr_t>(catalog);
  return address >= start && address - start < g_catalog_size.load(std::memory_order_relaxed);
}

void InstallCatalogReader(CatalogReader reader) {
  g_installed_reader.store(reader);
  g_reader.store(reader);
}

void SetCatalogReaderForTesting(CatalogReader reader) { g_reader.store(reader ? reader : g_installed_reader.load()); }

}  // namespace Common
