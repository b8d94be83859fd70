// Fuzz target: arbitrary bytes as an input file through the whole conversion, in process:
// container unwrapping (password "x"), the MDF reader, frame decoding with DBC files on CAN
// channels 1 (plain, Motorola, signed and multiplexed messages) and 2 (the same as J1939),
// the output writers and their file names. The output tree lives in a scratch folder that is
// emptied after every input.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "app/convert_file.h"
#include "app/run.h"
#include "common.h"
#include "dbc/message_db.h"
#include "io/fs_root.h"
#include "output/session.h"

namespace {

constexpr const char DBC_TEXT[] =
    "VERSION \"\"\n\n"
    "BU_: Logger\n\n"
    "BO_ 256 Engine: 8 Logger\n"
    " SG_ Speed : 0|16@1+ (0.125,0) [0|8000] \"rpm\" Logger\n"
    " SG_ Temp : 23|8@0- (1,-40) [-40|100] \"C\" Logger\n"
    " SG_ Flag : 63|1@1+ (1,0) [0|1] \"\" Logger\n\n"
    "BO_ 416 Mux: 8 Logger\n"
    " SG_ Selector M : 0|8@1+ (1,0) [0|255] \"\" Logger\n"
    " SG_ A m0 : 8|16@1+ (0.01,0) [0|655.35] \"\" Logger\n"
    " SG_ B m1 : 8|32@1- (1,0) [0|0] \"\" Logger\n\n"
    "BO_ 2364600561 Eec1: 8 Logger\n"
    " SG_ Torque : 16|8@1+ (1,-125) [-125|125] \"%\" Logger\n"
    " SG_ Rpm : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Logger\n\n"
    // Short names and headers: their texts are held inline by the stage that takes the rows.
    "BO_ 512 S0: 1 Logger\n SG_ v : 0|8@1+ (1,0) [0|0] \"\" Logger\n"
    "BO_ 513 S1: 1 Logger\n SG_ v : 0|8@1+ (1,0) [0|0] \"\" Logger\n"
    "BO_ 514 S2: 1 Logger\n SG_ v : 0|8@1+ (1,0) [0|0] \"\" Logger\n"
    "BO_ 515 S3: 1 Logger\n SG_ v : 0|8@1+ (1,0) [0|0] \"\" Logger\n"
    "BO_ 516 S4: 1 Logger\n SG_ v : 0|8@1+ (1,0) [0|0] \"\" Logger\n"
    "BO_ 517 S5: 1 Logger\n SG_ v : 0|8@1+ (1,0) [0|0] \"\" Logger\n\n"
    "BA_DEF_  \"BusType\" STRING ;\n"
    "BA_DEF_  \"ProtocolType\" STRING ;\n"
    "BA_ \"BusType\" \"CAN\";\n";
// Channel 2 reads the same messages by parameter group.
constexpr const char J1939_LINE[] = "BA_ \"ProtocolType\" \"J1939\";\n";

struct Scratch {
  std::string root;
  FsRoot* input_root = nullptr;
  FsRoot* output_root = nullptr;
  ConversionOptions options{};
  DbcPathTable paths{};
};

void remove_tree(const std::string& path, bool keep);

bool write_text(const std::string& path, std::initializer_list<const char*> parts) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (const char* part : parts) ok = ok && fputs(part, f) >= 0;
  return fclose(f) == 0 && ok;
}

Scratch* scratch() {
  static Scratch* s = [] {
    auto* made = new Scratch;
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tabulon-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    made->root = pattern;
    atexit([] { remove_tree(scratch()->root, false); });
    if (mkdir((made->root + "/in").c_str(), 0700) != 0 ||
        mkdir((made->root + "/out").c_str(), 0700) != 0)
      abort();
    made->input_root = fs_root_create(made->root + "/in");
    made->output_root = fs_root_create(made->root + "/out");
    if (!made->input_root || !made->output_root) abort();
    made->options.buffer_size = -1;
    std::string can1 = made->root + "/can1.dbc", can2 = made->root + "/can2.dbc";
    if (!write_text(can1, {DBC_TEXT}) || !write_text(can2, {DBC_TEXT, J1939_LINE}) ||
        !dynstring_from(&made->paths.paths[0][1][0], can1) ||
        !dynstring_from(&made->paths.paths[0][2][0], can2))
      abort();
    if (!string_map_insert(&made->options.passwords, "default", "x")) abort();
    return made;
  }();
  return s;
}

// Removes everything below `path` (the folder itself stays when keep is set).
void remove_tree(const std::string& path, bool keep) {
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
      std::string child = path + "/" + entry->d_name;
      struct stat info;
      if (lstat(child.c_str(), &info) != 0) continue;
      if (S_ISDIR(info.st_mode)) {
        remove_tree(child, false);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  if (!keep) rmdir(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_logs();
  Scratch* s = scratch();
  const std::string input = s->root + "/in/00000001.MF4";
  FILE* f = fopen(input.c_str(), "wb");
  if (!f) abort();
  if (size && fwrite(data, 1, size, f) != size) abort();
  if (fclose(f) != 0) abort();

  Run run{};
  if (!run_open(&run, s->input_root, s->output_root, &s->options, &s->paths, 0) ||
      run.decoders.channels[2].key != j1939_message_key)
    abort();
  int32_t result = convert_file(&run, "00000001.MF4", "00000001");
  if (result != CONVERT_OK && result != CONVERT_NO_PASSWORD &&
      result != CONVERT_DECOMPRESS_FAILED && result != CONVERT_FAILED)
    abort();
  session_finish(run.session);
  run_close(&run);
  remove_tree(s->root + "/out", true);
  return 0;
}
