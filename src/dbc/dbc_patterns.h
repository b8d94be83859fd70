// The statement patterns of the DBC parser, one per kind of statement it reads. They live here
// so that the regular-expression tests search with exactly the patterns the parser compiles.
// Each one must match a whole statement as the statement reader cuts it (without its ";").
// Any run of white space separates tokens; names are printable ASCII without ":" and numbers
// are taken as written, to be checked by the conversion, so that a bad number is reported as
// such rather than as a line of unknown form.
#pragma once

#include <cstdint>

#include "regex/regex.h"

// "." also takes the line feeds of a statement over several lines.
constexpr uint32_t DBC_PATTERN_FLAGS = REGEX_DOT_ALL;

// BO_ <id> <name> : <size> [<sender>]
constexpr const char* DBC_MESSAGE_PATTERN =
    R"re(^BO_\s+([0-9]+)\s+([!-9;-~]+)\s*:\s*([0-9]+)(\s+(\S+))?$)re";
// SG_ <name> [<multiplexing>] : <start>|<length>@<order><sign> (<factor>,<offset>)
// [<minimum>|<maximum>] then unit and receivers, which are not read.
constexpr const char* DBC_SIGNAL_PATTERN =
    R"re(^SG_\s+([!-9;-~]+)(\s+([!-9;-~]+))?\s*:\s*([0-9]+)\s*\|\s*([0-9]+)\s*@\s*([01])\s*([-+])\s*\(\s*([-+.0-9A-Za-z]+)\s*,\s*([-+.0-9A-Za-z]+)\s*\)\s*\[\s*([-+.0-9A-Za-z]+)\s*\|\s*([-+.0-9A-Za-z]+)\s*\](.*)$)re";
// The multiplexing of a signal: M (multiplexor), m<value> (multiplexed) or both.
constexpr const char* DBC_INDICATOR_PATTERN = R"re(^(m([0-9]+))?(M)?$)re";
// SG_MUL_VAL_ <message id> <signal> <multiplexor> <low>-<high>[, <low>-<high> ...]
constexpr const char* DBC_MUX_VALUE_PATTERN =
    R"re(^SG_MUL_VAL_\s+([0-9]+)\s+(\S+)\s+(\S+)\s+([0-9]+\s*-\s*[0-9]+(\s*,\s*[0-9]+\s*-\s*[0-9]+)*)$)re";
// SIG_VALTYPE_ <message id> <signal> : <type>
constexpr const char* DBC_VALUE_TYPE_PATTERN =
    R"re(^SIG_VALTYPE_\s+([0-9]+)\s+([!-9;-~]+)\s*:\s*([0-9]+)$)re";
// BA_DEF_ [BU_|BO_|SG_|EV_] "<name>" <type> [<definition>]
constexpr const char* DBC_ATTRIBUTE_DEF_PATTERN =
    R"re(^BA_DEF_\s+((BU_|BO_|SG_|EV_)\s+)?"([^"]*)"\s*(INT|HEX|FLOAT|STRING|ENUM)(\s+(.*))?$)re";
// BA_DEF_DEF_ "<name>" <value>
constexpr const char* DBC_ATTRIBUTE_DEFAULT_PATTERN = R"re(^BA_DEF_DEF_\s+"([^"]*)"\s*(.*)$)re";
// BA_ "<name>" [BU_ <node> | BO_ <id> | SG_ <id> <signal> | EV_ <variable>] <value>; the
// object and the value are read from group 2 token by token.
constexpr const char* DBC_ATTRIBUTE_VALUE_PATTERN = R"re(^BA_\s+"([^"]*)"\s*(.*)$)re";
