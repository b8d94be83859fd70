// Writes the seed corpora of the fuzz targets with our own writers (run by hand when the
// formats change; the corpora are checked in). DBC seeds are the checked-in DBC files.
// Built with the tests in a fuzz build (-DTABULON_FUZZ=ON -DTABULON_TESTS=ON).
// Usage: make_fuzz_seeds <fuzz folder>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "io/fs_root.h"
#include "output/journal.h"
#include "parquet_setup.h"
#include "support/container_writer.h"
#include "support/mf4_writer.h"

namespace {

std::string root;

void put(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
  std::string path = root + "/corpus/" + target + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
}

void put_text(const std::string& target, const std::string& name, const std::string& text) {
  put(target, name, std::vector<uint8_t>(text.begin(), text.end()));
}

// A few frames of every kind, so that every extractor and storage is reached.
void fill(test::BusLogBuilder& log) {
  log.add_can_frame(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.001);
  log.add_can_frame(2, 0x18FEF121, true, {9, 8, 7}, 0.002);
  log.add_can_remote_frame(1, 0x1A0, false, 8, 0.003);
  log.add_can_error_frame(1, 3, 0.004);
  log.add_lin_frame(1, 0x21, {0x10, 0x20}, 0.005);
}

std::vector<uint8_t> small_log() {
  test::BusLogBuilder log;
  log.metadata(0x0A1B2C3D, 1, 1);
  log.add_can_frame(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.001);
  log.add_can_frame(1, 0x1A0, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.002);
  return log.build();
}

void mf4_seeds() {
  {
    test::BusLogBuilder log;
    fill(log);
    put("mf4", "sorted.mf4", log.build());
  }
  {
    test::BusLogBuilder log;
    log.layout(test::Layout::Unsorted, 1).comment_style(test::CommentStyle::Nested);
    fill(log);
    put("mf4", "unsorted.mf4", log.build());
  }
  {
    test::BusLogBuilder log;
    log.can_data_storage(test::DataStorage::SignalData)
        .lin_data_storage(test::DataStorage::SignalData);
    fill(log);
    log.add_canfd_frame(3, 0x12345, true, std::vector<uint8_t>(64, 0xAA), 0.006);
    put("mf4", "signal_data.mf4", log.build());
  }
  {
    test::BusLogBuilder log;
    log.can_data_storage(test::DataStorage::VlsdGroup).record_id_size(2);
    fill(log);
    put("mf4", "vlsd_group.mf4", log.build());
  }
  {
    test::BusLogBuilder log;
    log.flat_channels().timestamp_ticks(1e-6).invalidation_bytes(1).unfinalised();
    fill(log);
    put("mf4", "unfinalised_flat.mf4", log.build());
  }
  // Data spread over lists and compressed blocks, in pieces that cut records.
  struct Spread {
    const char* name;
    test::DataBlocks form;
    uint64_t piece;
    bool column;
  };
  const Spread spreads[] = {
      {"data_list.mf4", test::DataBlocks::ListOffsets, 40, false},
      {"deflate.mf4", test::DataBlocks::Deflate, 0, false},
      {"header_list.mf4", test::DataBlocks::HeaderList, 50, false},
      {"column_storage.mf4", test::DataBlocks::Transposed, 30, true},
  };
  for (const Spread& s : spreads) {
    test::BusLogBuilder log;
    log.data_blocks(s.form, s.piece).column_storage(s.column).invalidation_bytes(1);
    log.can_data_storage(test::DataStorage::SignalData).master_name("t");
    fill(log);
    put("mf4", s.name, log.build());
  }
  {
    test::BusLogBuilder log;
    log.can_data_storage(test::DataStorage::VlsdGroup).vlsd_before_record().master_name("time");
    log.layout(test::Layout::Unsorted, 1).data_blocks(test::DataBlocks::List, 64);
    fill(log);
    put("mf4", "vlsd_before_record.mf4", log.build());
  }
}

void container_seeds() {
  std::vector<uint8_t> mf4 = small_log();
  put("container", "compressed.mfc", test::make_compressed_container(mf4, 0x0A1B2C3D, 8, 4, true));
  put("container", "compressed_w4.mfc",
      test::make_compressed_container(mf4, 0x0A1B2C3D, 4, 3, false));
  put("container", "encrypted_x.mfe", test::make_encrypted_container(mf4, 0x0A1B2C3D, "x", 1));
  put("container", "encrypted_other.mfe",
      test::make_encrypted_container(mf4, 0x0A1B2C3D, "other", 2, 7));
  put("container", "compressed_in_encrypted.mfe",
      test::make_encrypted_container(test::make_compressed_container(mf4, 1, 10, 5), 1, "x", 1));
  put("mf4", "small.mf4", mf4);
}

// Frames that the pipeline target's DBC decodes: plain, multiplexed (both selectors), J1939
// from two source addresses, an unknown id, on two channels; plain and in both containers.
void pipeline_seeds() {
  test::BusLogBuilder log;
  log.metadata(0x0A1B2C3D, 2, 5);
  log.add_can_frame(1, 0x100, false, {0x10, 0x27, 0x80, 0xF0, 0, 0, 0, 0x80}, 0.001);
  log.add_can_frame(1, 0x1A0, false, {0, 0x34, 0x12, 0, 0, 0, 0, 0}, 0.002);
  log.add_can_frame(2, 0x1A0, false, {1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}, 0.003);
  log.add_can_frame(2, 0x0CF00431, true, {0, 0, 200, 0x40, 0x1F, 0, 0, 0}, 0.004);
  log.add_can_frame(2, 0x0CF00417, true, {0, 0, 100, 0x10, 0x0F, 0, 0, 0}, 0.005);
  log.add_can_frame(1, 0x555, false, {1, 2, 3}, 0.006);
  log.add_canfd_frame(1, 0x100, false, std::vector<uint8_t>(12, 0x5A), 0.007);
  std::vector<uint8_t> mf4 = log.build();
  put("pipeline", "decoded.mf4", mf4);
  log.data_blocks(test::DataBlocks::Transposed, 60);
  put("pipeline", "decoded_dz.mf4", log.build());
  log.column_storage().data_blocks(test::DataBlocks::List, 40);
  put("pipeline", "decoded_column.mf4", log.build());
  put("pipeline", "decoded.mfc", test::make_compressed_container(mf4, 0x0A1B2C3D, 8, 4, true));
  put("pipeline", "decoded.mfe", test::make_encrypted_container(mf4, 0x0A1B2C3D, "x", 1));
  // Six messages with short names across a UTC midnight: the new day takes every file anew.
  test::BusLogBuilder midnight;
  midnight.start_time_ns(1699401599ULL * 1000000000ULL).metadata(0x0A1B2C3D, 3, 1);
  for (double t : {0.5, 1.5})
    for (uint32_t i = 0; i < 6; ++i)
      midnight.add_can_frame(1, 0x200 + i, false, {static_cast<uint8_t>(i)}, t + i * 0.01);
  put("pipeline", "midnight_short_names.mf4", midnight.build());
}

void metadata_seeds() {
  put_text("metadata", "flat.xml",
           test::logger_comment_xml(0x0A1B2C3D, 12, 3, test::CommentStyle::Flat));
  put_text("metadata", "nested.xml",
           test::logger_comment_xml(0x0A1B2C3D, 12, 3, test::CommentStyle::Nested));
}

void password_seeds() {
  put_text("passwords", "two.json",
           "{\n  \"0A1B2C3D\": \"example-password\",\n  \"default\": \"not-the-password\"\n}\n");
  put_text(
      "passwords", "odd.json",
      "{\r\n\t\"default\" : \"a \\\"quoted\\\" one\" ,\r\n  \"abc\":\"\",\n\"default\": \"again\"\n"
      "  \"12G4\": \"not hex\"\n\"ffffffff\": \"\xc3\xa9t\xc3\xa9\"}");
}

// Pattern, a zero byte, then the text.
void regex_seed(const std::string& name, const std::string& pattern, const std::string& text) {
  std::string bytes = pattern;
  bytes.push_back('\0');
  bytes += text;
  put_text("regex", name, bytes);
}

void regex_seeds() {
  regex_seed("message", R"re(^BO_ (\d+) ([[:graph:]]+): (\d+) ([[:graph:]]+)$)re",
             "BO_ 256 EngineData: 8 Vector__XXX\nBO_ 2364540158 EEC1: 8 Vector__XXX");
  regex_seed(
      "signal",
      R"re(^SG_ ([[:graph:]]+) ([0-9mM]*) ?: (\d+)\|(\d+)@(0|1)(\+|-) \(([0-9eE\.\-]+),([0-9eE\.\-]+)\) \[([0-9eE\.\-]+)\|([0-9eE\.\-]+)\].*$)re",
      " SG_ Speed m1 : 0|16@1+ (0.25,0) [0|16383.75] \"rpm\" Vector__XXX");
  regex_seed(
      "attribute",
      R"re(^BA_ "([[:graph:]]+)" ?(BU_|BO_|SG_)* ?(\d+)* ?([[:graph:]]+)* ([[:ascii:]]+);$)re",
      "BA_ \"BusType\" \"CAN\";\nBA_ \"MessageIgnore\" BO_ 256 1;");
  regex_seed("password", R"re(^\s*"(default|[a-fA-F\d]*)"\s*:\s*"(.*)"\s*,?\s*$)re",
             "{\n  \"0A1B2C3D\": \"secret\",\n  \"default\": \"x\"\n}");
  regex_seed("unicode", R"re((?i)\p{Lu}+[[:alpha:]]\x{e9}.*?|[^a-z]{2,}\b)re",
             "\xc3\x89T\xc3\x89 caf\xc3\xa9 ABC 123 \xe2\x82\xac\xff");
  regex_seed("flags", R"((?s)a.b(?-i)c|(x*)+y)", "a\nbc xxxxy");
}

// Unfinished files of a few setups, flushed after some rows: the byte that chooses the setup,
// then the file.
void parquet_seed(const std::string& name, uint8_t selector, int rows, int flush_every) {
  fuzz::ParquetFuzzSetup chosen(selector);
  Stream* sink = memory_stream_new();
  ParquetWriter* w = parquet_writer_open(&chosen.setup, sink, nullptr);
  for (int i = 0; i < rows; ++i) {
    ParquetCell cells[3];
    for (uint32_t c = 0; c < 3; ++c) {
      bool null = (i + static_cast<int>(c)) % 3 == 0;
      cells[c] = null ? parquet_null()
                 : chosen.columns[c].kind == PARQUET_STRING
                     ? parquet_text(StringView(i % 2 ? "ab" : "", i % 2 ? 2 : 0))
                     : parquet_number(i * 0.5);
    }
    parquet_writer_append(w, 1700000000000000 + i, cells, chosen.setup.column_count);
    if ((i + 1) % flush_every == 0) parquet_writer_flush(w);
  }
  const uint8_t* bytes;
  uint64_t size;
  stream_bytes_view(sink, &bytes, &size);
  std::vector<uint8_t> seed{selector};
  seed.insert(seed.end(), bytes, bytes + size);
  put("parquet", name, seed);
  parquet_writer_free(w);
  stream_close(sink);
}

void parquet_seeds() {
  parquet_seed("time_only", 0, 9, 5);
  parquet_seed("doubles", 2, 11, 6);
  parquet_seed("mixed", 3 | (1 << 3), 10, 4);
  parquet_seed("texts", 1 | (1 << 2), 7, 7);
}

// One transport frame as the J1939 target reads it: id, length 8, time step, data.
void j1939_frame(std::vector<uint8_t>& out, uint32_t id, uint8_t step_ms,
                 const std::vector<uint8_t>& data) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(id >> (8 * i)));
  out.push_back(8);
  out.push_back(step_ms);
  for (size_t i = 0; i < 8; ++i) out.push_back(i < data.size() ? data[i] : 0xFF);
}

