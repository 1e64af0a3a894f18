#include "tessera_plus/bundle/store/dates.h"

#include <chrono>

#include "tessera_plus/base/datetime_func.h"

namespace tessera_plus::bundle {

int _get_end_date() {
  using namespace std::chrono;
  DateTime now = tessera_plus::now();
  Date today = date_of(now);
  DateTime cut_off = make_datetime(today, 17, 30, 0, 0);
  if (now > cut_off) return date_to_number(today);
  return date_to_number(date_of(now - days(1)));
}

}  // namespace tessera_plus::bundle

namespace tessera_plus::bundle {

bool is_tick_day_name(const std::string& name, int today) {
  if (name.size() != 8) return false;
  for (char c : name) {
    if (c < '0' || c > '9') return false;
  }
  const int number = std::stoi(name);
  using namespace std::chrono;
  const year_month_day date{year(number / 10000), month(static_cast<unsigned>(number / 100 % 100)),
                            day(static_cast<unsigned>(number % 100))};
  return date.ok() && number <= today;
}

int today_number() { return date_to_number(date_of(tessera_plus::now())); }

}  // namespace tessera_plus::bundle
