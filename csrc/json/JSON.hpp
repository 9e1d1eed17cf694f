// JSON: a small JSON value (null, object, array, string, double, 64-bit
// integer, boolean) with an indented text writer and a forgiving parser.
//
// It exists for the BM25 model file, so it favours a stable, readable text
// over generality: objects are ordered maps (members come out in ascending
// byte order), doubles are written in fixed notation with six decimals, and
// the parser never rejects a text as a whole: each problem is one line on
// standard error and a substitute value in the result.
//
// Strings and object keys hold decoded bytes; the writer escapes both the
// same way, so any key survives a write followed by a parse.
//
// Costs: an object is a std::map (one node per member), an array a
// std::deque; copying a value copies its containers deeply, moving is O(1).
// Thread-safety: plain data without locks; concurrent reads of one value are
// safe, a write must not overlap any other access.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>

namespace kelp::typing::text::json {

class JSON {
 public:
  enum class Kind : std::int32_t {
    Null = 0,
    Object = 1,
    Array = 2,
    String = 3,
    Float = 4,
    Integer = 5,
    Boolean = 6,
  };

  using ObjectMap = std::map<std::string, JSON>;
  using ArrayList = std::deque<JSON>;

  // Deepest nesting of arrays and objects that the parser accepts. A model
  // file needs two levels; the cap keeps hostile input off the stack.
  static constexpr int MAX_PARSE_DEPTH = 256;

  JSON() noexcept : kind_(Kind::Null) { payload_.integer = 0; }
  JSON(const JSON& other);
  JSON(JSON&& other) noexcept;
  ~JSON() { ClearInternal(); }

  JSON& operator=(const JSON& other);
  JSON& operator=(JSON&& other) noexcept;

  JSON& operator=(bool value);
  template <typename T,
            typename std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  JSON& operator=(T value) {
    SetKind(Kind::Integer);
    payload_.integer = static_cast<std::int64_t>(value);
    return *this;
  }
  template <typename T, typename std::enable_if_t<std::is_floating_point_v<T>, int> = 0>
  JSON& operator=(T value) {
    SetKind(Kind::Float);
    payload_.float_value = static_cast<double>(value);
    return *this;
  }
  JSON& operator=(const std::string& value);
  JSON& operator=(std::string&& value);
  JSON& operator=(const char* value) { return *this = std::string(value); }

  // Turns a value of another kind into an empty object, then returns the
  // member under `key`, inserting a null member when absent. O(1) amortised
  // when keys arrive in ascending order, O(log n) otherwise.
  JSON& operator[](const std::string& key);
  JSON& operator[](std::string&& key);
  // Turns a value of another kind into an empty array, grows it with nulls
  // up to `index`, then returns the element.
  JSON& operator[](std::size_t index);

  Kind GetKind() const noexcept { return kind_; }

  // The members in ascending key order; empty for any other kind.
  const ObjectMap& Members() const;
  // The elements in order; empty for any other kind.
  const ArrayList& Elements() const;

  // Each accessor sets `ok` true only for a value of exactly that kind and
  // then gives the payload; otherwise `ok` is false and the result is zero.
  // No conversion between kinds (an Integer is not a Float).
  std::int64_t AsInteger(bool& ok) const;
  double AsFloat(bool& ok) const;
  bool AsBoolean(bool& ok) const;
  // The held bytes passed through json_escape.
  std::string AsString(bool& ok) const;
  // The held bytes as they are.
  std::string AsRawString(bool& ok) const;

  // The value's text. `tab` repeated `depth` times indents the members of an
  // object; the closing brace is indented two bytes less.
  std::string dump(int depth = 1, const std::string& tab = "  ") const;

  // Parses the first value of `text` (anything after it is ignored). Syntax
  // problems are written to standard error and give substitute values;
  // number conversions may throw std::invalid_argument or std::out_of_range.
  static JSON Load(std::string_view text);

 private:
  friend class JSONParser;
  friend JSON Array();
  friend JSON Object();

  void ClearInternal() noexcept;
  void SetKind(Kind kind);
  void DumpTo(std::string& out, int depth, const std::string& tab) const;

  union Payload {
    ObjectMap* object;
    ArrayList* array;
    std::string* string;
    double float_value;
    std::int64_t integer;
    bool boolean;
  };

  Payload payload_;
  Kind kind_;
};

JSON Array();
JSON Object();

// Escapes the quotation mark, the backslash and the five control bytes
// \b \f \n \r \t; every other byte is copied unchanged.
std::string json_escape(std::string_view text);

// Writes `value.dump(1, "  ")`, nothing before or after it.
std::ostream& operator<<(std::ostream& out, const JSON& value);

}  // namespace kelp::typing::text::json
