// Which instrument types a tag names, and which are stored as equities.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "tessera_plus/base/instrument_type.h"

namespace tessera_plus::bundle {

using tessera_plus::INSTRUMENT_TYPE;

// Tag -> instrument types, in the order tags are listed to the user.
struct TagEntry {
  std::string_view tag;
  std::span<const std::string_view> types;
};
namespace detail {
inline constexpr std::array<std::string_view, 1> kStock = {INSTRUMENT_TYPE::CS};
inline constexpr std::array<std::string_view, 1> kFutures = {INSTRUMENT_TYPE::FUTURE};
inline constexpr std::array<std::string_view, 3> kFund = {
    INSTRUMENT_TYPE::ETF, INSTRUMENT_TYPE::LOF, INSTRUMENT_TYPE::INDX};
inline constexpr std::array<std::string_view, 1> kIndex = {INSTRUMENT_TYPE::INDX};
inline constexpr std::array<std::string_view, 1> kOption = {INSTRUMENT_TYPE::OPTION};
inline constexpr std::array<std::string_view, 1> kConvertible = {INSTRUMENT_TYPE::CONVERTIBLE};
}  // namespace detail
inline constexpr std::array<TagEntry, 6> TAG_MAP = {
    TagEntry{"stock", detail::kStock},   TagEntry{"futures", detail::kFutures},
    TagEntry{"fund", detail::kFund},     TagEntry{"index", detail::kIndex},
    TagEntry{"option", detail::kOption}, TagEntry{"convertible", detail::kConvertible}};

// Types whose minute bars are stored as equities (EQUITIES_DTYPE, class directory "equities").
inline constexpr std::array<std::string_view, 6> EQUITIES_INS_TYPE = {
    INSTRUMENT_TYPE::CS,   INSTRUMENT_TYPE::ETF,         INSTRUMENT_TYPE::LOF,
    INSTRUMENT_TYPE::INDX, INSTRUMENT_TYPE::CONVERTIBLE, INSTRUMENT_TYPE::REITs};

}  // namespace tessera_plus::bundle
