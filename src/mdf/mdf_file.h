// The opened MDF file: its block tree with the reader's records prepared over it.
#pragma once

#include <cstdint>

#include "io/stream.h"
#include "mdf/block.h"

// True when the stream starts with an MDF identification ("MDF     " or "UnFinMF "), with the
// version number it states (330 for MDF 3.30, 411 for MDF 4.11); the stream is left at 0.
bool mdf_read_version(Stream* stream, uint16_t* version_number);

// Loads the whole block tree reachable from the identification block at offset 0 and the
// header block at 64, then builds the channel lists and record layouts of its data groups
// and checks what their bus frames need (prepare_bus_reading). Null when anything fails;
// every failure is logged.
MdfFile* mdf_open(Stream* stream);
// Releases the tree and frees the file; the stream stays open.
void mdf_close(MdfFile* file);
