// A small writer of JSON documents for the machine-readable reports: objects, arrays, strings,
// integers, numbers and booleans, written in order into one text. Strings are taken as UTF-8 and
// passed through as they are, except for the characters JSON requires to be escaped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessera_plus {

// `text` as a JSON string literal, quotes included: '"' and '\\' escaped, control characters
// (below 0x20, and 0x7f) as \n, \r, \t, \b, \f or \u00XX; every other byte unchanged.
std::string json_quoted(std::string_view text);

class JsonWriter {
 public:
  // Containers. A member of an object is named by key() first.
  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  JsonWriter& key(std::string_view name);

  JsonWriter& value(std::string_view text);
  JsonWriter& value(const char* text) { return value(std::string_view(text)); }
  JsonWriter& value(std::int64_t number);
  JsonWriter& value(std::uint64_t number);
  JsonWriter& value(int number) { return value(static_cast<std::int64_t>(number)); }
  // Written with enough digits to read back the same double; NaN and infinities as null, which
  // JSON has no other way to say.
  JsonWriter& value(double number);
  JsonWriter& value(bool flag);
  JsonWriter& null();
  // An array of strings, in one call.
  JsonWriter& value(const std::vector<std::string>& texts);

  // The document so far; complete once every container is closed. ValueError when one is open.
  std::string text() const;

 private:
  void before_value();
  std::string out_;
  // One entry per open container: whether it has a member already.
  std::vector<bool> has_member_;
  bool after_key_ = false;
};

}  // namespace tessera_plus
