#include "tessera_plus/base/json_writer.h"

#include <cmath>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {

std::string json_quoted(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += fmt::format("\\u{:04x}", c);
        } else {
          out += ch;
        }
    }
  }
  return out + '"';
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (has_member_.empty()) {
    if (!out_.empty()) throw ValueError("a JSON document holds one value");
    return;
  }
  if (has_member_.back()) out_ += ',';
  has_member_.back() = true;
}

JsonWriter& JsonWriter::begin_object() {
  before_value();
  out_ += '{';
  has_member_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::end_object() {
  has_member_.pop_back();
  out_ += '}';
  return *this;
}

JsonWriter& JsonWriter::begin_array() {
  before_value();
  out_ += '[';
  has_member_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::end_array() {
  has_member_.pop_back();
  out_ += ']';
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  before_value();
  out_ += json_quoted(name);
  out_ += ':';
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
  before_value();
  out_ += json_quoted(text);
  return *this;
}

JsonWriter& JsonWriter::value(std::int64_t number) {
  before_value();
  out_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t number) {
  before_value();
  out_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::value(double number) {
  if (!std::isfinite(number)) return null();
  before_value();
  out_ += fmt::format("{}", number);
  return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
  before_value();
  out_ += flag ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  before_value();
  out_ += "null";
  return *this;
}

JsonWriter& JsonWriter::value(const std::vector<std::string>& texts) {
  begin_array();
  for (const std::string& text : texts) value(std::string_view(text));
  return end_array();
}

std::string JsonWriter::text() const {
  if (!has_member_.empty() || after_key_) throw ValueError("the JSON document is not complete");
  return out_ + '\n';
}

}  // namespace tessera_plus
