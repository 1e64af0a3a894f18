#include "tessera_plus/bundle/base_data/npy_reader.h"

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/regular_file.h"

namespace tessera_plus::bundle {
namespace {

constexpr std::string_view kMagic = "\x93NUMPY";
// numpy itself refuses headers beyond 10 000 bytes by default; anything near this is not a
// calendar but a damaged or hostile file.
constexpr std::size_t kMaxHeaderLength = 1 << 20;
// A calendar of every day of two centuries holds 73 000 dates; 64 MiB is room for any array this
// reader is used for and a firm ceiling on what a damaged file can make it allocate.
constexpr std::size_t kMaxFileSize = 64 << 20;
// Trading dates before the first exchange opened or beyond this century are not dates a calendar
// holds but the sign of a damaged or foreign array.
constexpr std::int64_t kFirstCalendarDate = 19900101;
constexpr std::int64_t kLastCalendarDate = 21001231;

struct ElementType {
  bool is_signed;
  std::size_t size;
  bool big_endian;
};

struct Header {
  ElementType type{};
  bool fortran_order = false;
  std::vector<std::uint64_t> shape;
};

// The header is a Python dict literal such as
//   {'descr': '<i8', 'fortran_order': False, 'shape': (3,), }
// This parser accepts exactly the literal forms numpy writes for plain arrays.
class HeaderParser {
 public:
  HeaderParser(std::string_view text, const std::string& path) : text_(text), path_(path) {}

  Header parse() {
    Header header;
    bool has_descr = false, has_order = false, has_shape = false;
    expect('{');
    while (!consume('}')) {
      std::string key = string_literal();
      expect(':');
      if (key == "descr") {
        header.type = element_type();
        has_descr = true;
      } else if (key == "fortran_order") {
        header.fortran_order = boolean();
        has_order = true;
      } else if (key == "shape") {
        header.shape = shape();
        has_shape = true;
      } else {
        fail(fmt::format("unexpected header key '{}'", key));
      }
      if (!consume(',')) {
        expect('}');
        break;
      }
    }
    if (!has_descr || !has_order || !has_shape) fail("header lacks descr, fortran_order or shape");
    return header;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw ValueError(fmt::format("{} is not an NPY integer array: {}", path_, why));
  }

  void skip_blanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool consume(char c) {
    skip_blanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void expect(char c) {
    if (!consume(c)) fail(fmt::format("malformed header, expected '{}'", c));
  }

  std::string string_literal() {
    skip_blanks();
    if (pos_ >= text_.size() || (text_[pos_] != '\'' && text_[pos_] != '"')) {
      fail("malformed header, expected a quoted name");
    }
    char quote = text_[pos_++];
    std::size_t end = text_.find(quote, pos_);
    if (end == std::string_view::npos) fail("malformed header, unterminated text");
    std::string value(text_.substr(pos_, end - pos_));
    pos_ = end + 1;
    return value;
  }

  bool boolean() {
    skip_blanks();
    for (auto [word, value] : {std::pair{std::string_view("True"), true}, {"False", false}}) {
      if (text_.substr(pos_, word.size()) == word) {
        pos_ += word.size();
        return value;
      }
    }
    fail("malformed header, fortran_order is not True or False");
  }

  std::uint64_t integer() {
    skip_blanks();
    std::uint64_t value = 0;
    std::size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      auto digit = static_cast<std::uint64_t>(text_[pos_++] - '0');
      if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        fail("dimension too large");
      }
      value = value * 10 + digit;
    }
    if (pos_ == start) fail("malformed header, expected a dimension");
    return value;
  }

  std::vector<std::uint64_t> shape() {
    std::vector<std::uint64_t> dims;
    expect('(');
    while (!consume(')')) {
      dims.push_back(integer());
      if (!consume(',')) {
        expect(')');
        break;
      }
    }
    return dims;
  }

  ElementType element_type() {
    skip_blanks();
    if (pos_ < text_.size() && text_[pos_] == '[') fail("structured records, not integers");
    std::string descr = string_literal();
    std::string_view rest = descr;
    bool big_endian = std::endian::native == std::endian::big;
    if (!rest.empty() && std::string_view("<>|=").find(rest[0]) != std::string_view::npos) {
      if (rest[0] == '<') big_endian = false;
      if (rest[0] == '>') big_endian = true;
      rest.remove_prefix(1);
    }
    if (rest.size() == 2 && (rest[0] == 'i' || rest[0] == 'u') &&
        std::string_view("1248").find(rest[1]) != std::string_view::npos) {
      return {rest[0] == 'i', static_cast<std::size_t>(rest[1] - '0'), big_endian};
    }
    if (!rest.empty() && (rest[0] == 'f' || rest[0] == 'c')) {
      fail(fmt::format("elements are floating point ('{}')", descr));
    }
    if (!rest.empty() && rest[0] == 'O') fail("elements are Python objects");
    fail(fmt::format("element type '{}' is not an integer type", descr));
  }

