// DBC files: reads the text description of a bus's messages and signals into a
// MessageDatabase, resolving bus type, protocol and ignore attributes on the way.
#pragma once

#include "dbc/message_db.h"
#include "io/stream.h"

// Reads `stream` from its current position for stream_size bytes and builds its database;
// null (logged) when the file is empty, unreadable, of an unsupported bus type or when two
// messages share a key. The caller keeps and closes the stream.
MessageDatabase* dbc_load(Stream* stream);
