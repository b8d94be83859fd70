// The file header record of the row stream: what stage B's session needs of an input's header.
#pragma once

#include <cstdint>

struct MdfFile;

// What the session needs of a file's header block: the logger's serial number, session and
// split (0 where the file carries none), and the start time. Read by stage A, on any thread.
struct FileHeader {
  uint32_t serial, session, split;
  double start_time;  // seconds since 1970 UTC
};
void read_file_header(MdfFile* file, FileHeader* header);
