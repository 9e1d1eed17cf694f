// FuzzCheck: how a fuzz target reports a broken property. It prints what
// broke, with the texts involved (non-printing bytes as \xNN), and aborts,
// which libFuzzer records as a crash with its input and the replay as a
// failed test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

inline std::string Printable(std::string_view bytes, std::size_t limit = 512) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    }
  }
  if (bytes.size() > limit) {
    out += "...";
  }
  return out;
}

[[noreturn]] inline void Fail(const char* what, std::string_view first = {},
                              std::string_view second = {}) {
  std::fprintf(stderr, "property broken: %s\n", what);
  if (!first.empty()) {
    std::fprintf(stderr, "  first:  \"%s\"\n", Printable(first).c_str());
  }
  if (!second.empty()) {
    std::fprintf(stderr, "  second: \"%s\"\n", Printable(second).c_str());
  }
  std::fflush(stderr);
  std::abort();
}

inline void Check(bool holds, const char* what, std::string_view first = {},
                  std::string_view second = {}) {
  if (!holds) {
    Fail(what, first, second);
  }
}

}  // namespace fuzz
