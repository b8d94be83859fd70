// The Parquet output format: a format of the writer interface that turns the binary rows of an
// output file into a Parquet file at the same place, with the same columns.
#pragma once

#include "output/output_writer.h"

// Rows are held until this many bytes are buffered for a file, then written as a row group.
constexpr uint64_t PARQUET_OUTPUT_ROW_GROUP_BYTES = uint64_t{4} << 20;

// The format for --format=parquet. The columns of a file that is not finished yet are kept
// beside it in "<file>.columns" (the header line), so that a later run can go on with it; the
// finished file takes that file's place.
const WriterOps* parquet_output_format();
