// DBC statements: cuts the text of a DBC file into statements, each one a keyword and what
// follows it, with the lines it spans.
#pragma once

#include <cstdint>
#include <string_view>

// The keywords of the DBC format. The parser reads the first group; the others are understood
// and skipped.
enum DbcKeyword : int32_t {
  KW_UNKNOWN,  // the statement does not begin with a keyword
  KW_BO,
  KW_SG,
  KW_SG_MUL_VAL,
  KW_SIG_VALTYPE,
  KW_BA_DEF,
  KW_BA_DEF_DEF,
  KW_BA,
  KW_NS,
  KW_VAL,                // read only when value tables are wanted, else skipped
  KW_SKIPPED_LINE,       // one-line statements without a terminating ";" (VERSION, BS_, BU_)
  KW_SKIPPED_STATEMENT,  // statements that end with ";" (CM_, VAL_, EV_, BO_TX_BU_ ...)
};

struct DbcStatement {
  DbcKeyword keyword;
  std::string_view text;  // from the keyword to before the ";" (or the line end), trimmed
  uint32_t first_line;    // 1-based
  uint32_t last_line;
};

// The reading position in a DBC file's text, which outlives the reader and its statements.
struct DbcStatementReader {
  const char* text;
  uint64_t size;
  uint64_t at;
  uint32_t line;  // the line of `at`
};

void dbc_statements_begin(DbcStatementReader* reader, const char* text, uint64_t size);

// The next statement; false at the end of the text. A statement that ends with ";" may span
// lines: its quoted text may hold ";" and line feeds (a comment over several lines). It ends
// at the first ";" outside quotes, or at the end of a line when the next non-blank line begins
// with a keyword or the text ends (so a missing ";" or an unclosed quote costs only its own
// statement). Every other statement is the rest of its line, except that "NS_ :" takes the
// following lines of single names (its list of keywords) with it. Whatever follows a ";" on the
// same line is the next statement.
bool dbc_next_statement(DbcStatementReader* reader, DbcStatement* out);
