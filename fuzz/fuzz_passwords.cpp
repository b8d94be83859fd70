// Fuzz target: reads arbitrary text as a password file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/passwords.h"
#include "common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_logs();
  std::string text(reinterpret_cast<const char*>(data), size);
  PasswordStore store{};
  PasswordTextError error{};
  if (parse_password_text(text.c_str(), &store, &error) == PASSWORD_TEXT_INVALID &&
      (error.line < 1 || error.column < 1))
    __builtin_trap();
  // Every stored key and password is a whole zero-terminated text.
  hash_table_for_each(&store, [&](StringMapEntry& e) {
    if (dynstring_sv(&e.key).size() > size || dynstring_sv(&e.value).size() > size)
      __builtin_trap();
  });
  hash_table_destroy<StringMapTraits>(&store);
  return 0;
}
