// Records of a data group, in one include: the channel conversions, the leaf channels of each
// channel group, the per-data-group map of record layouts, and the reader that walks a data
// group's records and hands each to its group's frame extractor.
#pragma once

#include "mdf/channels.h"
#include "mdf/conversions.h"
#include "mdf/layouts.h"
#include "mdf/record_reader.h"
