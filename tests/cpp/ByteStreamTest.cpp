#include "tokenizer/limonp/ByteStream.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "tokenizer/limonp/Errors.hpp"

namespace limonp = kelp::typing::text::limonp;
using limonp::ByteReader;
using limonp::ByteWriter;
using limonp::StateError;

namespace {

// pybind11 turns std::invalid_argument into ValueError without a translator.
static_assert(std::is_base_of_v<std::invalid_argument, StateError>);

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

double FromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

// The message of the StateError that `read` throws, or "" with a failure.
std::string StateErrorOf(const std::function<void()>& read) {
  try {
    read();
  } catch (const StateError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no StateError";
  return "";
}

TEST(ByteWriterTest, EncodingIsLittleEndianWhateverTheHost) {
  const struct {
    const char* name;
    std::function<void(ByteWriter&)> write;
    std::string bytes;
  } cases[] = {
      {"u8", [](ByteWriter& w) { w.WriteU8(0xAB); }, "\xAB"},
      {"u32", [](ByteWriter& w) { w.WriteU32(0x01020304); }, std::string("\x04\x03\x02\x01", 4)},
      {"u64", [](ByteWriter& w) { w.WriteU64(0x0102030405060708); },
       std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
      {"i64 -1", [](ByteWriter& w) { w.WriteI64(-1); }, std::string(8, '\xFF')},
      {"i64 min", [](ByteWriter& w) { w.WriteI64(INT64_MIN); },
       std::string(7, '\0') + "\x80"},
      {"f64 1", [](ByteWriter& w) { w.WriteF64(1.0); }, std::string(6, '\0') + "\xF0\x3F"},
      {"f64 -0", [](ByteWriter& w) { w.WriteF64(-0.0); }, std::string(7, '\0') + "\x80"},
      {"bytes", [](ByteWriter& w) { w.WriteBytes(std::string("a\0b", 3)); },
       std::string("\x03\0\0\0\0\0\0\0a\0b", 11)},
      {"empty bytes", [](ByteWriter& w) { w.WriteBytes(""); }, std::string(8, '\0')},
      {"raw", [](ByteWriter& w) { w.WriteRaw("mark"); }, "mark"},
  };
  for (const auto& c : cases) {
    std::string out;
    ByteWriter writer(out);
    c.write(writer);
    EXPECT_EQ(out, c.bytes) << c.name;
    EXPECT_EQ(writer.size(), c.bytes.size()) << c.name;
  }
}

TEST(ByteWriterTest, AppendsToWhatTheStringHolds) {
  std::string out = "head";
  ByteWriter writer(out);
  writer.WriteU8('!');
  EXPECT_EQ(out, "head!");
  EXPECT_EQ(writer.size(), 5u);
}

TEST(ByteReaderTest, EveryKindRoundTripsExactly) {
  const double doubles[] = {0.0,
                            -0.0,
                            1.5,
                            -3.14e100,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::max(),
                            INFINITY,
                            -INFINITY,
                            FromBits(0x7FF8000000000000),   // quiet NaN
                            FromBits(0xFFF0000000000001),   // signalling NaN, sign set
                            FromBits(0x7FF0DEADBEEF0001)};  // NaN with a payload
  const std::int64_t integers[] = {0, 1, -1, INT64_MAX, INT64_MIN, 1234567890123};
  std::string state;
  ByteWriter out(state);
  for (double d : doubles) {
    out.WriteF64(d);
  }
  for (std::int64_t i : integers) {
    out.WriteI64(i);
  }
  out.WriteU8(0);
  out.WriteU8(255);
  out.WriteU32(UINT32_MAX);
  out.WriteU64(UINT64_MAX);
  out.WriteBytes(std::string("\0\xFF\n", 3));
  out.WriteBytes("");

  ByteReader in(state);
  for (double d : doubles) {
    EXPECT_EQ(Bits(in.ReadF64("double")), Bits(d));
  }
  for (std::int64_t i : integers) {
    EXPECT_EQ(in.ReadI64("integer"), i);
  }
  EXPECT_EQ(in.ReadU8("u8"), 0u);
  EXPECT_EQ(in.ReadU8("u8"), 255u);
  EXPECT_EQ(in.ReadU32("u32"), UINT32_MAX);
  EXPECT_EQ(in.ReadU64("u64"), UINT64_MAX);
  EXPECT_EQ(in.ReadBytes("bytes"), std::string("\0\xFF\n", 3));
  EXPECT_EQ(in.ReadBytes("bytes"), "");
  EXPECT_EQ(in.remaining(), 0u);
  EXPECT_EQ(in.position(), state.size());
  in.ExpectEnd();
}

TEST(ByteReaderTest, BytesViewTheInput) {
  std::string state;
  ByteWriter(state).WriteBytes("word");
  ByteReader in(state);
  const std::string_view word = in.ReadBytes("word");
  EXPECT_EQ(word.data(), state.data() + 8);
  EXPECT_EQ(word, "word");
}

TEST(ByteReaderTest, EveryTruncationIsAStateErrorNamingTheItem) {
  std::string state;
  ByteWriter out(state);
  out.WriteU8(1);
  out.WriteU32(2);
  out.WriteU64(3);
  out.WriteI64(-4);
  out.WriteF64(5.5);
  out.WriteBytes("six");
  out.WriteRaw("seven");
  const auto read_all = [](ByteReader& in) {
    in.ReadU8("the u8");
    in.ReadU32("the u32");
    in.ReadU64("the u64");
    in.ReadI64("the i64");
    in.ReadF64("the f64");
    in.ReadBytes("the bytes");
    in.ReadRaw(5, "the raw bytes");
    in.ExpectEnd();
  };
  // Where each item starts, and its name.
  const struct {
    std::size_t end;  // prefixes shorter than this fail in `item`
    const char* item;
  } items[] = {{1, "the u8"},     {5, "the u32"},    {13, "the u64"},       {21, "the i64"},
               {29, "the f64"},   {40, "the bytes"}, {45, "the raw bytes"}};
  ASSERT_EQ(state.size(), 45u);
  for (std::size_t size = 0; size < state.size(); ++size) {
    ByteReader in(std::string_view(state).substr(0, size));
    const std::string message = StateErrorOf([&] { read_all(in); });
    const char* item = nullptr;
    for (const auto& i : items) {
      if (size < i.end) {
        item = i.item;
        break;
      }
    }
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(message.rfind("corrupt state: ", 0), 0u) << message;
    EXPECT_NE(message.find(item), std::string::npos) << size << ": " << message;
  }
  ByteReader whole(state);
  read_all(whole);
}

TEST(ByteReaderTest, MessagesSayWhatAndWhere) {
  const struct {
    std::string state;
    std::function<void(ByteReader&)> read;
    std::string message;
  } cases[] = {
      {std::string(3, '\0'), [](ByteReader& in) { in.ReadU32("the format"); },
       "corrupt state: cut short in the format at offset 0 (4 bytes needed, 3 left)"},
      {std::string("\x05\0\0\0\0\0\0\0abc", 11), [](ByteReader& in) { in.ReadBytes("a token"); },
       "corrupt state: a token at offset 0 has length 5, more than the 3 bytes left"},
      {std::string("\x02\0\0\0\0\0\0\0abcdefghijklmno", 23),
       [](ByteReader& in) { in.ReadCount(8, "the pairs"); },
       "corrupt state: the pairs at offset 0 counts 2 elements of at least 8 bytes, more than "
       "the 15 bytes left can hold"},
      {"abc",
       [](ByteReader& in) {
         in.ReadU8("one");
         in.ExpectEnd();
       },
       "corrupt state: 2 unexpected bytes after the end, at offset 1"},
  };
  for (const auto& c : cases) {
    ByteReader in(c.state);
    EXPECT_EQ(StateErrorOf([&] { c.read(in); }), c.message);
  }
}

TEST(ByteReaderTest, ImpossibleLengthsAndCountsThrowBeforeAnythingIsReserved) {
  const std::uint64_t lengths[] = {UINT64_MAX, UINT64_MAX / 2, uint64_t{1} << 40, 9};
  for (std::uint64_t length : lengths) {
    std::string state;
    ByteWriter out(state);
    out.WriteU64(length);
    out.WriteRaw("12345678");
    ByteReader bytes(state);
    EXPECT_THROW(bytes.ReadBytes("bytes"), StateError) << length;
    ByteReader count(state);
    EXPECT_THROW(count.ReadCount(1, "count"), StateError) << length;
  }
  // A count is checked against the bytes left, divided by the smallest
  // element: 8 bytes left hold 8 one-byte, 2 four-byte or 1 eight-byte element.
  const struct {
    std::uint64_t count;
    std::size_t unit;
    bool fits;
  } cases[] = {{8, 1, true}, {9, 1, false}, {2, 4, true},  {3, 4, false}, {1, 8, true},
               {2, 8, false}, {0, 8, true}, {0, 100, true}, {1, 100, false},
               {8, 0, true},  {9, 0, false}};  // a unit of 0 counts as 1
  for (const auto& c : cases) {
    std::string state;
    ByteWriter out(state);
    out.WriteU64(c.count);
    out.WriteRaw("12345678");
    ByteReader in(state);
    if (c.fits) {
      EXPECT_EQ(in.ReadCount(c.unit, "count"), c.count);
    } else {
      EXPECT_THROW(in.ReadCount(c.unit, "count"), StateError) << c.count << " of " << c.unit;
    }
  }
}

TEST(ByteReaderTest, ExpectEndOnlyAtTheEnd) {
  ByteReader empty{std::string_view()};
  empty.ExpectEnd();
  ByteReader in{std::string_view("ab")};
  EXPECT_THROW(in.ExpectEnd(), StateError);
  in.ReadRaw(2, "two");
  in.ExpectEnd();
}

}  // namespace
