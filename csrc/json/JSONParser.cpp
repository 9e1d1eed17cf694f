#include "json/JSONParser.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::json {

namespace {

bool IsWhiteSpace(char c) noexcept {
  return (c >= '\x09' && c <= '\x0D') || c == ' ';
}

bool EndsNumber(char c) noexcept {
  return IsWhiteSpace(c) || c == ',' || c == ']' || c == '}';
}

int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// std::stod without its dependence on the C locale's decimal point.
double ToDouble(const std::string& text) {
  double value = 0.0;
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::invalid_argument) throw std::invalid_argument("stod");
  if (result.ec == std::errc::result_out_of_range) throw std::out_of_range("stod");
  return value;
}

// std::stoll over the bytes the parser collects (no blanks; an optional
// sign only in front).
std::int64_t ToInteger(const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') {
    ++begin;
    if (begin != end && *begin == '-') throw std::invalid_argument("stoll");
  }
  std::int64_t value = 0;
  auto result = std::from_chars(begin, end, value);
  if (result.ec == std::errc::invalid_argument) throw std::invalid_argument("stoll");
  if (result.ec == std::errc::result_out_of_range) throw std::out_of_range("stoll");
  return value;
}

}  // namespace

JSON JSON::Load(std::string_view text) {
  return JSONParser(text).Parse();
}

JSON JSONParser::Parse() {
  offset_ = 0;
  errors_ = 0;
  try {
    return ParseNext(0);
  } catch (const TooDeep&) {
    return JSON();
  }
}

void JSONParser::SkipWhiteSpace() noexcept {
  while (offset_ < text_.size() && IsWhiteSpace(text_[offset_])) {
    ++offset_;
  }
}

void JSONParser::StepPast(std::size_t offset) noexcept {
  offset_ = offset < text_.size() ? offset + 1 : text_.size();
}

void JSONParser::Report(std::string_view prefix, std::string_view found) {
  ++errors_;
  // One write per line, so lines from concurrent parses do not interleave.
  std::string line;
  line.reserve(prefix.size() + found.size() + 2);
  line.append(prefix);
  line.append(found);
  line.append("'");
  limonp::WriteLine(limonp::LL_WARN, line);
}

JSON JSONParser::ParseNext(int depth) {
  SkipWhiteSpace();
  const char c = At(offset_);
  switch (c) {
    case '[': return ParseArray(depth + 1);
    case '{': return ParseObject(depth + 1);
    case '"': return ParseString();
    case 't':
    case 'f': return ParseBoolean();
    case 'n': return ParseNull();
    default: break;
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    return ParseNumber();
  }
  Report("ERROR: Parse: Unknown starting character '", std::string_view(&c, 1));
  return JSON();
}

JSON JSONParser::ParseArray(int depth) {
  if (depth > JSON::MAX_PARSE_DEPTH) {
    Report("ERROR: Parse: Nesting deeper than " + std::to_string(JSON::MAX_PARSE_DEPTH) +
               " levels, found '",
           "[");
    throw TooDeep{};
  }
  JSON array = Array();
  ++offset_;
  SkipWhiteSpace();
  if (At(offset_) == ']') {
    ++offset_;
    return array;
  }
  JSON::ArrayList& elements = *array.payload_.array;
  while (true) {
    elements.push_back(ParseNext(depth));
    SkipWhiteSpace();
    const char c = At(offset_);
    if (c == ',') {
      ++offset_;
      continue;
    }
    if (c == ']') {
      ++offset_;
      return array;
    }
    Report("ERROR: Array: Expected ',' or ']', found '", std::string_view(&c, 1));
    return Array();
  }
}

JSON JSONParser::ParseObject(int depth) {
  if (depth > JSON::MAX_PARSE_DEPTH) {
    Report("ERROR: Parse: Nesting deeper than " + std::to_string(JSON::MAX_PARSE_DEPTH) +
               " levels, found '",
           "{");
    throw TooDeep{};
  }
  JSON object = Object();
  ++offset_;
  SkipWhiteSpace();
  if (At(offset_) == '}') {
    ++offset_;
    return object;
  }
  JSON::ObjectMap& members = *object.payload_.object;
  while (true) {
    JSON key = ParseNext(depth);
    SkipWhiteSpace();
    char c = At(offset_);
    if (c != ':') {
      Report("Error: Object: Expected colon, found '", std::string_view(&c, 1));
      return object;
    }
    ++offset_;
    SkipWhiteSpace();
    JSON value = ParseNext(depth);
    // Keys are held decoded; a key of another kind than string is held as
    // the empty key. A key met again replaces the earlier value. Files
    // written by the writer list keys in ascending order, so the end of the
    // map is the usual place and the hint makes that insertion O(1).
    std::string name = key.GetKind() == JSON::Kind::String ? std::move(*key.payload_.string)
                                                           : std::string();
    members.insert_or_assign(members.end(), std::move(name), std::move(value));
    SkipWhiteSpace();
    c = At(offset_);
    if (c == ',') {
      ++offset_;
      continue;
    }
    if (c == '}') {
      ++offset_;
      return object;
    }
    Report("ERROR: Object: Expected comma, found '", std::string_view(&c, 1));
    return object;
  }
}

