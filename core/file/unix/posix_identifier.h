#pragma once
// the_identifier: how a posix_dir names an entry for OpenI, OpenDir and
// GetIterator by identifier.

#include <string>

#include "core/include/file/dir.h"

// Identifies an entry by its full narrow path. Copies share one reference-counted
// block, so Clone is cheap; identifiers order by strcmp of their paths.
class the_identifier : public file_identifier {
 public:
  explicit the_identifier(const std::string& path);
  ~the_identifier() override;
  the_identifier(const the_identifier&) = delete;
  the_identifier& operator=(const the_identifier&) = delete;

  file_identifier* Clone() const override;
  const char* Path() const;

 private:
  struct Block;
  explicit the_identifier(Block* block);
  Block* block_;
};