  std::string_view text_;
  const std::string& path_;
  std::size_t pos_ = 0;
};

std::uint64_t little_endian_number(std::string_view bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) {
    value = value << 8 | static_cast<unsigned char>(bytes[i]);
  }
  return value;
}

std::int64_t decode(const char* at, const ElementType& type, const std::string& path) {
  std::uint64_t raw = 0;
  for (std::size_t i = 0; i < type.size; ++i) {
    std::size_t byte = type.big_endian ? i : type.size - 1 - i;
    raw = raw << 8 | static_cast<unsigned char>(at[byte]);
  }
  if (type.is_signed && type.size < 8 && (raw >> (type.size * 8 - 1)) != 0) {
    raw |= ~std::uint64_t{0} << (type.size * 8);  // sign extension
  }
  if (!type.is_signed &&
      raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw ValueError(
        fmt::format("{} holds an unsigned value beyond the signed 64-bit range", path));
  }
  return static_cast<std::int64_t>(raw);
}

std::uint64_t element_count(const Header& header, const std::string& path) {
  std::uint64_t count = 1;
  for (std::uint64_t dim : header.shape) {
    if (dim != 0 && count > std::numeric_limits<std::uint64_t>::max() / dim) {
      throw ValueError(fmt::format("{} is not an NPY integer array: shape too large", path));
    }
    count *= dim;
  }
  return count;
}

}  // namespace

std::vector<std::int64_t> read_npy_int_array(const std::string& path) {
  return parse_npy_int_array(read_regular_file(path, kMaxFileSize), path, nullptr);
}

std::vector<std::int64_t> parse_npy_int_array(const std::string& content, const std::string& path,
                                              std::size_t* dimensions) {
  std::string_view rest = content;
  auto bad = [&path](const std::string& why) {
    return ValueError(fmt::format("{} is not an NPY integer array: {}", path, why));
  };
  if (rest.size() < kMagic.size() + 2 || rest.substr(0, kMagic.size()) != kMagic) {
    throw bad("no NPY magic string");
  }
  const int major = static_cast<unsigned char>(rest[kMagic.size()]);
  rest.remove_prefix(kMagic.size() + 2);
  // Version 1 stores the header length in two bytes; versions 2 and 3 in four.
  std::size_t length_bytes = major == 1 ? 2 : (major == 2 || major == 3) ? 4 : 0;
  if (length_bytes == 0) throw bad(fmt::format("unsupported format version {}", major));
  if (rest.size() < length_bytes) throw bad("truncated header");
  std::uint64_t header_length = little_endian_number(rest.substr(0, length_bytes));
  rest.remove_prefix(length_bytes);
  if (header_length > kMaxHeaderLength) throw bad("header too long");
  if (rest.size() < header_length) throw bad("truncated header");
  Header header = HeaderParser(rest.substr(0, header_length), path).parse();
  rest.remove_prefix(header_length);

  // Fortran order only changes the element order when more than one dimension exists.
  if (header.fortran_order && header.shape.size() > 1) {
    throw bad("Fortran-ordered arrays of more than one dimension are not supported");
  }
  if (dimensions != nullptr) *dimensions = header.shape.size();
  const std::uint64_t count = element_count(header, path);
  if (count > rest.size() / header.type.size) {
    throw bad(fmt::format("truncated data: {} elements of {} bytes promised, {} bytes present",
                          count, header.type.size, rest.size()));
  }
  std::vector<std::int64_t> values(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    values[i] = decode(rest.data() + i * header.type.size, header.type, path);
  }
  return values;
}

std::vector<std::int64_t> read_trading_calendar(const std::string& path) {
  std::size_t dimensions = 0;
  std::vector<std::int64_t> dates =
      parse_npy_int_array(read_regular_file(path, kMaxFileSize), path, &dimensions);
  check_trading_calendar(dates, dimensions, path);
  return dates;
}

void check_trading_calendar(const std::vector<std::int64_t>& dates, std::size_t dimensions,
                            const std::string& path) {
  auto bad = [&path](const std::string& why) {
    return ValueError(fmt::format("{} is not a trading calendar: {}", path, why));
  };
  if (dimensions != 1) throw bad(fmt::format("{} dimensions instead of one", dimensions));
  if (dates.empty()) throw bad("it holds no dates");
  for (std::size_t i = 0; i < dates.size(); ++i) {
    const std::int64_t d = dates[i];
    using namespace std::chrono;
    const year_month_day date{year(static_cast<int>(d / 10000)),
                              month(static_cast<unsigned>(d / 100 % 100)),
                              day(static_cast<unsigned>(d % 100))};
    if (d < kFirstCalendarDate || d > kLastCalendarDate || !date.ok()) {
      throw bad(fmt::format("element {} ({}) is not a date from {} to {}", i, d, kFirstCalendarDate,
                            kLastCalendarDate));
    }
    if (i > 0 && d <= dates[i - 1]) {
      throw bad(fmt::format("element {} ({}) does not come after {}", i, d, dates[i - 1]));
    }
  }
}

}  // namespace tessera_plus::bundle
