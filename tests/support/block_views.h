// Views of loaded blocks that only the tests look through: a file-history block, and the
// stream over a data block's section.
#pragma once

#include "mdf/blocks.h"

namespace test {

inline FhBlock* fh_block(BlockRef ref) {
  return ref.block && ref.block->kind == BLOCK_FH ? reinterpret_cast<FhBlock*>(ref.block) : nullptr;
}

inline Stream* dt_stream(BlockRef ref) {
  DataBlock* d = dt_block(ref);
  return d ? &d->data.base : nullptr;
}

}  // namespace test
