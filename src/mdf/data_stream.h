// The stream over the pieces of a data link (data_lists.h): one logical run of bytes read
// across plain data blocks and compressed blocks alike. A compressed block is inflated whole
// when a read first reaches it and kept until a read leaves it, so a reader that moves forward
// inflates each block once.
#pragma once

#include <cstdint>

#include "io/stream.h"
#include "mdf/data_lists.h"

// A read-only stream over `pieces` (borrowed: they and their blocks must outlive it), standing
// at 0; close frees it. Reads stop at the end of a piece (a short count) and at the end of the
// pieces (0). A compressed block that cannot be inflated (a damaged or truncated deflate
// stream, an original length other than the stated one) makes the read return -1, logs why
// with the block's offset, and marks the stream failed. Null when memory ran out.
Stream* data_stream_new(const DataPieces* pieces);
// True once a read has failed.
bool data_stream_failed(const Stream* s);

// Inflates a DZ block's data into `out` (original_length bytes, undone transposition
// included); false with a message when the data does not inflate to exactly that length.
// Exposed for tests and the benchmark.
bool dz_inflate(const DzBlock* dz, uint8_t* out);
