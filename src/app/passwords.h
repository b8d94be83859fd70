// The password store: device keys ("default" or a hexadecimal serial, as written) to the
// passwords of encrypted logs, read once from the user's password file.
#pragma once

#include "decode/converter.h"

struct Tool;

// Optional white space, "key", ":", "password", an optional comma and white space make up the
// whole line. The key is "default" or hexadecimal digits; the password runs to the last
// quotation mark of the line, so it may hold quotation marks itself.
constexpr const char* PASSWORD_ENTRY_PATTERN =
    "^\\s*\"(default|[a-fA-F\\d]*)\"\\s*:\\s*\"(.*)\"\\s*,?\\s*$";

// Reads the file of --password-file, or else "passwords.json" in the working directory, into
// the tool's store. A missing default file leaves the store empty (true). A given file that
// cannot be opened is logged, sets bit 0 of *exit_status and gives false. A text that cannot be
// searched is logged and gives false. A short read leaves the store empty (true).
bool load_password_file(Tool* tool, int* exit_status);

// Adds the entries of the zero-terminated text: lines of the form "<key>" : "<password>" with
// an optional comma, where the key is "default" or hexadecimal digits and the password runs to
// the line's last quotation mark. Other lines are ignored; for a key already present the first
// entry stays (logged at level 4). False only when the line pattern cannot be compiled or
// searched.
bool parse_password_text(const char* text, PasswordStore* store);