bool JSONParser::ReadHex4(std::size_t offset, unsigned& code) {
  code = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const char c = At(offset + i);
    const int digit = HexValue(c);
    if (digit < 0) {
      Report("ERROR: String: Expected hex character in unicode escape, found '",
             std::string_view(&c, 1));
      return false;
    }
    code = code * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

JSON JSONParser::ParseString() {
  const std::size_t size = text_.size();
  std::string bytes;
  std::size_t i = offset_ + 1;
  while (true) {
    // Copy the run of plain bytes up to the next quotation mark or backslash.
    std::size_t run = i;
    while (i < size && text_[i] != '"' && text_[i] != '\\') {
      ++i;
    }
    bytes.append(text_.data() + run, i - run);
    if (i >= size || (text_[i] == '\\' && i + 1 >= size)) {
      // No closing quotation mark before the end of the text.
      offset_ = size;
      Report("ERROR: String: Expected '\"' before the end of the text, found '",
             std::string_view("\0", 1));
      JSON empty;
      empty = std::string();
      return empty;
    }
    if (text_[i] == '"') {
      offset_ = i + 1;
      JSON value;
      value = std::move(bytes);
      return value;
    }
    const char letter = text_[i + 1];
    switch (letter) {
      case '"': bytes += '"'; break;
      case '\\': bytes += '\\'; break;
      case '/': bytes += '/'; break;
      case 'b': bytes += '\b'; break;
      case 'f': bytes += '\f'; break;
      case 'n': bytes += '\n'; break;
      case 'r': bytes += '\r'; break;
      case 't': bytes += '\t'; break;
      case 'u': {
        const std::size_t u = i + 1;
        unsigned code = 0;
        bool good = ReadHex4(u + 1, code);
        std::size_t next = u + 5;
        if (good && code >= 0xD800 && code <= 0xDBFF) {
          // A high surrogate must be followed by an escaped low surrogate.
          unsigned low = 0;
          if (At(next) == '\\' && At(next + 1) == 'u') {
            if (!ReadHex4(next + 2, low)) {
              offset_ = next + 1;
              JSON empty;
              empty = std::string();
              return empty;
            }
          }
          if (low >= 0xDC00 && low <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            next += 6;
          } else {
            Report("ERROR: String: Unpaired surrogate in unicode escape, found '",
                   text_.substr(u - 1, 6));
            good = false;
          }
        } else if (good && code >= 0xDC00 && code <= 0xDFFF) {
          Report("ERROR: String: Unpaired surrogate in unicode escape, found '",
                 text_.substr(u - 1, 6));
          good = false;
        }
        if (!good) {
          offset_ = u;
          JSON empty;
          empty = std::string();
          return empty;
        }
        AppendUtf8(bytes, code);
        i = next;
        continue;
      }
      default: bytes += '\\'; break;  // an unknown letter is dropped
    }
    i += 2;
  }
}

JSON JSONParser::ParseNumber() {
  std::string mantissa;
  bool floating = false;
  std::size_t i = offset_;
  for (char c = At(i); c == '-' || c == '.' || (c >= '0' && c <= '9'); c = At(++i)) {
    floating = floating || c == '.';
    mantissa += c;
  }
  bool has_exponent = false;
  std::string exponent;
  char c = At(i);
  if (c == 'e' || c == 'E') {
    has_exponent = true;
    c = At(++i);
    if (c == '-' || c == '+') {
      exponent += c;
      c = At(++i);
    }
    while (c >= '0' && c <= '9') {
      exponent += c;
      c = At(++i);
    }
  }
  if (!EndsNumber(c)) {
    Report(has_exponent ? "ERROR: Number: Expected a number for exponent, found '"
                        : "ERROR: Number: unexpected character '",
           std::string_view(&c, 1));
    StepPast(i);
    return JSON();
  }
  offset_ = i;
  JSON value;
  if (!has_exponent) {
    if (floating) {
      value = ToDouble(mantissa);
    } else {
      value = ToInteger(mantissa);
    }
    return value;
  }
  const double scale = std::pow(10.0, static_cast<double>(ToInteger(exponent)));
  const double base = floating ? ToDouble(mantissa) : static_cast<double>(ToInteger(mantissa));
  double result = base * scale;
  if (!std::isfinite(result)) {
    // The exponent took the value past the largest double. The writer has
    // no text for infinity that the parser would read back, so such a
    // number is out of range, like a mantissa too long for a double. A zero
    // mantissa stays zero whatever the exponent (0 * inf would be NaN).
    if (base != 0.0) {
      throw std::out_of_range("stod");
    }
    result = base;
  }
  value = result;
  return value;
}

JSON JSONParser::ParseBoolean() {
  if (text_.compare(offset_, 4, "true") == 0) {
    offset_ += 4;
    JSON value;
    value = true;
    return value;
  }
  if (text_.compare(offset_, 5, "false") == 0) {
    offset_ += 5;
    JSON value;
    value = false;
    return value;
  }
  Report("ERROR: Bool: Expected 'true' or 'false', found '", text_.substr(offset_, 5));
  return JSON();
}

JSON JSONParser::ParseNull() {
  if (text_.compare(offset_, 4, "null") == 0) {
    offset_ += 4;
    return JSON();
  }
  Report("ERROR: Null: Expected 'null', found '", text_.substr(offset_, 4));
  return JSON();
}

}  // namespace kelp::typing::text::json
