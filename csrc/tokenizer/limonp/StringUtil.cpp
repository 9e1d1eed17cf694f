#include "tokenizer/limonp/StringUtil.hpp"

#include <locale.h>
#include <stdlib.h>

#include <string>

namespace kelp::typing::text::limonp {

namespace {

// The "C" locale, created once and never changed: reading it from several
// threads needs no lock.
locale_t CLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

// Runs `parse` on a NUL-terminated copy of `text`; short texts (every number
// of a data file) stay on the stack.
template <typename Parse>
auto WithCString(std::string_view text, Parse parse) {
  char small[64];
  if (text.size() < sizeof(small)) {
    text.copy(small, text.size());
    small[text.size()] = '\0';
    return parse(small);
  }
  const std::string copy(text);
  return parse(copy.c_str());
}

}  // namespace

double StringToDouble(std::string_view text) {
  return WithCString(text, [](const char* s) {
    const locale_t c = CLocale();
    return c != static_cast<locale_t>(nullptr) ? strtod_l(s, nullptr, c) : strtod(s, nullptr);
  });
}

long long StringToInteger(std::string_view text) {
  return WithCString(text, [](const char* s) {
    const locale_t c = CLocale();
    return c != static_cast<locale_t>(nullptr) ? strtoll_l(s, nullptr, 10, c)
                                                : strtoll(s, nullptr, 10);
  });
}

}  // namespace kelp::typing::text::limonp
