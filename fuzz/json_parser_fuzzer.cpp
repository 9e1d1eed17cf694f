// Fuzz target: the JSON parser on any bytes.
//
// Properties:
// - the parser never reads outside the text, never crashes, and fails only
//   with the two conversion exceptions it documents;
// - a text that parsed without a reported problem round-trips: its written
//   form parses without a problem (and without throwing), and writing that
//   again gives the same text.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "FuzzCheck.hpp"
#include "json/JSON.hpp"
#include "json/JSONParser.hpp"

using kelp::typing::text::json::JSON;
using kelp::typing::text::json::JSONParser;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  JSONParser parser(text);
  JSON first;
  try {
    first = parser.Parse();
  } catch (const std::invalid_argument&) {
    return 0;
  } catch (const std::out_of_range&) {
    return 0;
  }
  if (parser.ErrorCount() != 0) {
    return 0;
  }
  const std::string written = first.dump();
  // The end of the text does not end a number ("123" alone is an error), so
  // a number on its own, the one value the writer leaves unterminated, is
  // read back with a blank after it.
  const bool bare_number =
      first.GetKind() == JSON::Kind::Integer || first.GetKind() == JSON::Kind::Float;
  const std::string reread = bare_number ? written + " " : written;
  JSONParser again(reread);
  JSON second;
  try {
    second = again.Parse();
  } catch (const std::exception&) {
    fuzz::Fail("the written text throws when parsed", text, written);
  }
  fuzz::Check(again.ErrorCount() == 0, "the written text does not parse cleanly", text, written);
  const std::string rewritten = second.dump();
  fuzz::Check(rewritten == written, "write, parse, write changes the text", written, rewritten);
  return 0;
}
