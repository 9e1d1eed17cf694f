// JSONParser: the forgiving parser behind JSON::Load.
//
// One parser reads one text once. It never reads past the end of the text
// (the end reads as a 0 byte, which no rule accepts), and it never rejects
// the text as a whole: each problem writes one line to standard error, the
// construct being parsed yields a substitute value, and the enclosing
// construct goes on from the offending byte. Nesting deeper than
// JSON::MAX_PARSE_DEPTH abandons the whole text, which then parses as null.
//
// String escapes are decoded, \uXXXX included (surrogate pairs are combined
// into one code point and written as UTF-8). Number text is converted with
// locale-independent conversions that follow std::stod and std::stoll: the
// longest valid prefix is taken, and a text with no valid prefix or out of
// range throws std::invalid_argument or std::out_of_range, which the parser
// does not catch. A mantissa times ten to its exponent must be a finite
// double too: 1e400 is out of range, while 0e400 is 0.
//
// Cost: linear in the text; recursion depth bounded by MAX_PARSE_DEPTH.
// Thread-safety: holds only the state of its own parse.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/JSON.hpp"

namespace kelp::typing::text::json {

class JSONParser {
 public:
  explicit JSONParser(std::string_view text) noexcept : text_(text) {}

  // Parses one value from the start of the text.
  JSON Parse();

  // The number of problems the last Parse wrote to standard error; 0 means
  // the text read cleanly up to the end of its first value.
  std::size_t ErrorCount() const noexcept { return errors_; }

 private:
  // Thrown (and caught by Parse) when the nesting cap is hit.
  struct TooDeep {};

  char At(std::size_t offset) const noexcept {
    return offset < text_.size() ? text_[offset] : '\0';
  }
  void SkipWhiteSpace() noexcept;
  // Leaves offset_ just after the byte at `offset`, never past the end.
  void StepPast(std::size_t offset) noexcept;
  void Report(std::string_view prefix, std::string_view found);

  JSON ParseNext(int depth);
  JSON ParseArray(int depth);
  JSON ParseObject(int depth);
  JSON ParseString();
  JSON ParseNumber();
  JSON ParseBoolean();
  JSON ParseNull();
  // Reads the four hex digits at `offset`; false (after reporting) when one
  // is not a hex digit.
  bool ReadHex4(std::size_t offset, unsigned& code);

  std::string_view text_;
  std::size_t offset_ = 0;
  std::size_t errors_ = 0;
};

}  // namespace kelp::typing::text::json
