#include "tessera_plus/bundle/update/merge_tags.h"

#include <cstdio>
#include <string_view>
#include <variant>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tessera_plus/base/console.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

using IdSet = std::set<std::string>;
using Table = std::vector<tallow::Instrument>;

struct Tables {
  Table general, option, futures, convertible;
};

// The switch is left off for the queries only when plain "stock" was asked for without the
// Beijing exchange; every other request may name BJSE instruments by id or category.
void switch_on_for_queries(const IdSet& tags, bool enable_bjse, bool bjse_enabled) {
  bool wanted = tags.contains("stock") ? enable_bjse : true;
  if (wanted && !bjse_enabled) _switch_of_bjse(true);
}

Table fetch(std::string_view type) {
  return tallow::all_instruments(tallow::AllInstrumentsArgs{.type = std::string(type)});
}

Tables fetch_tables() {
  Tables t;
  t.general = tallow::all_instruments();
  t.option = fetch(INSTRUMENT_TYPE::OPTION);
  t.futures = fetch(INSTRUMENT_TYPE::FUTURE);
  t.convertible = fetch(INSTRUMENT_TYPE::CONVERTIBLE);
  return t;
}

// Consumes "all" and every category keyword from `tags`; returns the instrument types they ask
// for.
std::set<std::string_view> take_category_types(IdSet& tags) {
  bool all = tags.erase("all") > 0;
  std::set<std::string_view> types;
  for (const TagEntry& entry : TAG_MAP) {
    if (all || tags.contains(std::string(entry.tag)))
      types.insert(entry.types.begin(), entry.types.end());
  }
  for (const TagEntry& entry : TAG_MAP) tags.erase(std::string(entry.tag));
  return types;
}

// A futures underlying symbol stands for its contracts, which then resolve like explicit ids.
void expand_underlying_symbols(IdSet& tags, const Table& futures) {
  IdSet contracts, symbols;
  for (const tallow::Instrument& row : futures) {
    if (!tags.contains(row.underlying_symbol)) continue;
    contracts.insert(row.order_book_id);
    symbols.insert(row.underlying_symbol);
  }
  tags.insert(contracts.begin(), contracts.end());
  for (const std::string& symbol : symbols) tags.erase(symbol);
}

// An empty id names no instrument; a record without one must not become a task.
void add_known(IdSet& ids, const std::string& id) {
  if (!id.empty()) ids.insert(id);
}

void select_hong_kong(const IdSet& tags, IdSet& selected) {
  bool wanted = false;
  for (const std::string& tag : tags) wanted = wanted || tag.ends_with(".XHKG");
  if (!wanted) return;
  for (const tallow::Instrument& row :
       tallow::all_instruments(tallow::AllInstrumentsArgs{.type = "CS", .market = "hk"})) {
    if (tags.contains(row.order_book_id)) selected.insert(row.order_book_id);
  }
}

IdSet select(const IdSet& tags, const std::set<std::string_view>& types, const Tables& t) {
  IdSet selected;
  for (const tallow::Instrument& row : t.general) {
    if (types.contains(row.type) || tags.contains(row.order_book_id))
      selected.insert(row.order_book_id);
  }
  // An option named by id brings in its underlying instrument.
  for (const tallow::Instrument& row : t.option) {
    if (tags.contains(row.order_book_id)) add_known(selected, row.underlying_order_book_id);
  }
  select_hong_kong(tags, selected);
  return selected;
}

// Futures on the selection first, so that the option pass also finds options on those futures.
void add_derivatives(IdSet& selected, const Tables& t) {
  for (const Table* table : {&t.futures, &t.option}) {
    IdSet found;
    for (const tallow::Instrument& row : *table) {
      if (selected.contains(row.underlying_order_book_id)) found.insert(row.order_book_id);
    }
    selected.insert(found.begin(), found.end());
  }
}

void add_conversion_stocks(IdSet& selected, const Table& convertible) {
  std::vector<std::string> bonds;
  for (const tallow::Instrument& row : convertible) {
    if (selected.contains(row.order_book_id)) bonds.push_back(row.order_book_id);
  }
  if (bonds.empty()) return;
  const tallow::InstrumentAnswer answer = tallow::convertible::instruments(bonds);
  for (const tallow::Instrument& record : tallow::records_of(answer)) {
    add_known(selected, record.stock_code);
  }
}

void report_unsupported(const IdSet& tags) {
  std::vector<std::string_view> keywords;
  for (const TagEntry& entry : TAG_MAP) keywords.push_back(entry.tag);
  console_write(
      stdout,
      fmt::format(
          "不支持的参数值:[{}]，\n可选的参数值有 [{}] 或 underlying_symbol 或 order_book_id\n",
          fmt::join(tags, ", "), fmt::join(keywords, ", ")));
}

}  // namespace

std::set<std::string> _merge_tags(const std::vector<std::string>& tag_list, bool with_derivatives,
                                  bool enable_bjse, std::set<std::string>* unmatched) {
  IdSet tags(tag_list.begin(), tag_list.end());
  bool bjse_enabled = tallow::client::bjse_enabled();
  switch_on_for_queries(tags, enable_bjse, bjse_enabled);
  Tables tables = fetch_tables();

  std::set<std::string_view> types = take_category_types(tags);
  expand_underlying_symbols(tags, tables.futures);
  IdSet selected = select(tags, types, tables);
  for (const std::string& id : selected) tags.erase(id);

  if (with_derivatives) add_derivatives(selected, tables);
  add_conversion_stocks(selected, tables.convertible);
  if (!tags.empty()) report_unsupported(tags);
  if (!bjse_enabled) _switch_of_bjse(false);
  if (unmatched != nullptr) *unmatched = std::move(tags);
  return selected;
}

void fail_unmatched_tags(const std::set<std::string>& unmatched) {
  if (unmatched.empty()) return;
  constexpr std::size_t kNamed = 10;
  std::vector<std::string_view> named;
  for (const std::string& tag : unmatched) {
    if (named.size() == kNamed) break;
    named.push_back(tag);
  }
  RunReport report = published_run_report();
  for (const std::string& tag : unmatched) report.add_failure(tag, "没有对应的标的");
  system_log::error(fmt::format("{} 个参数值没有对应的标的：{}{}", unmatched.size(),
                                fmt::join(named, ", "), unmatched.size() > kNamed ? ", ..." : ""));
}

}  // namespace tessera_plus::bundle
