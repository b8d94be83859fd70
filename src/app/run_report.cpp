// The run's account of its inputs, the JSON run summary and the frames part of the closing line.
#include "app/run_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "support/log.h"

namespace {

thread_local InputReport* capturing = nullptr;

// The text after the level letter of an error or fatal log line ("<date> <time> <pid> <tid> E
// text"); empty for other lines.
std::string_view error_text(std::string_view line) {
  size_t at = 0;
  for (int field = 0; field < 4; ++field) {
    while (at < line.size() && line[at] == ' ') ++at;
    while (at < line.size() && line[at] != ' ') ++at;
  }
  if (at + 3 > line.size() || line[at] != ' ' || line[at + 2] != ' ') return {};
  if (line[at + 1] != 'E' && line[at + 1] != 'F') return {};
  return line.substr(at + 3);
}

// What a status means when no line said why.
const char* status_meaning(int32_t status) {
  switch (status) {
    case 1:
      return "missing";
    case 2:
      return "encrypted file without password, or it could not be decrypted";
    case 4:
      return "compressed file could not be decompressed";
    case 129:
      return "could not be queried, opened or listed";
    default:
      return "conversion failed";
  }
}

// "14,600": counts as people read them.
std::string grouped(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

nlohmann::ordered_json frames_json(const FrameAccount& account) {
  nlohmann::ordered_json frames;
  frames["read"] = frame_account_read(account);
  for (int fate = 0; fate < FATE_COUNT; ++fate) frames[FATE_NAMES[fate]] = account.fates[fate];
  return frames;
}

std::string text_of(const DynString& s) { return std::string(dynstring_sv(&s)); }

using Json = nlohmann::ordered_json;

// JSON text of a value; paths and messages that are not UTF-8 get replacement characters.
std::string json_text(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json input_json(const InputReport* input, std::string_view input_root) {
  Json entry;
  entry["path"] = std::string(input_root) + text_of(input->path);
  entry["status"] = input->status;
  entry["message"] = text_of(input->message);
  entry["frames"] = frames_json(input->frames);
  entry["rows"] = input->rows;
  Json files = Json::array();
  for (const DynString& file : input->outputs) files.push_back(text_of(file));
  entry["outputs"] = std::move(files);
  return entry;
}

// Writes all of `text` at the descriptor's position; false (errno set) otherwise.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The summary into the open file, one input at a time, so that memory does not grow with the
// number of inputs: the head, the inputs (a line each), the totals.
bool write_summary(int fd, const RunReport* report, int exit_status, std::string_view input_root) {
  Json head;
  head["version"] = RUN_SUMMARY_VERSION;
  head["status"] = exit_status;
  head["message"] = exit_status != 0 ? text_of(report->message) : std::string();
  head["complete"] = !report->incomplete;
  std::string text = json_text(head);
  text.pop_back();  // the closing brace: the inputs and totals follow
  if (!write_all(fd, text + ",\n\"inputs\": [")) return false;
  uint64_t rows = 0, outputs = 0, converted = 0;
  const char* separator = "\n  ";
  for (const InputReport* input : report->inputs) {
    if (!write_all(fd, separator) || !write_all(fd, json_text(input_json(input, input_root))))
      return false;
    separator = ",\n  ";
    rows += input->rows;
    outputs += input->outputs.count;
    converted += input->status == 0;
  }
  Json totals;
  totals["frames"] = frames_json(report->frames);
  totals["rows"] = rows;
  totals["inputs"] = report->inputs.count;
  totals["inputs_ok"] = converted;
  totals["outputs"] = outputs;
  return write_all(fd, "\n],\n\"totals\": " + json_text(totals) + "}\n");
}

struct Fate {
  uint64_t frames;
  int bus, channel, fate;  // bus -1: of no channel
};

// The phrase that follows a count of frames of the fate.
const char* fate_phrase(int fate, bool channel) {
  switch (fate) {
    case FATE_NO_DBC:
      return "without a DBC file";
    case FATE_UNKNOWN_ID:
      return "with an id that no message of its DBC files has";
    case FATE_LENGTH_MISMATCH:
      return "with another length than their DBC message";
    case FATE_OUT_OF_RANGE:
      return "without a signal value in range";
    case FATE_BAD_TIME:
      return "with a time outside the calendar";
    case FATE_UNREADABLE:
      return channel ? "that could not be read" : "in groups that could not be read";
    case FATE_FILTERED:
      return "of messages that --signals leaves out";
    default:
      return "that are remote, error or other frames without data";
  }
}

// Keeps the three largest fates seen, largest first.
void keep_largest(Fate (&largest)[3], const Fate& f) {
  if (f.frames == 0) return;
  for (int i = 0; i < 3; ++i) {
    if (f.frames <= largest[i].frames) continue;
    for (int j = 2; j > i; --j) largest[j] = largest[j - 1];
    largest[i] = f;
    return;
  }
}

}  // namespace

InputReport* run_report_add(RunReport* report, std::string_view path) {
  if (!report->keep_inputs) return nullptr;
  auto* input = static_cast<InputReport*>(calloc(1, sizeof(InputReport)));
  if (input && dynstring_from(&input->path, path) && grow_array_push(&report->inputs, input))
    return input;
  if (input) dynstring_free(&input->path);
  free(input);
  report->incomplete = true;
  return nullptr;
}

void run_report_settle(InputReport* input, int32_t status, std::string_view message) {
  if (!input) return;
  input->status = status;
  if (dynstring_length(&input->message) > 0) return;
  if (message.empty() && status != 0) message = status_meaning(status);
  dynstring_from(&input->message, message);
}

void run_report_frames(RunReport* report, InputReport* input, const FrameAccount& file) {
  frame_account_add(&report->frames, file);
  if (input) frame_account_add(&input->frames, file);
}

void run_report_free(RunReport* report) {
  for (InputReport* input : report->inputs) {
    dynstring_free(&input->path);
    dynstring_free(&input->message);
    for (DynString& file : input->outputs) dynstring_free(&file);
    grow_array_free(&input->outputs);
    free(input);
  }
  grow_array_free(&report->inputs);
  dynstring_free(&report->message);
}

void run_report_capture(InputReport* input) { capturing = input; }

void run_report_observe(void* context, const char* text, size_t length) {
  auto* report = static_cast<RunReport*>(context);
  InputReport* input = capturing;
  bool input_open = input && dynstring_length(&input->message) == 0;
  bool run_open = report && dynstring_length(&report->message) == 0;
  std::string_view rest(text, length);
  while (!rest.empty() && (input_open || run_open)) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    std::string_view message = error_text(line);
    if (message.empty()) continue;
    if (input_open) dynstring_from(&input->message, message);
    if (run_open) dynstring_from(&report->message, message);
    input_open = run_open = false;
  }
}

bool run_report_write(const RunReport* report, int exit_status, std::string_view input_root,
                      const char* path) {
  // Written beside its place and renamed over it, so that a reader never sees half of one.
  std::string temporary = std::string(path) + ".tmp" + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && write_summary(fd, report, exit_status, input_root) && fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(temporary.c_str(), path) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    LOG(LOG_ERROR, "Could not write the run summary %s: %s", path, strerror(error));
    if (fd >= 0) unlink(temporary.c_str());
  }
  return ok;
}

