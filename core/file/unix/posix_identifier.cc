#include "core/file/unix/posix_identifier.h"

#include <atomic>
#include <cstdint>

struct the_identifier::Block {
  std::atomic<uint64_t> refs;
  std::string path;
};

the_identifier::the_identifier(const std::string& path) : block_(new Block{{1}, path}) {}

the_identifier::the_identifier(Block* block) : block_(block) { block_->refs.fetch_add(1, std::memory_order_relaxed); }

the_identifier::~the_identifier() {
  if (block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete block_;
}

file_identifier* the_identifier::Clone() const { return new the_identifier(block_); }

const char* the_identifier::Path() const { return block_->path.c_str(); }
