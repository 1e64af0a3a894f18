// Instrument universe selection: turns the user's tags into the set of order book ids to update.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace tessera_plus::bundle {

// Resolves `tags` (category keywords of TAG_MAP or "all", futures underlying symbols, order book
// ids; order and duplicates do not matter) against the service's instrument tables. Adds the
// futures and options written on the selected instruments when `with_derivatives`, and always the
// conversion stocks of selected convertible bonds. Tags that resolve to nothing are reported on
// standard output and, when `unmatched` is given, returned through it.
//
// Main process only, before any worker starts: the Beijing-exchange switch of this process's
// client is turned on for the queries (except for "stock" without `enable_bjse`) and turned off
// again at the end when it was off on entry. Errors from the service propagate; the switch is then
// left as it was at that moment. At most seven requests and two client initialisations per call.
//
// The result is sorted (std::set), so "the set's iteration order" is ascending wherever it shows.
std::set<std::string> _merge_tags(const std::vector<std::string>& tags, bool with_derivatives,
                                  bool enable_bjse = false,
                                  std::set<std::string>* unmatched = nullptr);

// Counts each of `unmatched` as a failure of the run ("没有对应的标的") and says so in one error
// line, which names the first few.
void fail_unmatched_tags(const std::set<std::string>& unmatched);

}  // namespace tessera_plus::bundle
