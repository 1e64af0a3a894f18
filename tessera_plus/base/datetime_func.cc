#include "tessera_plus/base/datetime_func.h"

#include <cstdlib>
#include <ctime>
#include <regex>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {

using namespace std::chrono;

int date_to_number(Date date) {
  return static_cast<int>(date.year()) * 10000 + static_cast<int>(unsigned(date.month())) * 100 +
         static_cast<int>(unsigned(date.day()));
}

Date date_of(DateTime timestamp) { return Date(floor<days>(timestamp)); }

int date_to_number(DateTime timestamp) { return date_to_number(date_of(timestamp)); }

int time_to_number(DateTime timestamp) {
  auto since_midnight = timestamp - floor<days>(timestamp);
  hh_mm_ss<microseconds> t(since_midnight);
  auto ms = duration_cast<milliseconds>(t.subseconds()).count();
  return static_cast<int>(t.hours().count() * 10000000 + t.minutes().count() * 100000 +
                          t.seconds().count() * 1000 + ms);
}

std::int64_t convert_dt_to_int(DateTime timestamp) {
  auto since_midnight = timestamp - floor<days>(timestamp);
  hh_mm_ss<microseconds> t(since_midnight);
  return std::int64_t{date_to_number(timestamp)} * 1000000 + t.hours().count() * 10000 +
         t.minutes().count() * 100 + t.seconds().count();
}

Date date_from_number(std::int64_t number) {
  Date date{year(static_cast<int>(number / 10000)),
            month(static_cast<unsigned>(number / 100 % 100)),
            day(static_cast<unsigned>(number % 100))};
  if (number < 10000101 || number > 99991231 || !date.ok()) {
    throw ValueError(fmt::format("{} is not a date of the form YYYYMMDD", number));
  }
  return date;
}

Date date_from_text(std::string_view text) {
  if (text.size() != 8 || text.find_first_not_of("0123456789") != std::string_view::npos) {
    throw ValueError(fmt::format("'{}' is not a date of the form YYYYMMDD", text));
  }
  return date_from_number(std::stoll(std::string(text)));
}

int dashed_date_number(std::string_view text) {
  std::string digits;
  for (char c : text)
    if (c != '-') digits += c;
  if (digits.empty() || digits.size() > 8 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    throw ValueError(fmt::format("'{}' is not a date of the form YYYY-MM-DD", text));
  }
  return std::stoi(digits);
}

DateTime make_datetime(Date date, int hour, int minute, int second, int microsecond) {
  return local_days(date) + hours(hour) + minutes(minute) + seconds(second) +
         microseconds(microsecond);
}

std::string format_compact(Date date) { return fmt::format("{:08d}", date_to_number(date)); }

std::string format_dashed(Date date) {
  return fmt::format("{:04d}-{:02d}-{:02d}", static_cast<int>(date.year()), unsigned(date.month()),
                     unsigned(date.day()));
}

DateTime parse_datetime(std::string_view text) {
  static const std::regex pattern(
      R"((\d{4})-(\d{2})-(\d{2})(?:[ T](\d{2}):(\d{2}):(\d{2})(?:\.(\d{1,6}))?)?)");
  std::cmatch m;
  if (!std::regex_match(text.begin(), text.end(), m, pattern)) {
    throw ValueError(fmt::format(
        "'{}' is not a date and time of the form 'YYYY-MM-DD HH:MM:SS[.ffffff]'", text));
  }
  auto num = [&](int i) { return m[i].matched ? std::atoi(m[i].str().c_str()) : 0; };
  Date date = date_from_number(std::int64_t{num(1)} * 10000 + num(2) * 100 + num(3));
  int micro = 0;
  if (m[7].matched) {
    std::string frac = m[7].str();
    frac.resize(6, '0');
    micro = std::atoi(frac.c_str());
  }
  if (num(4) > 23 || num(5) > 59 || num(6) > 59) {
    throw ValueError(fmt::format("'{}' has an invalid time of day", text));
  }
  return make_datetime(date, num(4), num(5), num(6), micro);
}

namespace {

constexpr hours kExchangeOffset(8);

sys_time<microseconds> current_instant() {
  if (const char* fixed = std::getenv("TESSERA_NOW"); fixed && *fixed) {
    return sys_time<microseconds>(parse_datetime(fixed).time_since_epoch() - kExchangeOffset);
  }
  return floor<microseconds>(system_clock::now());
}

}  // namespace

DateTime exchange_time(sys_time<microseconds> instant) {
  return DateTime(instant.time_since_epoch() + kExchangeOffset);
}

DateTime now() { return exchange_time(current_instant()); }

DateTime local_now() {
  const sys_time<microseconds> instant = current_instant();
  const std::time_t whole = system_clock::to_time_t(floor<seconds>(instant));
  std::tm local{};
  localtime_r(&whole, &local);
  Date date{year(local.tm_year + 1900), month(static_cast<unsigned>(local.tm_mon + 1)),
            day(static_cast<unsigned>(local.tm_mday))};
  const auto micro = (instant - floor<seconds>(instant)).count();
  return make_datetime(date, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(micro));
}

}  // namespace tessera_plus
