// Days the simulated service has corrected since it first answered for them, as a vendor does
// weeks later (TALLOW_SIM_REVISED): every bar's close and every tick's last price on such a day
// are a cent higher, and every tick's volume is a hundred shares higher, than they would be
// otherwise. A run before the switch and one after it see the two versions of the day.
#pragma once

#include <vector>

#include "tessera_plus/market/types.h"

namespace tessera_plus::tallow::sim {

// Changes the rows of `table` whose trading day (YYYYMMDD; their `trading_date` where the table
// has one) is one of `days`.
void apply_revisions(PriceTable& table, const std::vector<int>& days);

}  // namespace tessera_plus::tallow::sim
