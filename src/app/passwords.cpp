// The password store: reading the password file as JSON (any layout: every member named
// "default" or by hexadecimal digits whose value is a text is an entry), or, for files that are
// not JSON, picking its entry lines with one line pattern as earlier versions did.
#include "app/passwords.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/tool.h"
#include "io/fs_root.h"
#include "io/stream.h"
#include "regex/regex.h"
#include "support/log.h"

namespace {

constexpr const char* DEFAULT_PASSWORD_FILE = "passwords.json";

// The password store leaves its compile flags at 4, which changes nothing.
constexpr uint32_t ENTRY_COMPILE_FLAGS = 4;

void add_entry(PasswordStore* store, std::string_view key_text, std::string_view password_text) {
  DynString k{}, v{};
  if (!dynstring_from(&k, key_text) || !dynstring_from(&v, password_text)) {
    dynstring_free(&k);
    dynstring_free(&v);
    LOG(LOG_WARN, "Failed to insert key for \"%.*s\" in password storage",
        static_cast<int>(key_text.size()), key_text.data());
    return;
  }
  HashSlot<StringMapEntry> slot = hash_table_find_or_insert<StringMapTraits>(store, key_text);
  if (slot.inserted) {
    slot.slot->key = k;
    slot.slot->value = v;
    return;
  }
  LOG(LOG_WARN, "Failed to insert key for \"%s\" in password storage", dynstring_data(&k));
  dynstring_free(&k);
  dynstring_free(&v);
}

std::string_view capture_text(const RegexCapture& capture) {
  return {capture.start ? capture.start : "", static_cast<size_t>(capture.length)};
}

// "default" or hexadecimal digits only (also none): the keys a device's password goes by.
bool is_password_key(std::string_view key) {
  if (key == "default") return true;
  for (char c : key)
    if (!((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'))) return false;
  return true;
}

// Collects the entries of a JSON text while it is parsed: a member whose key is a password key
// and whose value is a text. Nothing reaches the store unless the whole text parses.
struct EntryCollector {
  using json = nlohmann::json;
  std::vector<std::pair<std::string, std::string>> entries;
  std::string current_key;
  bool key_pending = false;
  size_t error_position = 0;
  std::string error_message;

  void value_seen() { key_pending = false; }
  bool null() { return value_seen(), true; }
  bool boolean(bool) { return value_seen(), true; }
  bool number_integer(json::number_integer_t) { return value_seen(), true; }
  bool number_unsigned(json::number_unsigned_t) { return value_seen(), true; }
  bool number_float(json::number_float_t, const json::string_t&) { return value_seen(), true; }
  bool binary(json::binary_t&) { return value_seen(), true; }
  bool string(json::string_t& text) {
    if (key_pending && is_password_key(current_key)) entries.emplace_back(current_key, text);
    return value_seen(), true;
  }
  bool start_object(size_t) { return value_seen(), true; }
  bool end_object() { return true; }
  bool start_array(size_t) { return value_seen(), true; }
  bool end_array() { return true; }
  bool key(json::string_t& name) {
    current_key = name;
    key_pending = true;
    return true;
  }
  bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception& e) {
    error_position = position;
    error_message = e.what();
    return false;
  }
};

// The line and column (from 1) of byte `position` (counted from 1 by the parser) of the text.
void line_and_column(std::string_view text, size_t position, PasswordTextError* error) {
  error->line = 1;
  error->column = 1;
  size_t end = position > 0 ? position - 1 : 0;
  for (size_t i = 0; i < end && i < text.size(); ++i) {
    if (text[i] == '\n') {
      error->line += 1;
      error->column = 1;
    } else {
      error->column += 1;
    }
  }
}

// The parser's words without its "[json.exception...] " prefix and position.
void describe_json_error(const std::string& what, PasswordTextError* error) {
  size_t start = what.find(": ");
  std::string reason = start == std::string::npos ? what : what.substr(start + 2);
  snprintf(error->reason, sizeof error->reason, "%s", reason.c_str());
}

// Adds the entries of the old line layout; the number of entries added, or -1 when the line
// pattern cannot be compiled or searched.
int64_t parse_entry_lines(const char* text, PasswordStore* store) {
  ScopedRegex pattern(PASSWORD_ENTRY_PATTERN, ENTRY_COMPILE_FLAGS);
  if (pattern.regex.error != REGEX_OK) return -1;
  // Pair 0 all zero: the first search starts at the beginning of the text.
  RegexCapture captures[3] = {};
  int64_t added = 0;
  for (;;) {
    int32_t result = regex_match(&pattern, text, captures, REGEX_CONTINUE);
    if (result == REGEX_NO_MATCH) return added;
    if (result != REGEX_MATCH) return -1;
    add_entry(store, capture_text(captures[1]), capture_text(captures[2]));
    added += 1;
  }
}

bool is_blank(std::string_view text) {
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  return true;
}

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};

}  // namespace

PasswordFormat parse_password_text(const char* text, PasswordStore* store,
                                   PasswordTextError* error) {
  if (!text || !store) return PASSWORD_TEXT_INVALID;
  std::string_view view(text);
  EntryCollector sax;
  if (nlohmann::json::sax_parse(view.begin(), view.end(), &sax)) {
    for (const auto& [key, password] : sax.entries) add_entry(store, key, password);
    return PASSWORD_TEXT_JSON;
  }
  if (is_blank(view)) return PASSWORD_TEXT_LINES;
  int64_t added = parse_entry_lines(text, store);
  if (added > 0) return PASSWORD_TEXT_LINES;
  if (error) {
    line_and_column(view, sax.error_position, error);
    describe_json_error(sax.error_message, error);
  }
  return PASSWORD_TEXT_INVALID;
}

bool load_password_file(Tool* tool, int* exit_status) {
  ScopedDynString path;
  bool given = tool->password_files.count > 0;
  if (given) {
    if (!dynstring_append(&path.s, dynstring_sv(&tool->password_files[0]))) return false;
  } else {
    if (!dynstring_append(&path.s, DEFAULT_PASSWORD_FILE)) return false;
    normalize_path(&path.s);
  }
  const char* name = dynstring_data(&path.s);
  std::unique_ptr<Stream, StreamCloser> stream(file_stream_open(name, 0));
  if (!stream) {
    if (!given) return true;
    LOG(LOG_ERROR, "Failed to open password file at %s", name);
    *exit_status |= 1;
    return false;
  }
  int64_t size = stream_size(stream.get());
  std::unique_ptr<char, FreeDeleter> text(
      size >= 0 && static_cast<uint64_t>(size) < SIZE_MAX
          ? static_cast<char*>(malloc(static_cast<size_t>(size) + 1))
          : nullptr);
  int64_t got = !text  ? -1
                : size ? stream_read(stream.get(), text.get(), static_cast<uint64_t>(size))
                       : 0;
  if (got != size) {
    LOG(LOG_ERROR, "Could not read password file %s (%lld bytes)", name,
        static_cast<long long>(size));
    *exit_status |= 1;
    return false;
  }
  text.get()[size] = 0;
  PasswordTextError error{};
  PasswordFormat format = parse_password_text(text.get(), &tool->options.passwords, &error);
  if (format == PASSWORD_TEXT_INVALID) {
    LOG(LOG_ERROR,
        "Password file %s is not valid JSON: line %lld, column %lld: %s (expected an object such "
        "as {\"0A1B2C3D\": \"password\", \"default\": \"password\"})",
        name, static_cast<long long>(error.line), static_cast<long long>(error.column),
        error.reason);
    *exit_status |= 1;
    return false;
  }
  if (tool->options.passwords.count == 0 && !is_blank(std::string_view(text.get())))
    LOG(LOG_ERROR,
        "Password file %s holds no password: expected members named \"default\" or by a "
        "device's hexadecimal serial, with a text as value",
        name);
  return true;
}
