// Inflates every DZ block of an MF4 file (the records of each data group and the signal data
// of its variable-length channels) and prints the original bytes per second, best of `rounds`:
//
//   bench_e2e_inflate <file.MF4> [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "mdf/blocks.h"
#include "mdf/data_stream.h"
#include "mdf/mdf_file.h"
#include "support/log.h"
#include "support/test_util.h"

namespace {

void collect(Block* root, std::vector<const DzBlock*>* out) {
  DataPieces pieces{};
  DataListProblem problem;
  if (root && data_pieces_resolve(root, 0, &problem, &pieces) == DATA_LIST_OK)
    for (const DataPiece& p : pieces.pieces)
      if (const DzBlock* dz = dz_block(p.block)) out->push_back(dz);
  data_pieces_free(&pieces);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <file.MF4> [rounds]\n", argv[0]);
    return 2;
  }
  int rounds = argc > 2 ? atoi(argv[2]) : 3;
  std::vector<uint8_t> bytes = test::read_file(argv[1]);
  Stream* s = memory_stream_new();
  stream_write(s, bytes.data(), bytes.size());
  MdfFile* file = mdf_open(s);
  if (!file) return 1;
  std::vector<const DzBlock*> blocks;
  for (const BlockRef& ref : mdf_hd(file)->data_groups) {
    DgBlock* dg = dg_block(ref);
    if (!dg) continue;
    collect(dg->data.block, &blocks);
    for (const BlockRef& group : dg->channel_groups)
      if (CgBlock* cg = cg_block(group))
        for (const RecordChannel& c : cg->record_channels)
          if (c.payload_store && !cg_block(c.payload_store)) collect(c.payload_store, &blocks);
  }
  uint64_t original = 0, compressed = 0;
  for (const DzBlock* dz : blocks) {
    original += dz->original_length;
    compressed += dz->compressed_length;
  }
  std::vector<uint8_t> out(MAX_INFLATED_BLOCK);
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    for (const DzBlock* dz : blocks)
      if (!dz_inflate(dz, out.data())) return 1;
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = t < best ? t : best;
  }
  printf("%zu DZ blocks, %llu -> %llu bytes, inflated in %.3f s: %.1f MB/s of original data\n",
         blocks.size(), static_cast<unsigned long long>(compressed),
         static_cast<unsigned long long>(original), best, original / best / 1e6);
  mdf_close(file);
  stream_close(s);
  return 0;
}
