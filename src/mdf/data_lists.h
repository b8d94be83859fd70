// Data spread over several blocks: data lists (DL) and header lists (HL) of data blocks,
// compressed data blocks (DZ), and the lists of value and invalidation blocks of column storage
// (LD). A data link leads to one of them or to one plain data block; data_pieces_resolve turns
// that into the ordered pieces of one logical stream of bytes, which data_stream.h reads.
#pragma once

#include <cstdint>

#include "mdf/block.h"
#include "support/grow_array.h"

// A data list: its data blocks in order, where each one's data starts in the logical stream,
// and the next list of the chain.
struct DlBlock {
  Block base;
  // The lists that follow this one, when this one heads its chain (reached by a data link);
  // the rest of a chain lands in the head's list.
  BlockList rest;
  GrowArray<BlockRef> data;  // one per data link, empty references for nil links
  uint8_t flags;             // bit 0: every block but the last holds equal_length bytes
  uint32_t count;
  uint64_t equal_length;
  uint64_t* offsets;  // `count` logical start offsets, unless bit 0 is set
};

constexpr uint8_t DL_FLAG_EQUAL_LENGTH = 1;

// Compressed data: the original block's data section, deflated (zip type 0) or transposed and
// deflated (zip type 1).
struct DzBlock {
  Block base;
  char original_type[3];  // "DT", "SD", "DV" ..., zero-terminated
  uint8_t zip_type;
  uint32_t zip_parameter;  // zip type 1: the number of columns (the record length)
  uint64_t original_length;
  uint64_t compressed_length;
  uint64_t compressed_start;  // file offset of the deflate stream
  Stream* file;               // the stream the block was loaded from; not owned
};

constexpr uint8_t ZIP_TYPE_DEFLATE = 0;
constexpr uint8_t ZIP_TYPE_TRANSPOSE_DEFLATE = 1;

// A header list: the first data list of a chain whose data blocks are compressed.
struct HlBlock {
  Block base;
  BlockRef first_dl;
  uint16_t flags;
  uint8_t zip_type;
};

// A list of value blocks (and their invalidation blocks) of a column-stored channel group.
struct LdBlock {
  Block base;
  BlockList rest;                    // as for DlBlock
  GrowArray<BlockRef> values;        // DV blocks (or DZ blocks of them), one per entry
  GrowArray<BlockRef> invalidation;  // DI blocks, one per entry when bit 31 is set
  uint32_t flags;  // bit 0: equal sample counts; bit 31: invalidation blocks present
  uint32_t count;
  uint64_t equal_samples;
  uint64_t* sample_offsets;  // `count` first-sample indices, unless bit 0 is set
};

constexpr uint32_t LD_FLAG_EQUAL_SAMPLES = 1;
constexpr uint32_t LD_FLAG_INVALIDATION = 0x80000000u;

// Loaders and destructors of the table of block kinds (blocks.cpp).
bool dl_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings);
void dl_destroy(Block* b);
bool dz_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings);
bool hl_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings);
void hl_destroy(Block* b);
bool ld_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings);
void ld_destroy(Block* b);

DzBlock* dz_block(Block* block);

// One piece of a logical data stream.
struct DataPiece {
  uint64_t start;   // logical offset of its first byte
  uint64_t length;  // logical bytes (for a DZ block its original length)
  Block* block;     // a plain data block (DT, SD, DV, DI) or a DZ block; not owned
};

struct DataPieces {
  GrowArray<DataPiece> pieces;
  uint64_t size;  // logical bytes of all pieces together
};

// The largest original length of one DZ block: a compressed block is inflated whole when the
// reader reaches it, and this bounds the memory that takes.
constexpr uint64_t MAX_INFLATED_BLOCK = uint64_t{16} << 20;

// Why the data of a link cannot be read.
enum DataListStatus : int32_t {
  DATA_LIST_OK = 0,
  DATA_LIST_NO_MEMORY = 1,
  DATA_LIST_DZ_UNSUPPORTED = 2,  // a zip type, original type or parameter that is not read
  DATA_LIST_CUT_SHORT = 3,       // a finalised file's data block that the end of the file cuts
  DATA_LIST_BAD_ENTRY = 4,       // a list entry or chain link of the wrong kind, or none
  DATA_LIST_BAD_LENGTHS = 5,     // offsets or equal lengths that disagree with the blocks
  DATA_LIST_TOO_LARGE = 6,       // past 2^64 bytes, or a block too large to inflate at once
  DATA_LIST_REPEATED_BLOCK = 7,  // a block named as data twice
  DATA_LIST_NO_DATA = 8,         // the link names a block that holds no data
};

// A short lower-case name of a status ("bad entry").
const char* data_list_status_name(DataListStatus status);

// What stopped a resolution: its status and the line that tells it, naming the block and the
// reason ("DZ block at 0x1C0: zip type 9 is not supported"); an empty line for memory that ran
// out.
struct DataListProblem {
  DataListStatus status;
  char line[480];
};

// The pieces of the data that `root` (the block a data link names) holds, in order. A plain
// data block or a DZ block is one piece; DL, HL and LD lists give their blocks in list order.
// `record_length`, when not 0, is the record size with which an LD list's sample counts and
// offsets are checked. Logs nothing: a status other than DATA_LIST_OK says why the data cannot
// be read, with *problem filled (an unknown zip type, a list entry of the wrong kind, offsets
// that disagree with the blocks' lengths, a finalised file's data block that the end of the file
// cuts short ...).
DataListStatus data_pieces_resolve(Block* root, uint64_t record_length, DataListProblem* problem,
                                   DataPieces* out);
void data_pieces_free(DataPieces* pieces);