// The data packets of a 20-byte message from `source` to `destination`.
void j1939_packets(std::vector<uint8_t>& out, uint8_t source, uint8_t destination) {
  uint32_t id = 0x1CEB0000u | destination << 8 | source;
  for (uint8_t seq = 1; seq <= 3; ++seq) {
    std::vector<uint8_t> d{seq};
    for (uint8_t i = 0; i < 7; ++i) d.push_back(static_cast<uint8_t>(seq * 16 + i));
    j1939_frame(out, id, 50, d);
  }
}

// A broadcast session and a connection-mode one, each complete.
void j1939_seeds() {
  std::vector<uint8_t> bam;
  j1939_frame(bam, 0x1CECFF00, 0, {0x20, 20, 0, 3, 0xFF, 0xE3, 0xFE, 0x00});
  j1939_packets(bam, 0x00, 0xFF);
  put("j1939", "bam.bin", bam);
  std::vector<uint8_t> rts;
  j1939_frame(rts, 0x1CEC0100, 0, {0x10, 20, 0, 3, 0xFF, 0xCA, 0xFE, 0x00});
  j1939_frame(rts, 0x1CEC0001, 10, {0x11, 3, 1, 0xFF, 0xFF, 0xCA, 0xFE, 0x00});
  j1939_packets(rts, 0x00, 0x01);
  j1939_frame(rts, 0x1CEC0001, 10, {0x13, 20, 0, 3, 0xFF, 0xCA, 0xFE, 0x00});
  put("j1939", "rts_cts.bin", rts);
}

