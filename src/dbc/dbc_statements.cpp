// DBC statements: keywords by table, statement ends by quotes, ";" and line ends.
#include "dbc/dbc_statements.h"

namespace {

using std::string_view;

struct KeywordName {
  string_view name;
  DbcKeyword keyword;
};

constexpr KeywordName KEYWORDS[] = {
    {"BO_", KW_BO},
    {"SG_", KW_SG},
    {"SG_MUL_VAL_", KW_SG_MUL_VAL},
    {"SIG_VALTYPE_", KW_SIG_VALTYPE},
    {"BA_DEF_", KW_BA_DEF},
    {"BA_DEF_DEF_", KW_BA_DEF_DEF},
    {"BA_", KW_BA},
    {"NS_", KW_NS},
    {"VERSION", KW_SKIPPED_LINE},
    {"BS_", KW_SKIPPED_LINE},
    {"BU_", KW_SKIPPED_LINE},
    {"NS_DESC_", KW_SKIPPED_STATEMENT},
    {"CM_", KW_SKIPPED_STATEMENT},
    {"VAL_", KW_VAL},
    {"VAL_TABLE_", KW_SKIPPED_STATEMENT},
    {"CAT_DEF_", KW_SKIPPED_STATEMENT},
    {"CAT_", KW_SKIPPED_STATEMENT},
    {"FILTER", KW_SKIPPED_STATEMENT},
    {"EV_", KW_SKIPPED_STATEMENT},
    {"EV_DATA_", KW_SKIPPED_STATEMENT},
    {"ENVVAR_DATA_", KW_SKIPPED_STATEMENT},
    {"SGTYPE_", KW_SKIPPED_STATEMENT},
    {"SGTYPE_VAL_", KW_SKIPPED_STATEMENT},
    {"BA_DEF_SGTYPE_", KW_SKIPPED_STATEMENT},
    {"BA_SGTYPE_", KW_SKIPPED_STATEMENT},
    {"SIG_TYPE_REF_", KW_SKIPPED_STATEMENT},
    {"SIG_GROUP_", KW_SKIPPED_STATEMENT},
    {"SIGTYPE_VALTYPE_", KW_SKIPPED_STATEMENT},
    {"BO_TX_BU_", KW_SKIPPED_STATEMENT},
    {"BA_DEF_REL_", KW_SKIPPED_STATEMENT},
    {"BA_REL_", KW_SKIPPED_STATEMENT},
    {"BA_DEF_DEF_REL_", KW_SKIPPED_STATEMENT},
    {"BU_SG_REL_", KW_SKIPPED_STATEMENT},
    {"BU_EV_REL_", KW_SKIPPED_STATEMENT},
    {"BU_BO_REL_", KW_SKIPPED_STATEMENT},
};

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

DbcKeyword keyword_of(string_view token) {
  for (const KeywordName& k : KEYWORDS)
    if (k.name == token) return k.keyword;
  return KW_UNKNOWN;
}

// The run of name characters at `at`.
string_view token_at(const DbcStatementReader* r, uint64_t at) {
  uint64_t end = at;
  while (end < r->size && is_name_char(r->text[end])) ++end;
  return string_view(r->text + at, static_cast<size_t>(end - at));
}

// Where the line after the line feed at `newline` has its first character other than blanks,
// skipping blank lines; r->size when only blanks follow.
uint64_t next_content(const DbcStatementReader* r, uint64_t newline) {
  uint64_t at = newline + 1;
  while (at < r->size && (is_blank(r->text[at]) || r->text[at] == '\n')) ++at;
  return at;
}

// True when the text at `at` (the first content of a line, or the end) starts another
// statement, or no content follows.
bool starts_statement(const DbcStatementReader* r, uint64_t at) {
  return at == r->size || keyword_of(token_at(r, at)) != KW_UNKNOWN;
}

uint64_t line_end(const DbcStatementReader* r, uint64_t at) {
  while (at < r->size && r->text[at] != '\n') ++at;
  return at;
}

// The end of the line at `at` (its first content) when it holds one name and nothing else;
// 0 otherwise.
uint64_t single_name_line_end(const DbcStatementReader* r, uint64_t at) {
  string_view token = token_at(r, at);
  if (token.empty()) return 0;
  for (at += token.size(); at < r->size && r->text[at] != '\n'; ++at)
    if (!is_blank(r->text[at])) return 0;
  return at;
}

// Moves to `end`, counting the line feeds passed.
void advance(DbcStatementReader* r, uint64_t end) {
  for (; r->at < end; ++r->at)
    if (r->text[r->at] == '\n') ++r->line;
}

// The end of a statement that ends with ";", from its start; *terminated tells whether a ";"
// ended it (the position is then that of the ";").
uint64_t terminated_end(const DbcStatementReader* r, uint64_t at, bool* terminated) {
  bool quoted = false;
  for (; at < r->size; ++at) {
    char c = r->text[at];
    if (quoted && c == '\\' && at + 1 < r->size && r->text[at + 1] != '\n') {
      ++at;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ';' && !quoted) {
      *terminated = true;
      return at;
    } else if (c == '\n') {
      // Blank lines hold nothing that counts: the scan goes on from the next content.
      uint64_t next = next_content(r, at);
      if (starts_statement(r, next)) break;
      at = next - 1;
    }
  }
  *terminated = false;
  return at;
}

string_view trim_end(string_view s) {
  while (!s.empty() && (is_blank(s.back()) || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

}  // namespace

void dbc_statements_begin(DbcStatementReader* reader, const char* text, uint64_t size) {
  *reader = DbcStatementReader{text, size, 0, 1};
  // A byte order mark is no part of the first statement.
  if (size >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
      static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
    reader->at = 3;
}

bool dbc_next_statement(DbcStatementReader* r, DbcStatement* out) {
  while (r->at < r->size && (is_blank(r->text[r->at]) || r->text[r->at] == '\n'))
    advance(r, r->at + 1);
  if (r->at >= r->size) return false;
  uint64_t start = r->at;
  DbcKeyword keyword = keyword_of(token_at(r, start));
  uint64_t end;
  uint64_t resume;
  bool terminated = false;
  switch (keyword) {
    case KW_SG_MUL_VAL:
    case KW_SIG_VALTYPE:
    case KW_BA_DEF:
    case KW_BA_DEF_DEF:
    case KW_BA:
    case KW_VAL:
    case KW_SKIPPED_STATEMENT:
      end = terminated_end(r, start, &terminated);
      resume = terminated ? end + 1 : end;
      break;
    case KW_NS:
      end = line_end(r, start);
      while (end < r->size) {
        uint64_t next = single_name_line_end(r, next_content(r, end));
        if (next == 0) break;
        end = next;
      }
      resume = end;
      break;
    default:
      end = resume = line_end(r, start);
      break;
  }
  out->keyword = keyword;
  out->text = trim_end(string_view(r->text + start, static_cast<size_t>(end - start)));
  out->first_line = r->line;
  advance(r, start + out->text.size());
  out->last_line = r->line;
  advance(r, resume);
  return true;
}
