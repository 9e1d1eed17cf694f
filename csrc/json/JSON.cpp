#include "json/JSON.hpp"

#include <charconv>
#include <utility>

namespace kelp::typing::text::json {

namespace {

const JSON::ObjectMap& EmptyObject() {
  static const JSON::ObjectMap empty;
  return empty;
}

const JSON::ArrayList& EmptyArray() {
  static const JSON::ArrayList empty;
  return empty;
}

void AppendEscaped(std::string& out, std::string_view text) {
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* replacement = nullptr;
    switch (text[i]) {
      case '"': replacement = "\\\""; break;
      case '\\': replacement = "\\\\"; break;
      case '\b': replacement = "\\b"; break;
      case '\f': replacement = "\\f"; break;
      case '\n': replacement = "\\n"; break;
      case '\r': replacement = "\\r"; break;
      case '\t': replacement = "\\t"; break;
      default: continue;
    }
    out.append(text.data() + run, i - run);
    out.append(replacement, 2);
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

// Fixed notation with six decimals, as printf's "%f" writes it in the C
// locale. std::to_chars ignores the process locale, so a Python program that
// calls locale.setlocale cannot turn the decimal point into a comma.
void AppendFloat(std::string& out, double value) {
  char buffer[400];  // enough for DBL_MAX in fixed notation (309 digits + 7)
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, 6);
  out.append(buffer, result.ptr);
}

void AppendInteger(std::string& out, std::int64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, result.ptr);
}

}  // namespace

JSON::JSON(const JSON& other) : kind_(Kind::Null) {
  payload_.integer = 0;
  switch (other.kind_) {
    case Kind::Object: payload_.object = new ObjectMap(*other.payload_.object); break;
    case Kind::Array: payload_.array = new ArrayList(*other.payload_.array); break;
    case Kind::String: payload_.string = new std::string(*other.payload_.string); break;
    default: payload_ = other.payload_; break;
  }
  kind_ = other.kind_;
}

JSON::JSON(JSON&& other) noexcept : payload_(other.payload_), kind_(other.kind_) {
  other.kind_ = Kind::Null;
  other.payload_.integer = 0;
}

JSON& JSON::operator=(const JSON& other) {
  // Copy first, then swap in: safe for self-assignment and for assigning a
  // value that lives inside this one.
  JSON copy(other);
  return *this = std::move(copy);
}

JSON& JSON::operator=(JSON&& other) noexcept {
  if (this != &other) {
    Payload payload = other.payload_;
    Kind kind = other.kind_;
    other.kind_ = Kind::Null;
    other.payload_.integer = 0;
    ClearInternal();
    payload_ = payload;
    kind_ = kind;
  }
  return *this;
}

JSON& JSON::operator=(bool value) {
  SetKind(Kind::Boolean);
  payload_.boolean = value;
  return *this;
}

JSON& JSON::operator=(const std::string& value) {
  SetKind(Kind::String);
  *payload_.string = value;
  return *this;
}

JSON& JSON::operator=(std::string&& value) {
  SetKind(Kind::String);
  *payload_.string = std::move(value);
  return *this;
}

// The end of the map is tried first: an object is usually built, and a
// model file always parsed, in ascending key order.
JSON& JSON::operator[](const std::string& key) {
  SetKind(Kind::Object);
  return payload_.object->try_emplace(payload_.object->end(), key)->second;
}

JSON& JSON::operator[](std::string&& key) {
  SetKind(Kind::Object);
  return payload_.object->try_emplace(payload_.object->end(), std::move(key))->second;
}

JSON& JSON::operator[](std::size_t index) {
  SetKind(Kind::Array);
  ArrayList& array = *payload_.array;
  if (index >= array.size()) {
    array.resize(index + 1);
  }
  return array[index];
}

const JSON::ObjectMap& JSON::Members() const {
  return kind_ == Kind::Object ? *payload_.object : EmptyObject();
}

const JSON::ArrayList& JSON::Elements() const {
  return kind_ == Kind::Array ? *payload_.array : EmptyArray();
}

std::int64_t JSON::AsInteger(bool& ok) const {
  ok = kind_ == Kind::Integer;
  return ok ? payload_.integer : 0;
}

bool JSON::AsBoolean(bool& ok) const {
  ok = kind_ == Kind::Boolean;
  return ok ? payload_.boolean : false;
}

double JSON::AsFloat(bool& ok) const {
  ok = kind_ == Kind::Float;
  return ok ? payload_.float_value : 0.0;
}

std::string JSON::AsString(bool& ok) const {
  ok = kind_ == Kind::String;
  return ok ? json_escape(*payload_.string) : std::string();
}

std::string JSON::AsRawString(bool& ok) const {
  ok = kind_ == Kind::String;
  return ok ? *payload_.string : std::string();
}

void JSON::ClearInternal() noexcept {
  switch (kind_) {
    case Kind::Object: delete payload_.object; break;
    case Kind::Array: delete payload_.array; break;
    case Kind::String: delete payload_.string; break;
    default: break;
  }
}

void JSON::SetKind(Kind kind) {
  if (kind == kind_) {
    return;
  }
  // Allocate before releasing, so that a failed allocation leaves the value
  // as it was.
  Payload payload;
  payload.integer = 0;
  switch (kind) {
    case Kind::Object: payload.object = new ObjectMap(); break;
    case Kind::Array: payload.array = new ArrayList(); break;
    case Kind::String: payload.string = new std::string(); break;
    default: break;
  }
  ClearInternal();
  payload_ = payload;
  kind_ = kind;
}

std::string JSON::dump(int depth, const std::string& tab) const {
  std::string out;
  DumpTo(out, depth, tab);
  return out;
}

void JSON::DumpTo(std::string& out, int depth, const std::string& tab) const {
  switch (kind_) {
    case Kind::Null: out += "null"; return;
    case Kind::Boolean: out += payload_.boolean ? "true" : "false"; return;
    case Kind::Integer: AppendInteger(out, payload_.integer); return;
    case Kind::Float: AppendFloat(out, payload_.float_value); return;
    case Kind::String:
      out += '"';
      AppendEscaped(out, *payload_.string);
      out += '"';
      return;
    case Kind::Array: {
      out += '[';
      bool first = true;
      for (const JSON& element : *payload_.array) {
        if (!first) {
          out += ", ";
        }
        first = false;
        element.DumpTo(out, depth + 1, tab);
      }
      out += ']';
      return;
    }
    case Kind::Object: {
      std::string pad;
      for (int i = 0; i < depth; ++i) {
        pad += tab;
      }
      out += "{\n";
      bool first = true;
      for (const auto& [key, value] : *payload_.object) {
        if (!first) {
          out += ",\n";
        }
        first = false;
        out += pad;
        out += '"';
        AppendEscaped(out, key);
        out += "\" : ";
        value.DumpTo(out, depth + 1, tab);
      }
      out += '\n';
      out.append(pad, pad.size() < 2 ? pad.size() : 2, std::string::npos);
      out += '}';
      return;
    }
  }
}

JSON Array() {
  JSON value;
  value.SetKind(JSON::Kind::Array);
  return value;
}

JSON Object() {
  JSON value;
  value.SetKind(JSON::Kind::Object);
  return value;
}

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

std::ostream& operator<<(std::ostream& out, const JSON& value) {
  return out << value.dump(1, "  ");
}

}  // namespace kelp::typing::text::json
