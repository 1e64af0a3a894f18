#include "tessera_plus/bundle/base_data/instrument_list.h"

#include <cerrno>
#include <fstream>
#include <sstream>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/regular_file.h"
#include "tessera_plus/bundle/base_data/pickle.h"

namespace tessera_plus::bundle {
namespace {

using Member = std::string tallow::Instrument::*;
const std::vector<std::pair<std::string, Member>>& members() {
  static const std::vector<std::pair<std::string, Member>> list = {
      {"order_book_id", &tallow::Instrument::order_book_id},
      {"symbol", &tallow::Instrument::symbol},
      {"type", &tallow::Instrument::type},
      {"exchange", &tallow::Instrument::exchange},
      {"listed_date", &tallow::Instrument::listed_date},
      {"de_listed_date", &tallow::Instrument::de_listed_date},
      {"underlying_order_book_id", &tallow::Instrument::underlying_order_book_id},
      {"underlying_symbol", &tallow::Instrument::underlying_symbol},
      {"stock_code", &tallow::Instrument::stock_code}};
  return list;
}

}  // namespace

std::string instrument_list_bytes(const std::vector<tallow::Instrument>& instruments) {
  auto list = std::make_shared<PickleList>();
  for (const tallow::Instrument& ins : instruments) {
    auto record = std::make_shared<PickleDict>();
    for (const auto& [name, member] : members()) {
      record->emplace_back(name, PickleValue{ins.*member});
    }
    list->push_back(PickleValue{record});
  }
  return pickle_dumps(PickleValue{list});
}

std::vector<tallow::Instrument> read_instrument_list(const std::string& path) {
  // Every listed instrument of every market takes a few hundred bytes; 256 MiB is far beyond that.
  const std::string bytes = read_regular_file(path, std::size_t{256} << 20);
  PickleValue value;
  try {
    value = pickle_loads(bytes);
  } catch (const ValueError& e) {
    throw ValueError(path + " is not a valid instrument list (" + e.what() + ")");
  }
  if (!value.list()) throw ValueError(path + " is not a valid instrument list (not a list)");
  std::vector<tallow::Instrument> out;
  for (const PickleValue& item : *value.list()) {
    if (!item.dict()) throw ValueError(path + " is not a valid instrument list (not records)");
    tallow::Instrument ins;
    for (const auto& [name, member] : members()) {
      const PickleValue* v = item.get(name);
      if (v && v->text()) ins.*member = *v->text();
    }
    out.push_back(std::move(ins));
  }
  return out;
}

}  // namespace tessera_plus::bundle