size_t run_report_format_frames(const RunReport* report, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  const FrameAccount& totals = report->frames;
  FrameAccount placed{};
  Fate largest[3] = {};
  for (int bus = 0; bus < 2; ++bus) {
    for (int channel = 0; channel < TALLY_CHANNELS; ++channel) {
      const FrameAccount& a = report->channels[bus][channel];
      frame_account_add(&placed, a);
      for (int fate = FATE_NO_DBC; fate < FATE_COUNT; ++fate)
        keep_largest(largest, Fate{a.fates[fate], bus, channel, fate});
    }
  }
  for (int fate = FATE_NO_DBC; fate < FATE_COUNT; ++fate)
    if (totals.fates[fate] > placed.fates[fate])
      keep_largest(largest, Fate{totals.fates[fate] - placed.fates[fate], -1, 0, fate});
  std::string line = "Frames: " + grouped(frame_account_read(totals)) + " read, " +
                     grouped(totals.fates[FATE_DECODED]) + " decoded";
  for (int i = 0; i < 3 && largest[i].frames > 0; ++i) {
    const Fate& f = largest[i];
    line += i == 0 ? "; " : ", ";
    line += grouped(f.frames) + (f.frames == 1 ? " frame " : " frames ");
    if (f.bus >= 0)
      line += std::string("on ") + (f.bus == TALLY_CAN ? "CAN " : "LIN ") +
              std::to_string(f.channel) + " ";
    line += fate_phrase(f.fate, f.bus >= 0);
  }
  line += '.';
  size_t length = line.size() < capacity ? line.size() : capacity - 1;
  memcpy(out, line.data(), length);
  out[length] = 0;
  return length;
}
