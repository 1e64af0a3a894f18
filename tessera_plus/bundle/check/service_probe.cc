#include "tessera_plus/bundle/check/service_probe.h"

#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle::check_detail {

std::optional<tallow::DateArg> first_day_with_data(const std::string& order_book_id,
                                                   const std::vector<tallow::DateArg>& days,
                                                   const std::string& frequency) {
  for (const tallow::DateArg& day : days) {
    tallow::PriceArgs args;
    args.start_date = day;
    args.end_date = day;
    args.frequency = frequency;
    // The service may say "nothing" with None or with an empty table; both mean no data.
    const std::optional<tallow::PriceTable> answer = tallow::get_price(order_book_id, args);
    if (answer && !answer->empty()) return day;
  }
  return std::nullopt;
}

}  // namespace tessera_plus::bundle::check_detail
