#pragma once
// BlockStore: the services an AllocationTree takes from its archive. Every
// operation throws Common::Error on failure; the archive catches it at its file
// operation boundary.

#include <cstdint>

namespace backupmedia {

class BlockStore {
 public:
  virtual ~BlockStore() = default;
  virtual uint32_t BlockSize() const = 0;
  virtual void ReadBlock(uint64_t block, void* buffer) = 0;         // one whole block; throws Common::Error
  virtual void WriteBlock(uint64_t block, const void* buffer) = 0;  // one whole block; throws Common::Error
  virtual uint64_t AllocateBlock() = 0;                             // throws Common::Error
  virtual void FreeBlock(uint64_t block) = 0;                       // throws Common::Error
};

}  // namespace backupmedia
