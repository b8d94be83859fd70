// The line patterns of the DBC parser, one per kind of line it reads. They live here so that
// the regular-expression tests search with exactly the patterns the parser compiles.
#pragma once

constexpr const char* DBC_MESSAGE_PATTERN = R"re(^BO_ (\d+) ([[:graph:]]+): (\d+) ([[:graph:]]+)$)re";
// The value type admits "-" (signed) as well as "+".
constexpr const char* DBC_SIGNAL_PATTERN =
    R"re(^SG_ ([[:graph:]]+) ([0-9mM]*) ?: (\d+)\|(\d+)@(0|1)(\+|-) \(([0-9eE\.\-]+),([0-9eE\.\-]+)\) \[([0-9eE\.\-]+)\|([0-9eE\.\-]+)\].*$)re";
constexpr const char* DBC_INDICATOR_PATTERN = R"re(^(m*)(\d*)(M*)$)re";
constexpr const char* DBC_MUX_VALUE_PATTERN =
    R"re(^SG_MUL_VAL_ (\d*) ([[:graph:]]+) ([[:graph:]]+) (\d*)-(\d*);?$)re";
constexpr const char* DBC_ATTRIBUTE_DEF_PATTERN =
    R"re(^BA_DEF_\s+(BU_|BO_|SG_)?\s+"([[:graph:]]+)"\s+(INT|FLOAT|STRING|ENUM)\s+([[:ascii:]]+)?;$)re";
constexpr const char* DBC_ATTRIBUTE_DEFAULT_PATTERN =
    R"re(^BA_DEF_DEF_\s+"([[:graph:]]+)"\s+([[:graph:]]+);$)re";
constexpr const char* DBC_ATTRIBUTE_VALUE_PATTERN =
    R"re(^BA_ "([[:graph:]]+)" ?(BU_|BO_|SG_)* ?(\d+)* ?([[:graph:]]+)* ([[:ascii:]]+);$)re";
