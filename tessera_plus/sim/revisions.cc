#include "tessera_plus/sim/revisions.h"

#include <algorithm>

#include "tessera_plus/base/datetime_func.h"

namespace tessera_plus::tallow::sim {
namespace {

void add_where(PriceTable& table, const char* column, const std::vector<bool>& revised,
               double amount) {
  if (!table.has_column(column)) return;
  std::vector<double>& values = table.column(column);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (revised[i]) values[i] += amount;
  }
}

}  // namespace

void apply_revisions(PriceTable& table, const std::vector<int>& days) {
  if (days.empty()) return;
  std::vector<bool> revised(table.rows());
  for (std::size_t i = 0; i < revised.size(); ++i) {
    const DateTime day = table.trading_date ? (*table.trading_date)[i] : table.timestamps[i];
    revised[i] = std::find(days.begin(), days.end(), date_to_number(day)) != days.end();
  }
  add_where(table, "close", revised, 0.01);
  add_where(table, "last", revised, 0.01);
  add_where(table, "volume", revised, 100.0);
}

}  // namespace tessera_plus::tallow::sim
