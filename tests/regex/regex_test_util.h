// Helpers for the regex tests: compile-and-search in one call, with the match and groups
// rendered as strings ("~" for a group that took no part).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "regex/regex.h"

struct SearchResult {
  int32_t rc;
  std::vector<std::string> groups;  // group 0 first; empty when there is no match
};

// Searches the line or other view `text` (no terminating zero needed): a REGEX_RANGE search
// over the whole view.
inline int32_t regex_match_view(const Regex* holder, std::string_view text,
                                RegexCapture* captures) {
  captures[0] = RegexCapture{text.data(), static_cast<int64_t>(text.size())};
  return regex_match(holder, nullptr, captures, REGEX_RANGE);
}

inline std::string capture_text(const RegexCapture& c) {
  if (!c.start) return "~";
  return std::string(c.start, static_cast<size_t>(c.length));
}

inline SearchResult regex_search(const char* pattern, const std::string& text,
                                 uint32_t compile_flags = 0, uint32_t match_flags = 0) {
  ScopedRegex re(pattern, compile_flags);
  SearchResult r{re.regex.error, {}};
  if (r.rc != 0) return r;
  RegexCapture caps[REGEX_MAX_GROUPS + 1] = {};
  r.rc = regex_match(&re.regex, text.c_str(), caps, match_flags);
  if (r.rc == REGEX_MATCH) {
    for (int32_t i = 0; i <= regex_group_count(&re.regex); ++i)
      r.groups.push_back(capture_text(caps[i]));
  }
  return r;
}
