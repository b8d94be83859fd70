// Fuzz target: reads arbitrary text as the journal of an output folder holding two output
// files, so that a journal that passes its checks also cuts back, removes and verifies files.
// An input whose first byte is odd is a list of lines that the target signs with the chained
// checksums first (so that the records themselves are explored); otherwise it is taken as it
// is, checksums and all.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "common.h"
#include "io/durable_io.h"
#include "io/fs_root.h"
#include "output/journal.h"
#include "output/session.h"

namespace {

// The fingerprint of the seeds' headers: a journal may be resumed.
constexpr uint64_t FINGERPRINT = 4660;

std::string folder;

// The lines of `text` each ended with its chained checksum.
std::string signed_lines(std::string_view text) {
  std::string out;
  uLong chain = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    chain =
        crc32(chain, reinterpret_cast<const Bytef*>(line.data()), static_cast<uInt>(line.size()));
    char checksum[16];
    snprintf(checksum, sizeof checksum, " %08lx\n", chain);
    out.append(line).append(checksum);
    at = end + 1;
  }
  return out;
}

bool put(const std::string& name, std::string_view text) {
  DynString path{};
  bool ok = io_join_path(folder, name, &path);
  FILE* f = ok ? fopen(dynstring_data(&path), "wb") : nullptr;
  ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f) fclose(f);
  dynstring_free(&path);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_logs();
  if (folder.empty()) {
    char name[] = "/tmp/fuzz_journal.XXXXXX";
    if (!mkdtemp(name)) __builtin_trap();
    folder = name;
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    });
  }
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string journal = data[0] & 1 ? signed_lines(text) : std::string(text);
  if (!put(JOURNAL_NAME, journal) || !put("a.csv", "t,x\n1,2\n3,4\n") || !put("b.csv", "t,y\n"))
    __builtin_trap();
  FsRoot* root = fs_root_create(folder.c_str());
  if (!root) __builtin_trap();
  Journal* j = journal_open(root, FINGERPRINT);
  if (j) {
    // A distrusted journal names its fault and is neither resumed nor repaired from.
    if (j->distrusted && (j->resumed || !j->fault || j->fault_line < 1 || !j->fresh_names))
      __builtin_trap();
    DynString path{}, a{};
    if (j->distrusted &&
        (!io_join_path(folder, "a.csv", &path) || !io_read_file(dynstring_data(&path), &a) ||
         dynstring_sv(&a) != "t,x\n1,2\n3,4\n"))
      __builtin_trap();
    dynstring_free(&path);
    dynstring_free(&a);
    // A resumed session reopens the set's files: every writer must be closed again (a key
    // twice once leaked one).
    Session* session = j->resumed ? session_create(root, false, false, 1) : nullptr;
    if (session) {
      session_resume(session, &j->state);
      session_destroy(session);
      free(session);
    }
    journal_close(j);
  }
  fs_root_release(root);
  return 0;
}
