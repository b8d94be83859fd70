// Stage B's side of the row stream: one part's records taken into the session's output files,
// each row into the writer of its descriptor's file in the current output set.
#include "output/row_taker.h"

#include "output/output_files.h"
#include "output/output_writer.h"
#include "output/session.h"
#include "support/log.h"

void row_taker_clear(RowTaker* taker) {
  for (TakenFile& f : taker->files) dynstring_free(&f.text);
  grow_array_free(&taker->files);
}

namespace {

bool take_descriptor(RowTaker* taker, const RowRecord& record) {
  if (record.size < sizeof(RowDescriptor)) return false;
  auto d = row_record_head<RowDescriptor>(record);
  if (d.index != static_cast<uint32_t>(taker->files.count) ||
      record.size - sizeof d <
          static_cast<uint64_t>(d.path_length) + d.header_length + d.kinds_length)
    return false;
  TakenFile* taken = grow_array_push(&taker->files);
  if (!taken) return false;
  const char* texts = reinterpret_cast<const char*>(record.body + sizeof d);
  uint64_t length = uint64_t{d.path_length} + d.header_length + d.kinds_length;
  if (!dynstring_from(&taken->text, std::string_view(texts, length))) {
    taker->files.count -= 1;
    return false;
  }
  taken->key = d.key;
  taken->identity = d.identity;
  taken->columns = d.columns;
  taken->path_length = d.path_length;
  taken->header_length = d.header_length;
  return true;
}

// The file as a decode describes it, with views into the entry's text where it is now (the
// array of entries moves them as it grows).
OutputFile output_file_of(const TakenFile& taken) {
  std::string_view text = dynstring_sv(&taken.text);
  return OutputFile{taken.key,
                    taken.identity,
                    taken.columns,
                    text.substr(0, taken.path_length),
                    text.substr(taken.path_length, taken.header_length),
                    text.substr(taken.path_length + taken.header_length)};
}

// Output files never span two UTC days: a row of another day than the open output set starts
// a new set. False when the previous day's files could not be written out.
bool enter_row_day(Session* session, PackedDay day) {
  auto year = static_cast<uint16_t>(day / 10000);
  auto month = static_cast<uint8_t>(day / 100 % 100);
  auto date = static_cast<uint8_t>(day % 100);
  if (year == session->output_year && month == session->output_month && date == session->output_day)
    return true;
  return session_start_output_set(session, year, month, date);
}

bool take_row(Session* session, RowTaker* taker, const RowRecord& record) {
  if (record.size < sizeof(RowHead)) return false;
  auto head = row_record_head<RowHead>(record);
  bool ok = enter_row_day(session, head.day);
  if (head.descriptor == NO_DESCRIPTOR) return ok;
  if (head.descriptor >= static_cast<uint32_t>(taker->files.count) ||
      record.size - sizeof head < head.length)
    return false;
  TakenFile& taken = taker->files[static_cast<int32_t>(head.descriptor)];
  if (!taken.writer || taken.output_set != session->output_set) {
    taken.writer = writer_for_file(session, output_file_of(taken));
    taken.output_set = session->output_set;
  }
  OutputWriter* writer = taken.writer;
  if (!writer) return false;  // writer_for_file has reported the file
  bool failed_before = writer->failed;
  const uint8_t* row = record.body + sizeof head;
  bool written =
      record.kind == ROW_RECORD_VALUES
          ? writer_write_values(writer, row, head.length, taken.columns)
          : writer_write(writer, std::string_view(reinterpret_cast<const char*>(row), head.length),
                         taken.columns);
  if (written) {
    session->statistics.rows += 1;
    return ok;
  }
  if (!failed_before) LOG(LOG_ERROR, "Could not write to output file %s", writer_path(writer));
  return false;
}

void take_bad_time(Session* session, const RowRecord& record) {
  double t;
  if (record.size < sizeof t || session->warned_bad_time) return;
  t = row_record_head<double>(record);
  LOG(LOG_WARN, "Frames with a time outside the calendar (%f s) are skipped", t);
  session->warned_bad_time = true;
}

}  // namespace

bool session_take_record(Session* session, RowTaker* taker, const RowRecord& record) {
  bool ok = true;
  switch (record.kind) {
    case ROW_RECORD_DESCRIPTOR:
      ok = take_descriptor(taker, record);
      break;
    case ROW_RECORD_ROW:
    case ROW_RECORD_VALUES:
      ok = take_row(session, taker, record);
      break;
    case ROW_RECORD_BAD_TIME:
      take_bad_time(session, record);
      break;
    case ROW_RECORD_COUNTS:
      if (record.size >= sizeof(RowCounts)) {
        auto counts = row_record_head<RowCounts>(record);
        session->statistics.messages += counts.messages;
        session->statistics.signals += counts.signals;
      }
      break;
    default:
      break;
  }
  if (!ok) session->output_failed = true;
  return ok;
}
