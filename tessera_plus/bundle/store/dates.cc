#include "tessera_plus/bundle/store/dates.h"

#include <chrono>

#include "tessera_plus/base/datetime_func.h"

namespace tessera_plus::bundle {

int _get_end_date() {
  using namespace std::chrono;
  tessera::DateTime now = tessera::now();
  tessera::Date today = tessera::date_of(now);
  tessera::DateTime cut_off = tessera::make_datetime(today, 17, 30, 0, 0);
  if (now > cut_off) return tessera::date_to_number(today);
  return tessera::date_to_number(tessera::date_of(now - days(1)));
}

}  // namespace tessera_plus::bundle
