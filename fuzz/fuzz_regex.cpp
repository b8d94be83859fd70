// Fuzz target: compiles the input up to its first zero byte as a pattern and searches the
// rest as text, plainly, with line bounds, continued to the end, and inside a range; the
// flags come from the pattern's length so every combination is reached.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "regex/regex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* zero = memchr(bytes, 0, size);
  size_t pattern_size = zero ? static_cast<size_t>(static_cast<const char*>(zero) - bytes) : size;
  std::string pattern(bytes, pattern_size);
  std::string text = pattern_size < size
                         ? std::string(bytes + pattern_size + 1, size - pattern_size - 1)
                         : std::string();
  uint32_t compile_flags = pattern_size % 4;  // REGEX_DOT_ALL and REGEX_CASE_INSENSITIVE

  Regex regex{};
  if (regex_compile(&regex, pattern.c_str(), compile_flags) == REGEX_OK) {
    int32_t groups = regex_group_count(&regex);
    RegexCapture captures[REGEX_MAX_GROUPS + 1];
    if (groups >= 0 && groups <= REGEX_MAX_GROUPS) {
      // text.c_str() ends at the first zero byte of the text; the range search sees all of it.
      regex_match(&regex, text.c_str(), captures, 0);
      regex_match(&regex, text.c_str(), captures, REGEX_LINE_BOUNDS);
      memset(captures, 0, sizeof captures);
      for (int steps = 0; steps < 1000; ++steps) {
        if (regex_match(&regex, text.c_str(), captures, REGEX_CONTINUE) != REGEX_MATCH) break;
        for (int32_t g = 0; g <= groups; ++g) {
          if (!captures[g].start) continue;
          // Every capture lies inside the text.
          if (captures[g].start < text.c_str() || captures[g].length < 0 ||
              captures[g].start + captures[g].length > text.c_str() + text.size())
            __builtin_trap();
        }
      }
      captures[0] = RegexCapture{text.data(), static_cast<int64_t>(text.size())};
      regex_match(&regex, text.c_str(), captures, REGEX_RANGE);
    }
  }
  regex_free(regex.program);
  return 0;
}
