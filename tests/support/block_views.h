// Views of loaded blocks that only the tests look through: a file-history block, and the
// streams over a data or signal-data block's section.
#pragma once

#include "mdf/blocks.h"

namespace test {

inline FhBlock* fh_block(BlockRef ref) {
  return ref.block && ref.block->kind == BLOCK_FH ? reinterpret_cast<FhBlock*>(ref.block) : nullptr;
}

inline Stream* sd_stream(Block* block) {
  DataBlock* d = block && block->kind == BLOCK_SD ? plain_data_block(block) : nullptr;
  return d ? &d->data.base : nullptr;
}

inline Stream* dt_stream(BlockRef ref) {
  DataBlock* d = dt_block(ref);
  return d ? &d->data.base : nullptr;
}

}  // namespace test