// A journal as the writer leaves it when its run is killed: `records` writes the records.
template <typename Records>
std::string killed_journal(Records records) {
  char name[] = "/tmp/make_seeds.XXXXXX";
  FsRoot* root = mkdtemp(name) ? fs_root_create(name) : nullptr;
  Journal* j = root ? journal_open(root, 4660) : nullptr;
  if (!j) {
    fprintf(stderr, "cannot write a journal in %s\n", name);
    exit(1);
  }
  records(j);
  FILE* f = fopen(dynstring_data(&j->path), "rb");
  std::string text;
  for (int c; f && (c = fgetc(f)) != EOF;) text += static_cast<char>(c);
  if (f) fclose(f);
  journal_close(j);
  fs_root_release(root);
  rmdir(name);
  return text;
}

// Each journal as it is (first byte 0) and as lines without their checksums, which the target
// signs (first byte 1).
void journal_seed(const std::string& name, const std::string& text) {
  put_text("journal", name + ".raw", std::string(1, '\0') + text);
  std::string lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines += text.substr(at, end - at - 9) + "\n";
  put_text("journal", name + ".lines", "\1" + lines);
}

void journal_seeds() {
  const FileStamp stamp{1, 2, 300, 1699315200000000000};
  journal_seed("killed", killed_journal([&](Journal* j) {
                 journal_begin(j, "in/x.MF4");
                 journal_output_set(j, 0xAB, 5, 3, 2023, 11, 7, "");
                 journal_new_file(j, 17, 99, 1, "a");
                 journal_previous(j, "in/x.MF4");
                 journal_last(j, 0xAB, 5, 3);
                 journal_rows(j, 8, "a");
                 journal_done(j, "in/x.MF4", 0, true, &stamp);
                 journal_removed(j, "in/x.MF4");
                 journal_begin(j, "in/y \\odd\nname.MF4");
                 journal_touch(j, 8, "a");
                 journal_output_set(j, 0, 0, 0, 2023, 11, 8, "in_out/y");
                 journal_new_file(j, 18, 98, 2, "b");
               }));
  journal_seed("finished", killed_journal([&](Journal* j) {
                 journal_begin(j, "in/x.MF4");
                 journal_output_set(j, 0xAB, 5, 3, 2023, 11, 7, "");
                 journal_new_file(j, 17, 99, 1, "a");
                 journal_rows(j, 12, "a");
                 journal_done(j, "in/x.MF4", 0, false, &stamp);
                 journal_begin(j, "in/z.MF4");
                 journal_done(j, "in/z.MF4", 8, false, nullptr);
               }));
  // A resumed state whose set names one file twice.
  put_text("journal", "file-twice.lines",
           "\1tabulon-journal 2 4660 0\ncreated a\nrows 8 a\nset 171 5 3 2023 11 7\n"
           "file 17 99 1 a\nfile 17 99 1 a\nlast 171 5 3\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_seeds <fuzz folder>\n");
    return 2;
  }
  root = argv[1];
  mf4_seeds();
  container_seeds();
  metadata_seeds();
  pipeline_seeds();
  password_seeds();
  regex_seeds();
  parquet_seeds();
  j1939_seeds();
  journal_seeds();
  return 0;
}
