// Instrument types of the host framework. Each value equals the market-data service's type text.
#pragma once

#include <string_view>

namespace tessera_plus {

struct INSTRUMENT_TYPE {
  static constexpr std::string_view CS = "CS";
  static constexpr std::string_view FUTURE = "FUTURE";
  static constexpr std::string_view ETF = "ETF";
  static constexpr std::string_view LOF = "LOF";
  static constexpr std::string_view INDX = "INDX";
  static constexpr std::string_view OPTION = "OPTION";
  static constexpr std::string_view CONVERTIBLE = "CONVERTIBLE";
  static constexpr std::string_view REITs = "REITs";
};

}  // namespace tessera_plus
