// The password store: reading the password file and picking its entry lines with one line
// pattern, without parsing the file as JSON.
#include "app/passwords.h"

#include <cstdlib>
#include <memory>

#include "app/tool.h"
#include "io/fs_root.h"
#include "io/stream.h"
#include "regex/regex.h"
#include "support/log.h"

namespace {

constexpr const char* DEFAULT_PASSWORD_FILE = "passwords.json";

// The password store leaves its compile flags at 4, which changes nothing.
constexpr uint32_t ENTRY_COMPILE_FLAGS = 4;

void add_entry(PasswordStore* store, const RegexCapture& key, const RegexCapture& password) {
  std::string_view key_text(key.start ? key.start : "", static_cast<size_t>(key.length));
  std::string_view password_text(password.start ? password.start : "",
                                 static_cast<size_t>(password.length));
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

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};

}  // namespace

bool parse_password_text(const char* text, PasswordStore* store) {
  if (!text || !store) return false;
  ScopedRegex pattern(PASSWORD_ENTRY_PATTERN, ENTRY_COMPILE_FLAGS);
  if (pattern.regex.error != REGEX_OK) return false;
  // Pair 0 all zero: the first search starts at the beginning of the text.
  RegexCapture captures[3] = {};
  for (;;) {
    int32_t result = regex_match(&pattern, text, captures, REGEX_CONTINUE);
    if (result == REGEX_NO_MATCH) return true;
    if (result != REGEX_MATCH) return false;
    add_entry(store, captures[1], captures[2]);
  }
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

  std::unique_ptr<Stream, StreamCloser> stream(file_stream_open(dynstring_data(&path.s), 0));
  if (!stream) {
    if (!given) return true;
    LOG(LOG_ERROR, "Failed to open password file at %s", dynstring_data(&path.s));
    *exit_status |= 1;
    return false;
  }

  // A size that cannot be read whole (or held in memory) leaves the store empty.
  int64_t size = stream_size(stream.get());
  if (size < 0 || static_cast<uint64_t>(size) >= SIZE_MAX) return true;
  std::unique_ptr<char, FreeDeleter> text(
      static_cast<char*>(malloc(static_cast<size_t>(size) + 1)));
  if (!text) return true;
  int64_t got = size ? stream_read(stream.get(), text.get(), static_cast<uint64_t>(size)) : 0;
  if (got != size) return true;
  text.get()[size] = 0;

  if (!parse_password_text(text.get(), &tool->options.passwords)) {
    LOG(LOG_ERROR, "Could not parse password file");
    return false;
  }
  return true;
}
