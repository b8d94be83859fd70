// The password store: device keys ("default" or a hexadecimal serial, as written) to the
// passwords of encrypted logs, read once from the user's password file.
#pragma once

#include "app/run.h"

struct Tool;

// Optional white space, "key", ":", "password", an optional comma and white space make up the
// whole line. The key is "default" or hexadecimal digits; the password runs to the last
// quotation mark of the line, so it may hold quotation marks itself.
constexpr const char* PASSWORD_ENTRY_PATTERN =
    "^\\s*\"(default|[a-fA-F\\d]*)\"\\s*:\\s*\"(.*)\"\\s*,?\\s*$";

// How a password text was read.
enum PasswordFormat {
  PASSWORD_TEXT_JSON,     // parsed as JSON
  PASSWORD_TEXT_LINES,    // not JSON, but entry lines (or nothing but white space)
  PASSWORD_TEXT_INVALID,  // neither: see PasswordTextError
};

// Where and why a text that is neither JSON nor entry lines failed to parse as JSON.
struct PasswordTextError {
  int64_t line, column;  // from 1
  char reason[200];
};

// Reads the file of --password-file, or else "passwords.json" in the working directory, into
// the tool's store. A missing default file leaves the store empty (true). A given file that
// cannot be opened or read, or a text that parse_password_text finds invalid, is logged (path,
// line, column, reason), sets bit 0 of *exit_status and gives false. A file that holds no
// password is logged at error level and gives true.
bool load_password_file(Tool* tool, int* exit_status);

// Adds the entries of the zero-terminated text. JSON of any layout: every member, at any depth,
// whose key is "default" or hexadecimal digits and whose value is a text. A text that is not
// JSON is read by entry lines: "<key>" : "<password>" with an optional comma, the password
// running to the line's last quotation mark (the layout earlier versions accepted). Keys are
// kept as written; for a key already present the first entry stays (logged at level 4).
// PASSWORD_TEXT_INVALID (with *error filled when given) when neither reading finds an entry.
PasswordFormat parse_password_text(const char* text, PasswordStore* store,
                                   PasswordTextError* error);
