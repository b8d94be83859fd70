// DBC files: reads the text description of a bus's messages and signals into a
// MessageDatabase, resolving bus type, protocol, ignore and long-name attributes on the way.
#pragma once

#include <string_view>

#include "dbc/message_db.h"
#include "io/stream.h"

// Reads `stream` from its current position for stream_size bytes and builds its database.
// Every statement, message and signal of the file that is not used is reported at warning level
// as "<file_name>:<line>: ..." and a summary of the file at information level. Null (logged)
// when the file is empty or unreadable, of an unsupported bus type, or memory ran out. The
// caller keeps and closes the stream. With `value_tables` the VAL_ statements are read into the
// database's value tables (otherwise they are skipped unread).
MessageDatabase* dbc_load(Stream* stream, std::string_view file_name = "DBC file",
                          bool value_tables = false);
