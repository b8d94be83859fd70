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

nlohmann::ordered_json summary_json(const RunReport* report, int exit_status,
                                    std::string_view input_root) {
  nlohmann::ordered_json summary;
  summary["version"] = RUN_SUMMARY_VERSION;
  summary["status"] = exit_status;
  summary["message"] = exit_status != 0 ? text_of(report->message) : std::string();
  summary["complete"] = !report->incomplete;
  nlohmann::ordered_json inputs = nlohmann::ordered_json::array();
  uint64_t rows = 0, outputs = 0, converted = 0;
  for (const InputReport* input : report->inputs) {
    nlohmann::ordered_json entry;
    entry["path"] = std::string(input_root) + text_of(input->path);
    entry["status"] = input->status;
    entry["message"] = text_of(input->message);
    entry["frames"] = frames_json(input->frames);
    entry["rows"] = input->rows;
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const DynString& file : input->outputs) files.push_back(text_of(file));
    entry["outputs"] = std::move(files);
    inputs.push_back(std::move(entry));
    rows += input->rows;
    outputs += input->outputs.count;
    converted += input->status == 0;
  }
  summary["inputs"] = std::move(inputs);
  nlohmann::ordered_json totals;
  totals["frames"] = frames_json(report->frames);
  totals["rows"] = rows;
  totals["inputs"] = report->inputs.count;
  totals["inputs_ok"] = converted;
  totals["outputs"] = outputs;
  summary["totals"] = std::move(totals);
  return summary;
}

// Writes all of `text` to a new file at `path`; false (errno set) otherwise.
bool write_new_file(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  int error = done == text.size() ? 0 : errno ? errno : EIO;
  if (!error && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && !error) error = errno;
  if (error) {
    unlink(path.c_str());
    errno = error;
  }
  return error == 0;
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
  // Paths and messages that are not UTF-8 are written with replacement characters.
  std::string text = summary_json(report, exit_status, input_root)
                         .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  text += '\n';
  std::string temporary = std::string(path) + ".tmp" + std::to_string(getpid());
  if (!write_new_file(temporary, text) || rename(temporary.c_str(), path) != 0) {
    LOG(LOG_ERROR, "Could not write the run summary %s: %s", path, strerror(errno));
    unlink(temporary.c_str());
    return false;
  }
  return true;
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
